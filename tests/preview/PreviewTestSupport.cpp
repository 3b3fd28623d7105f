#include "PreviewTestSupport.h"

#include <array>
#include <cstdio>
#include <memory>
#include <sstream>

namespace pvtest {

std::string runCommand(const std::string& command) {
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) return out;
    std::array<char, 4096> buffer;
    size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0)
        out.append(buffer.data(), n);
    return out;
}

int pdfPages(const std::filesystem::path& pdf) {
    std::istringstream in(runCommand("pdfinfo '" + pdf.string() + "' 2>/dev/null"));
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("Pages:", 0) == 0) return std::stoi(line.substr(6));
    return -1;
}

QImage renderPdfPage(const std::filesystem::path& pdf, int page, int dpi) {
    const std::filesystem::path out = pdf.parent_path() / ("page" + std::to_string(page));
    const std::string cmd = "pdftocairo -png -singlefile -r " + std::to_string(dpi) + " -f " +
                            std::to_string(page) + " -l " + std::to_string(page) + " '" +
                            pdf.string() + "' '" + out.string() + "' 2>/dev/null";
    if (std::system(cmd.c_str()) != 0) return QImage();
    QImage image(QString::fromStdString(out.string() + ".png"));
    std::filesystem::remove(out.string() + ".png");
    return image.convertToFormat(QImage::Format_RGB32);
}

std::vector<int> pdfImageObjects(const std::filesystem::path& pdf) {
    std::istringstream in(runCommand("pdfimages -list '" + pdf.string() + "' 2>/dev/null"));
    std::string line;
    std::vector<int> objects;
    int n = 0;
    while (std::getline(in, line)) {
        if (++n <= 2) continue; // the two heading lines
        std::istringstream f(line);
        std::string field;
        std::vector<std::string> fields;
        while (f >> field)
            fields.push_back(field);
        if (fields.size() > 10) objects.push_back(std::stoi(fields[10]));
    }
    return objects;
}

::testing::AssertionResult sameRegion(const QImage& page, int x, int y, const QImage& picture) {
    const QImage want = picture.convertToFormat(QImage::Format_RGB32);
    if (x < 0 || y < 0 || x + want.width() > page.width() || y + want.height() > page.height())
        return ::testing::AssertionFailure() << "region outside the page";
    int differing = 0;
    QString first;
    for (int j = 0; j < want.height(); ++j)
        for (int i = 0; i < want.width(); ++i) {
            const QRgb a = page.pixel(x + i, y + j), b = want.pixel(i, j);
            if ((a & 0xffffff) != (b & 0xffffff)) {
                if (differing++ == 0)
                    first = QStringLiteral("(%1,%2): page %3 picture %4")
                                .arg(i)
                                .arg(j)
                                .arg(a & 0xffffff, 6, 16)
                                .arg(b & 0xffffff, 6, 16);
            }
        }
    if (differing == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << differing << " pixels differ, first " << first.toStdString();
}

} // namespace pvtest
