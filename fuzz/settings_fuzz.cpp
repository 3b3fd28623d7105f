// Parses arbitrary bytes as a settings file, reads every key of the key table with each
// typed read, and checks that writing the lines out and reading them back is lossless.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "settings/Param.h"
#include "settings/SettingsKeys.h"

namespace {

// Runs a strict read; false when it raised one of the settings errors.
template <typename F> bool tolerate(F&& read) {
    try {
        read();
        return true;
    } catch (const EValueName&) {
    } catch (const EConvertError&) {
    }
    return false;
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "settings fuzz: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TParameter parameter;
    parameter.SetText(std::string_view(reinterpret_cast<const char*>(data), size));

    // The tolerant reads never raise, agree with the strict reads where those succeed,
    // and note one message for each strict read that fails.
    std::vector<std::string> messages;
    size_t failures = 0;
    for (const SettingsKeys::KeyInfo& key : SettingsKeys::Table) {
        const std::string text = parameter.ReadString(key.name, "\x01", messages);
        const int number = parameter.ReadInteger(key.name, -7, messages);
        const bool flag = parameter.ReadBool(key.name, true, messages);
        if (!tolerate([&] {
                if (parameter.ReadString(key.name) != text) fail("tolerant string differs");
            }))
            ++failures;
        if (!tolerate([&] {
                if (parameter.ReadInteger(key.name) != number) fail("tolerant integer differs");
            }))
            ++failures;
        if (!tolerate([&] {
                if (parameter.ReadBool(key.name) != flag) fail("tolerant Boolean differs");
            }))
            ++failures;
    }
    if (messages.size() != failures) fail("one message for each failed read");

    // Decoded lines hold no line breaks, so the written text must read back as the
    // same lines, and reading must reach a fixed point after one round.
    const std::string text = parameter.GetText();
    TParameter again;
    again.SetText(text);
    if (again.GetCount() != parameter.GetCount()) fail("line count changed on re-reading");
    for (int i = 0; i < parameter.GetCount(); ++i)
        if (again.GetLine(i) != parameter.GetLine(i)) fail("line changed on re-reading");
    if (again.GetText() != text) fail("text changed on re-reading");

    // Writes keep every key readable with the value written.
    for (const SettingsKeys::KeyInfo& key : SettingsKeys::Table) {
        again.WriteInteger(key.name, -12345);
        if (again.ReadInteger(key.name) != -12345) fail("written integer not read back");
        again.WriteString(key.name, "");
        if (!again.ReadString(key.name).empty()) fail("empty string not read back");
    }
    return 0;
}
