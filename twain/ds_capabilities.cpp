#include "ds_capabilities.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr double DOTS_PER_INCH = 96.0;
// Any whole number between: enough for what applications ask of a scanner,
// and the physical size of the largest frame still fits a TW_FIX32.
constexpr double MIN_RESOLUTION = 10.0;
constexpr double MAX_RESOLUTION = 1200.0;
constexpr size_t RANGE_ITEMS = 5;
// Frames from before the camera has told its size are taken to be VGA.
constexpr int32_t DEFAULT_FRAME_WIDTH = 640;
constexpr int32_t DEFAULT_FRAME_HEIGHT = 480;
constexpr TW_INT16 XFERCOUNT_ANY = -1;

bool IsInteger(TW_UINT16 itemType) {
    switch (itemType) {
        case TWTY_INT8:
        case TWTY_INT16:
        case TWTY_INT32:
        case TWTY_UINT8:
        case TWTY_UINT16:
        case TWTY_UINT32:
        case TWTY_BOOL:
            return true;
        default:
            return false;
    }
}

// An item's value as a number, whatever its type.
double NumericValue(TW_UINT16 itemType, TW_UINT32 item) {
    switch (itemType) {
        case TWTY_INT8:
            return static_cast<int8_t>(item & 0xff);
        case TWTY_UINT8:
            return item & 0xff;
        case TWTY_INT16:
            return static_cast<int16_t>(item & 0xffff);
        case TWTY_UINT16:
        case TWTY_BOOL:
            return item & 0xffff;
        case TWTY_INT32:
            return static_cast<int32_t>(item);
        case TWTY_FIX32:
            return Fix32Value(item);
        default:
            return static_cast<double>(item);
    }
}

// `value` as an item of `itemType`, or false when it is no such item.
bool ToItem(TW_UINT16 itemType, double value, TW_UINT32& item) {
    if (itemType == TWTY_FIX32) {
        if (value < -32768.0 || value >= 32768.0) return false;
        item = Fix32Item(value);
        return true;
    }
    if (value != std::floor(value)) return false;
    switch (itemType) {
        case TWTY_INT16:
            if (value < -32768 || value > 32767) return false;
            item = static_cast<TW_UINT32>(static_cast<int32_t>(value));  // sign-extended
            return true;
        case TWTY_UINT16:
            if (value < 0 || value > 0xffff) return false;
            item = static_cast<TW_UINT32>(value);
            return true;
        case TWTY_BOOL:
            if (value != 0 && value != 1) return false;
            item = static_cast<TW_UINT32>(value);
            return true;
        default:
            return false;
    }
}

template <typename T>
void Put(std::vector<uint8_t>& bytes, T value) {
    uint8_t raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));
    bytes.insert(bytes.end(), raw, raw + sizeof(T));
}

void PutItem(std::vector<uint8_t>& bytes, TW_UINT16 itemType, TW_UINT32 item) {
    switch (ItemSize(itemType)) {
        case 1:
            Put(bytes, static_cast<uint8_t>(item));
            break;
        case 2:
            Put(bytes, static_cast<uint16_t>(item));
            break;
        default:
            Put(bytes, item);
            break;
    }
}

template <typename T>
T Get(const uint8_t* bytes) {
    T value;
    std::memcpy(&value, bytes, sizeof(T));
    return value;
}

// Reads one item, sign-extending the signed types.
TW_UINT32 GetItem(TW_UINT16 itemType, const uint8_t* bytes) {
    switch (itemType) {
        case TWTY_INT8:
            return static_cast<TW_UINT32>(static_cast<int32_t>(Get<int8_t>(bytes)));
        case TWTY_UINT8:
            return Get<uint8_t>(bytes);
        case TWTY_INT16:
            return static_cast<TW_UINT32>(static_cast<int32_t>(Get<int16_t>(bytes)));
        case TWTY_UINT16:
        case TWTY_BOOL:
            return Get<uint16_t>(bytes);
        default:
            return Get<uint32_t>(bytes);
    }
}

}  // namespace

TW_UINT32 Fix32Item(double value) {
    TW_FIX32 fix = ToFix32(value);
    return static_cast<TW_UINT32>(static_cast<uint16_t>(fix.Whole)) |
           (static_cast<TW_UINT32>(fix.Frac) << 16);
}

