// The table of engine operations that pwtool runs: name, arguments and the call, declared
// once. Argument ranges are those the engine's parameters can carry; values the engine
// itself ignores (Bright=100, Light=300) are passed on, so that the operation's own guard
// decides, as it does for the main window.
#include <cmath>
#include <limits>
#include <ostream>
#include <stdexcept>

#include "cli/Cli.h"
#include "engine/FastPicture.h"

namespace cli {

namespace {

constexpr long double kIntMin = std::numeric_limits<int>::min();
constexpr long double kIntMax = std::numeric_limits<int>::max();
constexpr long double kRealMax = std::numeric_limits<double>::max();

Argument integer(const char* name) {
    return {name, Argument::Integer, kIntMin, kIntMax};
}
Argument choice(const char* name, std::vector<std::string> words) {
    return {name, Argument::Choice, 0, 0, std::move(words)};
}
int asInt(const Value& v) {
    return static_cast<int>(v.integer);
}

} // namespace

const std::vector<Operation>& operations() {
    using V = std::vector<Value>;
    static const std::vector<Operation> table = {
        {"Automatic",
         {{"Percent", Argument::Integer, 0, std::numeric_limits<unsigned>::max()}},
         "automatic level correction; works for Percent <= 49",
         [](TFastPicture& f, const V& v, std::ostream&) {
             f.Automatic(static_cast<unsigned>(v[0].integer));
         }},
        {"BlackAndWhite",
         {integer("Threshold")},
         "two levels at Threshold (-1: automatic); works for -1..256; prints Used=<n>",
         [](TFastPicture& f, const V& v, std::ostream& out) {
             int used = 0;
             f.BlackAndWhite(asInt(v[0]), used);
             out << "Used=" << used << '\n';
         }},
        {"Blur", {}, "blur", [](TFastPicture& f, const V&, std::ostream&) { f.Blur(); }},
        {"Bright",
         {integer("Percent")},
         "brightness; works for Percent >= 0 and != 100",
         [](TFastPicture& f, const V& v, std::ostream&) { f.Bright(asInt(v[0])); }},
        {"Contrast",
         {integer("Percent")},
         "contrast around 128; works for Percent >= 0 and != 100",
         [](TFastPicture& f, const V& v, std::ostream&) { f.Contrast(asInt(v[0])); }},
        {"Edge",
         {integer("Level")},
         "edge enhancement; works for Level 1..100",
         [](TFastPicture& f, const V& v, std::ostream&) { f.Edge(asInt(v[0])); }},
        {"Enlarge",
         {integer("W"), integer("H")},
         "smooth enlargement to W x H; works when neither side shrinks",
         [](TFastPicture& f, const V& v, std::ostream&) { f.Enlarge(asInt(v[0]), asInt(v[1])); }},
        {"Framing",
         {integer("Width"), integer("Contrast"), choice("Light", {"left", "right"})},
         "bevelled frame; works for Width >= 1 and Contrast 105..300",
         [](TFastPicture& f, const V& v, std::ostream&) {
             f.Framing(asInt(v[0]), asInt(v[1]), v[2].integer == 0);
         }},
        {"Gamma",
         {{"Value", Argument::Real, -kRealMax, kRealMax}},
         "gamma correction; works for 0.1 <= Value <= 10 and Value != 1",
         [](TFastPicture& f, const V& v, std::ostream&) { f.Gamma(v[0].real); }},
        {"GrayScale",
         {},
         "monochrome",
         [](TFastPicture& f, const V&, std::ostream&) { f.GrayScale(); }},
        {"Light",
         {integer("Delta")},
         "luminance shift; works for -255..255 and != 0",
         [](TFastPicture& f, const V& v, std::ostream&) { f.Light(asInt(v[0])); }},
        {"Linear",
         {integer("Gain"), integer("Offset")},
         "levels * Gain / 100 + Offset; works unless Gain = 100 and Offset = 0",
         [](TFastPicture& f, const V& v, std::ostream&) { f.Linear(asInt(v[0]), asInt(v[1])); }},
        {"Median",
         {integer("Level")},
         "noise removal; works for Level 0..100",
         [](TFastPicture& f, const V& v, std::ostream&) { f.Median(asInt(v[0])); }},
        {"Mosaic",
         {integer("BlockSize")},
         "mosaic; works for BlockSize 2..50",
         [](TFastPicture& f, const V& v, std::ostream&) { f.Mosaic(asInt(v[0])); }},
        {"Negative",
         {},
         "negative",
         [](TFastPicture& f, const V&, std::ostream&) { f.Negative(); }},
        {"Posterization",
         {integer("Levels")},
         "posterization; works for Levels 2..128",
         [](TFastPicture& f, const V& v, std::ostream&) { f.Posterization(asInt(v[0])); }},
        {"Reduce",
         {{"Method", Argument::Integer, 0, 255}},
         "256 colours: 0 octree, 1 median cut, 2 + variance, 3 + diffusion, "
         "4 + variance + diffusion, 5 fixed palette; works for 0..5 on 16 bits and more",
         [](TFastPicture& f, const V& v, std::ostream&) {
             f.Reduce(static_cast<uint8_t>(v[0].integer));
         }},
        {"Reverse",
         {},
         "mirror left to right",
         [](TFastPicture& f, const V&, std::ostream&) { f.Reverse(); }},
        {"Sepia", {}, "sepia", [](TFastPicture& f, const V&, std::ostream&) { f.Sepia(); }},
        {"Shrink",
         {integer("W"), integer("H")},
         "area-average reduction to W x H; works when neither side grows",
         [](TFastPicture& f, const V& v, std::ostream&) { f.Shrink(asInt(v[0]), asInt(v[1])); }},
        {"Sobel",
         {integer("Level"), choice("Mode", {"overlay", "extract"})},
         "contour drawing (overlay) or extraction; works for Level 1..100",
         [](TFastPicture& f, const V& v, std::ostream&) {
             f.Sobel(asInt(v[0]), v[1].integer == 0);
         }},
        {"Spread",
         {integer("Low"), integer("High"), integer("OutLow"), integer("OutHigh")},
         "stretch Low..High onto OutLow..OutHigh; works for 0..255, Low < High, OutLow < OutHigh",
         [](TFastPicture& f, const V& v, std::ostream&) {
             f.Spread(asInt(v[0]), asInt(v[1]), asInt(v[2]), asInt(v[3]));
         }},
        {"Trimming",
         {integer("L"), integer("T"), integer("R"), integer("B")},
         "crop to the picture pixels L..R x T..B (inclusive); works inside the picture",
         [](TFastPicture& f, const V& v, std::ostream&) {
             f.Trimming(TRect{asInt(v[0]), asInt(v[1]), asInt(v[2]), asInt(v[3])}, true);
         }},
        {"Turn",
         {integer("Angle")},
         "rotation by a multiple of 90 degrees",
         [](TFastPicture& f, const V& v, std::ostream&) { f.Turn(asInt(v[0])); }},
    };
    return table;
}

const Operation* findOperation(const std::string& name) {
    for (const Operation& op : operations())
        if (name == op.name) return &op;
    return nullptr;
}

namespace {

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

std::string rangeText(const Argument& a) {
    auto number = [](long double v) {
        if (v == kIntMin) return std::string("-2147483648");
        std::string s = std::to_string(static_cast<long long>(v));
        return s;
    };
    switch (a.type) {
    case Argument::Integer:
        return "integer " + number(a.min) + ".." + number(a.max);
    case Argument::Real:
        return "real number";
    case Argument::Choice: {
        std::string s;
        for (const auto& w : a.choices)
            s += (s.empty() ? "" : "|") + w;
        return s;
    }
    }
    return {};
}

Value parseValue(const std::string& step, const Argument& a, const std::string& text) {
    auto fail = [&](const std::string& why) -> std::invalid_argument {
        return std::invalid_argument(step + ": " + a.name + " " + why);
    };
    Value v;
    if (a.type == Argument::Choice) {
        for (size_t i = 0; i < a.choices.size(); ++i)
            if (text == a.choices[i]) {
                v.integer = static_cast<int64_t>(i);
                return v;
            }
        throw fail("must be " + rangeText(a) + ", not \"" + text + "\"");
    }
    if (text.empty()) throw fail("is missing");
    size_t used = 0;
    try {
        if (a.type == Argument::Integer) {
            long long n = std::stoll(text, &used, 10);
            if (used != text.size()) throw std::invalid_argument("");
            if (n < a.min || n > a.max) throw fail("must be an " + rangeText(a) + ", not " + text);
            v.integer = n;
            v.real = static_cast<long double>(n);
        } else {
            long double r = std::stold(text, &used);
            if (used != text.size() || !std::isfinite(r)) throw std::invalid_argument("");
            v.real = r;
        }
    } catch (const std::out_of_range&) {
        throw fail("is out of range: " + text);
    } catch (const std::invalid_argument& e) {
        if (std::string(e.what()).rfind(step, 0) == 0) throw;
        throw fail("is not a number: \"" + text + "\"");
    }
    return v;
}

} // namespace

Step parseStep(const std::string& text) {
    const size_t eq = text.find('=');
    const std::string name = text.substr(0, eq);
    const Operation* op = findOperation(name);
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
        "operations (STEP is NAME or NAME=ARG,ARG,...):\n";
    for (const Operation& op : operations()) {
        std::string line = "  ";
        line += op.name;
        for (size_t i = 0; i < op.arguments.size(); ++i) {
            line += i == 0 ? "=" : ",";
            line += op.arguments[i].name;
        }
        s += line + "\n      " + op.effect + "\n";
        for (const Argument& a : op.arguments)
            s += std::string("      ") + a.name + ": " + rangeText(a) + "\n";
    }
    return s;
}

} // namespace cli
