// The paper-information listing: the printer's geometry as 47 lines of text (lines 0, 1
// and 3 empty) drawn on a recording of the printable area made against the printer.
#pragma once

#include <memory>

#include <QString>
#include <QStringList>

class Metafile;
struct TPrinterInfo;

// Measurements of the listing's font at the printer's resolution.
struct TPaperInfoFont {
    QString name;
    int size = 12;                                   // points
    int sampleLatinWidth = 0, sampleLatinHeight = 0; // "ABCDEFGHIJ"
    int sampleKanjiWidth = 0, sampleKanjiHeight = 0; // "漢字の練習"
};

// The listing's text, one entry per line (index = line number).
QStringList PaperInfoLines(const TPrinterInfo& info, const TPaperInfoFont& font);

// The listing as a recording of the printable area, its size brought to the printable
// area's real size at the screen's logical resolution.
std::unique_ptr<Metafile> MakePaperInfo(const TPrinterInfo& info);
