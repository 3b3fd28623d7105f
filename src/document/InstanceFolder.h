// The private folder of one running instance, for the temporary copies of pictures that
// arrived without a file. Each instance has its own, so that two running instances never
// overwrite, read or delete each other's copies.
#pragma once

#include <filesystem>
#include <sys/types.h>

class TInstanceFolder {
public:
    // Creates "pixelwright-<pid>" (mode 0700) in base, normally $XDG_RUNTIME_DIR. Before
    // that, folders of this name pattern left in base by instances that are no longer
    // running (a crash leaves its folder behind) are removed, and so is a leftover folder
    // of this very pid, so nothing a dead instance wrote is ever read. When base is empty
    // or unusable, a private folder "pixelwright-<pid>-XXXXXX" in the system's temporary
    // folder is made instead. Throws EFileError when neither can be created.
    TInstanceFolder(const std::filesystem::path& base, pid_t pid);
    // The folder for this process under $XDG_RUNTIME_DIR.
    static std::filesystem::path RuntimeBase();
    // Removes the folder and everything in it.
    ~TInstanceFolder();
    TInstanceFolder(const TInstanceFolder&) = delete;
    TInstanceFolder& operator=(const TInstanceFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }

    // Removes every folder of the pattern in base whose pid is no longer running and
    // that belongs to this user. Returns how many were removed.
    static int RemoveStale(const std::filesystem::path& base);

private:
    std::filesystem::path path_;
};
