#include "cli/PrintCommands.h"

#include <cmath>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <stdexcept>

#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QPageLayout>
#include <QPageSize>
#include <QPrinter>

#include "cli/Cli.h"
#include "engine/FastPicture.h"
#include "formats/PictureIO.h"
#include "platform/Metafile.h"
#include "platform/Screen.h"
#include "preview/PagePainter.h"
#include "preview/PaperInfo.h"
#include "preview/PreviewPicture.h"
#include "preview/PrintLayout.h"

namespace cli {

namespace {

using PrintUsageError = UsageError;

// The printing options: the parser and the help text both read this table.
struct PrintOption {
    const char* name;
    const char* value; // nullptr for a switch
    const char* help;
};

const std::vector<PrintOption>& printOptions() {
    static const std::vector<PrintOption> table = {
        {"--print", "OUT.pdf",
         "print every sheet the picture touches into a PDF file (or, with a name without "
         "\".pdf\", to the printer of that name)"},
        {"--paper-info", "OUT.pdf", "print the paper-information listing (no INPUT)"},
        {"--layout", nullptr,
         "print the sheet grid: columns, rows, PrintRect in pixels and millimetres"},
        {"--paper", "SIZE", "paper size: A4 (default), A3, A5, B5, Letter, Legal, ..."},
        {"--orientation", "portrait|landscape", "paper orientation (default portrait)"},
        {"--dpi", "N", "printer resolution in dots per inch, 72..2400 (default 600)"},
        {"--print-ratio", "P",
         "printed size in percent of the picture's screen size, 1..10000 (default 100)"},
        {"--print-rect-mm", "L,T,R,B",
         "print into this rectangle, millimetres from the paper's top-left corner"},
        {"--print-pos-mm", "X,Y", "top-left corner of the picture in millimetres (ratio mode)"},
        {"--copies", "N", "number of copies, 1..1000 (default 1)"},
        {"--graphic-mode", "metafile|graphic",
         "metafile: through an intermediate recording (default); graphic: the picture itself"},
    };
    return table;
}

const PrintOption* findOption(const std::string& name) {
    for (const PrintOption& o : printOptions())
        if (name == o.name) return &o;
    return nullptr;
}

int parseInt(const std::string& what, const std::string& text, int min, int max) {
    return static_cast<int>(parseInteger(what, text, min, max));
}

std::vector<double> parseReals(const std::string& what, const std::string& text, size_t count) {
    std::vector<double> values;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, ',')) {
        size_t used = 0;
        double v = 0;
        try {
            v = std::stod(part, &used);
        } catch (const std::exception&) {
            used = 0;
        }
        if (used == 0 || used != part.size() || !std::isfinite(v) || std::abs(v) > 1e6)
            throw PrintUsageError(what + " takes " + std::to_string(count) +
                                  " numbers separated by commas (millimetres), not \"" + text +
                                  "\"");
        values.push_back(v);
    }
    if (values.size() != count || (!text.empty() && text.back() == ','))
        throw PrintUsageError(what + " takes " + std::to_string(count) +
                              " numbers separated by commas, not \"" + text + "\"");
    return values;
}

std::optional<QPageSize> findPaper(const std::string& name) {
    const QString wanted = QString::fromStdString(name);
    for (int id = 0; id <= QPageSize::LastPageSize; ++id) {
        const auto pid = static_cast<QPageSize::PageSizeId>(id);
        if (pid == QPageSize::Custom) continue;
        if (QPageSize::key(pid).compare(wanted, Qt::CaseInsensitive) == 0) return QPageSize(pid);
    }
    return std::nullopt;
}

struct PrintRequest {
    std::string input;
    std::vector<std::string> steps;
    std::string printTo;
    std::string paperInfoTo;
    bool layout = false;
    std::string paper = "A4";
    bool landscape = false;
    int dpi = 600;
    std::optional<std::string> printRatio;
    std::optional<std::vector<double>> rectMM;
    std::optional<std::vector<double>> posMM;
    int copies = 1;
    int graphicMode = gmMetafile;
};

