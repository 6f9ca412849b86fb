#include "ds_state.h"

namespace {

struct TripletRule {
    TW_UINT32 dg;
    TW_UINT16 dat;
    TW_UINT16 msg;
    DsState first;  // the range of states in which the triplet may come
    DsState last;
};

constexpr DsState S3 = DsState::Closed;
constexpr DsState S4 = DsState::Open;
constexpr DsState S5 = DsState::Enabled;
constexpr DsState S6 = DsState::XferReady;
constexpr DsState S7 = DsState::Transferring;

// MSG_ENABLEDSUIONLY is missing on purpose: the source has no settings-only
// dialog, and says so through CAP_ENABLEDSUIONLY.
constexpr TripletRule RULES[] = {
    {DG_CONTROL, DAT_IDENTITY, MSG_GET, S3, S7},
    // Only a manager that has forgotten an earlier session opens us again
    // (Wine's forgets a source even when closing it was refused); the source
    // then starts afresh.
    {DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, S3, S7},
    {DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, S4, S4},
    // 2.x managers hand their entry points over before opening the source,
    // so wherever it may be opened again.
    {DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, S3, S7},
    {DG_CONTROL, DAT_STATUS, MSG_GET, S3, S7},
    {DG_CONTROL, DAT_CAPABILITY, MSG_GET, S4, S7},
    {DG_CONTROL, DAT_CAPABILITY, MSG_GETCURRENT, S4, S7},
    {DG_CONTROL, DAT_CAPABILITY, MSG_GETDEFAULT, S4, S7},
    {DG_CONTROL, DAT_CAPABILITY, MSG_QUERYSUPPORT, S4, S7},
    {DG_CONTROL, DAT_CAPABILITY, MSG_SET, S4, S4},
    {DG_CONTROL, DAT_CAPABILITY, MSG_RESET, S4, S4},
    {DG_CONTROL, DAT_CAPABILITY, MSG_RESETALL, S4, S4},
    {DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, S4, S4},
    {DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, S5, S5},
    {DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, S5, S7},
    {DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, S4, S7},
    {DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, S6, S7},
    {DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, S6, S6},
    {DG_CONTROL, DAT_XFERGROUP, MSG_GET, S4, S7},
    {DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, S4, S6},
    {DG_CONTROL, DAT_SETUPFILEXFER, MSG_GET, S4, S6},
    {DG_CONTROL, DAT_SETUPFILEXFER, MSG_GETDEFAULT, S4, S6},
    {DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, S4, S6},
    {DG_CONTROL, DAT_SETUPFILEXFER, MSG_RESET, S4, S4},
    {DG_IMAGE, DAT_IMAGEINFO, MSG_GET, S6, S7},
    {DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, S4, S6},
    {DG_IMAGE, DAT_IMAGELAYOUT, MSG_GETDEFAULT, S4, S6},
    {DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, S4, S4},
    {DG_IMAGE, DAT_IMAGELAYOUT, MSG_RESET, S4, S4},
    {DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, S6, S6},
    {DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, S6, S7},
    {DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, S6, S6},
};

}  // namespace

TripletCheck CheckTriplet(DsState state, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg) {
    for (const TripletRule& rule : RULES) {
        if (rule.dg != dg || rule.dat != dat || rule.msg != msg) continue;
        bool inRange = state >= rule.first && state <= rule.last;
        return inRange ? TripletCheck::Allowed : TripletCheck::OutOfSequence;
    }
    return TripletCheck::Unknown;
}

TW_UINT16 ConditionFor(TripletCheck check) {
    switch (check) {
        case TripletCheck::Allowed:
            return TWCC_SUCCESS;
        case TripletCheck::OutOfSequence:
            return TWCC_SEQERROR;
        case TripletCheck::Unknown:
            break;
    }
    return TWCC_BADPROTOCOL;
}
