// pwtool's printing commands: poster printing into a PDF (or a printer), the paper
// listing and the sheet layout, through the print preview's own placement and printing.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace cli {

// Whether the arguments ask for one of the printing commands (--print, --paper-info,
// --layout).
bool isPrintCommand(const std::vector<std::string>& args);
// Runs a printing command; returns the exit status (2 for a usage error).
int runPrintCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
// The printing commands' part of the help text, made from their option table.
std::string printHelpText();

} // namespace cli
