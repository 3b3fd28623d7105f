#include "settings/SettingsKeys.h"

#include <string>

#include "settings/Param.h"

namespace SettingsKeys {

namespace {

bool SameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

} // namespace

const KeyInfo* Find(std::string_view name) {
    for (const KeyInfo& key : Table)
        if (SameIgnoringCase(key.name, name)) return &key;
    return nullptr;
}

void WriteFirstRun(TParameter& parameter, int left, int top) {
    parameter.Add(std::string(Header));
    for (const KeyInfo& key : Table) {
        switch (key.type) {
        case KeyType::Integer:
            if (key.name == Left)
                parameter.WriteInteger(key.name, left);
            else if (key.name == Top)
                parameter.WriteInteger(key.name, top);
            else
                parameter.WriteInteger(key.name, key.firstRunInteger);
            break;
        case KeyType::Boolean:
            parameter.WriteBool(key.name, key.firstRunBoolean);
            break;
        case KeyType::String:
            parameter.WriteString(key.name, "");
            break;
        }
    }
}

int ReadInteger(const TParameter& parameter, std::string_view name,
                std::vector<std::string>& messages) {
    const KeyInfo* key = Find(name);
    return parameter.ReadInteger(name, key ? key->firstRunInteger : 0, messages);
}

bool ReadBool(const TParameter& parameter, std::string_view name,
              std::vector<std::string>& messages) {
    const KeyInfo* key = Find(name);
    return parameter.ReadBool(name, key ? key->firstRunBoolean : false, messages);
}

std::string ReadString(const TParameter& parameter, std::string_view name,
                       std::vector<std::string>& messages) {
    return parameter.ReadString(name, "", messages);
}

} // namespace SettingsKeys
