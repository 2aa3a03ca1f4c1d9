#include "gpreset.h"

#include "systypes.h"

Gpreset::Gpreset() : m_id(SYS_IDNULL), m_numElement(0), m_logicalId(SYS_IDNULL_LONG), m_area(0) {}

Gpreset::Gpreset(unsigned short id, unsigned short count, unsigned long logicalId,
                 unsigned short area)
    : m_id(id), m_numElement(count), m_logicalId(logicalId), m_area(area) {}

Gpreset::~Gpreset() = default;

void Gpreset::AddPresetElement(unsigned short index, T_GROUP_element* element) {
    std::unique_ptr<T_GROUP_element> owned(element);
    if (owned) m_elements.emplace(index, std::move(owned));
}

void Gpreset::DelPresetElement(unsigned short index) { m_elements.erase(index); }

T_GROUP_element* Gpreset::GetPresetElement(unsigned short index) const {
    auto it = m_elements.find(index);
    return it == m_elements.end() ? nullptr : it->second.get();
}
