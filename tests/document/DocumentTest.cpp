// The headless document: open, undo, revert, clear, pictures that arrive without a file,
// kind conversion, and file names that are not valid UTF-8.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "document/Document.h"
#include "document/InstanceFolder.h"
#include "document/PicturePreload.h"
#include "formats/Jpeg.h"
#include "formats/PictureIO.h"
#include "platform/Bitmap.h"
#include "platform/Exceptions.h"
#include "support/TestSupport.h"

namespace {

class DocumentTest : public ::testing::Test {
protected:
    pwtest::TempDir dir;
    TFastPicture engine;
    TDocument doc{engine};

    void SetUp() override {
        registerPictureFormats();
        doc.TemporaryFolderOverride = dir / "copies";
    }

    QString writeBmp(const std::string& name, int w, int h, uint32_t seed = 1) {
        pwtest::writeFile(dir / name, pwtest::makeTestBitmap(w, h, seed).saveToBytes());
        return FromPath(dir / name);
    }
    const Bitmap& held() const { return *engine.picture().as<Bitmap>(); }
};

// Sets XDG_RUNTIME_DIR for one test.
class RuntimeDir {
public:
    explicit RuntimeDir(const std::filesystem::path& p) {
        if (const char* old = std::getenv("XDG_RUNTIME_DIR")) old_ = old, had_ = true;
        ::setenv("XDG_RUNTIME_DIR", p.c_str(), 1);
    }
    ~RuntimeDir() {
        if (had_)
            ::setenv("XDG_RUNTIME_DIR", old_.c_str(), 1);
        else
            ::unsetenv("XDG_RUNTIME_DIR");
    }

private:
    std::string old_;
    bool had_ = false;
};

} // namespace

TEST_F(DocumentTest, OpenUndoRevertClear) {
    const QString path = writeBmp("a.bmp", 40, 30);
    ASSERT_TRUE(doc.Open(path));
    EXPECT_EQ(doc.SourcePath, path);
    EXPECT_EQ(doc.DisplayName, path);
    EXPECT_EQ(doc.OpenDir, FromPath(dir.path()));
    EXPECT_EQ(doc.SizeText, FileSizeText(std::filesystem::file_size(dir / "a.bmp")));
    EXPECT_TRUE(engine.Stretch);
    const Bitmap opened = held();
    EXPECT_TRUE(pwtest::sameBitmap(*doc.BaseBitmap, opened));

    // An operation, then undo: back to the base.
    engine.Negative();
    ASSERT_FALSE(pwtest::sameBitmap(held(), opened));
    EXPECT_TRUE(doc.RestoreBase());
    EXPECT_TRUE(pwtest::sameBitmap(held(), opened));

    // A new base point, then revert: the file as it was.
    engine.Negative();
    doc.TakeBase();
    EXPECT_TRUE(doc.Revert());
    EXPECT_TRUE(pwtest::sameBitmap(held(), opened));
    EXPECT_TRUE(pwtest::sameBitmap(*doc.BaseBitmap, opened));

    // Undo does nothing to a picture that is not a bitmap.
    doc.ConvertKind(GraphicKind::Jpeg, 80);
    EXPECT_EQ(engine.picture().graphic()->kind(), GraphicKind::Jpeg);
    EXPECT_TRUE(pwtest::sameBitmap(*doc.BaseBitmap, opened)); // base untouched
    EXPECT_FALSE(doc.RestoreBase());
    EXPECT_EQ(engine.picture().graphic()->kind(), GraphicKind::Jpeg);

    doc.Clear();
    EXPECT_EQ(engine.GetPictureType(), picNil);
    EXPECT_TRUE(doc.SourcePath.isEmpty());
    EXPECT_TRUE(doc.DisplayName.isEmpty());
    // The file the user opened is never deleted.
    EXPECT_TRUE(std::filesystem::exists(dir / "a.bmp"));
}

TEST_F(DocumentTest, FailedOpenLeavesNothing) {
    ASSERT_TRUE(doc.Open(writeBmp("good.bmp", 8, 8)));
    pwtest::writeFile(dir / "empty.jpg", {});
    const QString bad = FromPath(dir / "empty.jpg");
    EXPECT_FALSE(doc.Open(bad));
    EXPECT_EQ(engine.GetPictureType(), picNil);
    EXPECT_TRUE(doc.SourcePath.isEmpty());
    EXPECT_TRUE(doc.DisplayName.isEmpty());
    EXPECT_TRUE(engine.Stretch);
    EXPECT_FALSE(doc.Revert()); // nothing to revert to
}

