// Shared main of every test executable: a Qt application object (fonts, painting and
// the clipboard need one) on the offscreen platform, then GoogleTest.
#include <gtest/gtest.h>

#include <QtGlobal>
#include <cstdlib>
#include <filesystem>

#ifdef PW_TEST_WIDGETS
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QGuiApplication>
using TestApplication = QGuiApplication;
#endif

#include "support/TestSupport.h"

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        auto dir = std::filesystem::temp_directory_path() / "pw-test-runtime";
        std::filesystem::create_directories(dir);
        std::filesystem::permissions(dir, std::filesystem::perms::owner_all);
        qputenv("XDG_RUNTIME_DIR", dir.string().c_str());
    }
    testing::InitGoogleTest(&argc, argv);
    TestApplication app(argc, argv);
    pwtest::initTestEnvironment();
    return RUN_ALL_TESTS();
}