double Fix32Value(TW_UINT32 item) {
    TW_FIX32 fix;
    fix.Whole = static_cast<TW_INT16>(item & 0xffff);
    fix.Frac = static_cast<TW_UINT16>(item >> 16);
    return FromFix32(fix);
}

TW_FIX32 ToFix32(double value) {
    // Whole is the floor, so that the fraction is never negative.
    int32_t scaled = static_cast<int32_t>(std::lround(value * 65536.0));
    TW_FIX32 fix;
    fix.Whole = static_cast<TW_INT16>(scaled >> 16);
    fix.Frac = static_cast<TW_UINT16>(scaled & 0xffff);
    return fix;
}

double FromFix32(TW_FIX32 value) {
    return value.Whole + value.Frac / 65536.0;
}

size_t ItemSize(TW_UINT16 itemType) {
    switch (itemType) {
        case TWTY_INT8:
        case TWTY_UINT8:
            return 1;
        case TWTY_INT16:
        case TWTY_UINT16:
        case TWTY_BOOL:
            return 2;
        case TWTY_INT32:
        case TWTY_UINT32:
        case TWTY_FIX32:
            return 4;
        default:
            return 0;
    }
}

std::vector<uint8_t> EncodeContainer(const CapContainer& container) {
    std::vector<uint8_t> bytes;
    switch (container.conType) {
        case TWON_ONEVALUE:
            if (container.items.empty()) return {};
            Put(bytes, container.itemType);
            Put(bytes, container.items.front());
            break;
        case TWON_ENUMERATION:
            Put(bytes, container.itemType);
            Put(bytes, static_cast<TW_UINT32>(container.items.size()));
            Put(bytes, container.currentIndex);
            Put(bytes, container.defaultIndex);
            for (TW_UINT32 item : container.items) PutItem(bytes, container.itemType, item);
            break;
        case TWON_ARRAY:
            Put(bytes, container.itemType);
            Put(bytes, static_cast<TW_UINT32>(container.items.size()));
            for (TW_UINT32 item : container.items) PutItem(bytes, container.itemType, item);
            break;
        case TWON_RANGE:
            if (container.items.size() != RANGE_ITEMS) return {};
            Put(bytes, container.itemType);
            for (TW_UINT32 item : container.items) Put(bytes, item);
            break;
        default:
            break;
    }
    return bytes;
}

bool DecodeContainer(TW_UINT16 conType, const uint8_t* bytes, size_t length, CapContainer& out) {
    if (!bytes) return false;
    CapContainer read;
    read.conType = conType;
    if (conType == TWON_ONEVALUE) {
        if (length < sizeof(TW_ONEVALUE)) return false;
        read.itemType = Get<TW_UINT16>(bytes);
        if (ItemSize(read.itemType) == 0) return false;
        // A ONEVALUE's Item is always 4 bytes; narrower types sit in its low end.
        read.items.push_back(GetItem(read.itemType, bytes + offsetof(TW_ONEVALUE, Item)));
        out = std::move(read);
        return true;
    }
    if (conType == TWON_RANGE) {
        if (length < sizeof(TW_RANGE)) return false;
        read.itemType = Get<TW_UINT16>(bytes);
        if (ItemSize(read.itemType) == 0) return false;
        for (size_t i = 0; i < RANGE_ITEMS; ++i) {
            read.items.push_back(GetItem(read.itemType, bytes + offsetof(TW_RANGE, MinValue) + 4 * i));
        }
        out = std::move(read);
        return true;
    }
    size_t header = 0;
    if (conType == TWON_ENUMERATION) {
        header = sizeof(TW_ENUMERATION_HEADER);
    } else if (conType == TWON_ARRAY) {
        header = sizeof(TW_ARRAY_HEADER);
    } else {
        return false;
    }
    if (length < header) return false;
    read.itemType = Get<TW_UINT16>(bytes);
    size_t itemSize = ItemSize(read.itemType);
    if (itemSize == 0) return false;
    TW_UINT32 count = Get<TW_UINT32>(bytes + 2);
    if (count > (length - header) / itemSize) return false;
    if (conType == TWON_ENUMERATION) {
        read.currentIndex = Get<TW_UINT32>(bytes + 6);
        read.defaultIndex = Get<TW_UINT32>(bytes + 10);
    }
    for (TW_UINT32 i = 0; i < count; ++i) {
        read.items.push_back(GetItem(read.itemType, bytes + header + i * itemSize));
    }
    out = std::move(read);
    return true;
}

