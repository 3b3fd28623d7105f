// pwtool reads and writes PNG and WebP, and sees a turned JPEG upright.
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/Cli.h"
#include "formats/Jpeg.h"
#include "formats/PictureIO.h"
#include "formats/Png.h"
#include "formats/Webp.h"
#include "platform/Picture.h"
#include "support/TestSupport.h"

namespace {

std::string pwtool(std::vector<std::string> args, int* status = nullptr) {
    std::ostringstream out, err;
    int s = cli::run(args, out, err);
    if (status) *status = s;
    return out.str() + err.str();
}

} // namespace

TEST(PngWebpCli, ConvertsBetweenPngWebpAndTheOthers) {
    registerPictureFormats();
    pwtest::TempDir dir;
    Bitmap photo = pwtest::makeTestBitmap(32, 18);
    const std::string png = (dir / "in.png").string();
    writeFileAtomically(png, encodePng(photo));
    EXPECT_EQ(pwtool({"--info", png}), "32 18 24 Bitmap\n");

    int status = -1;
    const std::string webp = (dir / "out.webp").string();
    pwtool({png, "-q", "100", "-o", webp}, &status);
    ASSERT_EQ(status, 0);
    EXPECT_TRUE(pwtest::sameBitmap(decodeWebp(readWholeFile(webp)), photo));

    // Through an operation, back to PNG.
    const std::string back = (dir / "back.png").string();
    pwtool({webp, "Negative", "-o", back}, &status);
    ASSERT_EQ(status, 0);
    Bitmap negative = decodePng(readWholeFile(back));
    ASSERT_EQ(negative.width(), 32);
    EXPECT_EQ(negative.pixelColor(5, 5), photo.pixelColor(5, 5) ^ 0x00FFFFFFu);

    // A JPEG turned by its EXIF orientation (6) is measured and converted upright.
    TJPEGImage jpeg;
    jpeg.assign(photo);
    auto plain = jpeg.saveToBytes();
    const std::vector<uint8_t> turned = pwtest::withExifOrientation(plain, 6);
    const std::string jpg = (dir / "turned.jpg").string();
    writeFileAtomically(jpg, turned);
    EXPECT_EQ(pwtool({"--info", jpg}).substr(0, 6), "18 32 ");
    const std::string upright = (dir / "upright.png").string();
    pwtool({jpg, "-o", upright}, &status);
    ASSERT_EQ(status, 0);
    Bitmap u = decodePng(readWholeFile(upright));
    EXPECT_EQ(u.width(), 18);
    EXPECT_EQ(u.height(), 32);
}
