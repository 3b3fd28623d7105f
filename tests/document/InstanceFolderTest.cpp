// The per-instance folder of the temporary copies.
#include <gtest/gtest.h>

#include <fstream>

#include <sys/wait.h>
#include <unistd.h>

#include "document/InstanceFolder.h"
#include "support/TestSupport.h"

namespace {

// The pid of a process that has ended.
pid_t deadPid() {
    pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    int status = 0;
    ::waitpid(child, &status, 0);
    return child;
}

void touch(const std::filesystem::path& p) {
    std::ofstream(p) << "x";
}

} // namespace

TEST(InstanceFolder, TwoInstancesNeverShareAFolder) {
    pwtest::TempDir base;
    std::filesystem::path mine;
    {
        TInstanceFolder self(base.path(), ::getpid());
        // Another running instance (the parent process stands in for it).
        TInstanceFolder other(base.path(), ::getppid());
        mine = self.path();
        EXPECT_NE(self.path(), other.path());
        EXPECT_EQ(self.path(), base / ("pixelwright-" + std::to_string(::getpid())));
        touch(self.path() / "ImageData.bmp");
        touch(other.path() / "ImageData.bmp");
        // Making a folder never removes one of an instance that still runs.
        TInstanceFolder third(base.path(), ::getppid() == 1 ? 2 : 1);
        EXPECT_TRUE(std::filesystem::exists(self.path() / "ImageData.bmp"));
        EXPECT_TRUE(std::filesystem::exists(other.path() / "ImageData.bmp"));
        auto perms = std::filesystem::status(self.path()).permissions();
        EXPECT_EQ(perms & std::filesystem::perms::all, std::filesystem::perms::owner_all);
    }
    EXPECT_FALSE(std::filesystem::exists(mine));
}

TEST(InstanceFolder, WhatACrashedInstanceLeftIsNeverRead) {
    pwtest::TempDir base;
    pwtest::TempDir elsewhere;
    // A crashed instance's folder, a leftover of this very pid (recycled), and a link
    // with a dead pid's name that points at someone else's files.
    const pid_t dead = deadPid();
    const auto crashed = base / ("pixelwright-" + std::to_string(dead));
    const auto recycled = base / ("pixelwright-" + std::to_string(::getpid()));
    const auto link = base / ("pixelwright-" + std::to_string(deadPid()));
    std::filesystem::create_directory(crashed);
    std::filesystem::create_directory(recycled);
    touch(crashed / "ImageData.bmp");
    touch(recycled / "ImageData.bmp");
    touch(elsewhere / "keep.txt");
    std::filesystem::create_directory_symlink(elsewhere.path(), link);
    touch(base / "pixelwright-notes.txt");

    TInstanceFolder folder(base.path(), ::getpid());
    EXPECT_EQ(folder.path(), recycled);
    EXPECT_FALSE(std::filesystem::exists(recycled / "ImageData.bmp"));
    EXPECT_FALSE(std::filesystem::exists(crashed));
    EXPECT_TRUE(std::filesystem::exists(elsewhere / "keep.txt"));
    EXPECT_TRUE(std::filesystem::exists(base / "pixelwright-notes.txt"));
}

TEST(InstanceFolder, FallsBackToAPrivateTemporaryFolder) {
    std::filesystem::path made;
    for (const std::filesystem::path& base :
         {std::filesystem::path(), std::filesystem::path("/nonexistent/run"),
          std::filesystem::path("relative")}) {
        SCOPED_TRACE(base.string());
        TInstanceFolder folder(base, ::getpid());
        made = folder.path();
        EXPECT_TRUE(std::filesystem::is_directory(made));
        EXPECT_NE(made.filename().string().find("pixelwright-" + std::to_string(::getpid()) + "-"),
                  std::string::npos);
        auto perms = std::filesystem::status(made).permissions();
        EXPECT_EQ(perms & std::filesystem::perms::all, std::filesystem::perms::owner_all);
    }
    EXPECT_FALSE(std::filesystem::exists(made));
}
