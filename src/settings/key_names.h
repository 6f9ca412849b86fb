#pragma once
// Virtual-key codes -> the text shown for the capture key.

#include <cstdint>
#include <string>

// The keyboard layout as key naming needs it: virtual key -> scan code (0 for
// none), scan code -> name (empty for none).
struct KeyboardLayout {
    uint32_t (*ScanCodeOf)(uint32_t virtualKey);
    std::wstring (*NameOfScanCode)(uint32_t scanCode);
};

// The current Windows layout (defined only in the Windows build).
const KeyboardLayout& SystemKeyboardLayout();

// Our own fixed names first, then the layout's name, then "VK 0x..". Never
// empty. The fixed names keep the label stable whatever layout is active.
std::wstring KeyDisplayName(uint32_t virtualKey, const KeyboardLayout& layout);
// With the system layout (Windows build).
std::wstring KeyDisplayName(uint32_t virtualKey);

// The layout's own name for a key alone, empty when the layout has none. Some
// texts name the key exactly as the layout does.
std::wstring LayoutKeyName(uint32_t virtualKey, const KeyboardLayout& layout);
// With the system layout (Windows build).
std::wstring LayoutKeyName(uint32_t virtualKey);
