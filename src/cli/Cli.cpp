#include "cli/Cli.h"

#include <exception>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "engine/FastPicture.h"
#include "engine/Histogram.h"
#include "formats/PictureIO.h"
#include "platform/Picture.h"
#include "platform/Screen.h"

namespace cli {

namespace {

// A fault in the command line itself (as opposed to a picture that cannot be read).
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

int64_t parseInteger(const std::string& what, const std::string& text, int64_t min, int64_t max) {
    size_t used = 0;
    long long n = 0;
    try {
        n = std::stoll(text, &used, 10);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size() || n < min || n > max)
        throw UsageError(what + " must be an integer " + std::to_string(min) + ".." +
                         std::to_string(max) + ", not \"" + text + "\"");
    return n;
}

void load(TFastPicture& engine, const std::string& path) {
    engine.picture().setGraphic(loadPictureFile(path));
}

// Writes the held picture in the format its extension names, at its natural size.
void save(TFastPicture& engine, const std::string& path, int quality) {
    const Graphic* held = engine.picture().graphic();
    if (!held) throw std::runtime_error("there is no picture to write");
    SaveOptions options;
    options.jpegQuality = quality;
    savePictureFile(*held, path, options);
}

void printPercentages(std::ostream& out, const char* label, const std::vector<int>& values) {
    out << label << ':';
    for (int v : values)
        out << ' ' << v;
    out << '\n';
}

int runInfo(const std::vector<std::string>& args, std::ostream& out) {
    if (args.size() != 2) throw UsageError("--info takes one INPUT");
    TFastPicture engine;
    load(engine, args[1]);
    const std::string kind = pictureKindName(engine.picture().graphic());
    out << engine.picture().width() << ' ' << engine.picture().height() << ' '
        << engine.GetBitsPerPixel() << ' ' << kind << '\n';
    return 0;
}

int runLevels(const std::vector<std::string>& args, std::ostream& out) {
    if (args.size() != 4) throw UsageError("--levels takes INPUT PERCENT STEP");
    const auto percent = parseInteger("PERCENT", args[2], 0, 4294967295LL);
    const auto step = parseInteger("STEP", args[3], INT32_MIN, INT32_MAX);
    TFastPicture engine;
    load(engine, args[1]);
    int low = 0, high = 0;
    engine.FindLevels(low, high, static_cast<unsigned>(percent), static_cast<int>(step));
    out << "Low=" << low << " High=" << high << '\n';
    return 0;
}

int runHistogram(const std::vector<std::string>& args, std::ostream& out) {
    if (args.size() != 3) throw UsageError("--histogram takes INPUT SHIFT");
    const auto shift = parseInteger("SHIFT", args[2], 0, 3);
    TFastPicture engine;
    load(engine, args[1]);
    HistogramCounts h;
    CountHistogram(engine, static_cast<int>(shift), 0, h);
    out << "VMax=" << h.vmax << '\n';
    printPercentages(out, "B", h.blue);
    printPercentages(out, "G", h.green);
    printPercentages(out, "R", h.red);
    return 0;
}

int runSteps(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::string input, output;
    int quality = 0;
    bool events = false;
    std::vector<Step> steps;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-o" || a == "-q") {
            if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
            if (a == "-o")
                output = args[++i];
            else
                quality = static_cast<int>(parseInteger("QUALITY", args[++i], 1, 100));
        } else if (a == "--events") {
            events = true;
        } else if (a.size() > 1 && a[0] == '-') {
            throw UsageError("unknown option " + a + " (see --help)");
        } else if (input.empty()) {
            input = a;
        } else {
            try {
                steps.push_back(parseStep(a));
            } catch (const std::invalid_argument& e) {
                throw UsageError(e.what());
            }
        }
    }
    if (input.empty()) throw UsageError("no INPUT given (see --help)");

    TFastPicture engine;
    load(engine, input);
    if (events) {
        engine.OnAmend = [&err](TFastPicture*, std::string kind) {
            err << "Amend " << kind << '\n';
        };
        engine.OnAmended = [&err](TFastPicture*, std::string kind) {
            err << "Amended " << kind << '\n';
        };
    }
    for (const Step& s : steps)
        s.operation->call(engine, s.values, out);
    if (!output.empty()) save(engine, output, quality);
    return 0;
}

} // namespace

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    try {
        if (args.empty()) throw UsageError("no arguments (see --help)");
        const std::string& first = args[0];
        if (first == "--help" || first == "-h") {
            out << helpText();
            return 0;
        }
        if (first == "--info") return runInfo(args, out);
        if (first == "--levels") return runLevels(args, out);
        if (first == "--histogram") return runHistogram(args, out);
        return runSteps(args, out, err);
    } catch (const UsageError& e) {
        err << "pwtool: " << e.what() << '\n';
        return 2;
    } catch (const std::exception& e) {
        err << "pwtool: " << e.what() << '\n';
        return 1;
    }
}

int main(int argc, char** argv) {
    setScreenInfo(ScreenInfo{});
    registerPictureFormats();
    std::vector<std::string> args(argv + 1, argv + argc);
    return run(args, std::cout, std::cerr);
}

} // namespace cli