CapabilitySet::CapabilitySet() {
    const TW_UINT32 dpi = Fix32Item(DOTS_PER_INCH);
    const std::vector<TW_UINT32> resolutions = {Fix32Item(MIN_RESOLUTION),
                                                Fix32Item(MAX_RESOLUTION), Fix32Item(1)};
    const TW_UINT32 yes = 1;
    const TW_UINT32 no = 0;
    entries_ = {
        {CAP_XFERCOUNT, TWTY_INT16, Kind::Count, {}, static_cast<TW_UINT32>(-1), 0},
        {CAP_SUPPORTEDCAPS, TWTY_UINT16, Kind::List, {}, 0, 0},
        {CAP_UICONTROLLABLE, TWTY_BOOL, Kind::Fixed, {}, yes, 0},
        {CAP_DEVICEONLINE, TWTY_BOOL, Kind::Fixed, {}, yes, 0},
        {CAP_INDICATORS, TWTY_BOOL, Kind::Flag, {}, yes, 0},
        {CAP_ENABLEDSUIONLY, TWTY_BOOL, Kind::Fixed, {}, no, 0},
        {ICAP_XFERMECH, TWTY_UINT16, Kind::Choice, {TWSX_NATIVE, TWSX_FILE, TWSX_MEMORY},
         TWSX_NATIVE, 0},
        {ICAP_IMAGEFILEFORMAT, TWTY_UINT16, Kind::Choice, {TWFF_BMP, TWFF_PNG}, TWFF_BMP, 0},
        {ICAP_PIXELTYPE, TWTY_UINT16, Kind::Choice, {TWPT_RGB, TWPT_GRAY, TWPT_BW}, TWPT_RGB, 0},
        // Offered one at a time: the depth the pixel type has (see Follow).
        {ICAP_BITDEPTH, TWTY_UINT16, Kind::Choice, {24}, 24, 0},
        {ICAP_THRESHOLD, TWTY_FIX32, Kind::Range, {Fix32Item(0), Fix32Item(255), Fix32Item(1)}, Fix32Item(128), 0},
        {ICAP_UNITS, TWTY_UINT16, Kind::Choice, {TWUN_INCHES, TWUN_PIXELS}, TWUN_INCHES, 0},
        {ICAP_SUPPORTEDSIZES, TWTY_UINT16, Kind::Choice,
         {TWSS_NONE, TWSS_USLETTER, TWSS_USLEGAL, TWSS_A4, TWSS_A5, TWSS_JISB5, TWSS_USEXECUTIVE}, TWSS_NONE, 0},
        {ICAP_XRESOLUTION, TWTY_FIX32, Kind::Resolution, resolutions, dpi, 0},
        {ICAP_YRESOLUTION, TWTY_FIX32, Kind::Resolution, resolutions, dpi, 0},
        {ICAP_XNATIVERESOLUTION, TWTY_FIX32, Kind::Fixed, {}, dpi, 0},
        {ICAP_YNATIVERESOLUTION, TWTY_FIX32, Kind::Fixed, {}, dpi, 0},
        {ICAP_PHYSICALWIDTH, TWTY_FIX32, Kind::Fixed, {}, 0, 0},
        {ICAP_PHYSICALHEIGHT, TWTY_FIX32, Kind::Fixed, {}, 0, 0},
        {ICAP_COMPRESSION, TWTY_UINT16, Kind::Choice, {TWCP_NONE}, TWCP_NONE, 0},
        {ICAP_PLANARCHUNKY, TWTY_UINT16, Kind::Choice, {TWPC_CHUNKY}, TWPC_CHUNKY, 0},
        {ICAP_PIXELFLAVOR, TWTY_UINT16, Kind::Choice, {TWPF_CHOCOLATE}, TWPF_CHOCOLATE, 0},
        {ICAP_BITORDER, TWTY_UINT16, Kind::Choice, {TWBO_MSBFIRST}, TWBO_MSBFIRST, 0},
    };
    for (Entry& entry : entries_) entry.current = entry.defaultValue;
    SetFrameSize(DEFAULT_FRAME_WIDTH, DEFAULT_FRAME_HEIGHT);
}

