#include "engine/Operations.h"

#include <array>
#include <stdexcept>
#include <string>

#include "engine/FastPicture.h"

namespace engine {

namespace {

constexpr std::array<const char*, kReduceMethodCount> kReduceMethodNames = {
    "octree",
    "median-cut",
    "median-cut-variance",
    "median-cut-diffusion",
    "median-cut-variance-diffusion",
    "fixed-palette",
};

constexpr long double kIntMin = std::numeric_limits<int>::min();
constexpr long double kIntMax = std::numeric_limits<int>::max();
constexpr long double kUnsignedMax = std::numeric_limits<unsigned>::max();
constexpr long double kRealMax = std::numeric_limits<double>::max();

// An int parameter that does its work in range.
Argument integer(const char* name, const IntRange& range, const char* description) {
    Argument a{name, Argument::Integer, kIntMin, kIntMax};
    a.min = static_cast<long double>(range.min);
    a.max = static_cast<long double>(range.max);
    if (range.identity) a.identity = static_cast<long double>(*range.identity);
    a.description = description;
    return a;
}

// An int parameter with no range of its own (sizes, angles, rectangles: the picture
// decides).
Argument anyInteger(const char* name, const char* description) {
    Argument a{name, Argument::Integer, kIntMin, kIntMax, kIntMin, kIntMax};
    a.description = description;
    return a;
}

Argument choice(const char* name, std::vector<std::string> words, const char* description) {
    Argument a{name, Argument::Choice, 0, 0};
    a.max = a.carryMax = static_cast<long double>(words.size() - 1);
    a.names = std::move(words);
    a.description = description;
    return a;
}

int asInt(const Value& v) {
    return static_cast<int>(v.integer);
}

using Values = std::span<const Value>;
using Result = std::optional<int>;

std::vector<Operation> makeTable() {
    Argument automaticPercent = integer("Percent", ranges::kAutomaticPercent,
                                        "share of the pixels taken as darkest and lightest");
    automaticPercent.carryMin = 0;
    automaticPercent.carryMax = kUnsignedMax;

    Argument gamma{"Value", Argument::Real, -kRealMax, kRealMax};
    gamma.min = ranges::kGammaValue.min;
    gamma.max = ranges::kGammaValue.max;
    gamma.identity = *ranges::kGammaValue.identity;
    gamma.description = "exponent; above 1 lightens the mid-tones";

    Argument method = integer("Method", ranges::kReduceMethod, "the quantizer, by number or name");
    method.carryMin = 0;
    method.carryMax = 255;
    for (const char* name : kReduceMethodNames)
        method.names.emplace_back(name);

    Argument frameWidth = integer("Width", ranges::kFrameWidth, "depth of the frame in pixels");
    // The window offers frames up to 300 pixels deep; the operation has no upper bound.
    frameWidth.controlMax = 300;

    std::vector<Operation> table;
    table.push_back({"Automatic",
                     {automaticPercent},
                     "automatic level correction",
                     nullptr,
                     [](TFastPicture& f, Values v) -> Result {
                         f.Automatic(static_cast<unsigned>(v[0].integer));
                         return {};
                     }});
    // The threshold the caller gave is reported when the operation refuses, as the
    // window's level control keeps its position then.
    table.push_back(
        {"BlackAndWhite",
         {integer("Threshold", ranges::kBlackAndWhiteThreshold, "level; -1 measures it")},
         "two levels at a threshold",
         "Used",
         [](TFastPicture& f, Values v) -> Result {
             int used = asInt(v[0]);
             f.BlackAndWhite(asInt(v[0]), used);
             return used;
         }});
    table.push_back({"Blur", {}, "3 x 3 blur", nullptr, [](TFastPicture& f, Values) -> Result {
                         f.Blur();
                         return {};
                     }});
    table.push_back({"Bright",
                     {integer("Percent", ranges::kBrightPercent, "brightness in per cent")},
                     "brightness",
                     nullptr,
                     [](TFastPicture& f, Values v) -> Result {
                         f.Bright(asInt(v[0]));
                         return {};
                     }});
    table.push_back({"Contrast",
                     {integer("Percent", ranges::kContrastPercent, "contrast in per cent")},
                     "contrast around level 128",
                     nullptr,
                     [](TFastPicture& f, Values v) -> Result {
                         f.Contrast(asInt(v[0]));
                         return {};
                     }});
    table.push_back({"Edge",
                     {integer("Level", ranges::kEdgeLevel, "strength")},
                     "edge enhancement",
                     nullptr,
                     [](TFastPicture& f, Values v) -> Result {
                         f.Edge(asInt(v[0]));
                         return {};
                     }});
    table.push_back({"Enlarge",
                     {anyInteger("W", "new width, at least the width"),
                      anyInteger("H", "new height, at least the height")},
                     "smooth enlargement to W x H",
                     nullptr,
                     [](TFastPicture& f, Values v) -> Result {
                         f.Enlarge(asInt(v[0]), asInt(v[1]));
                         return {};
                     }});
    table.push_back(
        {"Framing",
         {frameWidth, integer("Contrast", ranges::kFrameContrast, "strength of the bevel"),
          choice("Light", {"left", "right"}, "side the light comes from")},
         "bevelled picture frame",
         nullptr,
         [](TFastPicture& f, Values v) -> Result {
             f.Framing(asInt(v[0]), asInt(v[1]), v[2].integer == 0);
             return {};
         }});
    table.push_back(
        {"Gamma", {gamma}, "gamma correction", nullptr, [](TFastPicture& f, Values v) -> Result {
             f.Gamma(v[0].real);
             return {};
         }});
    table.push_back({"GrayScale", {}, "monochrome", nullptr, [](TFastPicture& f, Values) -> Result {
                         f.GrayScale();
                         return {};
                     }});
    table.push_back({"Light",
                     {integer("Delta", ranges::kLightDelta, "added to every level")},
                     "luminance shift",
                     nullptr,
                     [](TFastPicture& f, Values v) -> Result {
                         f.Light(asInt(v[0]));
                         return {};
                     }});
    table.push_back({"Linear",
                     {anyInteger("Gain", "per cent; Gain 100 with Offset 0 changes nothing"),
                      anyInteger("Offset", "added after the gain")},
                     "levels x Gain / 100 + Offset",
                     nullptr,
                     [](TFastPicture& f, Values v) -> Result {
                         f.Linear(asInt(v[0]), asInt(v[1]));
                         return {};
                     }});
    table.push_back({"Median",
                     {integer("Level", ranges::kMedianLevel, "0 replaces only outliers")},
                     "noise removal",
                     nullptr,
                     [](TFastPicture& f, Values v) -> Result {
                         f.Median(asInt(v[0]));
                         return {};
                     }});
    table.push_back({"Mosaic",
                     {integer("BlockSize", ranges::kMosaicBlockSize, "cell side in pixels")},
                     "mosaic",
                     nullptr,
                     [](TFastPicture& f, Values v) -> Result {
                         f.Mosaic(asInt(v[0]));
                         return {};
                     }});
    table.push_back({"Negative", {}, "negative", nullptr, [](TFastPicture& f, Values) -> Result {
                         f.Negative();
                         return {};
                     }});
    table.push_back({"Posterization",
                     {integer("Levels", ranges::kPosterizationLevels, "number of levels")},
                     "posterization",
                     nullptr,
                     [](TFastPicture& f, Values v) -> Result {
                         f.Posterization(asInt(v[0]));
                         return {};
                     }});
    table.push_back({"Reduce",
                     {method},
                     "256 colours, on pictures of more than 8 bits per pixel",
                     nullptr,
                     [](TFastPicture& f, Values v) -> Result {
                         f.Reduce(static_cast<uint8_t>(v[0].integer));
                         return {};
                     }});
    table.push_back(
        {"Reverse", {}, "mirror left to right", nullptr, [](TFastPicture& f, Values) -> Result {
             f.Reverse();
             return {};
         }});
    table.push_back({"Sepia", {}, "sepia", nullptr, [](TFastPicture& f, Values) -> Result {
                         f.Sepia();
                         return {};
                     }});
    table.push_back({"Shrink",
                     {anyInteger("W", "new width, 1 to the width"),
                      anyInteger("H", "new height, 1 to the height")},
                     "area-average reduction to W x H",
                     nullptr,
                     [](TFastPicture& f, Values v) -> Result {
                         f.Shrink(asInt(v[0]), asInt(v[1]));
                         return {};
                     }});
    table.push_back(
        {"Sobel",
         {integer("Level", ranges::kSobelLevel, "strength"),
          choice("Mode", {"overlay", "extract"}, "draw the contours over the picture or alone")},
         "contour drawing or extraction",
         nullptr,
         [](TFastPicture& f, Values v) -> Result {
             f.Sobel(asInt(v[0]), v[1].integer == 0);
             return {};
         }});
    table.push_back({"Spread",
                     {integer("Low", ranges::kSpreadLevel, "below High"),
                      integer("High", ranges::kSpreadLevel, "above Low"),
                      integer("OutLow", ranges::kSpreadLevel, "below OutHigh"),
                      integer("OutHigh", ranges::kSpreadLevel, "above OutLow")},
                     "stretch the levels Low..High onto OutLow..OutHigh",
                     nullptr,
                     [](TFastPicture& f, Values v) -> Result {
                         f.Spread(asInt(v[0]), asInt(v[1]), asInt(v[2]), asInt(v[3]));
                         return {};
                     }});
    table.push_back(
        {"Trimming",
         {anyInteger("L", "left column"), anyInteger("T", "top row"),
          anyInteger("R", "right column, inclusive"), anyInteger("B", "bottom row, inclusive")},
         "crop to picture pixels inside the picture",
         nullptr,
         [](TFastPicture& f, Values v) -> Result {
             f.Trimming(TRect{asInt(v[0]), asInt(v[1]), asInt(v[2]), asInt(v[3])}, true);
             return {};
         }});
    table.push_back({"Turn",
                     {anyInteger("Angle", "a multiple of 90 that is not one of 360")},
                     "rotation by quarter turns, clockwise",
                     nullptr,
                     [](TFastPicture& f, Values v) -> Result {
                         f.Turn(asInt(v[0]));
                         return {};
                     }});
    return table;
}

} // namespace

const char* reduceMethodName(ReduceMethod method) {
    const auto i = static_cast<size_t>(method);
    return i < kReduceMethodNames.size() ? kReduceMethodNames[i] : "";
}

std::optional<ReduceMethod> reduceMethodFromName(std::string_view name) {
    for (size_t i = 0; i < kReduceMethodNames.size(); ++i)
        if (name == kReduceMethodNames[i]) return static_cast<ReduceMethod>(i);
    return std::nullopt;
}

const std::vector<Operation>& operations() {
    static const std::vector<Operation> table = makeTable();
    return table;
}

const Operation* findOperation(std::string_view name) {
    for (const Operation& op : operations())
        if (name == op.name) return &op;
    return nullptr;
}

const Argument& operationArgument(std::string_view operationName, std::string_view argumentName) {
    if (const Operation* op = findOperation(operationName))
        for (const Argument& a : op->arguments)
            if (argumentName == a.name) return a;
    throw std::out_of_range("no argument " + std::string(argumentName) + " of " +
                            std::string(operationName));
}

} // namespace engine
