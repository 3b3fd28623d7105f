// Replacing a file so that a crash or a full disk never leaves it half written.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>

namespace core {

// Writes bytes to path through a temporary file in the target's folder, flushed to disk
// and renamed over the target; the folder is flushed after the rename. A symbolic link
// is written through: its final target is replaced and the link stays a link. The
// replaced file's permissions are kept; a new file gets newMode less the umask.
// Throws EFileWriteError ("<path> に書き込めません: <reason>") after removing the temporary
// file; the old file is then untouched.
void writeFileAtomically(const std::filesystem::path& path, std::span<const uint8_t> bytes,
                         unsigned newMode = 0666);

// The file a path names after following every symbolic link on the final component
// (a dangling link names the file that would be created). Paths that are no link come
// back unchanged. Throws EFileWriteError for a loop of links.
std::filesystem::path resolveLinkTarget(const std::filesystem::path& path);

} // namespace core
