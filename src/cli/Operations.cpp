// pwtool's steps: parsing "Name=a,b,c" against the engine's operation table, and the help
// text written from the same table. An argument is accepted when its parameter can carry
// it; values the operation itself ignores (Bright=100, Light=300) are passed on, so that
// the operation's own check decides, as it does for the window.
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>

#include "cli/Cli.h"

namespace cli {

namespace {

using engine::Argument;
using engine::Operation;
using engine::Value;

std::vector<std::string> splitCommas(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return parts;
}

std::string integerText(long double v) {
    return std::to_string(static_cast<long long>(v));
}

std::string realText(long double v) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%Lg", v);
    return buffer;
}

std::string wordsText(const Argument& a) {
    std::string s;
    for (const auto& w : a.names)
        s += (s.empty() ? "" : "|") + w;
    return s;
}

// What the parser takes for an argument ("integer -2147483648..2147483647").
std::string carryText(const Argument& a) {
    switch (a.type) {
    case Argument::Integer:
        if (a.carryMin <= std::numeric_limits<int>::min() &&
            a.carryMax >= std::numeric_limits<int>::max())
            return "integer";
        return "integer " + integerText(a.carryMin) + ".." + integerText(a.carryMax);
    case Argument::Real:
        return "real number";
    case Argument::Choice:
        return wordsText(a);
    }
    return {};
}

// Where the operation does its work ("works for 0..255 except 100"); empty when the
// operation takes every value the parameter can carry.
std::string validText(const Argument& a) {
    if (a.type == Argument::Choice) return {};
    if (a.min <= a.carryMin && a.max >= a.carryMax && !a.identity) return {};
    auto number = [&](long double v) {
        return a.type == Argument::Real ? realText(v) : integerText(v);
    };
    std::string s = "works for ";
    if (a.max >= engine::kNoUpperBound)
        s += number(a.min) + " and above";
    else
        s += number(a.min) + ".." + number(a.max);
    if (a.identity) s += " except " + number(*a.identity);
    return s;
}

Value parseValue(const std::string& step, const Argument& a, const std::string& text) {
    auto fail = [&](const std::string& why) {
        return std::invalid_argument(step + ": " + a.name + " " + why);
    };
    Value v;
    for (size_t i = 0; i < a.names.size(); ++i)
        if (text == a.names[i]) {
            v.integer = static_cast<int64_t>(i);
            v.real = static_cast<long double>(i);
            return v;
        }
    if (a.type == Argument::Choice)
        throw fail("must be " + carryText(a) + ", not \"" + text + "\"");
    if (text.empty()) throw fail("is missing");
    size_t used = 0;
    try {
        if (a.type == Argument::Integer) {
            const long long n = std::stoll(text, &used, 10);
            if (used == text.size()) {
                if (n < a.carryMin || n > a.carryMax)
                    throw fail("must be an integer " + integerText(a.carryMin) + ".." +
                               integerText(a.carryMax) + ", not " + text);
                v.integer = n;
                v.real = static_cast<long double>(n);
                return v;
            }
        } else {
            const long double r = std::stold(text, &used);
            if (used == text.size() && std::isfinite(r)) {
                v.real = r;
                return v;
            }
        }
    } catch (const std::out_of_range&) {
        throw fail("is out of range: " + text);
    } catch (const std::invalid_argument& e) {
        if (std::string(e.what()).rfind(step, 0) == 0) throw;
    }
    if (!a.names.empty())
        throw fail("must be a number or one of " + wordsText(a) + ", not \"" + text + "\"");
    throw fail("is not a number: \"" + text + "\"");
}

} // namespace

Step parseStep(const std::string& text) {
    const size_t eq = text.find('=');
    const std::string name = text.substr(0, eq);
    const Operation* op = engine::findOperation(name);
    if (!op) throw std::invalid_argument("unknown operation \"" + name + "\" (see --help)");
    std::vector<std::string> parts;
    if (eq != std::string::npos) parts = splitCommas(text.substr(eq + 1));
    if (parts.size() != op->arguments.size())
        throw std::invalid_argument(name + " takes " + std::to_string(op->arguments.size()) +
                                    " argument(s), not " + std::to_string(parts.size()));
    Step step;
    step.operation = op;
    for (size_t i = 0; i < parts.size(); ++i)
        step.values.push_back(parseValue(name, op->arguments[i], parts[i]));
    return step;
}

std::string helpText() {
    std::string s =
        "usage:\n"
        "  pwtool --info INPUT                 print \"<width> <height> <bits-per-pixel> <kind>\"\n"
        "  pwtool INPUT -o OUTPUT              convert by the output's extension\n"
        "  pwtool INPUT [STEP]... [-o OUTPUT] [-q QUALITY] [--events]\n"
        "                                      run operations in order; -q: JPEG and WebP\n"
        "                                      quality 1..100 (WebP at 100: lossless);\n"
        "                                      --events: print \"Amend <Kind>\" / \"Amended "
        "<Kind>\"\n"
        "                                      on standard error\n"
        "  pwtool --levels INPUT PERCENT STEP  print \"Low=<n> High=<n>\"\n"
        "  pwtool --histogram INPUT SHIFT      print VMax and the B, G, R percentages\n"
        "  pwtool --help\n"
        "\n"
        "operations (STEP is NAME or NAME=ARG,ARG,...); an operation called outside the\n"
        "values it works for changes nothing:\n";
    for (const Operation& op : engine::operations()) {
        std::string line = "  ";
        line += op.name;
        for (size_t i = 0; i < op.arguments.size(); ++i) {
            line += i == 0 ? "=" : ",";
            line += op.arguments[i].name;
        }
        s += line + "\n      " + op.effect;
        if (op.result) s += std::string("; prints ") + op.result + "=<n>";
        s += "\n";
        for (const Argument& a : op.arguments) {
            s += std::string("      ") + a.name + ": " + carryText(a);
            const std::string valid = validText(a);
            if (!valid.empty()) s += "; " + valid;
            if (a.type == Argument::Integer && !a.names.empty()) {
                s += "; or by name:";
                for (size_t i = 0; i < a.names.size(); ++i)
                    s += std::string(i == 0 ? " " : ", ") + a.names[i] + " (" + std::to_string(i) +
                         ")";
            }
            s += std::string("; ") + a.description + "\n";
        }
    }
    return s;
}

} // namespace cli
