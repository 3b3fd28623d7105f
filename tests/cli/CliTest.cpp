#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/Cli.h"
#include "engine/FastPicture.h"
#include "formats/PictureIO.h"
#include "platform/Bitmap.h"
#include "platform/Picture.h"
#include "support/TestSupport.h"

namespace {

struct Result {
    int status;
    std::string out, err;
};

Result pwtool(std::vector<std::string> args) {
    std::ostringstream out, err;
    int status = cli::run(args, out, err);
    return {status, out.str(), err.str()};
}

class Cli : public ::testing::Test {
protected:
    void SetUp() override { registerPictureFormats(); }
    pwtest::TempDir dir;

    std::string write(const Bitmap& bmp, const std::string& name) {
        auto path = (dir / name).string();
        writeFileAtomically(path, bmp.saveToBytes());
        return path;
    }
    Bitmap read(const std::string& path) {
        Bitmap bmp;
        bmp.loadFromBytes(readWholeFile(path));
        return bmp;
    }
};

} // namespace

TEST_F(Cli, HelpListsEveryOperationOfTheTable) {
    Result r = pwtool({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const cli::Operation& op : cli::operations()) {
        std::string usage = op.name;
        for (size_t i = 0; i < op.arguments.size(); ++i)
            usage += std::string(i == 0 ? "=" : ",") + op.arguments[i].name;
        EXPECT_NE(r.out.find("  " + usage + "\n"), std::string::npos) << usage;
    }
    EXPECT_EQ(cli::operations().size(), 24u);
}

TEST_F(Cli, BadCommandLinesFailWithAMessage) {
    const std::string in = write(pwtest::makeTestBitmap(8, 8), "in.bmp");
    const std::vector<std::vector<std::string>> bad = {
        {},
        {in, "Sharpen"},
        {in, "Bright"},
        {in, "Bright=1,2"},
        {in, "Bright=abc"},
        {in, "Bright=12x"},
        {in, "Bright=99999999999"},
        {in, "Framing=5,150,up"},
        {in, "Sobel=5,"},
        {in, "Reduce=256"},
        {in, "Automatic=-1"},
        {in, "-q", "0", "-o", "x.jpg"},
        {in, "-o"},
        {in, "--frobnicate"},
        {"--levels", in, "10"},
        {"--histogram", in, "4"},
        {"--info"},
    };
    for (const auto& args : bad) {
        std::string joined;
        for (const auto& a : args)
            joined += a + " ";
        SCOPED_TRACE(joined);
        Result r = pwtool(args);
        EXPECT_NE(r.status, 0);
        EXPECT_EQ(r.err.rfind("pwtool: ", 0), 0u);
        EXPECT_TRUE(r.out.empty());
    }
    Result missing = pwtool({(dir / "nothing.bmp").string(), "Negative"});
    EXPECT_NE(missing.status, 0);
    EXPECT_NE(missing.err.find("nothing.bmp"), std::string::npos);
}

TEST_F(Cli, StepsRunInOrderWithEventsAndKeepTheBitmapFormat) {
    Bitmap eight = pwtest::makeTestBitmap(20, 10);
    eight.setPixelFormat(pf8bit);
    const std::string in = write(eight, "in8.bmp");
    const std::string out = (dir / "out.bmp").string();

    Result r = pwtool({in, "Bright=100", "Negative", "BlackAndWhite=128", "-o", out, "--events"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Used=128\n");
    EXPECT_EQ(r.err, "Amend Bright\nAmend Negative\nAmended Negative\n"
                     "Amend BlackAndWhite\nAmended BlackAndWhite\n");
    Bitmap result = read(out);
    EXPECT_EQ(result.pixelFormat(), pf8bit);
    EXPECT_EQ(result.palette(), Palette::halftone());

    Result info = pwtool({"--info", out});
    EXPECT_EQ(info.status, 0);
    EXPECT_EQ(info.out, "20 10 8 Bitmap\n");
}

TEST_F(Cli, OperationsMatchTheEngineCalledDirectly) {
    const Bitmap picture = pwtest::makeTestBitmap(31, 17, 3);
    const std::string in = write(picture, "in.bmp");
    const std::string out = (dir / "out.bmp").string();
    ASSERT_EQ(pwtool({in, "Light=-20", "Gamma=1.5", "Spread=30,220,10,240", "-o", out}).status, 0);

    TFastPicture engine;
    engine.picture().assign(&picture);
    engine.Light(-20);
    engine.Gamma(1.5L);
    engine.Spread(30, 220, 10, 240);
    EXPECT_TRUE(pwtest::sameBitmap(read(out), *engine.picture().as<Bitmap>()));
}

TEST_F(Cli, LevelsAndHistogramPrintTheirLines) {
    Bitmap grey(4, 4, pf24bit);
    for (int y = 0; y < 4; ++y)
        for (int i = 0; i < 12; ++i)
            grey.scanLine(y)[i] = 100;
    const std::string in = write(grey, "grey.bmp");
    Result levels = pwtool({"--levels", in, "10", "1"});
    EXPECT_EQ(levels.status, 0);
    EXPECT_EQ(levels.out, "Low=99 High=101\n");

    Result histogram = pwtool({"--histogram", in, "3"});
    EXPECT_EQ(histogram.status, 0);
    // 32 bins; level 100 falls into bin 12, which holds every pixel: VMax 100.
    std::string bins;
    for (int i = 0; i < 32; ++i)
        bins += i == 12 ? " 100" : " 0";
    EXPECT_EQ(histogram.out, "VMax=100\nB:" + bins + "\nG:" + bins + "\nR:" + bins + "\n");
}

TEST_F(Cli, ConvertsByTheOutputExtension) {
    const std::string in = write(pwtest::makeTestBitmap(40, 30), "in.bmp");
    struct Case {
        const char* name;
        const char* kind;
    };
    for (Case c : {Case{"out.jpg", "JPEG"}, Case{"out.gif", "GIF"}, Case{"out.emf", "Metafile"},
                   Case{"out.wmf", "Metafile"}}) {
        SCOPED_TRACE(c.name);
        const std::string out = (dir / c.name).string();
        Result r = pwtool({in, "-o", out, "-q", "80"});
        ASSERT_EQ(r.status, 0) << r.err;
        Result info = pwtool({"--info", out});
        ASSERT_EQ(info.status, 0) << info.err;
        EXPECT_EQ(info.out.substr(0, 6), "40 30 ");
        EXPECT_NE(info.out.find(c.kind), std::string::npos) << info.out;
    }
    // Back from JPEG to a bitmap.
    const std::string back = (dir / "back.bmp").string();
    ASSERT_EQ(pwtool({(dir / "out.jpg").string(), "-o", back}).status, 0);
    EXPECT_EQ(pwtool({"--info", back}).out.substr(0, 6), "40 30 ");
}

TEST_F(Cli, TheExecutableReportsErrorsThroughItsExitStatus) {
    const char* binaryDir = std::getenv("PW_BINARY_DIR");
    if (!binaryDir) GTEST_SKIP() << "PW_BINARY_DIR not set";
    const std::string tool = std::string(binaryDir) + "/src/pwtool";
    const std::string in = write(pwtest::makeTestBitmap(5, 3), "in.bmp");
    auto runTool = [&](const std::string& args, std::string& output) {
        std::string command = tool + " " + args + " 2>&1";
        FILE* pipe = ::popen(command.c_str(), "r");
        if (!pipe) return -1;
        char buffer[256];
        output.clear();
        while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
            output.append(buffer, n);
        int status = ::pclose(pipe);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    std::string output;
    EXPECT_EQ(runTool("--info " + in, output), 0);
    EXPECT_EQ(output, "5 3 24 Bitmap\n");
    EXPECT_NE(runTool(in + " Bright=x", output), 0);
    EXPECT_NE(output.find("Bright"), std::string::npos);
}
