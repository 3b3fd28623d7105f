// The comparisons with outside programs cannot drop out unnoticed: with PW_REQUIRE_TOOLS=1
// a missing tool is a failure of the test that asked for it.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "support/TestSupport.h"

namespace {

class ScopedRequireTools {
public:
    explicit ScopedRequireTools(const char* value) {
        if (const char* old = std::getenv("PW_REQUIRE_TOOLS")) old_ = old;
        if (value)
            ::setenv("PW_REQUIRE_TOOLS", value, 1);
        else
            ::unsetenv("PW_REQUIRE_TOOLS");
    }
    ~ScopedRequireTools() {
        if (old_)
            ::setenv("PW_REQUIRE_TOOLS", old_->c_str(), 1);
        else
            ::unsetenv("PW_REQUIRE_TOOLS");
    }

private:
    std::optional<std::string> old_;
};

constexpr const char* kMissing = "pw-no-such-tool-here";

} // namespace

TEST(ToolRequirement, AMissingToolFailsOnlyWhenToolsAreRequired) {
    {
        ScopedRequireTools off(nullptr);
        EXPECT_FALSE(pwtest::toolsRequired());
        EXPECT_FALSE(pwtest::haveTool(kMissing));
        EXPECT_TRUE(pwtest::haveTool("sh"));
    }
    {
        ScopedRequireTools on("1");
        EXPECT_TRUE(pwtest::toolsRequired());
        EXPECT_NONFATAL_FAILURE((void)pwtest::haveTool(kMissing), kMissing);
        EXPECT_NONFATAL_FAILURE((void)pwtest::haveToolBy("a module", "false"), "a module");
        // Present tools stay silent.
        EXPECT_TRUE(pwtest::haveTool("sh"));
    }
}
