// The operation table against the operations themselves: every range the table declares
// is the one the operation applies, at both ends and at its identity value.
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ToneTestHelpers.h"
#include "engine/FastPicture.h"
#include "engine/Operations.h"
#include "support/TestSupport.h"

using namespace tonetest;

namespace {

bool isPlainRange(const engine::Argument& a) {
    if (a.type == engine::Argument::Choice) return true;
    return a.min > a.carryMin || a.max < a.carryMax || a.identity.has_value();
}

// A value the argument works for (not its identity).
engine::Value workingValue(const engine::Argument& a) {
    engine::Value v;
    long double x = a.min;
    if (a.identity && x == *a.identity) x += a.type == engine::Argument::Real ? 0.5L : 1;
    v.real = x;
    v.integer = static_cast<int64_t>(x);
    return v;
}

// Values to try for one argument: both ends, just outside them and the identity.
std::vector<long double> probes(const engine::Argument& a) {
    const long double outside = a.type == engine::Argument::Real ? 0.01L : 1;
    std::vector<long double> p = {a.min, a.max, a.min - outside};
    if (a.max < engine::kNoUpperBound) p.push_back(a.max + outside);
    if (a.identity) p.push_back(*a.identity);
    std::vector<long double> carried;
    for (long double v : p)
        if (v >= a.carryMin && v <= a.carryMax) carried.push_back(v);
    return carried;
}

} // namespace

TEST(OperationTable, RangesAreTheOnesTheOperationsApply) {
    int checked = 0;
    for (const engine::Operation& op : engine::operations()) {
        bool plain = !op.arguments.empty();
        for (const auto& a : op.arguments)
            plain = plain && isPlainRange(a);
        // Spread's levels must also be ordered, which a single probe would break.
        if (!plain || std::string(op.name) == "Spread") continue;
        for (size_t i = 0; i < op.arguments.size(); ++i) {
            const engine::Argument& a = op.arguments[i];
            for (long double probe : probes(a)) {
                SCOPED_TRACE(std::string(op.name) + " " + a.name + "=" +
                             std::to_string(static_cast<double>(probe)));
                std::vector<engine::Value> values;
                for (const auto& other : op.arguments)
                    values.push_back(workingValue(other));
                values[i].real = probe;
                values[i].integer = static_cast<int64_t>(probe);

                TFastPicture fp;
                Bitmap picture = makeRamp(4);
                fp.picture().assign(&picture);
                EventLog log(fp);
                op.call(fp, values);
                const bool worked =
                    !log.events.empty() && log.events.back().rfind("Amended", 0) == 0;
                EXPECT_EQ(worked, a.accepts(probe));
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 40);
}

TEST(OperationTable, SpreadRefusesLevelsOutsideItsRange) {
    const auto& level = engine::operationArgument("Spread", "Low");
    for (int outside : {static_cast<int>(level.min) - 1, static_cast<int>(level.max) + 1}) {
        TFastPicture fp;
        Bitmap picture = makeRamp();
        fp.picture().assign(&picture);
        EventLog log(fp);
        fp.Spread(outside, 200, 0, 255);
        fp.Spread(10, 200, 0, outside);
        EXPECT_EQ(log.events, (std::vector<std::string>{"Amend Spread", "Amend Spread"}));
    }
}

TEST(OperationTable, NamesKindsAndReduceMethods) {
    std::vector<std::string> names;
    for (const engine::Operation& op : engine::operations()) {
        names.push_back(op.name);
        EXPECT_EQ(engine::findOperation(op.name), &op);
    }
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    EXPECT_EQ(names.size(), 24u);
    EXPECT_EQ(engine::findOperation("Sharpen"), nullptr);
    EXPECT_THROW(engine::operationArgument("Edge", "Width"), std::out_of_range);

    const auto& method = engine::operationArgument("Reduce", "Method");
    ASSERT_EQ(method.names.size(), size_t(engine::kReduceMethodCount));
    for (int i = 0; i < engine::kReduceMethodCount; ++i) {
        const auto m = static_cast<engine::ReduceMethod>(i);
        EXPECT_EQ(method.names[size_t(i)], engine::reduceMethodName(m));
        EXPECT_EQ(engine::reduceMethodFromName(engine::reduceMethodName(m)), m);
    }
    EXPECT_FALSE(engine::reduceMethodFromName("median"));
    // The window's frame-width control stops at 300 although the operation has no bound.
    const auto& width = engine::operationArgument("Framing", "Width");
    EXPECT_EQ(width.controlMinimum(), 1);
    EXPECT_EQ(width.controlMaximum(), 300);
    EXPECT_EQ(engine::operationArgument("BlackAndWhite", "Threshold").controlMinimum(), -1);
}

TEST(OperationTable, BlackAndWhiteReportsTheThresholdGivenWhenRefused) {
    const engine::Operation& op = *engine::findOperation("BlackAndWhite");
    TFastPicture fp;
    Bitmap picture = makeRamp();
    fp.picture().assign(&picture);
    engine::Value threshold;
    threshold.integer = 257;
    EXPECT_EQ(op.call(fp, std::vector<engine::Value>{threshold}), 257);
    EXPECT_TRUE(pwtest::sameBitmap(held(fp), picture));
    threshold.integer = 100;
    EXPECT_EQ(op.call(fp, std::vector<engine::Value>{threshold}), 100);
}
