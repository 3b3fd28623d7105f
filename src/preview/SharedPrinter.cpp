#include "preview/SharedPrinter.h"

#include <QPrinter>
#include <QPrinterInfo>

QPrinter& SharedPrinter() {
    static QPrinter* printer = [] {
        auto* p = new QPrinter(QPrinter::HighResolution);
        // Without a print server the printer is a PDF file.
        if (QPrinterInfo::availablePrinters().isEmpty()) p->setOutputFormat(QPrinter::PdfFormat);
        return p;
    }();
    return *printer;
}
