// Replays files through a fuzz harness without libFuzzer, as a test. Arguments are files
// or folders of files; the ones after "--refuse" are crasher files, each of which must be
// refused by the harness's readers. The replay fails when it finds no input at all, when
// an input cannot be read, or when a crasher file is accepted.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

struct Replay {
    int inputs = 0;
    int failures = 0;

    void file(const std::filesystem::path& path, bool mustRefuse) {
        std::ifstream in(path, std::ios::binary);
        std::vector<uint8_t> bytes;
        if (in.is_open()) bytes.assign(std::istreambuf_iterator<char>(in), {});
        if (!in.is_open() || in.bad()) {
            std::fprintf(stderr, "cannot read %s\n", path.c_str());
            ++failures;
            return;
        }
        ++inputs;
        pwfuzz::accepted = false;
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        if (mustRefuse && pwfuzz::accepted) {
            std::fprintf(stderr, "crasher accepted: %s\n", path.c_str());
            ++failures;
        }
    }

    void argument(const std::filesystem::path& path, bool mustRefuse) {
        std::error_code ec;
        if (std::filesystem::is_directory(path, ec)) {
            std::filesystem::recursive_directory_iterator it(path, ec), end;
            for (; !ec && it != end; it.increment(ec))
                if (it->is_regular_file(ec)) file(it->path(), mustRefuse);
            if (ec) {
                std::fprintf(stderr, "cannot list %s: %s\n", path.c_str(), ec.message().c_str());
                ++failures;
            }
        } else if (std::filesystem::is_regular_file(path, ec)) {
            file(path, mustRefuse);
        } else {
            std::fprintf(stderr, "no such input: %s\n", path.c_str());
            ++failures;
        }
    }
};

} // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    Replay replay;
    bool mustRefuse = false;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--refuse") {
            mustRefuse = true;
            continue;
        }
        replay.argument(argv[i], mustRefuse);
    }
    std::printf("replayed %d inputs, %d failures\n", replay.inputs, replay.failures);
    if (replay.inputs == 0) {
        std::fprintf(stderr, "no inputs found\n");
        return 1;
    }
    return replay.failures == 0 ? 0 : 1;
}
