// Text and file helpers of the settings file: encoding detection, Shift-JIS decoding,
// line splitting, bounded reading and atomic writing. Standard library and POSIX only.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace settings_text {

// True when `bytes` is well-formed UTF-8 (no overlong forms, no surrogates, nothing
// above U+10FFFF).
bool IsValidUtf8(std::string_view bytes);

// Shift-JIS (code page 932) to UTF-8. A byte sequence that is not Shift-JIS becomes
// U+FFFD and decoding goes on after it, so any input decodes in linear time.
std::string Cp932ToUtf8(std::string_view bytes);

// A settings file's bytes as text: leading UTF-8 byte-order marks are dropped; a file
// that is not valid UTF-8 is taken as Shift-JIS, unless its first line is this
// program's header in UTF-8, in which case its bytes are kept as they are.
std::string DecodeSettingsBytes(std::string_view bytes);

// Splits text into lines: CR LF, a lone CR and a lone LF each end a line. A final line
// without an ending counts; an ending at the very end adds no empty line.
std::vector<std::string> SplitLines(std::string_view text);

// Reads a whole regular file of at most maxSize bytes. Raises EFileError when the file
// cannot be read or is larger.
std::string ReadFileBounded(const std::string& path, long long maxSize);

// Writes `bytes` to `path` through a temporary file in the same folder, flushed to disk
// and renamed over the target; the target's permissions are kept (a new file gets
// `newMode` less the umask). A symbolic link is followed and its target replaced.
// Raises EFileError on failure, after removing the temporary file; the old file is then
// untouched.
void WriteFileAtomically(const std::string& path, std::string_view bytes, unsigned newMode = 0666);

// True when `folder` is an existing folder this process may create files in (its
// permissions allow it and it is not on a read-only mount).
bool CanCreateFileIn(const std::string& folder);

} // namespace settings_text