CapabilitySet::Entry* CapabilitySet::Find(TW_UINT16 cap) {
    for (Entry& entry : entries_) {
        if (entry.cap == cap) return &entry;
    }
    return nullptr;
}

const CapabilitySet::Entry* CapabilitySet::Find(TW_UINT16 cap) const {
    return const_cast<CapabilitySet*>(this)->Find(cap);
}

TW_UINT32 CapabilitySet::Current(TW_UINT16 cap) const {
    const Entry* entry = Find(cap);
    return entry ? entry->current : 0;
}

std::vector<TW_UINT16> CapabilitySet::Supported() const {
    std::vector<TW_UINT16> caps;
    for (const Entry& entry : entries_) caps.push_back(entry.cap);
    return caps;
}

void CapabilitySet::Answer(const Entry& entry, CapQuery query, CapContainer& answer) const {
    answer = CapContainer{};
    answer.itemType = entry.itemType;
    if (entry.kind == Kind::List) {
        answer.conType = TWON_ARRAY;
        for (TW_UINT16 cap : Supported()) answer.items.push_back(cap);
        return;
    }
    bool whole = query == CapQuery::Get || query == CapQuery::Reset;
    if (whole && (entry.kind == Kind::Resolution || entry.kind == Kind::Range)) {
        answer.conType = TWON_RANGE;
        answer.items = entry.allowed;
        answer.items.push_back(entry.defaultValue);
        answer.items.push_back(entry.current);
        return;
    }
    if (whole && entry.kind == Kind::Choice) {
        answer.conType = TWON_ENUMERATION;
        answer.items = entry.allowed;
        auto indexOf = [&](TW_UINT32 value) {
            auto at = std::find(entry.allowed.begin(), entry.allowed.end(), value);
            return static_cast<TW_UINT32>(at - entry.allowed.begin());
        };
        answer.currentIndex = indexOf(entry.current);
        answer.defaultIndex = indexOf(entry.defaultValue);
        return;
    }
    answer.conType = TWON_ONEVALUE;
    answer.items = {query == CapQuery::GetDefault ? entry.defaultValue : entry.current};
}

CapResult CapabilitySet::Query(TW_UINT16 cap, CapQuery query, CapContainer& answer) {
    Entry* entry = Find(cap);
    if (!entry) return {TWRC_FAILURE, TWCC_CAPUNSUPPORTED};
    if (query == CapQuery::Reset) {
        if (entry->kind == Kind::Fixed || entry->kind == Kind::List) {
            return {TWRC_FAILURE, TWCC_CAPBADOPERATION};
        }
        if (entry->kind == Kind::Resolution) {
            SetResolution(entry->defaultValue);
        } else {
            entry->current = entry->defaultValue;
            Follow(cap);
        }
    }
    Answer(*entry, query, answer);
    return {};
}

CapResult CapabilitySet::QuerySupport(TW_UINT16 cap, CapContainer& answer) const {
    const Entry* entry = Find(cap);
    if (!entry) return {TWRC_FAILURE, TWCC_CAPUNSUPPORTED};
    TW_INT32 flags = TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT;
    if (entry->kind != Kind::Fixed && entry->kind != Kind::List) flags |= TWQC_SET | TWQC_RESET;
    answer = CapContainer{};
    answer.conType = TWON_ONEVALUE;
    answer.itemType = TWTY_INT32;
    answer.items = {static_cast<TW_UINT32>(flags)};
    return {};
}