TEST_F(DocumentTest, PicturesWithoutAFileGetATemporaryCopy) {
    const Bitmap pasted = pwtest::makeTestBitmap(20, 10, 7);
    doc.Arrive(std::make_unique<Bitmap>(pasted), "Copied Bitmap");
    const auto bmpCopy = dir / "copies" / "ImageData.bmp";
    EXPECT_EQ(doc.SourcePath, FromPath(bmpCopy));
    EXPECT_EQ(doc.DisplayName, "Copied Bitmap");
    EXPECT_TRUE(doc.SizeText.isEmpty());
    EXPECT_TRUE(pwtest::sameBitmap(*doc.BaseBitmap, pasted));
    ASSERT_TRUE(std::filesystem::exists(bmpCopy));

    // Revert reloads the copy and keeps the label.
    engine.Negative();
    EXPECT_TRUE(doc.Revert());
    EXPECT_TRUE(pwtest::sameBitmap(held(), pasted));
    EXPECT_EQ(doc.DisplayName, "Copied Bitmap");
    EXPECT_TRUE(doc.SizeText.isEmpty());

    // The next arrival replaces the copy, named after its kind.
    TJPEGImage jpeg;
    jpeg.assign(pasted);
    doc.Arrive(jpeg.clone(), "Dropped JPEG");
    EXPECT_FALSE(std::filesystem::exists(bmpCopy));
    EXPECT_TRUE(std::filesystem::exists(dir / "copies" / "ImageData.jpg"));
    EXPECT_EQ(doc.BaseBitmap->width(), 20);

    // Opening a file deletes the copy.
    doc.Open(writeBmp("user.bmp", 4, 4));
    EXPECT_FALSE(std::filesystem::exists(dir / "copies" / "ImageData.jpg"));
}

TEST_F(DocumentTest, EachInstanceKeepsItsCopiesInItsOwnFolder) {
    pwtest::TempDir runtime;
    RuntimeDir env(runtime.path());
    std::filesystem::path folder;
    {
        TFastPicture e;
        TDocument d(e);
        d.Arrive(std::make_unique<Bitmap>(pwtest::makeTestBitmap(6, 6)), "Copied Bitmap");
        folder = runtime / ("pixelwright-" + std::to_string(::getpid()));
        EXPECT_EQ(d.SourcePath, FromPath(folder / "ImageData.bmp"));
        EXPECT_TRUE(std::filesystem::exists(folder / "ImageData.bmp"));
    }
    // Removed with the document, at the instance's end.
    EXPECT_FALSE(std::filesystem::exists(folder));
}

TEST_F(DocumentTest, NamesThatAreNotUtf8OpenAndSave) {
    // Every byte string survives the trip into a QString and back.
    std::mt19937 random(3);
    for (int i = 0; i < 500; ++i) {
        std::string bytes(size_t(random() % 12), '\0');
        for (char& c : bytes)
            c = char(1 + random() % 255);
        EXPECT_EQ(ToPath(FromPath(bytes)).native(), bytes);
    }
    // Valid names are plain text.
    EXPECT_EQ(FromPath("/tmp/写真.jpg"), QString::fromUtf8("/tmp/写真.jpg"));

    const std::string latin1Name = "caf\xe9.bmp";
    pwtest::writeFile(dir / latin1Name, pwtest::makeTestBitmap(9, 5).saveToBytes());
    ASSERT_TRUE(doc.Open(FromPath(dir / latin1Name)));
    EXPECT_EQ(engine.picture().width(), 9);
    const std::string savedName = "\xff\xfe.jpg";
    doc.Save(FromPath(dir / savedName), SaveOptions{});
    EXPECT_TRUE(std::filesystem::exists(dir / savedName));
    EXPECT_EQ(doc.SaveDir, FromPath(dir.path()));
}

