// NuvakCntlTable: every tour-control block of the process (ids 1..256 group
// tours, 257..512 group presets) and every monitor client, one per physical
// monitor, created on first use and kept for the life of the table.
#ifndef NUVAK_NUVAKCNTLTABLE_H
#define NUVAK_NUVAKCNTLTABLE_H

#include <map>
#include <memory>

#include "framework.h"
#include "monclient.h"
#include "nuvakcntl.h"

class NuvakTable;
class GpresetTable;

class NuvakCntlTable {
public:
    // tours, presets and server are borrowed and must outlive the table's use
    // (the tables are reloaded in place, never replaced). lcfs is 0xFFFF for
    // last-come-first-served, else 0. Builds the control blocks 1..count
    // (at least the 512 the ids need).
    NuvakCntlTable(unsigned short count, NuvakTable* tours, GpresetTable* presets,
                   IFrameWorkServer* server, unsigned short sourceUnit, unsigned short lcfs);
    ~NuvakCntlTable();
    NuvakCntlTable(const NuvakCntlTable&) = delete;
    NuvakCntlTable& operator=(const NuvakCntlTable&) = delete;

    // Takes ownership; an id already present keeps its block (the new one is deleted).
    void AddNuvakCntl(unsigned short id, NuvakCntl* cntl);
    NuvakCntl* GetNuvakCntl(unsigned short id) const;
    // Takes ownership; keyed by monitor only; an existing entry stays (the new
    // one is deleted). Returns the client now stored.
    MonClient* AddMonClient(unsigned long monitor, unsigned short tourId, MonClient* client);
    MonClient* GetMonClient(unsigned long monitor, unsigned short tourId) const;
    // unit * 100,000 + logical camera; 0xFFFFFFFF for an unknown camera.
    unsigned long GetGlobalCameraId(unsigned long logicalCamera) const;

    NuvakTable* GetNuvakTable() const { return tours_; }
    GpresetTable* GetPresetTable() const { return presets_; }
    unsigned short GetSourceUnit() const { return sourceUnit_; }
    IFrameWorkServer* GetIFrameWorkServer() const { return server_; }
    unsigned short IsLCFS() const { return lcfs_; }
    const std::map<unsigned long, std::unique_ptr<MonClient>>& MonClients() const { return clients_; }

    // Which block holds a monitor. Each block keeps its own record of what it
    // seized (NuvakCntl); the table only indexes it, so that a monitor is in
    // one record at most. HolderOf answers the running or held tour whose
    // record has the monitor, or null (an ended block, such as a one-shot
    // preset after its showing, holds nothing another request must respect).
    NuvakCntl* HolderOf(unsigned short monitor) const;
    // A block entered the monitor in its record: the block that had it
    // before forgets it. NoteReleased: the block's record no longer has it.
    void NoteHeld(unsigned short monitor, unsigned short block);
    void NoteReleased(unsigned short monitor, unsigned short block);

private:
    std::map<unsigned short, std::unique_ptr<NuvakCntl>> controls_;
    std::map<unsigned long, std::unique_ptr<MonClient>> clients_;
    std::map<unsigned short, unsigned short> holders_;  // monitor -> block whose record has it
    NuvakTable* tours_;
    GpresetTable* presets_;
    IFrameWorkServer* server_;
    unsigned short sourceUnit_;
    unsigned short lcfs_;
};

#endif
