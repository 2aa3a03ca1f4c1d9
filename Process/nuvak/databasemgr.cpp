#include "databasemgr.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "dbif.h"
#include "gpresettable.h"
#include "nuvaktable.h"
#include "sysdefs.h"
#include "systune.h"

namespace {
struct FreeBlock {
    void operator()(void* p) const { std::free(p); }
};
}  // namespace

DatabaseMgr::DatabaseMgr(unsigned short tours, unsigned short presets, NuvakTable* tourTable,
                         GpresetTable* presetTable, unsigned short /*unit*/)
    : tours_(tours), presets_(presets), tourTable_(tourTable), presetTable_(presetTable) {}

// A reload reads the tables in one load pass (each file once). When a table
// was rewritten while the pass read it, the reload is made again (three
// passes at most; nothing runs in between), so that what it applied last is
// not a mixture of old and new records.
unsigned short DatabaseMgr::DatabaseUpdate(unsigned int code) {
    constexpr int kAttempts = 3;
    for (int attempt = 1;; ++attempt) {
        DBIF_LoadPass pass;
        switch (code) {
            case NUVAK_UPDATE_SIG:
            case GRPPRE_UPDATE_SIG:
                UpdateGroupPresetDB();
                UpdateMonitorDB();
                UpdateCameraDB();
                UpdateGroupTourDB();
                break;
            case MON_DBUPDATE_SIG: UpdateMonitorDB(); break;
            case CAM_DBUPDATE_SIG: UpdateCameraDB(); break;
            default: return NUVAKERR_INVSIG;
        }
        if (pass.End() == DBIFERR_NOERROR) return 0;
        if (attempt == kAttempts) {
            // The writer's own update signal, when it has finished, reloads.
            std::printf("DatabaseMgr: tables still changing after %d reads; kept the last\n", kAttempts);
            return 0;
        }
    }
}

void DatabaseMgr::UpdateGroupTourDB() {
    if (tourTable_ == nullptr) return;
    toursReadWhole_ = true;
    for (unsigned short id = 1; id <= tours_ && id <= SYS_NNUVAKS; ++id) {
        T_NUVAK_config* raw = nullptr;
        const T_uint_16 status = DBIF_NUVAKbyID(id, &raw);
        std::unique_ptr<T_NUVAK_config, FreeBlock> block(raw);
        Nuvak* tour = tourTable_->GetNuvak(id);
        if (status != DBIFERR_NOERROR && status != DBIFERR_NOTFOUND) toursReadWhole_ = false;
        if (status != 0 || !block) {
            if (tour != nullptr) tourTable_->DelNuvak(id);
            continue;
        }
        const T_uint_32 logical = DBIF_NUVAKIDtoLog(id);
        if (tour != nullptr)
            ApplyNuvak(*tour, block.get(), logical);
        else
            tourTable_->AddNuvak(id, BuildNuvak(id, block.get(), logical));
    }
    // Logical ids may have moved between tours in any order (two tours may
    // even share one for a while): map them afresh from the updated tours.
    tourTable_->RebuildLogical();
}

void DatabaseMgr::UpdateGroupPresetDB() {
    if (presetTable_ == nullptr) return;
    for (unsigned short id = 1; id <= presets_ && id <= SYS_NGPRESET; ++id) {
        T_GROUP_config* raw = nullptr;
        const T_uint_16 status = DBIF_GROUPbyID(id, &raw);
        std::unique_ptr<T_GROUP_config, FreeBlock> block(raw);
        Gpreset* preset = presetTable_->GetGpreset(id);
        if (status != 0 || !block) {
            if (preset != nullptr) presetTable_->DelGpreset(id);
            continue;
        }
        const T_uint_32 logical = DBIF_GROUPIDtoLog(id);
        if (preset != nullptr)
            ApplyGpreset(*preset, block.get(), logical);
        else
            presetTable_->AddGpreset(id, BuildGpreset(id, block.get(), logical));
    }
    presetTable_->RebuildLogical();
}

// A camera that has lost its record keeps its last logical number.
void DatabaseMgr::UpdateCameraDB() {
    if (presetTable_ == nullptr) return;
    for (unsigned short camera = 0; camera < SYS_NCAM; ++camera) {
        T_CAM_config rec{};
        if (DBIF_CAMbyID(camera, &rec) == 0) presetTable_->SetLogCam(camera, rec.log_no);
    }
}

// No tour operation depends on the monitor records; they are read so that a
// broken monitor table shows up the same way as at start.
void DatabaseMgr::UpdateMonitorDB() {
    for (unsigned short monitor = 1; monitor <= SYS_NMON; ++monitor) {
        T_MON_config rec{};
        DBIF_MONbyID(monitor, &rec);
    }
}
