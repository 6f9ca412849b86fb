#pragma once
// Capability negotiation as plain values: what each capability offers, its
// current and default value, and the containers that carry them. Memory
// handles stay outside; the source turns containers into bytes and back.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "twain_protocol.h"

// The 4 bytes of a TW_FIX32 as a ONEVALUE's Item carries them (Whole in the
// low half, Frac in the high half), and back.
TW_UINT32 Fix32Item(double value);
double Fix32Value(TW_UINT32 item);
TW_FIX32 ToFix32(double value);
double FromFix32(TW_FIX32 value);

// A capability's values in the shape of one container. Every item is kept as
// a ONEVALUE's Item would hold it: signed types sign-extended, TW_FIX32 raw.
// A TWON_RANGE holds five items: minimum, maximum, step, default, current.
struct CapContainer {
    TW_UINT16 conType = TWON_ONEVALUE;
    TW_UINT16 itemType = TWTY_UINT16;
    std::vector<TW_UINT32> items;
    TW_UINT32 currentIndex = 0;  // TWON_ENUMERATION only
    TW_UINT32 defaultIndex = 0;
};

// Bytes of one item of this type inside an enumeration or array; 0 for types
// this source never exchanges.
size_t ItemSize(TW_UINT16 itemType);

// The bytes of the TW_ONEVALUE, TW_ENUMERATION, TW_ARRAY or TW_RANGE; empty
// for any other container type (or a range without its five items).
std::vector<uint8_t> EncodeContainer(const CapContainer& container);
// Reads a container of `conType` from `length` bytes. False when the bytes
// are too few for what the header announces, or the container or item type
// is not one this source reads.
bool DecodeContainer(TW_UINT16 conType, const uint8_t* bytes, size_t length, CapContainer& out);

// The standard page (TWSS_) a frame in inches is, portrait or landscape, with
// its top left corner at the origin; TWSS_NONE for any other frame.
TW_UINT16 StandardPageOf(const TW_FRAME& frame);

struct CapResult {
    TW_UINT16 returnCode = TWRC_SUCCESS;
    TW_UINT16 conditionCode = TWCC_SUCCESS;
};

enum class CapQuery { Get, GetCurrent, GetDefault, Reset };

class CapabilitySet {
public:
    CapabilitySet();

    // MSG_GET, MSG_GETCURRENT, MSG_GETDEFAULT, and MSG_RESET (which restores
    // the default first and then answers as MSG_GET).
    CapResult Query(TW_UINT16 cap, CapQuery query, CapContainer& answer);
    // MSG_QUERYSUPPORT: a ONEVALUE TWTY_INT32 of TWQC_ bits.
    CapResult QuerySupport(TW_UINT16 cap, CapContainer& answer) const;
    // MSG_SET with a ONEVALUE, or an ENUMERATION or RANGE whose current item
    // is taken.
    CapResult Set(TW_UINT16 cap, const CapContainer& request);
    void ResetAll();

    TW_UINT16 XferMech() const;
    TW_INT16 XferCount() const;
    bool Indicators() const;
    TW_UINT16 FileFormat() const;
    // Dots per inch, the same across and down. A webcam has no optics to
    // measure by: the number only says how large its pixels are to be taken,
    // which the physical size, the layout and the image info all follow.
    double Resolution() const;

    // ICAP_PIXELTYPE, and ICAP_THRESHOLD (0 to 255) for black and white.
    TW_UINT16 PixelType() const;
    uint8_t Threshold() const;
    // ICAP_UNITS, and how many pixels one of them holds: frames and physical
    // sizes are told in it. A pixel has no size of its own, so the resolution
    // stays in dots per inch whatever the unit.
    TW_UINT16 Units() const;
    double PixelsPerUnit() const;
    // ICAP_SUPPORTEDSIZES: the standard page the application asked for last,
    // TWSS_NONE once it set a frame of its own.
    TW_UINT16 PageSize() const;
    void SetPageSize(TW_UINT16 size);

    // What the camera says: online or not, and the picture size, which at the
    // resolution gives the physical width and height.
    void SetDeviceOnline(bool online);
    void SetFrameSize(int32_t width, int32_t height);

    // Every capability this source answers, CAP_SUPPORTEDCAPS included.
    std::vector<TW_UINT16> Supported() const;

private:
    enum class Kind {
        Choice,      // one of a fixed list; MSG_GET answers an enumeration
        Resolution,  // a range of whole numbers; X and Y move together
        Range,       // a TW_FIX32 range of whole numbers: minimum, maximum, step
        Flag,        // a settable TW_BOOL
        Count,       // CAP_XFERCOUNT: -1 (any number) or 1 to 32767
        Fixed,       // read-only
        List,        // CAP_SUPPORTEDCAPS: an array, read-only
    };
    struct Entry {
        TW_UINT16 cap;
        TW_UINT16 itemType;
        Kind kind;
        std::vector<TW_UINT32> allowed;  // Choice; minimum, maximum, step for Resolution
        TW_UINT32 defaultValue;
        TW_UINT32 current;
    };

    Entry* Find(TW_UINT16 cap);
    const Entry* Find(TW_UINT16 cap) const;
    TW_UINT32 Current(TW_UINT16 cap) const;
    void Answer(const Entry& entry, CapQuery query, CapContainer& answer) const;
    // What follows from a change of `cap`: the bit depth from the pixel type,
    // the physical size from the units.
    void Follow(TW_UINT16 cap);
    // Both resolutions to `item`, and the physical size after them.
    void SetResolution(TW_UINT32 item);
    void UpdatePhysicalSize();

    std::vector<Entry> entries_;
    int32_t frameWidth_ = 0;
    int32_t frameHeight_ = 0;
};
