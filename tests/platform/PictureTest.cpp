#include <gtest/gtest.h>

#include "platform/Bitmap.h"
#include "platform/Exceptions.h"
#include "platform/Picture.h"
#include "support/TestSupport.h"

TEST(Picture, AssignCopiesAndUnknownExtensionThrows) {
    Bitmap bmp(3, 2, pf24bit);
    bmp.scanLine(1)[2] = 77;
    Picture pic;
    pic.assign(&bmp);
    bmp.scanLine(1)[2] = 1;
    ASSERT_NE(pic.as<Bitmap>(), nullptr);
    EXPECT_EQ(pic.as<Bitmap>()->scanLine(1)[2], 77);
    EXPECT_EQ(pic.width(), 3);
    pwtest::TempDir dir;
    EXPECT_THROW(pic.loadFromFile(dir / "x.xyz"), EInvalidGraphic);
    EXPECT_EQ(pic.width(), 3); // kept what it held
    pic.assign(nullptr);
    EXPECT_TRUE(pic.empty());
}

TEST(Picture, AtomicWriteReplacesWholeFile) {
    pwtest::TempDir dir;
    auto path = dir / "a.bin";
    std::vector<uint8_t> first(1000, 1), second(10, 2);
    writeFileAtomically(path, first);
    writeFileAtomically(path, second);
    EXPECT_EQ(pwtest::readFile(path), second);
    EXPECT_THROW(writeFileAtomically(dir / "missing" / "b.bin", second), EFileError);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}
