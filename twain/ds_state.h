#pragma once
// The source's side of the TWAIN state machine: which operation triplets it
// knows, and in which states each may come.

#include "twain_protocol.h"

// States 1 and 2 belong to the manager; a loaded source starts in 3.
enum class DsState : TW_UINT16 {
    Closed = 3,        // loaded, not opened by an application
    Open = 4,          // capabilities may be negotiated
    Enabled = 5,       // acquiring (with or without our window)
    XferReady = 6,     // an image waits for the application
    Transferring = 7,  // the image is being handed over
};

enum class TripletCheck {
    Allowed,
    OutOfSequence,  // known, but not in this state: TWCC_SEQERROR
    Unknown,        // not a triplet this source implements: TWCC_BADPROTOCOL
};

TripletCheck CheckTriplet(DsState state, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg);

// The condition code for a triplet that CheckTriplet did not allow.
TW_UINT16 ConditionFor(TripletCheck check);
