#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "settings/Param.h"
#include "settings/SettingsTestSupport.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using settingstest::asString;
using settingstest::ScopedEnv;

namespace {

// A home of its own for each test, with the XDG variables pointing into it.
struct FakeHome {
    pwtest::TempDir dir;
    ScopedEnv home{"HOME", dir.path().string()};
    ScopedEnv config{"XDG_CONFIG_HOME", (dir / "config").string()};
    ScopedEnv data{"XDG_DATA_HOME", (dir / "data").string()};
};

} // namespace

TEST(Shortcut, FolderNumbersStandForTheFreedesktopFolders) {
    FakeHome home;
    EXPECT_EQ(TParameter::SpecialFolderPath(ShortcutFolder::Programs),
              (home.dir / "data" / "applications").string());
    EXPECT_EQ(TParameter::SpecialFolderPath(ShortcutFolder::StartMenu),
              (home.dir / "data" / "applications").string());
    EXPECT_EQ(TParameter::SpecialFolderPath(ShortcutFolder::Startup),
              (home.dir / "config" / "autostart").string());
    EXPECT_EQ(TParameter::SpecialFolderPath(ShortcutFolder::Desktop),
              (home.dir / "Desktop").string());
    EXPECT_EQ(TParameter::SpecialFolderPath(0x0005), "") << "a number without a folder";

    // The desktop folder comes from the user's folder settings when they name one.
    fs::create_directories(home.dir / "config");
    const std::string dirs = "# comment\nXDG_DESKTOP_DIR=\"$HOME/\\\"デスク\\\"トップ/\"\n";
    pwtest::writeFile(home.dir / "config" / "user-dirs.dirs",
                      std::vector<uint8_t>(dirs.begin(), dirs.end()));
    EXPECT_EQ(TParameter::SpecialFolderPath(ShortcutFolder::DesktopDirectory),
              (home.dir / "\"デスク\"トップ").string());
}

TEST(Shortcut, CreateWritesALauncherAndDeleteRemovesIt) {
    FakeHome home;
    TParameter p;
    EXPECT_FALSE(p.CreateShortcut(ShortcutFolder::Programs, "Pixelwright")) << "no executable yet";
    p.SetExeName("/opt/my tools/pixel$wright%1");
    EXPECT_FALSE(p.CreateShortcut(ShortcutFolder::Programs, ""));
    EXPECT_FALSE(p.CreateShortcut(0x0005, "Pixelwright"));
    EXPECT_FALSE(p.CreateShortcut(ShortcutFolder::Programs, "../escape"));

    ASSERT_TRUE(p.CreateShortcut(ShortcutFolder::Programs, "写真 レタッチ"));
    const fs::path file = home.dir / "data" / "applications" / "写真 レタッチ.desktop";
    EXPECT_EQ(asString(pwtest::readFile(file)), "[Desktop Entry]\n"
                                                "Type=Application\n"
                                                "Name=写真 レタッチ\n"
                                                "Exec=\"/opt/my tools/pixel\\\\$wright%%1\" %f\n"
                                                "Path=/opt/my tools/\n"
                                                "Icon=pixelwright\n"
                                                "Terminal=false\n");
    // Creating again overwrites the launcher.
    p.SetExeName("/usr/bin/pixelwright");
    ASSERT_TRUE(p.CreateShortcut(ShortcutFolder::Programs, "写真 レタッチ"));
    EXPECT_NE(asString(pwtest::readFile(file)).find("Exec=\"/usr/bin/pixelwright\" %f\n"),
              std::string::npos);

    EXPECT_TRUE(p.DeleteShortcut(ShortcutFolder::Programs, "写真 レタッチ"));
    EXPECT_FALSE(fs::exists(file));
    EXPECT_FALSE(p.DeleteShortcut(ShortcutFolder::Programs, "写真 レタッチ")) << "already gone";
    EXPECT_FALSE(p.DeleteShortcut(0x0005, "写真 レタッチ"));
}

TEST(Shortcut, DesktopLauncherIsExecutableAndNeedsAnExistingDesktop) {
    FakeHome home;
    TParameter p;
    p.SetExeName("/usr/bin/pixelwright");
    EXPECT_FALSE(p.CreateShortcut(ShortcutFolder::Desktop, "Pixelwright"))
        << "the desktop folder is not made on the user's behalf";
    fs::create_directory(home.dir / "Desktop");
    ASSERT_TRUE(p.CreateShortcut(ShortcutFolder::Desktop, "Pixelwright"));
    const auto perms = fs::status(home.dir / "Desktop" / "Pixelwright.desktop").permissions();
    EXPECT_NE(perms & fs::perms::owner_exec, fs::perms::none);

    ASSERT_TRUE(p.CreateShortcut(ShortcutFolder::Startup, "Pixelwright"));
    EXPECT_TRUE(fs::exists(home.dir / "config" / "autostart" / "Pixelwright.desktop"));
}

TEST(Shortcut, LaunchersPassTheIndependentValidator) {
    PW_SKIP_WITHOUT(pwtest::haveTool("desktop-file-validate"),
                    "desktop-file-validate (desktop-file-utils)");
    FakeHome home;
    TParameter p;
    p.SetExeName("/opt/my tools/pixel$wright%1 \"q\"");
    ASSERT_TRUE(p.CreateShortcut(ShortcutFolder::Programs, " 写真\tレタッチ"));
    const fs::path made = home.dir / "data" / "applications" / " 写真\tレタッチ.desktop";
    const char* source = std::getenv("PW_SOURCE_DIR");
    if (!source) GTEST_SKIP() << "PW_SOURCE_DIR is not set (run through ctest)";
    const fs::path installed = fs::path(source) / "data" / "pixelwright.desktop";
    for (const fs::path& file : {made, installed}) {
        const std::string command = "desktop-file-validate '" + file.string() + "'";
        EXPECT_EQ(std::system(command.c_str()), 0) << file;
    }
}
