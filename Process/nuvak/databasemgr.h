// DatabaseMgr: turns the database-update signals into reloads of the tour
// and group-preset tables. A reload reads into a staging copy and applies a
// table only when it was read clean, whole (tableload.h); a table caught
// half-written or unreadable keeps its previous content. Applied tables are
// updated in place (tours and presets keep their objects), so running tours
// keep their control blocks and monitor clients and go on with the new
// definitions.
#ifndef NUVAK_DATABASEMGR_H
#define NUVAK_DATABASEMGR_H

class NuvakTable;
class GpresetTable;

class DatabaseMgr {
public:
    // The tables are borrowed and must outlive the manager. The unit is part
    // of the creation call but unused: no reload step depends on it.
    DatabaseMgr(unsigned short tours, unsigned short presets, NuvakTable* tourTable, GpresetTable* presetTable,
                unsigned short unit);

    // 0, or NUVAKERR_INVSIG for a code this service does not listen to.
    unsigned short DatabaseUpdate(unsigned int code);
    void UpdateGroupTourDB();
    void UpdateGroupPresetDB();
    void UpdateCameraDB();
    void UpdateMonitorDB();
    // Whether the last tour reload applied the tour table: read clean (every
    // record found or plainly absent, nothing changed under the read). Only
    // then is a tour missing from the table known to be deleted; otherwise
    // the table kept its previous content.
    bool ToursReadWhole() const { return toursReadWhole_; }

private:
    // Reloads the tables of `mask` (tableload.h).
    void Reload(unsigned mask);
    unsigned short tours_;
    unsigned short presets_;
    NuvakTable* tourTable_;
    GpresetTable* presetTable_;
    bool toursReadWhole_ = true;
};

#endif
