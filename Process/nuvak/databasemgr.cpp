#include "databasemgr.h"

#include <cstdio>
#include <string>

#include "dbif.h"
#include "gpresettable.h"
#include "nuvaktable.h"
#include "sysdefs.h"
#include "systune.h"
#include "tableload.h"

DatabaseMgr::DatabaseMgr(unsigned short tours, unsigned short presets, NuvakTable* tourTable,
                         GpresetTable* presetTable, unsigned short /*unit*/)
    : tours_(tours), presets_(presets), tourTable_(tourTable), presetTable_(presetTable) {}

unsigned short DatabaseMgr::DatabaseUpdate(unsigned int code) {
    using namespace nuvak::tables;
    switch (code) {
        case NUVAK_UPDATE_SIG:
        case GRPPRE_UPDATE_SIG: Reload(kAllTables); return 0;
        case MON_DBUPDATE_SIG: Reload(kMonitors); return 0;
        case CAM_DBUPDATE_SIG: Reload(kCameras); return 0;
        default: return NUVAKERR_INVSIG;
    }
}

void DatabaseMgr::Reload(unsigned mask) {
    const nuvak::tables::LoadOutcome outcome =
        nuvak::tables::LoadTables(tourTable_, tours_, presetTable_, presets_, mask, "DatabaseMgr");
    // One line per reload names the tables it applied, so that an operator
    // can tell when the service took a change (a table left as it was has
    // had its own line from LoadTables).
    if (outcome.applied != 0) {
        std::string names;
        for (unsigned table = nuvak::tables::kTours; table <= nuvak::tables::kMonitors; table <<= 1)
            if (outcome.applied & table) names += std::string(names.empty() ? "" : ", ") + nuvak::tables::TableName(table);
        std::printf("DatabaseMgr: reloaded %s\n", names.c_str());
        std::fflush(stdout);
    }
    if (mask & nuvak::tables::kTours) toursReadWhole_ = (outcome.applied & nuvak::tables::kTours) != 0;
}

void DatabaseMgr::UpdateGroupTourDB() { Reload(nuvak::tables::kTours); }
void DatabaseMgr::UpdateGroupPresetDB() { Reload(nuvak::tables::kPresets); }
void DatabaseMgr::UpdateCameraDB() { Reload(nuvak::tables::kCameras); }
// No tour operation depends on the monitor records; they are read so that a
// broken monitor table shows up the same way as at start.
void DatabaseMgr::UpdateMonitorDB() { Reload(nuvak::tables::kMonitors); }
