#include "gpresettable.h"

#include <cstdlib>

#include "groupids.h"
#include "sysdefs.h"
#include "systune.h"
#include "tableload.h"

namespace {
constexpr unsigned short kLastCamera = SYS_NCAM - 1;  // cameras 1..2047 are kept
}  // namespace

Gpreset* BuildGpreset(unsigned short id, T_GROUP_config* record, unsigned long logicalId) {
    auto preset =
        std::make_unique<Gpreset>(id, 0, logicalId, nuvak::ids::AreaOf(static_cast<T_uint_32>(logicalId)));
    ApplyGpreset(*preset, record, logicalId);
    return preset.release();
}

void ApplyGpreset(Gpreset& preset, T_GROUP_config* record, unsigned long logicalId) {
    const unsigned short count = record->nelements;
    const T_GROUP_element* elements = DBIF_GROUPElements(record);
    for (unsigned short i = count; i < preset.GetNumElement(); ++i) preset.DelPresetElement(i);
    preset.SetArea(nuvak::ids::AreaOf(static_cast<T_uint_32>(logicalId)));
    preset.SetLogPresetId(logicalId);
    preset.SetNumElement(count);
    for (unsigned short i = 0; i < count; ++i) preset.SetPresetElement(i, elements[i]);
}

GpresetTable::GpresetTable() : m_logCams(SYS_NCAM, SYS_IDNULL_LONG), m_logMons(SYS_NMON + 1, SYS_IDNULL_LONG) {}

GpresetTable::GpresetTable(unsigned short count) : GpresetTable() {
    using namespace nuvak::tables;
    LoadTables(nullptr, 0, this, count, kPresets | kCameras | kMonitors, "GpresetTable");
}

GpresetTable::~GpresetTable() = default;

void GpresetTable::AddGpreset(unsigned short id, Gpreset* preset) {
    std::unique_ptr<Gpreset> owned(preset);
    if (owned) m_presets.emplace(id, std::move(owned));
}

Gpreset* GpresetTable::GetGpreset(unsigned short id) const {
    auto it = m_presets.find(id);
    return it == m_presets.end() ? nullptr : it->second.get();
}

void GpresetTable::DelGpreset(unsigned short id) { m_presets.erase(id); }

void GpresetTable::AddLogGpreset(unsigned long logicalId, unsigned short id) {
    m_logical.emplace(logicalId, id);
}

void GpresetTable::DelLogGpreset(unsigned long logicalId) { m_logical.erase(logicalId); }

void GpresetTable::RebuildLogical() {
    std::map<unsigned long, unsigned short> before;
    before.swap(m_logical);
    for (const auto& [logical, id] : before) {
        const Gpreset* preset = GetGpreset(id);
        if (preset != nullptr && preset->GetLogicalPresetId() == logical) m_logical.emplace(logical, id);
    }
    for (const auto& [id, preset] : m_presets) AddLogGpreset(preset->GetLogicalPresetId(), id);
}

unsigned short GpresetTable::GetPhysicalGpreset(unsigned long logicalId) const {
    auto it = m_logical.find(logicalId);
    return it == m_logical.end() ? SYS_IDNULL : it->second;
}

unsigned long GpresetTable::GetLogCam(unsigned short camera) const {
    if (camera == 0 || camera > kLastCamera) return SYS_IDNULL_LONG;
    return m_logCams[camera];
}

void GpresetTable::SetLogCam(unsigned short camera, unsigned long logical) {
    if (camera == 0 || camera > kLastCamera) return;
    m_logCams[camera] = logical;
}

unsigned long GpresetTable::GetLogMon(unsigned short monitor) const {
    if (monitor == 0 || monitor > SYS_NMON) return SYS_IDNULL_LONG;
    return m_logMons[monitor];
}

void GpresetTable::SetLogMon(unsigned short monitor, unsigned long logical) {
    if (monitor == 0 || monitor > SYS_NMON) return;
    m_logMons[monitor] = logical;
}
