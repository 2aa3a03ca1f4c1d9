// The monitor message (T_MON_msg) exchanged between the tour service (IPC
// address 13) and the monitor control process (IPC address 1). It is 104
// bytes at the start of a 256-byte IPC block; every number is little-endian.
// Shared by the service's monitor client and the monitor control stand-in
// (tools/nuvak-monctl), so both sides use one layout.
//
//   OFFSET SIZE FIELD                      to the monitor control / from it
//        0    2 sender IPC address         13 / 1
//        2    2 second address word        13 / 13
//        4    2 destination IPC address    1 / 13
//        6    2 message class              0 / 13 (the service takes only 13)
//        8    2 message length             104 / 104
//       12    2 command / primitive        8, 32, 33 / 1, 2, 4, 5, 7, 9, 10, 22
//       16    4 priority                   of the user / echoed
//       20    2 monitor                    physical monitor number
//       22    2 device id / suspend arg b  device of the user / echoed
//       24    2 user id / suspend arg a    user / echoed
//       26    2 tour-control id            1..256 tour, 257..512 preset / echoed
//       40    2 control result             - / control confirmation: 1 = done
//       52    4 global tour id             - / unit * 10,000,000 + logical id; 0xFFFFFFFF none
//       56    2 tour type                  - / 2 marks a group preset
//       90    2 control word               1 camera, 2 preset, 0x100 + tour state, 0x102 tour stop
//       92    2 control value              1, 0 or the camera preset
//       94    2 zero                       camera preset only
//       96    4 camera id / global tour id (u16 0 for a camera preset)
//      100    2 tour action                MON_TOUR_ACT_* (0xFFFF none)
//   Bytes not listed carry nothing; receivers must not rely on them.
#ifndef MONMSG_H
#define MONMSG_H

#include <cstddef>
#include <cstdint>

#include "byteorder.h"

namespace nuvak::monmsg {

constexpr std::size_t kSender = 0;
constexpr std::size_t kSender2 = 2;
constexpr std::size_t kDest = 4;
constexpr std::size_t kClass = 6;
constexpr std::size_t kLength = 8;
constexpr std::size_t kCommand = 12;
constexpr std::size_t kPriority = 16;
constexpr std::size_t kMonitor = 20;
constexpr std::size_t kDevice = 22;
constexpr std::size_t kUser = 24;
constexpr std::size_t kSuspendB = 22;
constexpr std::size_t kSuspendA = 24;
constexpr std::size_t kTourCntl = 26;
constexpr std::size_t kResult = 40;
constexpr std::size_t kGlobalTour = 52;
constexpr std::size_t kTourType = 56;
constexpr std::size_t kCtrlWord = 90;
constexpr std::size_t kCtrlValue = 92;
constexpr std::size_t kZero94 = 94;
constexpr std::size_t kTarget = 96;
constexpr std::size_t kTourAction = 100;
constexpr std::size_t kSize = 104;       // T_MON_msg
constexpr std::size_t kBlockSize = 256;  // IPC block that carries it

static_assert(kTourAction + 2 <= kSize, "T_MON_msg fields end inside its 104 bytes");
static_assert(kTarget + 4 <= kTourAction, "target id ends before the tour action");
static_assert(kTourType + 2 <= kCtrlWord, "incoming fields end before the control word");
static_assert(kSize <= kBlockSize, "T_MON_msg fits the IPC block");

constexpr std::uint16_t kOwnAddress = 13;    // the tour service's mailbox
constexpr std::uint16_t kMonCtlAddress = 1;  // the monitor control process
constexpr std::uint16_t kMonClass = 13;      // class of monitor messages for the service

// Commands to the monitor control process (offset 12).
constexpr std::uint16_t kCmdCamera = 8;    // camera select, preset, tour stop/pause
constexpr std::uint16_t kCmdSeize = 32;    // monitor select and seize
constexpr std::uint16_t kCmdRelease = 33;  // monitor release

// Control words (offset 90) of the camera command.
constexpr std::uint16_t kCtrlCamera = 1;      // camera select; camera id at 96
constexpr std::uint16_t kCtrlPreset = 2;      // camera preset; preset at 92
constexpr std::uint16_t kCtrlTourBase = 0x100;  // + tour state: seize/release/pause
constexpr std::uint16_t kCtrlTourStop = 0x102;  // tour stop (tour action 0)

// Primitives from the monitor control process (offset 12).
constexpr std::uint16_t kSeizeInd = 1;
constexpr std::uint16_t kSeizeConfirm = 2;
constexpr std::uint16_t kSuspendInd = 4;
constexpr std::uint16_t kSuspendConfirm = 5;
constexpr std::uint16_t kReleaseConfirm = 7;
constexpr std::uint16_t kControlInd = 9;
constexpr std::uint16_t kControlConfirm = 10;
constexpr std::uint16_t kControlInd2 = 22;

// Tour type (offset 56) of a group preset; a tour-control id above 256 is one.
constexpr std::uint16_t kTourTypePreset = 2;
constexpr std::uint16_t kFirstPresetControl = 257;

// Loads and stores of the fields: byteorder.h.
using nuvak::LoadLE16;
using nuvak::LoadLE32;
using nuvak::StoreLE16;
using nuvak::StoreLE32;

}  // namespace nuvak::monmsg

// The monitor message as a whole: 104 raw bytes, read and written only through
// the offsets and helpers above (never by casting a struct over the block).
struct T_MON_msg {
    unsigned char bytes[nuvak::monmsg::kSize];
};
static_assert(sizeof(T_MON_msg) == 104, "T_MON_msg is 104 bytes");

#endif
