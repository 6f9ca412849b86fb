// Capability messages built from the input, one after another on one set of capabilities: containers decode without
// reading past their bytes and encode back to the same values, every answer is a well-formed container, and a MSG_SET
// that succeeds is what MSG_GETCURRENT then reports.
#include <cstdlib>
#include <vector>

#include "ds_capabilities.h"

static void Check(bool condition) { if (!condition) std::abort(); }

// What an item of `cap` stands for: signed types are kept sign-extended, TW_FIX32 raw; an unsigned all-ones
// transfer count (16 or 32 bits of ones) is the count's -1 ("any"), as hosts that send it unsigned mean it.
static double ValueOf(TW_UINT16 cap, TW_UINT16 itemType, TW_UINT32 item) {
    if (itemType == TWTY_FIX32) return Fix32Value(item);
    if (cap == CAP_XFERCOUNT && (itemType == TWTY_UINT16 || itemType == TWTY_UINT32) &&
        (item == 0xFFFF || item == 0xFFFFFFFFu))
        return -1;
    if (itemType == TWTY_INT8 || itemType == TWTY_INT16 || itemType == TWTY_INT32) return int32_t(item);
    return item;
}

static void CheckEncodesBack(const CapContainer& container) {
    const std::vector<uint8_t> bytes = EncodeContainer(container);
    CapContainer again;
    Check(DecodeContainer(container.conType, bytes.data(), bytes.size(), again) && again.items == container.items &&
          again.conType == container.conType && again.itemType == container.itemType &&
          (again.conType != TWON_ENUMERATION ||
           (again.currentIndex == container.currentIndex && again.defaultIndex == container.defaultIndex)));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const TW_UINT16 CON_TYPES[] = {TWON_ONEVALUE, TWON_ENUMERATION, TWON_ARRAY, TWON_RANGE, 0};
    CapabilitySet caps;
    const std::vector<TW_UINT16> supported = caps.Supported();
    // Each message: capability, operation, container type, length, container bytes.
    while (size >= 4) {
        const TW_UINT16 cap = data[0] < 0xF0 ? supported[data[0] % supported.size()] : TW_UINT16(0x8000 | data[0]);
        const uint8_t operation = data[1] % 6;
        const size_t length = std::min<size_t>(data[3], size - 4);
        const std::vector<uint8_t> bytes(data + 4, data + 4 + length);  // exactly as long
        CapContainer request, answer;
        if (DecodeContainer(CON_TYPES[data[2] % 5], bytes.data(), bytes.size(), request)) CheckEncodesBack(request);
        data += 4 + length, size -= 4 + length;
        if (operation == 5) {
            if (caps.Set(cap, request).returnCode != TWRC_SUCCESS) continue;
            Check(caps.Query(cap, CapQuery::GetCurrent, answer).returnCode == TWRC_SUCCESS);
            const TW_UINT32 sent = request.conType == TWON_ENUMERATION ? request.items[request.currentIndex]
                                                                       : request.items.back();
            Check(answer.items.size() == 1 &&
                  ValueOf(cap, answer.itemType, answer.items[0]) == ValueOf(cap, request.itemType, sent));
            continue;
        }
        const CapResult result = operation == 4 ? caps.QuerySupport(cap, answer)
                                                : caps.Query(cap, static_cast<CapQuery>(operation), answer);
        if (result.returnCode != TWRC_SUCCESS) continue;
        CheckEncodesBack(answer);
        if (answer.conType == TWON_ENUMERATION)
            Check(answer.currentIndex < answer.items.size() && answer.defaultIndex < answer.items.size());
        if (answer.conType == TWON_RANGE)
            Check(Fix32Value(answer.items[0]) <= Fix32Value(answer.items[4]) &&
                  Fix32Value(answer.items[4]) <= Fix32Value(answer.items[1]));
    }
    return 0;
}
