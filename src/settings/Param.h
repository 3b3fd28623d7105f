// TParameter: the program's settings file, held in memory as "name=value" lines.
//
// The first line of the file is a header without "="; every other line is a name, "="
// and a value. Reads and writes go by name (matched ignoring ASCII case, first matching
// line wins) and touch only the lines in memory; Save writes the whole file.
//
// The file is written in UTF-8 with CR LF line ends. A file whose bytes are not valid
// UTF-8 is read as Shift-JIS (code page 932), so a settings file written by the
// program's Windows ancestors still reads.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/Exceptions.h"

// A missing name or a value of the wrong kind in the settings.
class EValueName : public Exception {
public:
    using Exception::Exception;
};

// Folder numbers understood by CreateShortcut and DeleteShortcut. They keep the
// numbering of the special folders that shortcuts were historically made in; on this
// platform each stands for the freedesktop folder named beside it.
namespace ShortcutFolder {
inline constexpr int Desktop = 0x0000;          // the user's desktop folder
inline constexpr int Programs = 0x0002;         // $XDG_DATA_HOME/applications (menu)
inline constexpr int Startup = 0x0007;          // $XDG_CONFIG_HOME/autostart
inline constexpr int StartMenu = 0x000b;        // $XDG_DATA_HOME/applications (menu)
inline constexpr int DesktopDirectory = 0x0010; // the user's desktop folder
} // namespace ShortcutFolder

class TParameter {
public:
    TParameter();
    virtual ~TParameter();
    TParameter(const TParameter&) = delete;
    TParameter& operator=(const TParameter&) = delete;

    // Folder of the settings file.
    const std::string& GetDir() const { return dir_; }
    void SetDir(const std::string& value) { dir_ = value; }
    // Name of the settings file inside Dir.
    const std::string& GetFileName() const { return fileName_; }
    void SetFileName(const std::string& value) { fileName_ = value; }
    // Dir + "/" + FileName ("/" only when Dir does not end with one); empty when either
    // part is empty.
    std::string GetFullName() const;
    // Path of the executable the file is named after.
    const std::string& GetExeName() const { return exeName_; }
    void SetExeName(const std::string& value) { exeName_ = value; }
    // Number of lines, header included.
    virtual int GetCount() const;
    // A precision setting kept for compatibility: 15 at creation, only 3..18 accepted.
    int GetDigit() const { return digit_; }
    void SetDigit(int value);

    // Virtual operations in their historical slot order.
    // Appends a raw line and returns its index.
    virtual int Add(const std::string& line);
    // Creates a freedesktop launcher `name`.desktop for ExeName in the folder that
    // `folder` stands for (see ShortcutFolder). False when ExeName, the folder or the
    // name is empty, the name is not a plain file name, or the file cannot be written.
    virtual bool CreateShortcut(int folder, const std::string& name);
    // Deletes the launcher made by CreateShortcut; true when a file was deleted.
    virtual bool DeleteShortcut(int folder, const std::string& name);

    // Fills in whatever of ExeName, Dir and FileName is empty (the running executable;
    // its folder, or the per-user configuration folder when that folder is not writable;
    // the executable's name with ".ini"), then Load. The lines are not cleared first.
    virtual void Open();
    // Raw line operations. Insert accepts 0..Count, Delete 0..Count-1; an index outside
    // raises ERangeError.
    virtual void Clear();
    virtual void Insert(int index, const std::string& line);
    virtual void Delete(int index);

    // Replaces the lines by the file's lines when the file FullName exists.
    virtual void Load();
    // Writes every line to FullName (when it is not empty) through a temporary file
    // and a rename, so a failed write leaves the old file as it was. The file always
    // starts with a header line: when the first line is a "name=value" line (the file
    // could not be read at start, say) or there is none, the program's header is put
    // first.
    virtual void Save();

    // The line at `index` (0..Count-1, else ERangeError).
    const std::string& GetLine(int index) const;

    // Typed access by name. Reads raise EValueName when no line has the name or its
    // value is empty; ReadInteger raises EConvertError for a value that is not an
    // integer; ReadBool accepts exactly "True" and "False".
    std::string ReadString(std::string_view name) const;
    int ReadInteger(std::string_view name) const;
    bool ReadBool(std::string_view name) const;
    // Sets the first matching line to name=value, or appends one. An empty value is
    // stored as the single character 26, because an empty value reads as absent.
    void WriteString(std::string_view name, std::string_view value);
    void WriteInteger(std::string_view name, int value);
    void WriteBool(std::string_view name, bool value);

    // Tolerant reads for restoring a window: a key that is missing or whose value is
    // malformed gives `fallback`, and the message the strict read raises is appended to
    // `messages`. One bad key thus neither stops the reading of the keys after it nor
    // makes their saved values fall back to defaults.
    std::string ReadString(std::string_view name, std::string_view fallback,
                           std::vector<std::string>& messages) const;
    int ReadInteger(std::string_view name, int fallback, std::vector<std::string>& messages) const;
    bool ReadBool(std::string_view name, bool fallback, std::vector<std::string>& messages) const;

    // The bytes Save writes, and the parsing Load does on a file's bytes.
    std::string GetText() const;
    void SetText(std::string_view bytes);

    // The folder the settings file goes in for an executable in `exeFolder`: that
    // folder when a file can be created in it, else $XDG_CONFIG_HOME/pixelwright
    // (default ~/.config/pixelwright).
    static std::string SettingsFolderFor(const std::string& exeFolder);
    // Folder part of a path: everything before the last "/", keeping the root's "/".
    static std::string FolderOf(const std::string& path);
    // The folder a ShortcutFolder number stands for, or empty when it has none.
    static std::string SpecialFolderPath(int folder);

    // Largest settings file Load accepts.
    static constexpr long long MaxFileSize = 16 * 1024 * 1024;

private:
    // Index of the first line whose text before its first "=" equals `name` ignoring
    // ASCII case, or -1.
    int IndexOfName(std::string_view name) const;
    void CheckIndex(int index, int count) const;

    std::vector<std::string> lines_;
    std::string dir_;
    std::string fileName_;
    std::string exeName_;
    int digit_ = 15;
};
