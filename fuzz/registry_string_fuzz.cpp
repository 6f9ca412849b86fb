// DecodeRegistryText on any type and bytes: it reads only the bytes it is
// given, agrees with a plain decode, and gives back any text it wrote itself.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "settings/registry_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // Mostly the two string types; now and then any other.
    const uint32_t type = data[0] < 0x80 ? data[0] % 3 : data[0] - 0x80u;
    const uint8_t* value = data + 1;
    const size_t length = size - 1;
    const std::optional<std::u16string> text = DecodeRegistryText(type, value, length);
    const bool taken = (type == REGISTRY_STRING || type == REGISTRY_EXPANDABLE_STRING) &&
                       length <= REGISTRY_TEXT_MAX_BYTES;
    if (text.has_value() != taken) std::abort();
    if (!text) return 0;
    // The plain decode: whole little-endian units (this runs on x86), up to the first NUL.
    std::u16string units(length / 2, u'\0');
    std::memcpy(units.data(), value, units.size() * 2);
    if (*text != units.c_str() || text->find(u'\0') != std::u16string::npos) std::abort();
    // Written back as the settings write it, with its terminator, and with a stray byte after that: the same text.
    std::vector<uint8_t> written((text->size() + 1) * 2 + 1, 0xA5);
    std::memcpy(written.data(), text->data(), text->size() * 2);
    written[written.size() - 3] = written[written.size() - 2] = 0;
    for (size_t bytes : {written.size() - 1, written.size()}) {
        if (bytes <= REGISTRY_TEXT_MAX_BYTES && DecodeRegistryText(REGISTRY_STRING, written.data(), bytes) != text)
            std::abort();
    }
    return 0;
}
