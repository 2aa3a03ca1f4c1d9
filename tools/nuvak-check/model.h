// The checker's picture of the installation: the database versions it wrote
// whole, and what the monitor messages it has seen say each monitor and tour
// is doing. Nothing here looks inside the service; it is all read off the
// wire (requests and answers, monitor messages) and off what was written.
#ifndef NUVAK_CHECK_MODEL_H
#define NUVAK_CHECK_MODEL_H

#include <cstdint>
#include <deque>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "installation.h"

namespace nuvak::check {

constexpr std::uint32_t kUnit = 1;
constexpr int kFirstPresetBlock = 257;  // tour-control ids above 256 are one-shot presets

// A seeded generator with the few draws the checker needs.
class Prng {
public:
    explicit Prng(std::uint64_t seed) : g_(seed) {}
    unsigned Below(unsigned n) { return n == 0 ? 0 : static_cast<unsigned>(g_() % n); }
    unsigned Range(unsigned lo, unsigned hi) { return lo + Below(hi - lo + 1); }
    bool Percent(unsigned p) { return Below(100) < p; }

private:
    std::mt19937_64 g_;
};

// Database versions. Each element carries a camera that no other element of
// any version ever gets, so a camera on a monitor names the step it belongs to.
class Database {
public:
    // The first version: a few tours of 1..3 steps over monitors 1..12,
    // some with other monitors in later steps, and a few one-shot presets.
    // consistentOnly: every step of a tour on the same monitors, also after edits.
    Database(Prng& rng, bool consistentOnly);
    const dbw::Installation& Current() const { return cur_; }
    int Version() const { return version_; }
    // A random edit of the current definition, not yet written (Commit).
    dbw::Installation Edited(Prng& rng, std::string* what);
    // `next` is now on disk whole.
    void Commit(const dbw::Installation& next);

    // Cameras (global ids) that a whole version of the last few assigns to
    // `monitor` in a step of tour-control block `block` (or its preset).
    std::set<std::uint32_t> Allowed(int block, std::uint16_t monitor) const;
    // The step of the current tour `block` that shows `camera` on `monitor`, -1 if none.
    int StepOf(int block, std::uint16_t monitor, std::uint32_t camera) const;
    const dbw::TourDef* Tour(int block) const;
    const dbw::PresetDef* Preset(const dbw::Installation& in, std::uint32_t id) const;
    // Monitors of every step of tour `block` in the current version.
    std::set<std::uint16_t> MonitorsOf(int block) const;
    // Longest dwell of tour `block` in the current and the previous version (0: none).
    unsigned MaxDwell(int block) const;
    // True when every step of tour `block` names a preset with elements.
    bool Complete(int block) const;
    std::uint32_t Logical(int block) const;  // current logical id (0: absent)
    std::vector<std::uint32_t> PresetLogicals() const;

private:
    std::uint32_t FreshCamera(dbw::Installation& in);
    std::uint32_t FreshPreset(dbw::Installation& in, const std::vector<std::uint16_t>& monitors, Prng& rng);
    dbw::Installation cur_;
    std::deque<dbw::Installation> recent_;        // the last whole versions, newest last
    std::map<std::uint32_t, std::uint32_t> lastLogical_;  // camera -> last logical number written
    std::vector<dbw::TourDef> deleted_;           // tours an edit removed (may come back)
    int version_ = 0;
    bool consistentOnly_ = false;
    std::uint32_t nextCamera_ = 1, nextPreset_ = 1, nextCamLogical_ = 500, nextTourLogical_ = 10100;
};

}  // namespace nuvak::check

#endif
