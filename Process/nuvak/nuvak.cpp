#include "nuvak.h"

#include <memory>

#include "systypes.h"

Nuvak::Nuvak() : m_id(SYS_IDNULL), m_numStep(0), m_logicalId(SYS_IDNULL_LONG), m_area(0) {}

Nuvak::Nuvak(unsigned short id, unsigned short stepCount, unsigned long logicalId,
             unsigned short area)
    : m_id(id), m_numStep(stepCount), m_logicalId(logicalId), m_area(area) {}

Nuvak::~Nuvak() = default;

void Nuvak::AddTourStep(unsigned short index, T_NUVAK_step* step) {
    std::unique_ptr<T_NUVAK_step> owned(step);
    if (!owned || GetTourStep(index) != nullptr) return;
    SetTourStep(index, *owned);
}

void Nuvak::SetTourStep(unsigned short index, const T_NUVAK_step& step) {
    if (index >= m_steps.size()) m_steps.resize(static_cast<std::size_t>(index) + 1);
    m_steps[index] = step;
}

void Nuvak::DelTourStep(unsigned short index) {
    if (index < m_steps.size()) m_steps[index].reset();
}

T_NUVAK_step* Nuvak::GetTourStep(unsigned short index) const {
    if (index >= m_steps.size() || !m_steps[index]) return nullptr;
    return &*m_steps[index];
}
