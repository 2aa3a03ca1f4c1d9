// The arithmetic of the installation's identifiers, in one place:
//  - global group (tour or group preset) and monitor ids are
//    unit * 10,000,000 + the local number; the area of a group is its
//    logical id / 10,000;
//  - the tour service's control blocks: 1..256 control the tours by physical
//    id, 257..512 the group presets (preset p is block p + 256).
#ifndef GROUPIDS_H
#define GROUPIDS_H

#include "sysdefs.h"
#include "systune.h"
#include "systypes.h"

namespace nuvak::ids {

constexpr T_uint_32 GlobalId(unsigned short unit, T_uint_32 local) {
    return static_cast<T_uint_32>(unit) * SYS_GLOBAL_GROUP_FACTOR + local;
}
constexpr unsigned short UnitOf(T_uint_32 globalId) {
    return static_cast<unsigned short>(globalId / SYS_GLOBAL_GROUP_FACTOR);
}
constexpr T_uint_32 LocalOf(T_uint_32 globalId) { return globalId % SYS_GLOBAL_GROUP_FACTOR; }
constexpr unsigned short AreaOf(T_uint_32 logicalId) {
    return static_cast<unsigned short>(logicalId / SYS_AREA_FACTOR);
}

constexpr unsigned short kControlBlocks = SYS_NNUVAKS + SYS_NGPRESET;  // 512
constexpr unsigned short PresetBlock(unsigned short preset) {
    return static_cast<unsigned short>(preset + SYS_NNUVAKS);
}
constexpr bool IsPresetBlock(unsigned short block) {
    return block > SYS_NNUVAKS && block <= kControlBlocks;
}
// The physical tour or preset id a block controls.
constexpr unsigned short PhysicalOfBlock(unsigned short block) {
    return IsPresetBlock(block) ? static_cast<unsigned short>(block - SYS_NNUVAKS) : block;
}

// Device ids: high byte the device type, low byte the number. Type 2 marks
// the monitors the tour service took for a tour itself (the group device).
constexpr bool IsGroupDevice(unsigned short deviceId) { return (deviceId >> 8) == SYS_DEVTYPE_NUVAK; }
constexpr unsigned short GroupDevice(unsigned short deviceId) {
    return static_cast<unsigned short>((deviceId & 0xFF) | (SYS_DEVTYPE_NUVAK << 8));
}

static_assert(PresetBlock(1) == 257 && PhysicalOfBlock(512) == 256 && !IsPresetBlock(256), "block ids");

}  // namespace nuvak::ids

#endif
