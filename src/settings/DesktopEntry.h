// freedesktop launchers (.desktop files) and the per-user folders they live in.
#pragma once

#include <string>
#include <string_view>

namespace desktop_entry {

// The user's home folder: $HOME, else the password database; empty when neither knows.
std::string HomeFolder();
// $XDG_CONFIG_HOME when it is an absolute path, else ~/.config; empty without a home.
std::string ConfigHome();
// $XDG_DATA_HOME when it is an absolute path, else ~/.local/share; empty without a home.
std::string DataHome();
// XDG_DESKTOP_DIR from $XDG_CONFIG_HOME/user-dirs.dirs, else ~/Desktop.
std::string DesktopFolder();

// A value of type string: backslash, line breaks, tab and a leading blank escaped.
std::string EscapeString(std::string_view text);
// One argument of an Exec key, quoted so that blanks and reserved characters in it
// survive, with "%" doubled; EscapeString is still to be applied to the whole key.
std::string QuoteExecArgument(std::string_view argument);

// The launcher of `exeName` shown as `name`: it starts the program in the folder of
// the executable and hands it a file dropped on the launcher.
std::string LauncherText(const std::string& exeName, const std::string& name);

} // namespace desktop_entry
