#include "nuvakcntltable.h"

#include "groupids.h"
#include "sysdefs.h"

using nuvak::ids::kControlBlocks;

NuvakCntlTable::NuvakCntlTable(unsigned short count, NuvakTable* tours, GpresetTable* presets,
                               IFrameWorkServer* server, unsigned short sourceUnit, unsigned short lcfs)
    : tours_(tours), presets_(presets), server_(server), sourceUnit_(sourceUnit), lcfs_(lcfs) {
    const unsigned short n = count < kControlBlocks ? kControlBlocks : count;
    for (unsigned short id = 1; id <= n && id != SYS_IDNULL; ++id)
        controls_.emplace(id, std::make_unique<NuvakCntl>(id, TOURSTATE_END, 0, 0, 0, this));
}

NuvakCntlTable::~NuvakCntlTable() = default;

void NuvakCntlTable::AddNuvakCntl(unsigned short id, NuvakCntl* cntl) {
    std::unique_ptr<NuvakCntl> owned(cntl);
    if (owned) controls_.emplace(id, std::move(owned));
}

NuvakCntl* NuvakCntlTable::GetNuvakCntl(unsigned short id) const {
    auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second.get();
}

MonClient* NuvakCntlTable::AddMonClient(unsigned long monitor, unsigned short, MonClient* client) {
    std::unique_ptr<MonClient> owned(client);
    auto it = clients_.find(monitor);
    if (it != clients_.end()) return it->second.get();
    if (!owned) return nullptr;
    return clients_.emplace(monitor, std::move(owned)).first->second.get();
}

MonClient* NuvakCntlTable::GetMonClient(unsigned long monitor, unsigned short) const {
    auto it = clients_.find(monitor);
    return it == clients_.end() ? nullptr : it->second.get();
}

// A camera without a logical number has no global id: the client then sends
// no camera select for it (instead of a made-up camera number).
unsigned long NuvakCntlTable::GetGlobalCameraId(unsigned long logicalCamera) const {
    if (static_cast<T_uint_32>(logicalCamera) == SYS_IDNULL_LONG) return SYS_IDNULL_LONG;
    return static_cast<T_uint_32>(sourceUnit_) * SYS_GLOBAL_CAM_FACTOR + static_cast<T_uint_32>(logicalCamera);
}

NuvakCntl* NuvakCntlTable::HolderOf(unsigned short monitor) const {
    auto it = holders_.find(monitor);
    if (it == holders_.end()) return nullptr;
    NuvakCntl* block = GetNuvakCntl(it->second);
    return (block != nullptr && block->GetState() != TOURSTATE_END) ? block : nullptr;
}

void NuvakCntlTable::NoteHeld(unsigned short monitor, unsigned short block) {
    auto [it, added] = holders_.emplace(monitor, block);
    if (added || it->second == block) return;
    const unsigned short before = it->second;
    it->second = block;
    if (NuvakCntl* previous = GetNuvakCntl(before)) previous->Forget(monitor);
}

void NuvakCntlTable::NoteReleased(unsigned short monitor, unsigned short block) {
    auto it = holders_.find(monitor);
    if (it != holders_.end() && it->second == block) holders_.erase(it);
}
