// Installation-wide constants: error sources and the tour service's codes,
// tour actions, types and states, and the signal values the service takes.
#ifndef SYSDEFS_H
#define SYSDEFS_H

#include "systypes.h"

// Global identifiers.
#define SYS_GLOBAL_GROUP_FACTOR 10000000u  // group and monitor ids: unit * 10,000,000 + local
#define SYS_GLOBAL_CAM_FACTOR 100000u      // camera ids: unit * 100,000 + logical camera
#define SYS_AREA_FACTOR 10000u             // area of a group: logical id / 10,000

// Device ids: high byte type, low byte number.
#define SYS_DEVTYPE_NUVAK 2        // monitors taken by the tour service for a tour itself
#define SYS_DEVICE_NOUSER 0x02FFu  // a tour without a user (767)

// Error sources (high byte of a status).
#define ERRSRC_GEN 0x0000
#define ERRSRC_CAM 0x0100
#define ERRSRC_MON 0x0200
#define ERRSRC_MONCSI 0x0300
#define ERRSRC_KBDPROC 0x0400
#define ERRSRC_KBDSERV 0x0500
#define ERRSRC_ALMCSI 0x0600
#define ERRSRC_ALM 0x0700
#define ERRSRC_RTE 0x0800
#define ERRSRC_SERVICE 0x0900
#define ERRSRC_NUVAK 0x0A00
#define ERRSRC_LAYOUT 0x0B00
#define ERRSRC_MSYNC 0x0C00

// The tour service's status codes, one list: code, name.
// Tools print them by name from the same list (see NuvakErrorName).
#define NUVAK_ERROR_LIST(X)            \
    X(0x0A05, NUVAKERR_INVALID)        \
    X(0x0A08, NUVAKERR_INVMONID)       \
    X(0x0A0D, NUVAKEER_INVTOURCMD)     \
    X(0x0A0F, NUVAKERR_INVGRPPREID)    \
    X(0x0A17, NUVAKERR_INVTYPE)        \
    X(0x0A18, NUVAKERR_FAILGMONSEZ)    \
    X(0x0A1A, NUVAKERR_INVVAR)         \
    X(0x0A1C, NUVAKERR_INVALHNDL)      \
    X(0x0A1D, NUVAKERR_MEMORY)         \
    X(0x0A1E, NUVAKERR_NOCONNS)        \
    X(0x0A1F, NUVAKERR_INITFAIL)       \
    X(0x0A20, NUVAKERR_INVALPTR)       \
    X(0x0A21, NUVAKERR_NONUVAK)        \
    X(0x0A23, NUVAKERR_INVSTATE)       \
    X(0x0A2A, NUVAKERR_NOHNDL)         \
    X(0x0A2B, NUVAKERR_INVACTION)      \
    X(0x0A2D, NUVAKERR_BUSY)           \
    X(0x0A2E, NUVAKERR_SENDFAIL)       \
    X(0x0A33, NUVAKERR_VARNOT4UNIT)    \
    X(0x0A34, NUVAKERR_INVSTEP)        \
    X(0x0A35, NUVAKERR_INVSIG)

#define NUVAK_DEFINE_ERROR(code, name) constexpr T_uint_16 name = code;
NUVAK_ERROR_LIST(NUVAK_DEFINE_ERROR)
#undef NUVAK_DEFINE_ERROR

// Name of a tour-service status ("NUVAKERR_INVALID"), "OK" for 0, or null
// when the code is not one of the service's.
inline const char* NuvakErrorName(T_uint_16 code) {
    if (code == 0) return "OK";
    switch (code) {
#define NUVAK_ERROR_CASE(c, name) \
    case c:                       \
        return #name;
        NUVAK_ERROR_LIST(NUVAK_ERROR_CASE)
#undef NUVAK_ERROR_CASE
        default:
            return nullptr;
    }
}

// Tour actions (CameraVariableGroup action).
#define MON_TOUR_ACT_NONE 0xFFFF
#define MON_TOUR_ACT_DEL 0
#define MON_TOUR_ACT_RUN 1
#define MON_TOUR_ACT_PAUSE 2
#define MON_TOUR_ACT_INC 3
#define MON_TOUR_ACT_DEC 4
#define MON_TOUR_ACT_REV 5
#define MON_TOUR_ACT_NOP 6
#define MON_TOUR_ACT_SKIP 7

// Group types (CameraVariableGroup group type).
#define MON_TOUR_TYP_GRP 1     // group tour
#define MON_TOUR_TYP_GRPPRE 3  // group preset
#define MON_TOUR_TYP_SEIZE 4   // seize the monitors of a running tour

// Tour states.
#define TOURSTATE_STOPPED 0  // held by a pause
#define TOURSTATE_RUNNING 1
#define TOURSTATE_END 2      // not active

// Database-update signal values.
#define NUVAK_UPDATE_SIG 0x1063
#define GRPPRE_UPDATE_SIG 0x1064
#define MON_DBUPDATE_SIG 0xA002
#define CAM_DBUPDATE_SIG 0xA004

// Task manager health checks.
#define PROC_CHK_BASE 0xE800E800u
#define PROC_CHK_TYPE_MASK 0xFC00FC00u
#define HCHK_REQ_SIG PROC_CHK_BASE
#define HCHK_ACK_SIG 0xEC00EC00u

// Framework signal: the real-time signal SIGRTMAX - 25.
#define SYS_FRAMEWORK_SIGNAL_OFFSET 25

#endif
