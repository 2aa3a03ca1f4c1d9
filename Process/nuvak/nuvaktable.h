// The tour table: every group tour of the database by physical id, and the
// logical -> physical id mapping. Loaded through the database interface
// (DBIF_NUVAKbyID / DBIF_NUVAKIDtoLog, which read DBIF_GetPath(): the
// installation's database unless a test or tool pointed it elsewhere).
#ifndef NUVAK_NUVAKTABLE_H
#define NUVAK_NUVAKTABLE_H

#include <map>
#include <memory>

#include "dbif.h"
#include "nuvak.h"

class NuvakTable {
public:
    // Loads physical ids 1..count (the server passes 256) as a reload does
    // (tableload.h): in one load pass, again when the table changed under
    // it; a table that never reads clean is left empty (one line says why).
    // Ids without a record stay absent.
    explicit NuvakTable(unsigned short count);
    // An empty table, for a load of several tables in one pass (LoadTables).
    NuvakTable() = default;
    ~NuvakTable();
    NuvakTable(const NuvakTable&) = delete;
    NuvakTable& operator=(const NuvakTable&) = delete;

    // Takes ownership of `tour`. An id already present keeps its tour; the
    // tour offered then is deleted (a null one is ignored).
    void AddNuvak(unsigned short id, Nuvak* tour);
    // The tour of physical id `id`, owned by the table, or null.
    Nuvak* GetNuvak(unsigned short id) const;
    // Deletes the tour of `id`, if any (its logical mapping stays).
    void DelNuvak(unsigned short id);

    // Maps a logical id to a physical id; a logical id already mapped keeps
    // its first physical id.
    void AddLogNuvak(unsigned long logicalId, unsigned short id);
    void DelLogNuvak(unsigned long logicalId);
    // The physical id of a logical id, or 0xFFFF when unknown.
    unsigned short GetPhysicalNuvak(unsigned long logicalId) const;
    // Maps every held tour's logical id afresh after a reload (logical ids may
    // move between tours in any order): a pair whose tour still carries its
    // logical id is kept; every other tour is mapped in physical-id order, so
    // a logical id newly shared by several tours goes to the lowest, as at
    // load. No pair outlives its tour's claim to the id.
    void RebuildLogical();

    // Number of tours held.
    size_t Size() const { return m_tours.size(); }

private:
    std::map<unsigned short, std::unique_ptr<Nuvak>> m_tours;  // physical id -> tour
    std::map<unsigned long, unsigned short> m_logical;         // logical id -> physical id
};

// Builds a tour from a database block: `record` holds its steps in index
// order; `logicalId` comes from DBIF_NUVAKIDtoLog. The caller owns the
// result (and still owns and frees the block).
Nuvak* BuildNuvak(unsigned short id, T_NUVAK_config* record, unsigned long logicalId);
// Makes an existing tour what the block says, overwriting its steps in place
// (a reload must not free and allocate every step of a running tour).
void ApplyNuvak(Nuvak& tour, T_NUVAK_config* record, unsigned long logicalId);

#endif