PrintRequest parse(const std::vector<std::string>& args) {
    PrintRequest q;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const PrintOption* o = findOption(a);
        if (!o) {
            if (a.size() > 1 && a[0] == '-')
                throw PrintUsageError("unknown option " + a + " (see --help)");
            if (q.input.empty())
                q.input = a;
            else
                q.steps.push_back(a);
            continue;
        }
        std::string v;
        if (o->value) {
            if (i + 1 >= args.size()) throw PrintUsageError(a + " needs " + o->value);
            v = args[++i];
        }
        if (a == "--print") {
            q.printTo = v;
        } else if (a == "--paper-info") {
            q.paperInfoTo = v;
        } else if (a == "--layout") {
            q.layout = true;
        } else if (a == "--paper") {
            q.paper = v;
        } else if (a == "--orientation") {
            if (v != "portrait" && v != "landscape")
                throw PrintUsageError("--orientation takes portrait or landscape, not \"" + v +
                                      "\"");
            q.landscape = v == "landscape";
        } else if (a == "--dpi") {
            q.dpi = parseInt("--dpi", v, 72, 2400);
        } else if (a == "--print-ratio") {
            q.printRatio = v;
        } else if (a == "--print-rect-mm") {
            q.rectMM = parseReals(a, v, 4);
        } else if (a == "--print-pos-mm") {
            q.posMM = parseReals(a, v, 2);
        } else if (a == "--copies") {
            q.copies = parseInt("--copies", v, 1, 1000);
        } else if (a == "--graphic-mode") {
            if (v != "metafile" && v != "graphic")
                throw PrintUsageError("--graphic-mode takes metafile or graphic, not \"" + v +
                                      "\"");
            q.graphicMode = v == "metafile" ? gmMetafile : gmGraphic;
        }
    }
    const int commands = int(!q.printTo.empty()) + int(!q.paperInfoTo.empty());
    if (commands > 1) throw PrintUsageError("--print and --paper-info cannot be combined");
    if (q.rectMM && (q.printRatio || q.posMM))
        throw PrintUsageError("--print-rect-mm cannot be combined with --print-ratio or "
                              "--print-pos-mm");
    if (!q.paperInfoTo.empty()) {
        if (!q.input.empty())
            throw PrintUsageError("--paper-info takes no INPUT (it prints the listing)");
    } else if (q.input.empty()) {
        throw PrintUsageError("no INPUT given (see --help)");
    }
    return q;
}

void configurePrinter(QPrinter& printer, const PrintRequest& q, const std::string& output) {
    const std::optional<QPageSize> size = findPaper(q.paper);
    if (!size) throw PrintUsageError("unknown paper size \"" + q.paper + "\"");
    printer.setResolution(q.dpi);
    printer.setPageSize(*size);
    printer.setPageOrientation(q.landscape ? QPageLayout::Landscape : QPageLayout::Portrait);
    const bool pdf = output.empty() ||
                     (output.size() >= 4 && QString::fromStdString(output.substr(output.size() - 4))
                                                    .compare(".pdf", Qt::CaseInsensitive) == 0);
    if (pdf) {
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(QFile::decodeName(output.c_str()));
    } else {
        printer.setOutputFormat(QPrinter::NativeFormat);
        printer.setPrinterName(QString::fromStdString(output));
        if (!printer.isValid())
            throw EPrintError("印刷を開始できません: no printer named \"" + output + "\"");
    }
}

std::string mm(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", v);
    return text;
}

