#pragma once
// The text the settings take from the bytes of a registry value.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// The registry's own type numbers for the two string types we accept.
inline constexpr uint32_t REGISTRY_STRING = 1;           // REG_SZ
inline constexpr uint32_t REGISTRY_EXPANDABLE_STRING = 2;  // REG_EXPAND_SZ

// Longer values are not ours: they leave the setting as it was.
inline constexpr size_t REGISTRY_TEXT_MAX_BYTES = 2048;

// The text of a string value of `size` bytes at `bytes` (UTF-16, little-endian
// as Windows stores it), or nothing for another type or an over-long value.
// The registry keeps whatever bytes a writer gave it, so the text ends at the
// first NUL unit or at the end of the data, and an odd last byte is dropped.
// An expandable string is taken as stored, unexpanded.
std::optional<std::u16string> DecodeRegistryText(uint32_t type, const uint8_t* bytes, size_t size);
