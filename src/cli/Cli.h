// pwtool: the engine from the command line.
//
//   pwtool --help
//   pwtool --info INPUT
//   pwtool --levels INPUT PERCENT STEP
//   pwtool --histogram INPUT SHIFT
//   pwtool INPUT [STEP]... [-o OUTPUT] [-q QUALITY] [--events]
//
// Each STEP names an engine operation by its Kind string, with its arguments after "="
// separated by commas ("Bright=120", "Framing=8,150,left"). Every operation is declared
// once in the table returned by operations(): the parser, the argument checks and the help
// text all come from it.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

class TFastPicture;

namespace cli {

// One argument of an operation: an integer in [min, max], a real number in [min, max], or
// one word of a list.
struct Argument {
    enum Type { Integer, Real, Choice };
    const char* name;
    Type type;
    long double min = 0;
    long double max = 0;
    std::vector<std::string> choices = {};
};

// A checked argument value: integer and real arguments in number, a choice as the index of
// its word.
struct Value {
    int64_t integer = 0;
    long double real = 0;
};

struct Operation {
    const char* name; // the Kind string
    std::vector<Argument> arguments;
    const char* effect; // one line for the help text
    std::function<void(TFastPicture&, const std::vector<Value>&, std::ostream& out)> call;
};

const std::vector<Operation>& operations();
const Operation* findOperation(const std::string& name);

// Parses "Name" or "Name=a,b,c" against the table; throws std::invalid_argument with a
// message naming the step and the argument on any fault.
struct Step {
    const Operation* operation = nullptr;
    std::vector<Value> values;
};
Step parseStep(const std::string& text);

// The whole help text.
std::string helpText();

// Runs pwtool with the arguments after the program name; returns the exit status.
// Results go to out, errors and --events lines to err.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The program entry: fixes the screen facts, registers the picture formats, runs.
int main(int argc, char** argv);

} // namespace cli
