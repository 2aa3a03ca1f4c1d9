#include "nuvak.h"

#include "systypes.h"

Nuvak::Nuvak() : m_id(SYS_IDNULL), m_numStep(0), m_logicalId(SYS_IDNULL_LONG), m_area(0) {}

Nuvak::Nuvak(unsigned short id, unsigned short stepCount, unsigned long logicalId,
             unsigned short area)
    : m_id(id), m_numStep(stepCount), m_logicalId(logicalId), m_area(area) {}

Nuvak::~Nuvak() = default;

void Nuvak::AddTourStep(unsigned short index, T_NUVAK_step* step) {
    std::unique_ptr<T_NUVAK_step> owned(step);
    if (owned) m_steps.emplace(index, std::move(owned));
}

void Nuvak::DelTourStep(unsigned short index) { m_steps.erase(index); }

T_NUVAK_step* Nuvak::GetTourStep(unsigned short index) const {
    auto it = m_steps.find(index);
    return it == m_steps.end() ? nullptr : it->second.get();
}
