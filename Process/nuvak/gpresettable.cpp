#include "gpresettable.h"

#include <cstdlib>

#include "groupids.h"
#include "sysdefs.h"
#include "systune.h"

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

// One load pass over the three tables, loaded again when one was rewritten
// while the pass read it (see NuvakTable).
GpresetTable::GpresetTable(unsigned short count) {
    for (int attempt = 1;; ++attempt) {
        m_presets.clear();
        m_logical.clear();
        m_logCams.assign(SYS_NCAM, SYS_IDNULL_LONG);
        m_logMons.assign(SYS_NMON + 1, SYS_IDNULL_LONG);
        DBIF_LoadPass pass;
        Load(count);
        if (pass.End() == DBIFERR_NOERROR || attempt == kLoadAttempts) break;
    }
}

void GpresetTable::Load(unsigned short count) {
    for (unsigned int id = 1; id <= count; ++id) {
        auto pid = static_cast<unsigned short>(id);
        T_GROUP_config* record = nullptr;
        if (DBIF_GROUPbyID(pid, &record) == DBIFERR_NOERROR && record) {
            unsigned long logical = DBIF_GROUPIDtoLog(pid);
            AddGpreset(pid, BuildGpreset(pid, record, logical));
            AddLogGpreset(logical, pid);
        }
        std::free(record);
    }
    for (unsigned int camera = 1; camera <= SYS_NCAM; ++camera) {
        T_CAM_config rec{};
        if (DBIF_CAMbyID(static_cast<unsigned short>(camera), &rec) == DBIFERR_NOERROR)
            SetLogCam(static_cast<unsigned short>(camera), rec.log_no);
    }
    for (unsigned int monitor = 1; monitor <= SYS_NMON; ++monitor) {
        T_MON_config rec{};
        if (DBIF_MONbyID(static_cast<unsigned short>(monitor), &rec) == DBIFERR_NOERROR)
            SetLogMon(static_cast<unsigned short>(monitor), rec.log_no);
    }
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