TEST_F(DocumentTest, AFailedTemporaryCopyLeavesNoSourceToRevertTo) {
    doc.Arrive(std::make_unique<Bitmap>(pwtest::makeTestBitmap(5, 5)), "Copied Bitmap");
    const auto first = dir / "copies" / "ImageData.bmp";
    ASSERT_TRUE(std::filesystem::exists(first));
    // The copies' folder cannot be made: a file stands where its parent should be.
    pwtest::writeFile(dir / "blocker", {1});
    doc.TemporaryFolderOverride = dir / "blocker" / "copies";
    const Bitmap second = pwtest::makeTestBitmap(7, 3, 9);
    EXPECT_ANY_THROW(doc.Arrive(std::make_unique<Bitmap>(second), "Dropped Bitmap"));
    // The picture arrived and is the base, the old copy is gone, and nothing names a
    // file that is not there.
    EXPECT_TRUE(pwtest::sameBitmap(held(), second));
    EXPECT_TRUE(pwtest::sameBitmap(*doc.BaseBitmap, second));
    EXPECT_FALSE(std::filesystem::exists(first));
    EXPECT_TRUE(doc.SourcePath.isEmpty());
    EXPECT_FALSE(doc.Revert());
}

TEST_F(DocumentTest, AFileReadAheadOpensAsTheSameFileReadThen) {
    // A JPEG, whose base image is its decoded picture, and a bitmap.
    TJPEGImage jpeg;
    jpeg.assign(pwtest::makeTestBitmap(120, 90, 4));
    pwtest::writeFile(dir / "ahead.jpg", jpeg.saveToBytes());
    for (const QString& path : {FromPath(dir / "ahead.jpg"), writeBmp("ahead.bmp", 70, 50, 3)}) {
        SCOPED_TRACE(path.toStdString());
        TFastPicture plainEngine;
        TDocument plain{plainEngine};
        ASSERT_TRUE(plain.Open(path));

        doc.Preload = std::make_unique<TPicturePreload>(path);
        ASSERT_TRUE(doc.Preload->Started());
        ASSERT_TRUE(doc.Open(path));
        EXPECT_FALSE(doc.Preload); // taken
        const Graphic* shown = engine.picture().graphic();
        ASSERT_TRUE(shown);
        EXPECT_EQ(shown->kind(), plain.Current()->kind());
        EXPECT_TRUE(pwtest::sameBitmap(*shown->raster(), *plain.Current()->raster()));
        EXPECT_TRUE(pwtest::sameBitmap(*doc.BaseBitmap, *plain.BaseBitmap));
        EXPECT_EQ(doc.SizeText, plain.SizeText);
        EXPECT_EQ(doc.OpenDir, plain.OpenDir);
        // The base image is a copy: the picture in view does not share its rows.
        EXPECT_NE(doc.BaseBitmap->scanLine(0), shown->raster()->scanLine(0));
        if (shown->kind() == GraphicKind::Jpeg) {
            EXPECT_EQ(shown->saveToBytes(), pwtest::readFile(dir / "ahead.jpg"));
        }
    }
}

TEST_F(DocumentTest, AFileReadAheadFailsAsTheSameFileReadThenAndOthersAreDropped) {
    pwtest::writeFile(dir / "broken.jpg", {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J'});
    const QString broken = FromPath(dir / "broken.jpg");
    ASSERT_TRUE(doc.Open(writeBmp("before.bmp", 8, 8)));
    doc.Preload = std::make_unique<TPicturePreload>(broken);
    EXPECT_FALSE(doc.Open(broken));
    EXPECT_EQ(engine.GetPictureType(), picNil);
    EXPECT_TRUE(doc.SourcePath.isEmpty());
    EXPECT_TRUE(engine.Stretch);

    // A read-ahead of another file is dropped by the next open: that open reads its own file.
    const QString other = writeBmp("other.bmp", 30, 20, 9);
    doc.Preload = std::make_unique<TPicturePreload>(broken);
    ASSERT_TRUE(doc.Open(other));
    EXPECT_FALSE(doc.Preload);
    EXPECT_TRUE(pwtest::sameBitmap(held(), pwtest::makeTestBitmap(30, 20, 9)));

    // Formats whose readers draw are not read ahead; they open as always.
    EXPECT_FALSE(TPicturePreload(FromPath(dir / "drawing.emf")).Started());
    EXPECT_FALSE(TPicturePreload(FromPath(dir / "anim.gif")).Started());
    EXPECT_TRUE(TPicturePreload::Readable(QStringLiteral("/x/Photo.JPG")));
}
