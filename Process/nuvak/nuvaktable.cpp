#include "nuvaktable.h"

#include <cstdlib>

#include "groupids.h"
#include "sysdefs.h"
#include "tableload.h"

Nuvak* BuildNuvak(unsigned short id, T_NUVAK_config* record, unsigned long logicalId) {
    auto tour = std::make_unique<Nuvak>(id, 0, logicalId, nuvak::ids::AreaOf(static_cast<T_uint_32>(logicalId)));
    ApplyNuvak(*tour, record, logicalId);
    return tour.release();
}

void ApplyNuvak(Nuvak& tour, T_NUVAK_config* record, unsigned long logicalId) {
    const unsigned short count = record->nsteps;
    const T_NUVAK_step* steps = DBIF_NUVAKSteps(record);
    for (unsigned short i = count; i < tour.GetNumStep(); ++i) tour.DelTourStep(i);
    tour.SetArea(nuvak::ids::AreaOf(static_cast<T_uint_32>(logicalId)));
    tour.SetLogicalTourId(logicalId);
    tour.SetNumStep(count);
    for (unsigned short i = 0; i < count; ++i) tour.SetTourStep(i, steps[i]);
}

NuvakTable::NuvakTable(unsigned short count) {
    nuvak::tables::LoadTables(this, count, nullptr, 0, nuvak::tables::kTours, "NuvakTable");
}

NuvakTable::~NuvakTable() = default;

void NuvakTable::AddNuvak(unsigned short id, Nuvak* tour) {
    std::unique_ptr<Nuvak> owned(tour);
    if (owned) m_tours.emplace(id, std::move(owned));
}

Nuvak* NuvakTable::GetNuvak(unsigned short id) const {
    auto it = m_tours.find(id);
    return it == m_tours.end() ? nullptr : it->second.get();
}

void NuvakTable::DelNuvak(unsigned short id) { m_tours.erase(id); }

void NuvakTable::AddLogNuvak(unsigned long logicalId, unsigned short id) {
    m_logical.emplace(logicalId, id);
}

void NuvakTable::DelLogNuvak(unsigned long logicalId) { m_logical.erase(logicalId); }

void NuvakTable::RebuildLogical() {
    std::map<unsigned long, unsigned short> before;
    before.swap(m_logical);
    // A pair whose tour still carries its logical id stays (first come keeps
    // it, as AddLogNuvak does): a running tour keeps its id when another tour
    // is given the same one.
    for (const auto& [logical, id] : before) {
        const Nuvak* tour = GetNuvak(id);
        if (tour != nullptr && tour->GetLogicalTourId() == logical) m_logical.emplace(logical, id);
    }
    for (const auto& [id, tour] : m_tours) AddLogNuvak(tour->GetLogicalTourId(), id);
}

unsigned short NuvakTable::GetPhysicalNuvak(unsigned long logicalId) const {
    auto it = m_logical.find(logicalId);
    return it == m_logical.end() ? SYS_IDNULL : it->second;
}
