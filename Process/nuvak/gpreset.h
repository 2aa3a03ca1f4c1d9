// One group preset: its elements (monitor, camera, camera preset each) and ids.
#ifndef NUVAK_GPRESET_H
#define NUVAK_GPRESET_H

#include <map>
#include <memory>

#include "dbif.h"

class Gpreset {
public:
    // Default-built: id 0xFFFF, logical id 0xFFFFFFFF, no elements.
    Gpreset();
    Gpreset(unsigned short id, unsigned short count, unsigned long logicalId,
            unsigned short area);
    ~Gpreset();
    Gpreset(const Gpreset&) = delete;
    Gpreset& operator=(const Gpreset&) = delete;

    // Takes ownership of `element`. An index already present keeps its
    // record; the element offered then is deleted (a null one is ignored).
    void AddPresetElement(unsigned short index, T_GROUP_element* element);
    // Deletes the element at `index`, if any.
    void DelPresetElement(unsigned short index);
    // The element at `index`, owned by the preset, or null.
    T_GROUP_element* GetPresetElement(unsigned short index) const;

    void SetGpresetId(unsigned short id) { m_id = id; }
    void SetNumElement(unsigned short count) { m_numElement = count; }
    void SetLogPresetId(unsigned long logicalId) { m_logicalId = logicalId; }
    void SetArea(unsigned short area) { m_area = area; }

    unsigned short GetGpresetId() const { return m_id; }
    unsigned short GetNumElement() const { return m_numElement; }
    unsigned long GetLogicalPresetId() const { return m_logicalId; }
    unsigned short GetArea() const { return m_area; }

private:
    unsigned short m_id;
    unsigned short m_numElement;
    unsigned long m_logicalId;
    unsigned short m_area;
    std::map<unsigned short, std::unique_ptr<T_GROUP_element>> m_elements;  // index 0..count - 1
};

#endif
