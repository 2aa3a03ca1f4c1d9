#include "gpreset.h"

#include <memory>

#include "systypes.h"

Gpreset::Gpreset() : m_id(SYS_IDNULL), m_numElement(0), m_logicalId(SYS_IDNULL_LONG), m_area(0) {}

Gpreset::Gpreset(unsigned short id, unsigned short count, unsigned long logicalId,
                 unsigned short area)
    : m_id(id), m_numElement(count), m_logicalId(logicalId), m_area(area) {}

Gpreset::~Gpreset() = default;

void Gpreset::AddPresetElement(unsigned short index, T_GROUP_element* element) {
    std::unique_ptr<T_GROUP_element> owned(element);
    if (!owned || GetPresetElement(index) != nullptr) return;
    SetPresetElement(index, *owned);
}

void Gpreset::SetPresetElement(unsigned short index, const T_GROUP_element& element) {
    if (index >= m_elements.size()) m_elements.resize(static_cast<std::size_t>(index) + 1);
    m_elements[index] = element;
}

void Gpreset::DelPresetElement(unsigned short index) {
    if (index < m_elements.size()) m_elements[index].reset();
}

T_GROUP_element* Gpreset::GetPresetElement(unsigned short index) const {
    if (index >= m_elements.size() || !m_elements[index]) return nullptr;
    return &*m_elements[index];
}
