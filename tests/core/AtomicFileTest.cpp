#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <sys/stat.h>
#include <unistd.h>

#include "core/AtomicFile.h"
#include "core/Exceptions.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;

namespace {

std::string readText(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void write(const fs::path& p, std::string_view text) {
    core::writeFileAtomically(p, {reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

mode_t modeOf(const fs::path& p) {
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0);
    return st.st_mode & 07777;
}

size_t entries(const fs::path& dir) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir), {}));
}

} // namespace

TEST(AtomicFile, ReplacesContentAndKeepsPermissions) {
    pwtest::TempDir dir;
    const fs::path path = dir / "a.txt";
    write(path, "first, longer content");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    write(path, "second");
    EXPECT_EQ(readText(path), "second");
    EXPECT_EQ(modeOf(path), 0640u);
    EXPECT_EQ(entries(dir.path()), 1u); // no temporary file left behind
}

TEST(AtomicFile, WritesThroughSymbolicLinks) {
    pwtest::TempDir dir;
    fs::create_directory(dir / "real");
    const fs::path target = dir / "real" / "settings.ini";
    write(target, "old");
    ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
    // A chain of two links, the first one relative.
    fs::create_symlink(target, dir / "abs-link");
    fs::create_symlink("abs-link", dir / "link");
    write(dir / "link", "new");
    EXPECT_TRUE(fs::is_symlink(dir / "link"));
    EXPECT_TRUE(fs::is_symlink(dir / "abs-link"));
    EXPECT_EQ(readText(target), "new");
    EXPECT_EQ(modeOf(target), 0600u);
    // The temporary file went next to the target, and is gone.
    EXPECT_EQ(entries(dir / "real"), 1u);

    // A dangling link creates the file it names.
    fs::create_symlink("real/fresh.txt", dir / "dangling");
    write(dir / "dangling", "made");
    EXPECT_EQ(readText(dir / "real" / "fresh.txt"), "made");
    EXPECT_TRUE(fs::is_symlink(dir / "dangling"));
}

TEST(AtomicFile, FailuresLeaveTheOldFileAndNoDebris) {
    pwtest::TempDir dir;
    EXPECT_THROW(write(dir / "missing" / "a.txt", "x"), EFileWriteError);
    fs::create_directory(dir / "folder");
    try {
        write(dir / "folder", "x");
        FAIL() << "a folder was overwritten";
    } catch (const EFileWriteError& e) {
        EXPECT_NE(std::string(e.what()).find("folder"), std::string::npos);
        EXPECT_FALSE(e.reason().empty());
    }
    fs::create_symlink("loop-b", dir / "loop-a");
    fs::create_symlink("loop-a", dir / "loop-b");
    EXPECT_THROW(write(dir / "loop-a", "x"), EFileError);

    if (::geteuid() != 0) { // root writes into read-only folders
        fs::create_directory(dir / "ro");
        write(dir / "ro" / "kept.txt", "kept");
        ASSERT_EQ(::chmod((dir / "ro").c_str(), 0500), 0);
        EXPECT_THROW(write(dir / "ro" / "kept.txt", "lost"), EFileError);
        ::chmod((dir / "ro").c_str(), 0700);
        EXPECT_EQ(readText(dir / "ro" / "kept.txt"), "kept");
        EXPECT_EQ(entries(dir / "ro"), 1u);
    }
}
