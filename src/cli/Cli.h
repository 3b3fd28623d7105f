// pwtool: the engine from the command line.
//
//   pwtool --help
//   pwtool --info INPUT
//   pwtool --levels INPUT PERCENT STEP
//   pwtool --histogram INPUT SHIFT
//   pwtool INPUT [STEP]... [-o OUTPUT] [-q QUALITY] [--events]
//
// Each STEP names an engine operation by its Kind string, with its arguments after "="
// separated by commas ("Bright=120", "Framing=8,150,left"). The parser and the help text
// come from the engine's operation table (engine/Operations.h).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/Operations.h"

namespace cli {

// Parses "Name" or "Name=a,b,c" against the engine's operation table; throws
// std::invalid_argument with a message naming the step and the argument on any fault.
// Integer arguments that have names (Reduce's methods) take the name or the number.
struct Step {
    const engine::Operation* operation = nullptr;
    std::vector<engine::Value> values;
};
Step parseStep(const std::string& text);
// Runs a parsed step on engine and writes the value it reports ("Used=128") to out.
void runStep(TFastPicture& engine, const Step& step, std::ostream& out);

// A fault in the command line itself (as opposed to a picture that cannot be read):
// exit status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// The whole of text as a decimal integer in min..max; throws UsageError naming `what`.
int64_t parseInteger(const std::string& what, const std::string& text, int64_t min, int64_t max);

// The whole help text.
std::string helpText();

// Runs pwtool with the arguments after the program name; returns the exit status.
// Results go to out, errors and --events lines to err.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The program entry: fixes the screen facts, registers the picture formats, runs.
int main(int argc, char** argv);

} // namespace cli
