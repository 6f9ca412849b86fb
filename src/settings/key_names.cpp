#include "settings/key_names.h"

#include <cstdio>

namespace {

struct KeyName {
    uint32_t virtualKey;
    const wchar_t* name;
};

// Searched in this order; codes are unique, so the first match is the only one.
// No row for VK_SEPARATOR (0x6C) or F13-F24: the layout names those.
constexpr KeyName KeyNameTable[] = {
    {0x70, L"F1"},       {0x71, L"F2"},        {0x72, L"F3"},       {0x73, L"F4"},
    {0x74, L"F5"},       {0x75, L"F6"},        {0x76, L"F7"},       {0x77, L"F8"},
    {0x78, L"F9"},       {0x79, L"F10"},       {0x7A, L"F11"},      {0x7B, L"F12"},
    {0x20, L"Space"},    {0x0D, L"Enter"},     {0x09, L"Tab"},      {0x1B, L"Escape"},
    {0x2D, L"Insert"},   {0x2E, L"Delete"},    {0x24, L"Home"},     {0x23, L"End"},
    {0x21, L"Page Up"},  {0x22, L"Page Down"}, {0x26, L"Up"},       {0x28, L"Down"},
    {0x25, L"Left"},     {0x27, L"Right"},     {0x60, L"Numpad 0"}, {0x61, L"Numpad 1"},
    {0x62, L"Numpad 2"}, {0x63, L"Numpad 3"},  {0x64, L"Numpad 4"}, {0x65, L"Numpad 5"},
    {0x66, L"Numpad 6"}, {0x67, L"Numpad 7"},  {0x68, L"Numpad 8"}, {0x69, L"Numpad 9"},
    {0x6A, L"Numpad *"}, {0x6B, L"Numpad +"},  {0x6D, L"Numpad -"}, {0x6E, L"Numpad ."},
    {0x6F, L"Numpad /"},
};
static_assert(sizeof(KeyNameTable) / sizeof(KeyNameTable[0]) == 41);

constexpr const wchar_t* NO_KEY_NAME = L"(none)";

// "VK 0x%02X" for any 32-bit code fits, terminator included.
constexpr size_t HEX_NAME_UNITS = 16;

std::wstring HexKeyName(uint32_t virtualKey) {
    char text[HEX_NAME_UNITS] = {};
    int length = std::snprintf(text, sizeof text, "VK 0x%02X", static_cast<unsigned>(virtualKey));
    if (length < 0) return L"VK";
    return std::wstring(text, text + length);
}

}  // namespace

std::wstring LayoutKeyName(uint32_t virtualKey, const KeyboardLayout& layout) {
    uint32_t scanCode = layout.ScanCodeOf(virtualKey);
    if (scanCode == 0) return {};
    return layout.NameOfScanCode(scanCode);
}

std::wstring KeyDisplayName(uint32_t virtualKey, const KeyboardLayout& layout) {
    if (virtualKey == 0) return NO_KEY_NAME;
    for (const KeyName& row : KeyNameTable) {
        if (row.virtualKey == virtualKey) return row.name;
    }
    // Letter and main-keyboard digit codes equal their characters.
    if ((virtualKey >= 0x41 && virtualKey <= 0x5A) || (virtualKey >= 0x30 && virtualKey <= 0x39)) {
        return std::wstring(1, static_cast<wchar_t>(virtualKey));
    }
    std::wstring name = LayoutKeyName(virtualKey, layout);
    if (!name.empty()) return name;
    return HexKeyName(virtualKey);
}
