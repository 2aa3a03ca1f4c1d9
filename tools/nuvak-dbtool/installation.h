// An installation's tour-service tables as a readable description, and their
// dBASE form. The description format is documented in docs/dbtool.md.
#ifndef NUVAK_INSTALLATION_H
#define NUVAK_INSTALLATION_H

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "dbfwriter.h"

namespace nuvak::dbw {

struct StepDef {
    std::uint32_t preset = 0;  // physical group preset number
    std::uint32_t dwell = 0;   // seconds
};
struct TourDef {
    std::uint32_t id = 0;       // number in GRPTOUR
    std::uint32_t logical = 0;  // LGRPTOUR
    std::vector<StepDef> steps;
};
struct ElementDef {
    std::uint32_t monitor = 0, camera = 0, preset = 0;
};
struct PresetDef {
    std::uint32_t id = 0;       // number in GRPPRESET
    std::uint32_t logical = 0;  // LGRPPRESET
    std::vector<ElementDef> elements;
};
// Cameras and monitors: the number, the logical number and any further field
// by its name (upper case), as text.
struct DeviceDef {
    std::uint32_t id = 0;
    std::uint32_t logical = 0;
    std::map<std::string, std::string> fields;
};

struct Installation {
    std::vector<TourDef> tours;
    std::vector<PresetDef> presets;
    std::vector<DeviceDef> cameras;
    std::vector<DeviceDef> monitors;
};

enum class TableId { kTours, kPresets, kCameras, kMonitors };
constexpr TableId kAllTables[] = {TableId::kTours, TableId::kPresets, TableId::kCameras,
                                  TableId::kMonitors};

// File name of a table ("nuvak", "grppre", "cam", "mon").
const char* TableFileName(TableId table);
// The table whose file name is `name`; false when there is none.
bool TableByName(std::string_view name, TableId* table);

// The fields of each table (the writer's choice of types and widths).
const std::vector<Field>& TableFields(TableId table);

// Parses a description. False with "line N: reason" in *error.
bool ParseDescription(std::string_view text, Installation* out, std::string* error);

// A description of `inst` that ParseDescription reads back to the same thing.
std::string FormatDescription(const Installation& inst);

// An example installation: a small one (a few of everything), or with `full`
// the full-size one (256 tours, 256 group presets of 128 elements, 2048
// cameras, 1024 monitors).
Installation ExampleInstallation(bool full);

// The dBASE table of one part of the installation (rows in description
// order; tags on the key field, and on the logical number for cameras and
// monitors).
Table MakeTable(const Installation& inst, TableId table);

// Writes the given tables of `inst` into `dir`.
bool WriteInstallation(const std::string& dir, const Installation& inst,
                       const std::vector<TableId>& tables, const WriteOptions& options,
                       std::string* error);

}  // namespace nuvak::dbw

#endif
