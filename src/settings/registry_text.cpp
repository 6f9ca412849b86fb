#include "settings/registry_text.h"

std::optional<std::u16string> DecodeRegistryText(uint32_t type, const uint8_t* bytes, size_t size) {
    if (type != REGISTRY_STRING && type != REGISTRY_EXPANDABLE_STRING) return std::nullopt;
    if (size > REGISTRY_TEXT_MAX_BYTES) return std::nullopt;
    std::u16string text;
    // Data that fills the buffer may carry no terminator at all.
    for (size_t at = 0; at + 1 < size; at += 2) {
        const char16_t unit = static_cast<char16_t>(bytes[at] | bytes[at + 1] << 8);
        if (unit == u'\0') break;
        text.push_back(unit);
    }
    return text;
}
