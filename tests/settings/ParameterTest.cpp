#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "settings/Param.h"
#include "settings/SettingsKeys.h"
#include "settings/SettingsTestSupport.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using settingstest::asString;
using settingstest::ScopedEnv;

namespace {

template <typename E, typename F> std::string messageOf(F&& call) {
    try {
        call();
    } catch (const E& e) {
        return e.what();
    }
    return "(no exception)";
}

std::vector<uint8_t> bytesOf(std::string_view text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<std::string> linesOf(const TParameter& p) {
    std::vector<std::string> lines;
    for (int i = 0; i < p.GetCount(); ++i)
        lines.push_back(p.GetLine(i));
    return lines;
}

} // namespace

TEST(Parameter, StartsEmptyWithDigit15AndDigitAcceptsOnly3To18) {
    TParameter p;
    EXPECT_EQ(p.GetCount(), 0);
    EXPECT_EQ(p.GetDir(), "");
    EXPECT_EQ(p.GetFileName(), "");
    EXPECT_EQ(p.GetExeName(), "");
    EXPECT_EQ(p.GetDigit(), 15);
    for (int rejected : {2, 19, -1, 0, 1000}) {
        p.SetDigit(rejected);
        EXPECT_EQ(p.GetDigit(), 15) << rejected;
    }
    p.SetDigit(3);
    EXPECT_EQ(p.GetDigit(), 3);
    p.SetDigit(18);
    EXPECT_EQ(p.GetDigit(), 18);
}

TEST(Parameter, FullNameJoinsDirAndFileNameOnlyWhenBothAreSet) {
    TParameter p;
    p.SetDir("/opt/tools");
    EXPECT_EQ(p.GetFullName(), "");
    p.SetFileName("prog.ini");
    EXPECT_EQ(p.GetFullName(), "/opt/tools/prog.ini");
    p.SetDir("/opt/tools/");
    EXPECT_EQ(p.GetFullName(), "/opt/tools/prog.ini");
    p.SetDir("/");
    EXPECT_EQ(p.GetFullName(), "/prog.ini");
    p.SetDir("");
    EXPECT_EQ(p.GetFullName(), "");
    EXPECT_EQ(TParameter::FolderOf("/opt/tools/prog"), "/opt/tools");
    EXPECT_EQ(TParameter::FolderOf("/prog"), "/");
}

TEST(Parameter, ReadsFindTheFirstLineWhoseNameMatchesIgnoringCase) {
    TParameter p;
    p.Add("header without equals sign");
    p.Add("OpenDir=/home/a");
    p.Add("opendir=/home/b");
    p.Add("Expr=a=b");
    EXPECT_EQ(p.ReadString("openDIR"), "/home/a");
    EXPECT_EQ(p.ReadString("OPENDIR"), "/home/a");
    // Only the text before the first "=" is the name; the rest is the value.
    EXPECT_EQ(p.ReadString("Expr"), "a=b");
    EXPECT_EQ(messageOf<EValueName>([&] { p.ReadString("Expr=a"); }),
              "Name 'Expr=a' is not found in parameters.");
    // A line without "=" (the header) has no name.
    EXPECT_EQ(messageOf<EValueName>([&] { p.ReadString("header without equals sign"); }),
              "Name 'header without equals sign' is not found in parameters.");
    // Case folding is for ASCII letters only; Japanese names compare as they are.
    p.WriteInteger("額縁の幅", 4);
    EXPECT_EQ(p.ReadInteger("額縁の幅"), 4);
}

TEST(Parameter, MissingOrEmptyValueRaisesNotFound) {
    TParameter p;
    p.Add("Left=");
    EXPECT_EQ(messageOf<EValueName>([&] { p.ReadString("Top"); }),
              "Name 'Top' is not found in parameters.");
    EXPECT_EQ(messageOf<EValueName>([&] { p.ReadString("Left"); }),
              "Name 'Left' is not found in parameters.");
    EXPECT_EQ(messageOf<EValueName>([&] { p.ReadInteger("Left"); }),
              "Name 'Left' is not found in parameters.");
    EXPECT_EQ(messageOf<EValueName>([&] { p.ReadBool("Smooth"); }),
              "Name 'Smooth' is not found in parameters.");
    // The component's own exception is one of the framework's.
    EXPECT_THROW(p.ReadString("Top"), Exception);
}

TEST(Parameter, EmptyStringIsStoredAsCharacter26AndReadsBackEmpty) {
    TParameter p;
    p.WriteString("OpenDir", "");
    ASSERT_EQ(p.GetCount(), 1);
    EXPECT_EQ(p.GetLine(0), "OpenDir=\x1A");
    EXPECT_EQ(p.ReadString("OpenDir"), "");
    EXPECT_EQ(p.GetText(), "OpenDir=\x1A\r\n");
    // Only the lone character means empty.
    p.WriteString("SaveDir", "\x1A\x1A");
    EXPECT_EQ(p.ReadString("SaveDir"), "\x1A\x1A");
}

TEST(Parameter, WriteReplacesTheFirstMatchOrAppends) {
    TParameter p;
    p.Add("Header");
    p.WriteInteger("Left", 10);
    p.WriteInteger("Top", -20);
    p.Add("left=99");
    p.WriteInteger("LEFT", 30);
    EXPECT_EQ(linesOf(p), (std::vector<std::string>{"Header", "LEFT=30", "Top=-20", "left=99"}));
    p.WriteBool("Smooth", true);
    p.WriteBool("Histgram", false);
    p.WriteString("SaveDir", "/home/ユーザー/画像");
    EXPECT_EQ(p.ReadInteger("left"), 30);
    EXPECT_EQ(p.ReadInteger("Top"), -20);
    EXPECT_TRUE(p.ReadBool("Smooth"));
    EXPECT_FALSE(p.ReadBool("Histgram"));
    EXPECT_EQ(p.ReadString("SaveDir"), "/home/ユーザー/画像");
    EXPECT_EQ(p.GetLine(4), "Smooth=True");
    EXPECT_EQ(p.GetLine(5), "Histgram=False");
}

TEST(Parameter, ReadIntegerUsesDecimalConversion) {
    TParameter p;
    struct Case {
        const char* value;
        int expected;
    };
    for (Case c : {Case{"0", 0}, Case{"-32768", -32768}, Case{"+12", 12}, Case{"  7", 7},
                   Case{"2147483647", 2147483647}, Case{"-2147483648", -2147483647 - 1}}) {
        p.WriteString("JPEGQuality", c.value);
        EXPECT_EQ(p.ReadInteger("JPEGQuality"), c.expected) << c.value;
    }
    for (const char* bad : {"abc", "12x", "7 ", "-", "2147483648", "-2147483649", "1.5", "0x10",
                            "99999999999999999999"}) {
        p.WriteString("JPEGQuality", bad);
        EXPECT_EQ(messageOf<EConvertError>([&] { p.ReadInteger("JPEGQuality"); }),
                  std::string("'") + bad + "' は整数ではありません");
    }
    p.WriteString("JPEGQuality", "");
    EXPECT_EQ(messageOf<EConvertError>([&] { p.ReadInteger("JPEGQuality"); }),
              "'' は整数ではありません");
}

TEST(Parameter, ReadBoolAcceptsExactlyTrueAndFalse) {
    TParameter p;
    for (const char* bad : {"true", "FALSE", "1", " True", "Yes"}) {
        p.WriteString("Smooth", bad);
        EXPECT_EQ(messageOf<EValueName>([&] { p.ReadBool("smooth"); }),
                  std::string("Value of smooth '") + bad + "' is not Boolean Type.");
    }
}

TEST(Parameter, RawLineOperationsCheckTheirIndex) {
    TParameter p;
    EXPECT_EQ(p.Add("a"), 0);
    p.Insert(1, "c");
    p.Insert(1, "b");
    p.Delete(0);
    EXPECT_EQ(linesOf(p), (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(messageOf<ERangeError>([&] { p.Delete(2); }),
              "リストのインデックスが範囲を超えています (2)");
    EXPECT_THROW(p.Insert(3, "x"), ERangeError);
    EXPECT_THROW(p.Insert(-1, "x"), ERangeError);
    EXPECT_THROW(p.GetLine(-1), ERangeError);
    p.Clear();
    EXPECT_EQ(p.GetCount(), 0);
}

TEST(Parameter, LoadSplitsOnEveryLineEndAndSaveWritesCrLf) {
    pwtest::TempDir dir;
    pwtest::writeFile(dir / "p.ini", bytesOf("head\r\nA=1\rB=2\nC=3\r\n\r\nD=4"));
    TParameter p;
    p.SetDir(dir.path().string());
    p.SetFileName("p.ini");
    p.Add("replaced by the file");
    p.Load();
    EXPECT_EQ(linesOf(p), (std::vector<std::string>{"head", "A=1", "B=2", "C=3", "", "D=4"}));
    p.WriteInteger("B", 5);
    p.Save();
    EXPECT_EQ(asString(pwtest::readFile(dir / "p.ini")),
              "head\r\nA=1\r\nB=5\r\nC=3\r\n\r\nD=4\r\n");
    // A trailing line end adds no empty line on reading.
    TParameter q;
    q.SetDir(dir.path().string());
    q.SetFileName("p.ini");
    q.Load();
    EXPECT_EQ(linesOf(q), linesOf(p));
}

TEST(Parameter, MissingOrEmptyFileLoadsNothing) {
    pwtest::TempDir dir;
    TParameter p;
    p.SetDir(dir.path().string());
    p.SetFileName("none.ini");
    p.Add("kept");
    p.Load();
    EXPECT_EQ(p.GetCount(), 1) << "a missing file leaves the lines alone";

    pwtest::writeFile(dir / "empty.ini", {});
    p.SetFileName("empty.ini");
    p.Load();
    EXPECT_EQ(p.GetCount(), 0) << "an empty file is a first run";

    // Without a full name there is nothing to load or save.
    TParameter nameless;
    nameless.Add("x");
    nameless.Load();
    nameless.Save();
    EXPECT_EQ(nameless.GetCount(), 1);
}

TEST(Parameter, LoadRefusesWhatIsNotASettingsFile) {
    pwtest::TempDir dir;
    fs::create_directory(dir / "folder.ini");
    TParameter p;
    p.SetDir(dir.path().string());
    p.SetFileName("folder.ini");
    EXPECT_THROW(p.Load(), EFileError);

    // A huge file is refused before it is read into memory.
    {
        std::FILE* f = std::fopen((dir / "huge.ini").c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(::ftruncate(fileno(f), TParameter::MaxFileSize + 1), 0);
        std::fclose(f);
    }
    p.SetFileName("huge.ini");
    const std::string message = messageOf<EFileError>([&] { p.Load(); });
    EXPECT_NE(message.find((dir / "huge.ini").string()), std::string::npos) << message;
}

TEST(Parameter, ReadsShiftJisFilesAndWritesUtf8) {
    // "エッジ強調レベル=3" and "OpenDir=C:\表ソ" in code page 932; 表 and ソ have "\" as
    // their second byte, which must not be taken for a separate character.
    const std::string sjis =
        "Pixelwright\r\n"
        "\x83\x47\x83\x62\x83\x57\x8b\xad\x92\xb2\x83\x8c\x83\x78\x83\x8b=3\r\n"
        "OpenDir=C:\\\x95\x5c\x83\x5c\r\n";
    pwtest::TempDir dir;
    pwtest::writeFile(dir / "old.ini", bytesOf(sjis));
    TParameter p;
    p.SetDir(dir.path().string());
    p.SetFileName("old.ini");
    p.Load();
    EXPECT_EQ(p.ReadInteger("エッジ強調レベル"), 3);
    EXPECT_EQ(p.ReadString("OpenDir"), "C:\\表ソ");
    p.Save();
    EXPECT_EQ(asString(pwtest::readFile(dir / "old.ini")),
              "Pixelwright\r\nエッジ強調レベル=3\r\nOpenDir=C:\\表ソ\r\n");

    // Bytes that are neither UTF-8 nor Shift-JIS still load, marked as U+FFFD.
    p.SetText("A=\x83\r\nB=\xa0\xff\r\n");
    EXPECT_EQ(p.GetCount(), 2);
    EXPECT_EQ(p.ReadString("A"), "\xEF\xBF\xBD");

    // A byte-order mark from an editor does not become part of the first name.
    p.SetText("\xEF\xBB\xBFLeft=5\r\n");
    EXPECT_EQ(p.ReadInteger("Left"), 5);
}

TEST(Parameter, OwnFileKeepsFileNamesThatAreNotUtf8) {
    // A folder name in another encoding is legal here. Written into our own UTF-8 file it
    // must neither turn the file into "Shift-JIS" on reading (garbling every Japanese
    // key) nor lose its bytes.
    TParameter p;
    SettingsKeys::WriteFirstRun(p, 0, 0);
    p.WriteString(SettingsKeys::OpenDir, "/home/caf\xe9");
    p.WriteInteger(SettingsKeys::EdgeLevel, 4);
    TParameter q;
    q.SetText(p.GetText());
    EXPECT_EQ(q.ReadString(SettingsKeys::OpenDir), "/home/caf\xe9");
    EXPECT_EQ(q.ReadInteger(SettingsKeys::EdgeLevel), 4);
    EXPECT_EQ(q.GetText(), p.GetText());
}

TEST(Parameter, SaveNeverSplitsALineInTwo) {
    // A folder name may hold a line break here; written raw, it would become a second
    // entry on reading (and could pose as another key).
    TParameter p;
    p.WriteString("OpenDir", "/tmp/a\nLeft=-9999\rb");
    p.WriteInteger("Left", 10);
    const std::string text = p.GetText();
    EXPECT_EQ(text, "OpenDir=/tmp/a Left=-9999 b\r\nLeft=10\r\n");
    TParameter q;
    q.SetText(text);
    EXPECT_EQ(q.GetCount(), 2);
    EXPECT_EQ(q.ReadInteger("Left"), 10);
}

TEST(Parameter, SaveReplacesTheFileAtomically) {
    pwtest::TempDir dir;
    const fs::path file = dir / "p.ini";
    pwtest::writeFile(file, bytesOf("old\r\nLeft=1\r\n"));
    ::chmod(file.c_str(), 0640);
    TParameter p;
    p.SetDir(dir.path().string());
    p.SetFileName("p.ini");
    p.Load();
    p.WriteInteger("Left", 2);
    p.Save();
    EXPECT_EQ(asString(pwtest::readFile(file)), "old\r\nLeft=2\r\n");
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read)
        << "the replaced file's permissions are kept";

    // A write that fails half-way (here: the file-size limit) leaves the old file whole
    // and no temporary file behind.
    p.WriteString("OpenDir", std::string(4096, 'x'));
    struct sigaction ignore = {}, previous = {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &previous);
    rlimit oldLimit{};
    ::getrlimit(RLIMIT_FSIZE, &oldLimit);
    rlimit small = oldLimit;
    small.rlim_cur = 1000;
    ::setrlimit(RLIMIT_FSIZE, &small);
    std::string message = messageOf<EFileError>([&] { p.Save(); });
    ::setrlimit(RLIMIT_FSIZE, &oldLimit);
    ::sigaction(SIGXFSZ, &previous, nullptr);
    EXPECT_NE(message.find("p.ini"), std::string::npos) << message;
    EXPECT_EQ(asString(pwtest::readFile(file)), "old\r\nLeft=2\r\n");
    int entries = 0;
    for ([[maybe_unused]] auto& e : fs::directory_iterator(dir.path()))
        ++entries;
    EXPECT_EQ(entries, 1);

    // A folder standing where the file should be is reported, not silently skipped.
    TParameter blocked;
    fs::create_directory(dir / "taken.ini");
    blocked.SetDir(dir.path().string());
    blocked.SetFileName("taken.ini");
    blocked.Add("x");
    EXPECT_THROW(blocked.Save(), EFileError);
}

TEST(Parameter, SaveFollowsASymbolicLink) {
    pwtest::TempDir dir;
    fs::create_directory(dir / "real");
    pwtest::writeFile(dir / "real" / "p.ini", bytesOf("old\r\n"));
    fs::create_symlink("real/p.ini", dir / "link.ini");
    TParameter p;
    p.SetDir(dir.path().string());
    p.SetFileName("link.ini");
    p.Add("new");
    p.Save();
    EXPECT_TRUE(fs::is_symlink(dir / "link.ini"));
    EXPECT_EQ(asString(pwtest::readFile(dir / "real" / "p.ini")), "new\r\n");
}

TEST(Parameter, OpenNamesTheFileAfterTheExecutable) {
    pwtest::TempDir dir;
    TParameter p;
    p.SetExeName((dir / "prog.exe").string());
    pwtest::writeFile(dir / "prog.ini", bytesOf("head\r\nLeft=3\r\n"));
    p.Add("kept");
    p.Open();
    EXPECT_EQ(p.GetDir(), dir.path().string());
    EXPECT_EQ(p.GetFileName(), "prog.ini");
    EXPECT_EQ(p.GetFullName(), (dir / "prog.ini").string());
    EXPECT_EQ(p.ReadInteger("Left"), 3);

    // A name without an extension gets ".ini" added; set parts are kept.
    TParameter q;
    q.SetExeName((dir / "pixelwright").string());
    q.SetFileName("own.ini");
    q.Open();
    EXPECT_EQ(q.GetDir(), dir.path().string());
    EXPECT_EQ(q.GetFileName(), "own.ini");
    TParameter r;
    r.SetExeName((dir / "pixelwright").string());
    r.Open();
    EXPECT_EQ(r.GetFileName(), "pixelwright.ini");
}

TEST(Parameter, OpenWithoutExeNameUsesTheRunningExecutable) {
    TParameter p;
    p.SetDir("/nonexistent-folder-for-settings-test");
    p.Open();
    const fs::path exe = fs::read_symlink("/proc/self/exe");
    EXPECT_EQ(p.GetExeName(), exe.string());
    EXPECT_EQ(p.GetFileName(), exe.stem().string() + ".ini");
    EXPECT_EQ(p.GetCount(), 0);
}

TEST(Parameter, UnwritableExecutableFolderFallsBackToTheUserConfigFolder) {
    pwtest::TempDir dir;
    const std::string missing = (dir / "no" / "such" / "bin").string();
    {
        ScopedEnv config("XDG_CONFIG_HOME", (dir / "cfg").string());
        EXPECT_EQ(TParameter::SettingsFolderFor(dir.path().string()), dir.path().string());
        EXPECT_EQ(TParameter::SettingsFolderFor(missing), (dir / "cfg" / "pixelwright").string());

        // The whole round: Open picks the fallback, Save creates it, Open finds it again.
        TParameter p;
        p.SetExeName(missing + "/pixelwright");
        p.Open();
        EXPECT_EQ(p.GetFullName(), (dir / "cfg" / "pixelwright" / "pixelwright.ini").string());
        p.WriteInteger("Left", 7);
        p.Save();
        TParameter q;
        q.SetExeName(missing + "/pixelwright");
        q.Open();
        EXPECT_EQ(q.ReadInteger("Left"), 7);
    }
    {
        // A relative XDG_CONFIG_HOME is ignored, as the base-directory rules say.
        ScopedEnv config("XDG_CONFIG_HOME", "relative/cfg");
        ScopedEnv home("HOME", (dir / "home").string());
        EXPECT_EQ(TParameter::SettingsFolderFor(missing),
                  (dir / "home" / ".config" / "pixelwright").string());
    }
    if (::geteuid() != 0) {
        fs::create_directory(dir / "ro");
        fs::permissions(dir / "ro", fs::perms::owner_read | fs::perms::owner_exec);
        ScopedEnv config("XDG_CONFIG_HOME", (dir / "cfg").string());
        EXPECT_EQ(TParameter::SettingsFolderFor((dir / "ro").string()),
                  (dir / "cfg" / "pixelwright").string());
        fs::permissions(dir / "ro", fs::perms::owner_all);
    }
}

TEST(Parameter, TolerantReadsGiveTheFallbackCollectTheMessageAndGoOn) {
    TParameter p;
    p.SetText("header\r\nLeft=2147483647\r\nJPEGQuality=abc\r\nSmooth=yes\r\n"
              "エッジ強調レベル=7\r\nOpenDir=/srv/pictures\r\nHistgram=True\r\n");
    std::vector<std::string> messages;
    EXPECT_EQ(p.ReadInteger("Left", 5, messages), 2147483647);
    EXPECT_EQ(SettingsKeys::ReadInteger(p, SettingsKeys::JPEGQuality, messages), 70);
    EXPECT_EQ(SettingsKeys::ReadBool(p, SettingsKeys::Smooth, messages), false);
    EXPECT_EQ(SettingsKeys::ReadBool(p, SettingsKeys::FrameLight, messages), true);
    // The keys after the bad ones still read as saved.
    EXPECT_EQ(SettingsKeys::ReadInteger(p, SettingsKeys::EdgeLevel, messages), 7);
    EXPECT_EQ(SettingsKeys::ReadString(p, SettingsKeys::OpenDir, messages), "/srv/pictures");
    EXPECT_EQ(SettingsKeys::ReadString(p, SettingsKeys::SaveDir, messages), "");
    EXPECT_EQ(SettingsKeys::ReadBool(p, SettingsKeys::Histgram, messages), true);
    EXPECT_EQ(messages, (std::vector<std::string>{
                            "'abc' は整数ではありません",
                            "Value of Smooth 'yes' is not Boolean Type.",
                            "Name '額縁の光の方向' is not found in parameters.",
                            "Name 'SaveDir' is not found in parameters.",
                        }));
    // The strict reads are unchanged.
    EXPECT_THROW(p.ReadInteger("JPEGQuality"), EConvertError);
}

TEST(Parameter, SaveAlwaysWritesAHeaderLine) {
    pwtest::TempDir dir;
    const std::string header = std::string(SettingsKeys::Header) + "\r\n";
    TParameter p;
    p.SetDir(dir.path().string());
    p.SetFileName("p.ini");
    // Nothing read (the file could not be loaded) and only keys written since.
    p.WriteInteger("Left", 3);
    p.Save();
    EXPECT_EQ(asString(pwtest::readFile(dir / "p.ini")), header + "Left=3\r\n");
    p.Save();
    EXPECT_EQ(asString(pwtest::readFile(dir / "p.ini")), header + "Left=3\r\n") << "only once";
    p.Clear();
    p.Save();
    EXPECT_EQ(asString(pwtest::readFile(dir / "p.ini")), header);
    // A file's own first line without "=" is its header and stays.
    p.SetText("old header\r\nLeft=1\r\n");
    p.Save();
    EXPECT_EQ(asString(pwtest::readFile(dir / "p.ini")), "old header\r\nLeft=1\r\n");
}
