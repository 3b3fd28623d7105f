// Our metafile files read by independent programs: emf2svg-conv for .emf, libwmf's
// wmf2svg for .wmf. Each test is skipped when its tool is not installed.
#include <cstdlib>
#include <regex>
#include <string>

#include <QImage>
#include <QPainter>

#include "platform/Bitmap.h"
#include "platform/Canvas.h"
#include "platform/Metafile.h"
#include "platform/Picture.h"
#include "support/TestSupport.h"

namespace {

std::string readText(const std::filesystem::path& p) {
    std::vector<uint8_t> b = pwtest::readFile(p);
    return std::string(b.begin(), b.end());
}

// A drawing of every kind the program records: a bitmap, coloured lines, a framed
// rectangle and text.
Metafile drawing(const QString& face) {
    Metafile m;
    m.setWidth(200);
    m.setHeight(100);
    MetafileCanvas c(m);
    c.brush().color = clSilver;
    c.fillRect(QRect(0, 0, 200, 100));
    c.stretchDraw(QRect(120, 10, 60, 40), pwtest::makeTestBitmap(12, 8));
    c.pen().color = clBlue;
    const QPoint pts[] = {{10, 90}, {60, 20}, {110, 90}};
    c.polyline(pts);
    c.pen().color = clBlack;
    c.brush().color = clWhite;
    c.rectangle(10, 10, 50, 40);
    c.font().family = face;
    c.font().size = 12;
    c.textOut(20, 60, QStringLiteral("128"));
    return m;
}

double svgLength(const std::string& svg, const char* attr) {
    std::smatch m;
    std::regex re(std::string("<svg[^>]*\\s") + attr + "=\"([0-9.]+)");
    if (!std::regex_search(svg, m, re)) return -1;
    return std::stod(m[1]);
}

} // namespace

TEST(MetafileInteropTest, Emf2svgReadsOurEnhancedFiles) {
    PW_SKIP_WITHOUT(pwtest::haveTool("emf2svg-conv"), "emf2svg-conv");
    pwtest::TempDir dir;
    Metafile m = drawing(QStringLiteral("ＭＳ Ｐゴシック"));
    writeFileAtomically(dir / "a.emf", m.saveToEmfBytes());
    std::string cmd = "emf2svg-conv -i '" + (dir / "a.emf").string() + "' -o '" +
                      (dir / "a.svg").string() + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::string svg = readText(dir / "a.svg");
    EXPECT_NEAR(svgLength(svg, "width"), 200, 1.5);
    EXPECT_NEAR(svgLength(svg, "height"), 100, 1.5);
    EXPECT_NE(svg.find("<image"), std::string::npos);
    EXPECT_NE(svg.find("#0000FF"), std::string::npos) << "blue polyline";
    EXPECT_NE(svg.find("128"), std::string::npos) << "text";
    EXPECT_NE(svg.find("ＭＳ Ｐゴシック"), std::string::npos) << "font face";

    // A resized metafile keeps its drawing inside the new frame.
    m.setWidth(400);
    writeFileAtomically(dir / "b.emf", m.saveToEmfBytes());
    cmd = "emf2svg-conv -i '" + (dir / "b.emf").string() + "' -o '" + (dir / "b.svg").string() +
          "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_NEAR(svgLength(readText(dir / "b.svg"), "width"), 400, 2.5);
}

TEST(MetafileInteropTest, Wmf2svgReadsOurOldStyleFiles) {
    PW_SKIP_WITHOUT(pwtest::haveTool("wmf2svg"), "wmf2svg");
    pwtest::TempDir dir;
    // libwmf gives up on faces it maps to fonts it lacks (those named "MS ..."), so the text
    // here uses a face it knows; the bytes of Japanese text are covered by our own reading.
    Metafile m = drawing(QStringLiteral("Arial"));
    m.setEnhanced(false);
    writeFileAtomically(dir / "a.wmf", m.saveToBytes());
    std::string cmd = "wmf2svg -o '" + (dir / "a.svg").string() + "' '" + (dir / "a.wmf").string() +
                      "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::string svg = readText(dir / "a.svg");
    EXPECT_NE(svg.find("<svg"), std::string::npos);
    double w = svgLength(svg, "width"), h = svgLength(svg, "height");
    ASSERT_GT(w, 0);
    EXPECT_NEAR(w / h, 2.0, 0.05) << "the frame keeps its proportions";
    EXPECT_NE(svg.find("<image"), std::string::npos);
    EXPECT_NE(svg.find("stroke:blue"), std::string::npos);
    // libwmf places each character at its own advance.
    for (const char* ch : {">1</text>", ">2</text>", ">8</text>"})
        EXPECT_NE(svg.find(ch), std::string::npos) << ch;

    Metafile back;
    back.loadFromBytes(pwtest::readFile(dir / "a.wmf"));
    EXPECT_EQ(back.width(), 200);
    EXPECT_EQ(back.height(), 100);
}
