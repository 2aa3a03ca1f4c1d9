// One group tour: its steps (group preset and dwell time each) and its ids.
#ifndef NUVAK_NUVAK_H
#define NUVAK_NUVAK_H

#include <optional>
#include <vector>

#include "dbif.h"

class Nuvak {
public:
    // Default-built: id 0xFFFF, logical id 0xFFFFFFFF, no steps.
    Nuvak();
    Nuvak(unsigned short id, unsigned short stepCount, unsigned long logicalId,
          unsigned short area);
    ~Nuvak();
    Nuvak(const Nuvak&) = delete;
    Nuvak& operator=(const Nuvak&) = delete;

    // Takes ownership of `step`. An index already present keeps its record;
    // the step offered then is deleted (a null step is ignored).
    void AddTourStep(unsigned short index, T_NUVAK_step* step);
    // Deletes the step at `index`, if any.
    void DelTourStep(unsigned short index);
    // The step at `index`, owned by the tour, or null. The pointer is valid
    // until steps are next added or set.
    T_NUVAK_step* GetTourStep(unsigned short index) const;
    // Stores a copy of `step` at `index`, replacing what was there (the
    // loaders fill tours this way, without an allocation per step).
    void SetTourStep(unsigned short index, const T_NUVAK_step& step);

    void SetNuvakId(unsigned short id) { m_id = id; }
    void SetNumStep(unsigned short count) { m_numStep = count; }
    void SetLogicalTourId(unsigned long logicalId) { m_logicalId = logicalId; }
    void SetArea(unsigned short area) { m_area = area; }

    unsigned short GetNuvakId() const { return m_id; }
    unsigned short GetNumStep() const { return m_numStep; }
    unsigned long GetLogicalTourId() const { return m_logicalId; }
    unsigned short GetArea() const { return m_area; }

private:
    unsigned short m_id;
    unsigned short m_numStep;
    unsigned long m_logicalId;
    unsigned short m_area;
    // Index 0..count - 1, held by value. Mutable because the const
    // GetTourStep hands a step out for writing.
    mutable std::vector<std::optional<T_NUVAK_step>> m_steps;
};

#endif
