// Database versions of the checker: generation, random edits, and what a
// whole version allows a monitor to show.
#include "model.h"

#include <algorithm>

namespace nuvak::check {

namespace {
constexpr std::uint16_t kWallMonitors = 12;  // tours and presets use monitors 1..12
constexpr std::size_t kRecentVersions = 4;   // versions a running service may still show

std::vector<std::uint16_t> PickMonitors(Prng& rng, unsigned n) {
    std::vector<std::uint16_t> all;
    for (std::uint16_t m = 1; m <= kWallMonitors; ++m) all.push_back(m);
    for (unsigned i = 0; i < n; ++i) std::swap(all[i], all[i + rng.Below(kWallMonitors - i)]);
    all.resize(n);
    return all;
}
}  // namespace

std::uint32_t Database::FreshCamera(dbw::Installation& in) {
    dbw::DeviceDef c;
    c.id = nextCamera_++;
    c.logical = nextCamLogical_++;
    in.cameras.push_back(c);
    return c.id;
}

std::uint32_t Database::FreshPreset(dbw::Installation& in, const std::vector<std::uint16_t>& monitors, Prng& rng) {
    dbw::PresetDef p;
    p.id = nextPreset_++;
    p.logical = 20000 + p.id;
    for (std::uint16_t m : monitors) p.elements.push_back({m, FreshCamera(in), rng.Range(0, 3)});
    in.presets.push_back(p);
    return p.id;
}

Database::Database(Prng& rng, bool consistentOnly) : consistentOnly_(consistentOnly) {
    const unsigned tours = rng.Range(3, 6);
    for (unsigned t = 1; t <= tours; ++t) {
        dbw::TourDef tour;
        tour.id = t;
        tour.logical = 10000 + t;
        const unsigned steps = rng.Range(1, 3);
        const bool consistent = consistentOnly_ || rng.Percent(70);
        auto monitors = PickMonitors(rng, rng.Range(1, 3));
        for (unsigned s = 0; s < steps; ++s) {
            if (!consistent && s > 0) monitors = PickMonitors(rng, rng.Range(1, 3));
            tour.steps.push_back({FreshPreset(cur_, monitors, rng), rng.Range(1, 3)});
        }
        cur_.tours.push_back(tour);
    }
    for (int i = 0; i < 3; ++i) FreshPreset(cur_, PickMonitors(rng, rng.Range(1, 3)), rng);  // one-shot presets
    for (std::uint32_t m = 1; m <= 40; ++m) cur_.monitors.push_back({m, 200 + m, {}});
    Commit(cur_);
}

dbw::Installation Database::Edited(Prng& rng, std::string* what) {
    dbw::Installation n = cur_;
    auto tourAt = [&]() -> dbw::TourDef* { return n.tours.empty() ? nullptr : &n.tours[rng.Below(n.tours.size())]; };
    auto presetOf = [&](std::uint32_t id) -> dbw::PresetDef* {
        for (auto& p : n.presets)
            if (p.id == id) return &p;
        return nullptr;
    };
    dbw::TourDef* t = tourAt();
    const unsigned kind = rng.Below(9);
    char buf[160];
    if (t == nullptr || kind == 8) {  // a deleted tour comes back, or a new one
        dbw::TourDef back;
        if (!deleted_.empty()) {
            back = deleted_.back();
            deleted_.pop_back();
        } else {
            back.id = 1;
            while (std::any_of(n.tours.begin(), n.tours.end(), [&](const dbw::TourDef& x) { return x.id == back.id; }))
                ++back.id;
            back.logical = nextTourLogical_++;
            back.steps.push_back({FreshPreset(n, PickMonitors(rng, rng.Range(1, 3)), rng), rng.Range(1, 3)});
        }
        auto taken = [&](auto field, std::uint32_t v) {
            return std::any_of(n.tours.begin(), n.tours.end(), [&](const dbw::TourDef& x) { return x.*field == v; });
        };
        while (taken(&dbw::TourDef::id, back.id)) back.id = back.id % 20 + 1;
        if (taken(&dbw::TourDef::logical, back.logical)) back.logical = nextTourLogical_++;
        n.tours.push_back(back);
        std::snprintf(buf, sizeof buf, "tour %u (logical %u) added", back.id, back.logical);
        *what = buf;
        return n;
    }
    const std::size_t si = rng.Below(t->steps.size());
    dbw::PresetDef* p = presetOf(t->steps[si].preset);
    switch (kind) {
        case 0:  // an element moved to another monitor (new camera)
        case 1:
            if (p != nullptr && !p->elements.empty() && consistentOnly_) {
                auto& e = p->elements[rng.Below(p->elements.size())];
                e.camera = FreshCamera(n);
                std::snprintf(buf, sizeof buf, "tour %u step %zu preset %u element -> camera %u", t->id, si, p->id,
                              e.camera);
                break;
            }
            if (p != nullptr && !p->elements.empty()) {
                auto& e = p->elements[rng.Below(p->elements.size())];
                std::uint16_t m = static_cast<std::uint16_t>(rng.Range(1, kWallMonitors));
                bool used = std::any_of(p->elements.begin(), p->elements.end(),
                                        [&](const dbw::ElementDef& x) { return x.monitor == m; });
                if (!used) e.monitor = m;
                e.camera = FreshCamera(n);
                std::snprintf(buf, sizeof buf, "tour %u step %zu preset %u element -> monitor %u camera %u", t->id, si,
                              p->id, e.monitor, e.camera);
                break;
            }
            [[fallthrough]];
        case 2:  // a step added or removed
            if (t->steps.size() > 1 && rng.Percent(50)) {
                t->steps.erase(t->steps.begin() + static_cast<long>(si));
                std::snprintf(buf, sizeof buf, "tour %u step %zu removed", t->id, si);
            } else {
                std::vector<std::uint16_t> mons;
                if (p != nullptr)
                    for (const auto& e : p->elements) mons.push_back(static_cast<std::uint16_t>(e.monitor));
                for (const auto& st : t->steps)  // a consistent tour keeps its one monitor set
                    if (const auto* q = presetOf(st.preset); q != nullptr && mons.empty() && consistentOnly_)
                        for (const auto& e : q->elements) mons.push_back(static_cast<std::uint16_t>(e.monitor));
                if (mons.empty() && consistentOnly_) {  // no preset left to take the monitors from
                    std::snprintf(buf, sizeof buf, "nothing changed");
                    break;
                }
                if (mons.empty() || (!consistentOnly_ && rng.Percent(30))) mons = PickMonitors(rng, rng.Range(1, 3));
                t->steps.push_back({FreshPreset(n, mons, rng), rng.Range(1, 3)});
                std::snprintf(buf, sizeof buf, "tour %u step added (preset %u)", t->id, t->steps.back().preset);
            }
            break;
        case 3:
            t->steps[si].dwell = rng.Range(1, 4);
            std::snprintf(buf, sizeof buf, "tour %u step %zu dwell %u", t->id, si, t->steps[si].dwell);
            break;
        case 4:
            t->logical = nextTourLogical_++;
            std::snprintf(buf, sizeof buf, "tour %u renumbered to logical %u", t->id, t->logical);
            break;
        case 5:
            std::snprintf(buf, sizeof buf, "tour %u (logical %u) deleted", t->id, t->logical);
            deleted_.push_back(*t);
            n.tours.erase(n.tours.begin() + (t - n.tours.data()));
            break;
        case 6:  // a camera renumbered
            if (p != nullptr && !p->elements.empty()) {
                const std::uint32_t cam = p->elements[rng.Below(p->elements.size())].camera;
                for (auto& c : n.cameras)
                    if (c.id == cam) c.logical = nextCamLogical_++;
                std::snprintf(buf, sizeof buf, "camera %u renumbered", cam);
            } else {
                std::snprintf(buf, sizeof buf, "nothing changed");
            }
            break;
        default:  // a step's preset deleted
            if (p != nullptr) {
                std::snprintf(buf, sizeof buf, "preset %u (tour %u step %zu) deleted", p->id, t->id, si);
                n.presets.erase(n.presets.begin() + (p - n.presets.data()));
            } else {
                std::snprintf(buf, sizeof buf, "nothing changed");
            }
            break;
    }
    *what = buf;
    return n;
}

void Database::Commit(const dbw::Installation& next) {
    cur_ = next;
    ++version_;
    recent_.push_back(next);
    while (recent_.size() > kRecentVersions) recent_.pop_front();
    for (const auto& c : next.cameras) lastLogical_[c.id] = c.logical;
}

const dbw::PresetDef* Database::Preset(const dbw::Installation& in, std::uint32_t id) const {
    for (const auto& p : in.presets)
        if (p.id == id) return &p;
    return nullptr;
}

const dbw::TourDef* Database::Tour(int block) const {
    for (const auto& t : cur_.tours)
        if (static_cast<int>(t.id) == block) return &t;
    return nullptr;
}

std::set<std::uint32_t> Database::Allowed(int block, std::uint16_t monitor) const {
    // Tour, preset and camera tables are each read whole, but a reload may
    // pair them from different recent versions.
    std::set<std::uint32_t> cameras;  // local camera numbers
    for (const auto& vt : recent_) {
        std::vector<std::uint32_t> presets;
        if (block >= kFirstPresetBlock) {
            presets.push_back(static_cast<std::uint32_t>(block - 256));
        } else {
            for (const auto& t : vt.tours)
                if (static_cast<int>(t.id) == block)
                    for (const auto& s : t.steps) presets.push_back(s.preset);
        }
        for (const auto& vp : recent_)
            for (std::uint32_t pid : presets)
                if (const auto* p = Preset(vp, pid))
                    for (const auto& e : p->elements)
                        if (e.monitor == monitor) cameras.insert(e.camera);
    }
    std::set<std::uint32_t> out;
    for (std::uint32_t c : cameras) {
        for (const auto& vc : recent_)
            for (const auto& d : vc.cameras)
                if (d.id == c) out.insert(kUnit * 100000 + d.logical);
        auto it = lastLogical_.find(c);  // a camera that lost its record keeps its number
        if (it != lastLogical_.end()) out.insert(kUnit * 100000 + it->second);
    }
    return out;
}

int Database::StepOf(int block, std::uint16_t monitor, std::uint32_t camera) const {
    const auto* t = Tour(block);
    if (t == nullptr) return -1;
    for (std::size_t s = 0; s < t->steps.size(); ++s)
        if (const auto* p = Preset(cur_, t->steps[s].preset))
            for (const auto& e : p->elements)
                for (const auto& c : cur_.cameras)
                    if (e.monitor == monitor && c.id == e.camera && kUnit * 100000 + c.logical == camera)
                        return static_cast<int>(s);
    return -1;
}

std::set<std::uint16_t> Database::MonitorsOf(int block) const {
    std::set<std::uint16_t> out;
    if (const auto* t = Tour(block))
        for (const auto& s : t->steps)
            if (const auto* p = Preset(cur_, s.preset))
                for (const auto& e : p->elements) out.insert(static_cast<std::uint16_t>(e.monitor));
    return out;
}

unsigned Database::MaxDwell(int block) const {
    unsigned d = 0;
    for (std::size_t i = recent_.size() >= 2 ? recent_.size() - 2 : 0; i < recent_.size(); ++i)
        for (const auto& t : recent_[i].tours)
            if (static_cast<int>(t.id) == block)
                for (const auto& s : t.steps) d = std::max<unsigned>(d, s.dwell);
    return d;
}

bool Database::Complete(int block) const {
    const auto* t = Tour(block);
    if (t == nullptr || t->steps.empty()) return false;
    for (const auto& s : t->steps) {
        const auto* p = Preset(cur_, s.preset);
        if (p == nullptr || p->elements.empty()) return false;
    }
    return true;
}

std::uint32_t Database::Logical(int block) const {
    const auto* t = Tour(block);
    return t == nullptr ? 0 : t->logical;
}

std::vector<std::uint32_t> Database::PresetLogicals() const {
    std::vector<std::uint32_t> out;
    for (const auto& p : cur_.presets) out.push_back(p.logical);
    return out;
}

}  // namespace nuvak::check
