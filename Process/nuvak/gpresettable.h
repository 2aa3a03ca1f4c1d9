// The group preset table: every group preset of the database by physical id,
// the logical -> physical id mapping, and the logical number of every camera
// (for global camera ids) and monitor. Loaded through the database interface
// (which reads DBIF_GetPath(): the installation's database unless a test or
// tool pointed it elsewhere).
#ifndef NUVAK_GPRESETTABLE_H
#define NUVAK_GPRESETTABLE_H

#include <map>
#include <memory>
#include <vector>

#include "dbif.h"
#include "gpreset.h"

class GpresetTable {
public:
    // Loads presets 1..count (the server passes 256), cameras 1..2047 and
    // monitors 1..1024 as a reload does (tableload.h): a table that never
    // reads clean is left empty (one line says why). Absent records stay
    // absent.
    explicit GpresetTable(unsigned short count);
    // An empty table, for a load of several tables in one pass (LoadTables).
    GpresetTable();
    ~GpresetTable();
    GpresetTable(const GpresetTable&) = delete;
    GpresetTable& operator=(const GpresetTable&) = delete;

    // Takes ownership of `preset`. An id already present keeps its preset;
    // the preset offered then is deleted (a null one is ignored).
    void AddGpreset(unsigned short id, Gpreset* preset);
    // The preset of physical id `id`, owned by the table, or null.
    Gpreset* GetGpreset(unsigned short id) const;
    // Deletes the preset of `id`, if any (its logical mapping stays).
    void DelGpreset(unsigned short id);

    // Maps a logical id to a physical id; the first mapping of a logical id
    // is kept.
    void AddLogGpreset(unsigned long logicalId, unsigned short id);
    void DelLogGpreset(unsigned long logicalId);
    // The physical id of a logical id, or 0xFFFF when unknown.
    unsigned short GetPhysicalGpreset(unsigned long logicalId) const;
    // Maps every held preset's logical id afresh after a reload: a pair whose
    // preset still carries its logical id is kept, the others are mapped in
    // physical-id order (the lowest wins a newly shared logical id).
    void RebuildLogical();

    // Logical number of physical camera 1..2047; 0xFFFFFFFF for camera 0, a
    // number above 2047 or a camera without a record. SetLogCam ignores
    // camera 0 and numbers above 2047.
    unsigned long GetLogCam(unsigned short camera) const;
    void SetLogCam(unsigned short camera, unsigned long logical);

    // Logical number of monitor 1..1024 as loaded; 0xFFFFFFFF for a monitor
    // without a record or out of range. (The tour logic does not use it; the
    // database dump does.)
    unsigned long GetLogMon(unsigned short monitor) const;
    void SetLogMon(unsigned short monitor, unsigned long logical);

    // Number of presets held.
    size_t Size() const { return m_presets.size(); }

private:
    std::map<unsigned short, std::unique_ptr<Gpreset>> m_presets;  // physical id -> preset
    std::map<unsigned long, unsigned short> m_logical;             // logical id -> physical id
    std::vector<unsigned long> m_logCams;                          // index: camera 0..2047
    std::vector<unsigned long> m_logMons;                          // index: monitor 0..1024
};

// Builds a preset from a database block (elements in index order);
// `logicalId` comes from DBIF_GROUPIDtoLog. The caller owns the result (and
// still owns and frees the block).
Gpreset* BuildGpreset(unsigned short id, T_GROUP_config* record, unsigned long logicalId);
// Makes an existing preset what the block says, overwriting its elements in
// place (a reload of the full installation would otherwise free and
// allocate 32,768 of them); only a preset that got shorter loses some.
void ApplyGpreset(Gpreset& preset, T_GROUP_config* record, unsigned long logicalId);

#endif