CapResult CapabilitySet::Set(TW_UINT16 cap, const CapContainer& request) {
    Entry* entry = Find(cap);
    if (!entry) return {TWRC_FAILURE, TWCC_CAPUNSUPPORTED};
    if (entry->kind == Kind::Fixed || entry->kind == Kind::List) {
        return {TWRC_FAILURE, TWCC_CAPBADOPERATION};
    }

    TW_UINT32 requested = 0;
    if (request.conType == TWON_ONEVALUE && request.items.size() == 1) {
        requested = request.items.front();
    } else if (request.conType == TWON_ENUMERATION && request.currentIndex < request.items.size()) {
        requested = request.items[request.currentIndex];
    } else if (request.conType == TWON_RANGE && request.items.size() == RANGE_ITEMS) {
        requested = request.items.back();
    } else {
        return {TWRC_FAILURE, TWCC_BADVALUE};
    }
    // Applications differ in the item type they send (TWTY_UINT16 for an INT16
    // capability, an integer for a TW_FIX32 one); the value is what counts.
    bool numeric = IsInteger(request.itemType) || request.itemType == TWTY_FIX32;
    if (!numeric || (request.itemType == TWTY_FIX32 && entry->itemType != TWTY_FIX32)) {
        return {TWRC_FAILURE, TWCC_BADVALUE};
    }
    double value = NumericValue(request.itemType, requested);
    TW_UINT32 item = 0;

    switch (entry->kind) {
        case Kind::Choice:
            if (!ToItem(entry->itemType, value, item) ||
                std::find(entry->allowed.begin(), entry->allowed.end(), item) == entry->allowed.end()) {
                return {TWRC_FAILURE, TWCC_BADVALUE};
            }
            entry->current = item;
            Follow(cap);
            return {};
        case Kind::Range: {
            // Whole steps inside the range; the nearest kept, the caller told to look.
            const double minimum = Fix32Value(entry->allowed[0]), maximum = Fix32Value(entry->allowed[1]);
            if (!(value >= minimum && value <= maximum)) return {TWRC_FAILURE, TWCC_BADVALUE};
            const double nearest = std::round(value);
            entry->current = Fix32Item(nearest);
            const bool exact = std::fabs(nearest - value) < 1.0 / 65536.0;
            return {exact ? TWRC_SUCCESS : TWRC_CHECKSTATUS, TWCC_SUCCESS};
        }
        case Kind::Resolution: {
            if (!(value > 0)) return {TWRC_FAILURE, TWCC_BADVALUE};
            // The nearest value offered is kept, and the caller told to look.
            double nearest = std::clamp(std::round(value), MIN_RESOLUTION, MAX_RESOLUTION);
            SetResolution(Fix32Item(nearest));
            bool exact = std::fabs(nearest - value) < 1.0 / 65536.0;
            return {exact ? TWRC_SUCCESS : TWRC_CHECKSTATUS, TWCC_SUCCESS};
        }
        case Kind::Flag:
            if (!ToItem(TWTY_BOOL, value, item)) return {TWRC_FAILURE, TWCC_BADVALUE};
            entry->current = item;
            return {};
        case Kind::Count:
            // -1 written into an unsigned field arrives as its all-ones, a
            // number too large to be meant as a count of pages.
            if ((request.itemType == TWTY_UINT16 || request.itemType == TWTY_UINT32) &&
                (value == 0xffff || value == 0xffffffff)) {
                value = XFERCOUNT_ANY;
            }
            if (value != XFERCOUNT_ANY && (value < 1 || value > 32767)) {
                return {TWRC_FAILURE, TWCC_BADVALUE};
            }
            if (!ToItem(TWTY_INT16, value, item)) return {TWRC_FAILURE, TWCC_BADVALUE};
            entry->current = item;
            return {};
        case Kind::Fixed:
        case Kind::List:
            break;
    }
    return {TWRC_FAILURE, TWCC_CAPBADOPERATION};
}

void CapabilitySet::ResetAll() {
    for (Entry& entry : entries_) {
        if (entry.kind != Kind::Fixed && entry.kind != Kind::List) entry.current = entry.defaultValue;
    }
    Follow(ICAP_PIXELTYPE);
    UpdatePhysicalSize();
}

void CapabilitySet::Follow(TW_UINT16 cap) {
    if (cap == ICAP_PIXELTYPE) {
        // A page has one depth per pixel type: 24-bit colour, 8-bit grey,
        // 1-bit black and white.
        const TW_UINT16 type = PixelType();
        const TW_UINT32 depth = type == TWPT_BW ? 1 : type == TWPT_GRAY ? 8 : 24;
        if (Entry* entry = Find(ICAP_BITDEPTH)) entry->allowed = {entry->current = entry->defaultValue = depth};
    } else if (cap == ICAP_UNITS) {
        UpdatePhysicalSize();
    }
}

TW_UINT16 CapabilitySet::PixelType() const {
    return static_cast<TW_UINT16>(Current(ICAP_PIXELTYPE));
}

