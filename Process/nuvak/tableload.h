// Loading the tour, group-preset, camera and monitor tables from the
// database, whole or not at all.
//
// The installation's writers rewrite a table's two files while the service
// reads them, so what one read of a table finds may be half of one version
// and half of another. A load therefore reads the tables it is asked for in
// one load pass into a staging copy, and applies a table to the live one
// only when the pass read it clean: every lookup answered found or plainly
// absent, every record carried the key sought, its index matched its data,
// and its files did not change while the pass read them. A table that is not
// clean is read again (a short pause first, so that a writer half-way
// through can finish), a few times at most; one that never reads clean keeps
// its previous content whole, and one diagnostic line says so and why. The
// writer's own update signal, once it has finished, brings the new content.
//
// A clean table is applied whole: a tour or preset the pass found absent is
// removed (only then), the others are made what the pass read, in place (a
// running tour keeps its object); the logical-id maps and the cameras' and
// monitors' logical numbers are rebuilt from what the pass read, so nothing
// of an earlier or a rejected read survives.
#ifndef NUVAK_TABLELOAD_H
#define NUVAK_TABLELOAD_H

class NuvakTable;
class GpresetTable;

namespace nuvak::tables {

// Tables of a load (a mask).
enum : unsigned {
    kTours = 1,
    kPresets = 2,
    kCameras = 4,
    kMonitors = 8,
    kAllTables = kTours | kPresets | kCameras | kMonitors,
};

// Reads before a table is left as it was, and the pause between two.
constexpr int kLoadAttempts = 5;
constexpr int kRetryPauseMs = 30;

struct LoadOutcome {
    unsigned applied = 0;   // tables read clean and applied
    unsigned changing = 0;  // tables left as they were because they kept
                            // changing under the reads (the rest of those not
                            // applied could not be read)
};

// Loads the tables of `mask`: tours (ids 1..tourCount) into `tours`, presets
// (ids 1..presetCount), cameras and monitors into `presets`; a table whose
// owner is null is not read. `who` names the caller in the diagnostic line
// of a table left as it was (null: no line; the caller reports).
LoadOutcome LoadTables(NuvakTable* tours, unsigned short tourCount, GpresetTable* presets,
                       unsigned short presetCount, unsigned mask, const char* who);

// Name of one table of the mask ("tours", "group presets", ...).
const char* TableName(unsigned table);

}  // namespace nuvak::tables

#endif
