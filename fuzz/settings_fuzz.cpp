// Parses arbitrary bytes as a settings file, reads every key of the key table with each
// typed read, and checks that writing the lines out and reading them back is lossless.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "settings/Param.h"
#include "settings/SettingsKeys.h"

namespace {

template <typename F> void tolerate(F&& read) {
    try {
        read();
    } catch (const EValueName&) {
    } catch (const EConvertError&) {
    }
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "settings fuzz: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TParameter parameter;
    parameter.SetText(std::string_view(reinterpret_cast<const char*>(data), size));

    for (const SettingsKeys::KeyInfo& key : SettingsKeys::Table) {
        tolerate([&] { (void)parameter.ReadString(key.name); });
        tolerate([&] { (void)parameter.ReadInteger(key.name); });
        tolerate([&] { (void)parameter.ReadBool(key.name); });
    }

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