int execute(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const PrintRequest q = parse(args);
    const std::string output = !q.printTo.empty() ? q.printTo : q.paperInfoTo;
    QPrinter printer(QPrinter::HighResolution);
    configurePrinter(printer, q, output);

    TPreviewLayout layout;
    layout.SetPrinterInfo(ReadPrinterInfo(printer, screenInfo()));
    layout.SetPrintPos(QPoint(0, 0));
    layout.SetGraphicMode(q.graphicMode);

    const QPoint screenScale = MeasureScreenMetafileScale(screenInfo());
    TPreviewPicture picture;
    TFastPicture engine;
    if (!q.paperInfoTo.empty()) {
        std::unique_ptr<Metafile> listing = MakePaperInfo(layout.Info());
        picture.Assign(listing.get(), screenScale.x(), screenScale.y());
    } else {
        engine.picture().setGraphic(loadPictureFile(q.input));
        for (const std::string& text : q.steps) {
            Step step;
            try {
                step = parseStep(text);
            } catch (const std::invalid_argument& e) {
                throw PrintUsageError(e.what());
            }
            runStep(engine, step, out);
        }
        if (engine.picture().empty()) throw std::runtime_error("there is no picture to print");
        picture.Assign(engine.picture().graphic(), screenScale.x(), screenScale.y());
    }
    layout.SetGraphicSize(picture.width(), picture.height());

    if (q.printRatio) {
        int ratio = 0;
        try {
            ratio = parseInt("--print-ratio", *q.printRatio, INT32_MIN, INT32_MAX);
        } catch (const PrintUsageError&) {
            throw PrintUsageError("--print-ratio must be an integer, not \"" + *q.printRatio +
                                  "\"");
        }
        if (ratio < 1 || ratio > 10000)
            err << "pwtool: warning: --print-ratio " << ratio
                << " is outside 1..10000 and is ignored\n";
        layout.SetPrintRatio(ratio);
    }
    if (q.posMM) layout.SetPrintPosMM(TMMPoint{(*q.posMM)[0], (*q.posMM)[1]});
    if (q.rectMM)
        layout.SetPrintRectMM(
            TMMRect{(*q.rectMM)[0], (*q.rectMM)[1], (*q.rectMM)[2], (*q.rectMM)[3]});

    if (q.layout) {
        const TPxRect r = layout.GetPrintRect();
        const TMMRect m = layout.GetPrintRectMM();
        out << "PageColumns=" << layout.PageColumns() << '\n'
            << "PageRows=" << layout.PageRows() << '\n'
            << "PrintRect=" << r.Left << ',' << r.Top << ',' << r.Right << ',' << r.Bottom << '\n'
            << "PrintRectMM=" << mm(m.Left) << ',' << mm(m.Top) << ',' << mm(m.Right) << ','
            << mm(m.Bottom) << '\n';
    }
    if (!output.empty()) {
        PrintPicture(printer, layout, picture, q.copies);
        out << "Sheets=" << layout.PageColumns() * layout.PageRows() * q.copies << '\n';
    }
    return 0;
}

} // namespace

bool isPrintCommand(const std::vector<std::string>& args) {
    for (const std::string& a : args)
        if (a == "--print" || a == "--paper-info" || a == "--layout") return true;
    return false;
}

int runPrintCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    // Printing needs Qt's GUI layer (fonts, the PDF engine); no window is shown.
    std::unique_ptr<QGuiApplication> app;
    static int argc = 1;
    static char name[] = "pwtool";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        app = std::make_unique<QGuiApplication>(argc, argv);
    }
    QFont::insertSubstitution(QString::fromUtf8("ＭＳ Ｐゴシック"), QStringLiteral("IPAPGothic"));
    try {
        return execute(args, out, err);
    } catch (const PrintUsageError& e) {
        err << "pwtool: " << e.what() << '\n';
        return 2;
    } catch (const std::exception& e) {
        err << "pwtool: " << e.what() << '\n';
        return 1;
    }
}

std::string printHelpText() {
    std::string s = "\nprinting (poster printing over up to 16 x 16 sheets):\n"
                    "  pwtool INPUT [STEP]... --print OUT.pdf [OPTION]...\n"
                    "  pwtool INPUT [STEP]... --layout [OPTION]...\n"
                    "  pwtool --paper-info OUT.pdf [--paper SIZE] [--dpi N]\n"
                    "options:\n";
    for (const PrintOption& o : printOptions()) {
        std::string head = std::string("  ") + o.name;
        if (o.value) head += std::string(" ") + o.value;
        s += head + "\n      " + o.help + "\n";
    }
    return s;
}

} // namespace cli