uint8_t CapabilitySet::Threshold() const {
    return static_cast<uint8_t>(std::clamp(std::lround(Fix32Value(Current(ICAP_THRESHOLD))), 0L, 255L));
}

TW_UINT16 CapabilitySet::Units() const {
    return static_cast<TW_UINT16>(Current(ICAP_UNITS));
}

double CapabilitySet::PixelsPerUnit() const {
    return Units() == TWUN_PIXELS ? 1.0 : Resolution();
}

TW_UINT16 CapabilitySet::PageSize() const {
    return static_cast<TW_UINT16>(Current(ICAP_SUPPORTEDSIZES));
}

void CapabilitySet::SetPageSize(TW_UINT16 size) {
    if (Entry* entry = Find(ICAP_SUPPORTEDSIZES)) entry->current = size;
}

void CapabilitySet::SetResolution(TW_UINT32 item) {
    for (TW_UINT16 cap : {ICAP_XRESOLUTION, ICAP_YRESOLUTION}) {
        if (Entry* entry = Find(cap)) entry->current = item;
    }
    UpdatePhysicalSize();
}

TW_UINT16 CapabilitySet::XferMech() const {
    return static_cast<TW_UINT16>(Current(ICAP_XFERMECH));
}

TW_INT16 CapabilitySet::XferCount() const {
    return static_cast<TW_INT16>(Current(CAP_XFERCOUNT) & 0xffff);
}

bool CapabilitySet::Indicators() const {
    return Current(CAP_INDICATORS) != 0;
}

TW_UINT16 CapabilitySet::FileFormat() const {
    return static_cast<TW_UINT16>(Current(ICAP_IMAGEFILEFORMAT));
}

double CapabilitySet::Resolution() const {
    return Fix32Value(Current(ICAP_XRESOLUTION));
}

void CapabilitySet::SetDeviceOnline(bool online) {
    if (Entry* entry = Find(CAP_DEVICEONLINE)) entry->current = entry->defaultValue = online ? 1 : 0;
}

void CapabilitySet::SetFrameSize(int32_t width, int32_t height) {
    if (width <= 0 || height <= 0) return;
    frameWidth_ = width;
    frameHeight_ = height;
    UpdatePhysicalSize();
}

void CapabilitySet::UpdatePhysicalSize() {
    const double resolution = PixelsPerUnit();
    if (Entry* entry = Find(ICAP_PHYSICALWIDTH)) {
        entry->current = entry->defaultValue = Fix32Item(frameWidth_ / resolution);
    }
    if (Entry* entry = Find(ICAP_PHYSICALHEIGHT)) {
        entry->current = entry->defaultValue = Fix32Item(frameHeight_ / resolution);
    }
}

namespace {

struct StandardPage {
    TW_UINT16 size;
    double width, height;  // inches, portrait
};
constexpr double MM = 1 / 25.4;
constexpr StandardPage STANDARD_PAGES[] = {
    {TWSS_USLETTER, 8.5, 11},           {TWSS_USLEGAL, 8.5, 14},           {TWSS_A4, 210 * MM, 297 * MM},
    {TWSS_A5, 148 * MM, 210 * MM},      {TWSS_JISB5, 182 * MM, 257 * MM}, {TWSS_USEXECUTIVE, 7.25, 10.5},
};
// Applications round millimetres to inches in their own ways (A4 as 8.27 or
// 8.26 inches); a thirtieth of an inch, under a millimetre, takes them all.
constexpr double PAGE_TOLERANCE = 1 / 30.0;

}  // namespace

TW_UINT16 StandardPageOf(const TW_FRAME& frame) {
    const double left = FromFix32(frame.Left), top = FromFix32(frame.Top);
    const double width = FromFix32(frame.Right) - left, height = FromFix32(frame.Bottom) - top;
    if (std::fabs(left) > PAGE_TOLERANCE || std::fabs(top) > PAGE_TOLERANCE) return TWSS_NONE;
    const auto near = [](double a, double b) { return std::fabs(a - b) <= PAGE_TOLERANCE; };
    for (const StandardPage& page : STANDARD_PAGES) {
        if ((near(width, page.width) && near(height, page.height)) ||
            (near(width, page.height) && near(height, page.width))) {
            return page.size;
        }
    }
    return TWSS_NONE;
}
