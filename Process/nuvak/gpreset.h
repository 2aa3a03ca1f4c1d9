// One group preset: its elements (monitor, camera, camera preset each) and ids.
#ifndef NUVAK_GPRESET_H
#define NUVAK_GPRESET_H

#include <optional>
#include <vector>

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
    // The element at `index`, owned by the preset, or null. The pointer is
    // valid until elements are next added or set.
    T_GROUP_element* GetPresetElement(unsigned short index) const;
    // Stores a copy of `element` at `index`, replacing what was there (the
    // loaders fill presets this way, without an allocation per element).
    void SetPresetElement(unsigned short index, const T_GROUP_element& element);

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
    // Index 0..count - 1, held by value: a full installation has 32,768
    // elements, loaded at start and on every reload. Mutable because the
    // const GetPresetElement hands an element out for writing.
    mutable std::vector<std::optional<T_GROUP_element>> m_elements;
};

#endif
