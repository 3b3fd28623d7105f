// The engine's operations declared once: each operation's name (its Kind string), its
// arguments with the ranges in which the operation does its work, a one-line description
// and the call. The operations' own argument checks, pwtool's parser and help text and the
// window's level controls all read these declarations.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class TFastPicture;

namespace engine {

// The colour-reduction methods of Reduce, by the quantizer each one calls. The values are
// the method numbers the operation takes.
enum class ReduceMethod : uint8_t {
    Octree = 0,                     // ReduceByOctree, 256 colours
    MedianCut = 1,                  // ReduceByMedianCut, depth 8
    MedianCutVariance = 2,          // ReduceByMedianCutVariance, depth 8
    MedianCutDiffusion = 3,         // ReduceByMedianCutDiffusion, depth 8
    MedianCutVarianceDiffusion = 4, // ReduceByMedianCutVarianceDiffusion, depth 8
    FixedPalette = 5,               // ReduceByFixedPalette
};
inline constexpr int kReduceMethodCount = 6;

// The method's name on the command line ("octree", "median-cut", ...).
const char* reduceMethodName(ReduceMethod method);
std::optional<ReduceMethod> reduceMethodFromName(std::string_view name);

// The values of one integer argument for which an operation does its work: min..max
// (inclusive), except the one value that would leave every pixel as it is, when there is
// such a value.
struct IntRange {
    int64_t min;
    int64_t max;
    std::optional<int64_t> identity = std::nullopt;
    constexpr bool accepts(int64_t v) const {
        return v >= min && v <= max && (!identity || v != *identity);
    }
};

// The same for a real argument.
struct RealRange {
    long double min;
    long double max;
    std::optional<long double> identity = std::nullopt;
    constexpr bool accepts(long double v) const {
        return v >= min && v <= max && (!identity || v != *identity);
    }
};

inline constexpr int64_t kNoUpperBound = std::numeric_limits<int>::max();

// The ranges of the operations' arguments. Arguments whose valid values depend on the
// picture (sizes, crop rectangles) or on each other (Spread's Low < High, Linear's
// identity) are checked by the operations themselves.
namespace ranges {
inline constexpr IntRange kBrightPercent{0, kNoUpperBound, 100};
inline constexpr IntRange kContrastPercent{0, kNoUpperBound, 100};
inline constexpr RealRange kGammaValue{0.1L, 10.0L, 1.0L};
inline constexpr IntRange kLightDelta{-255, 255, 0};
inline constexpr IntRange kPosterizationLevels{2, 128};
inline constexpr IntRange kBlackAndWhiteThreshold{-1, 256};
inline constexpr IntRange kAutomaticPercent{0, 49};
inline constexpr IntRange kSpreadLevel{0, 255};
inline constexpr IntRange kFindLevelsPercent{0, 49};
inline constexpr IntRange kFindLevelsStep{1, 8};
inline constexpr IntRange kReduceMethod{0, kReduceMethodCount - 1};
inline constexpr IntRange kEdgeLevel{1, 100};
inline constexpr IntRange kMedianLevel{0, 100};
inline constexpr IntRange kSobelLevel{1, 100};
inline constexpr IntRange kMosaicBlockSize{2, 50};
inline constexpr IntRange kFrameWidth{1, kNoUpperBound};
inline constexpr IntRange kFrameContrast{105, 300};
} // namespace ranges

// One argument of an operation.
struct Argument {
    enum Type { Integer, Real, Choice };
    const char* name;
    Type type;
    // The values the parameter can carry. Values outside the valid range below are still
    // passed to the operation, whose own check then refuses them as it does for the window.
    long double carryMin = 0;
    long double carryMax = 0;
    // Where the operation does its work (for a Choice: every word).
    long double min = 0;
    long double max = 0;
    std::optional<long double> identity = std::nullopt;
    // Integer: names that stand for the values 0, 1, ...; Choice: its words, by index.
    std::vector<std::string> names = {};
    // The upper end of the window's level control when it stops below max.
    std::optional<int64_t> controlMax = std::nullopt;
    const char* description = "";

    bool accepts(long double v) const {
        return v >= min && v <= max && (!identity || v != *identity);
    }
    // The range the window's level control offers.
    int controlMinimum() const { return static_cast<int>(min); }
    int controlMaximum() const {
        return static_cast<int>(controlMax ? static_cast<long double>(*controlMax) : max);
    }
};

// A checked argument value: an integer (or the index of a Choice's word) in integer, a
// real number in real (integers are mirrored there).
struct Value {
    int64_t integer = 0;
    long double real = 0;
};

struct Operation {
    const char* name; // the Kind string
    std::vector<Argument> arguments;
    const char* effect; // one line
    // The name of the value the call reports (BlackAndWhite: the threshold it used), or null.
    const char* result = nullptr;
    std::function<std::optional<int>(TFastPicture&, std::span<const Value>)> call;
};

// Every operation, in alphabetical order of its name.
const std::vector<Operation>& operations();
const Operation* findOperation(std::string_view name);
// The argument named argumentName of the operation named operationName; throws
// std::out_of_range when there is none.
const Argument& operationArgument(std::string_view operationName, std::string_view argumentName);

} // namespace engine
