// A main window wired for tests: its settings file and temporary copies in a fresh
// folder, and dialogs that answer from queues and record every message.
#pragma once

#include <memory>

#include <QStringList>

#include "app/Frame.h"
#include "app/FrameDialogs.h"
#include "formats/PictureIO.h"
#include "platform/Bitmap.h"
#include "settings/Param.h"
#include "support/TestSupport.h"

// Readable QString values in failure messages.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

class FakeDialogs : public TFrameDialogs {
public:
    QStringList openAnswers;
    QStringList saveAnswers;
    QStringList messages;
    QStringList errors;
    QString lastOpenDir;
    QString lastSaveDir;
    QString lastProposedName;
    int lastFilterIndex = 0;

    QString OpenFile(QWidget*, const QString& dir, const QString&, int filterIndex) override {
        lastOpenDir = dir;
        lastFilterIndex = filterIndex;
        return openAnswers.isEmpty() ? QString() : openAnswers.takeFirst();
    }
    QString SaveFile(QWidget*, const QString&, const QString& dir, const QString& proposedName,
                     const QString&, int filterIndex) override {
        lastSaveDir = dir;
        lastProposedName = proposedName;
        lastFilterIndex = filterIndex;
        return saveAnswers.isEmpty() ? QString() : saveAnswers.takeFirst();
    }
    void ShowMessage(QWidget*, const QString& text) override { messages << text; }
    void ShowError(QWidget*, const QString& text) override { errors << text; }
};

class FrameTest : public ::testing::Test {
protected:
    pwtest::TempDir dir;
    FakeDialogs* dialogs = nullptr;
    std::unique_ptr<TFrameForm> form;

    std::filesystem::path settingsPath() const { return dir / "pixelwright.ini"; }
    std::filesystem::path tempFolder() const { return dir / "cache"; }

    // A new window whose settings live in the test's folder (not shown yet).
    std::unique_ptr<TFrameForm> makeForm() {
        auto f = std::make_unique<TFrameForm>();
        f->Parameter1->SetExeName((dir / "pixelwright").string());
        f->Parameter1->SetDir(dir.path().string());
        f->Parameter1->SetFileName("pixelwright.ini");
        f->TemporaryFolderOverride = tempFolder();
        auto d = std::make_unique<FakeDialogs>();
        dialogs = d.get();
        f->Dialogs = std::move(d);
        return f;
    }

    void openForm() {
        form = makeForm();
        form->show();
    }

    void closeForm() {
        if (form) form->close();
        form.reset();
        dialogs = nullptr;
    }

    void SetUp() override { registerPictureFormats(); }
    void TearDown() override { closeForm(); }

    // Writes a 24-bit BMP file of the test picture and returns its path.
    QString writeBmp(const std::string& name, int width, int height, uint32_t seed = 1) {
        Bitmap bmp = pwtest::makeTestBitmap(width, height, seed);
        auto path = dir / name;
        pwtest::writeFile(path, bmp.saveToBytes());
        return QString::fromStdString(path.string());
    }
};
