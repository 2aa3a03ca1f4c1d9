// The monitor control stand-in's logic: requests in, wall state and answers out.
#include "monctl.h"
#include "sysdefs.h"
#include "toolargs.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace nuvak::monctl {

using namespace nuvak::monmsg;

bool ApplySetting(const std::string& key, const std::string& value, Settings& s, std::string& why) {
    if (key == "seize") {
        if (value == "answer") s.seize = SeizeMode::Answer;
        else if (value == "suspend") s.seize = SeizeMode::Suspend;
        else if (value == "drop") s.seize = SeizeMode::Drop;
        else return why = "seize takes answer, suspend or drop", false;
        return true;
    }
    if (key == "control") {
        if (value == "answer") s.control = ControlMode::Answer;
        else if (value == "refuse") s.control = ControlMode::Refuse;
        else if (value == "drop") s.control = ControlMode::Drop;
        else return why = "control takes answer, refuse or drop", false;
        return true;
    }
    if (key == "delay" || key == "refuse-result") {
        unsigned long v = 0;
        if (!nuvak::toolargs::ParseNumber(value, key == "delay" ? 600000ul : 0xFFFFul, v)) {
            return why = key + (key == "delay" ? " takes 0..600000 milliseconds" : " takes 0..65535"), false;
        }
        if (key == "delay") s.delayMs = static_cast<unsigned>(v);
        else s.refuseResult = static_cast<std::uint16_t>(v);
        return true;
    }
    why = "unknown setting '" + key + "'";
    return false;
}

Request Decode(const unsigned char* b) {
    Request r{};
    r.sender = LoadLE16(b + kSender);
    r.sender2 = LoadLE16(b + kSender2);
    r.dest = LoadLE16(b + kDest);
    r.msgClass = LoadLE16(b + kClass);
    r.length = LoadLE16(b + kLength);
    r.command = LoadLE16(b + kCommand);
    r.priority = LoadLE32(b + kPriority);
    r.monitor = LoadLE16(b + kMonitor);
    r.device = LoadLE16(b + kDevice);
    r.user = LoadLE16(b + kUser);
    r.tourCntl = LoadLE16(b + kTourCntl);
    r.ctrlWord = LoadLE16(b + kCtrlWord);
    r.ctrlValue = LoadLE16(b + kCtrlValue);
    r.target = LoadLE32(b + kTarget);
    r.tourAction = LoadLE16(b + kTourAction);
    return r;
}

namespace {
constexpr std::uint16_t kDeviceNoUser = SYS_DEVICE_NOUSER;  // device 767: a tour run without a user
bool IsTourCommand(const Request& r) { return r.command == kCmdCamera && r.ctrlWord >= kCtrlTourBase; }
bool IsTourStop(const Request& r) { return IsTourCommand(r) && (r.ctrlWord == kCtrlTourStop || r.tourAction == 0); }
bool IsTourPause(const Request& r) { return IsTourCommand(r) && !IsTourStop(r) && r.tourAction == 2; }
}  // namespace

const char* RequestKind(const Request& r) {
    if (r.command == kCmdSeize) return "seize";
    if (r.command == kCmdRelease) return "release";
    if (r.command == kCmdCamera) {
        if (r.ctrlWord == kCtrlCamera) return "camera_select";
        if (r.ctrlWord == kCtrlPreset) return "camera_preset";
        if (IsTourStop(r)) return "tour_stop";
        if (IsTourPause(r)) return "tour_pause";
        if (IsTourCommand(r)) return "tour_control";
    }
    return "unknown";
}

const char* PrimitiveName(std::uint16_t p) {
    switch (p) {
        case kSeizeInd: return "seize_ind";
        case kSeizeConfirm: return "seize_confirm";
        case kSuspendInd: return "suspend_ind";
        case kSuspendConfirm: return "suspend_confirm";
        case kReleaseConfirm: return "release_confirm";
        case kControlInd: return "control_ind";
        case kControlConfirm: return "control_confirm";
        case kControlInd2: return "control_ind";
        default: return "unknown";
    }
}

std::uint32_t Wall::GlobalTourOf(std::uint16_t tourCntl) const {
    auto it = globalTours_.find(tourCntl);
    return it == globalTours_.end() ? 0xFFFFFFFFu : it->second;
}

Answer Wall::MakeAnswer(const Request& r, std::uint16_t primitive) const {
    Answer a;
    a.destination = r.sender;
    unsigned char* b = a.bytes;
    StoreLE16(b + kSender, own_);
    StoreLE16(b + kSender2, kMonClass);
    StoreLE16(b + kDest, r.sender);
    StoreLE16(b + kClass, kMonClass);
    StoreLE16(b + kLength, static_cast<std::uint16_t>(kSize));
    StoreLE16(b + kCommand, primitive);
    StoreLE32(b + kPriority, r.priority);
    StoreLE16(b + kMonitor, r.monitor);
    StoreLE16(b + kDevice, r.device);
    StoreLE16(b + kUser, r.user);
    StoreLE16(b + kTourCntl, r.tourCntl);
    StoreLE32(b + kGlobalTour, GlobalTourOf(r.tourCntl));
    StoreLE16(b + kTourType, r.tourCntl >= kFirstPresetControl ? kTourTypePreset : 1);
    return a;
}

std::vector<Answer> Wall::Handle(const unsigned char* block, const Settings& s) {
    std::vector<Answer> out;
    Request r = Decode(block);
    if (r.length != kSize) return out;  // not a monitor message

    // Every tour-related request names its tour: learn the global id that
    // goes with the tour-control id, for the camera requests that carry none.
    bool tourRelated = r.command == kCmdSeize || r.command == kCmdRelease || IsTourCommand(r);
    if (tourRelated && (globalTours_.size() < kMaxTours || globalTours_.count(r.tourCntl) != 0)) {
        globalTours_[r.tourCntl] = r.target;
    }
    Monitor scratch;
    Monitor* m = &scratch;  // a full wall still answers, it just does not remember
    auto it = monitors_.find(r.monitor);
    if (it != monitors_.end()) m = &it->second;
    else if (monitors_.size() < kMaxMonitors) m = &monitors_[r.monitor];
    m->last = RequestKind(r);
    m->lastUser = r.user;
    m->lastDevice = r.device;
    m->lastPriority = r.priority;

    switch (r.command) {
        case kCmdSeize: {
            if (s.seize == SeizeMode::Suspend) {
                // Held by someone else: suspend arguments name the holder.
                Answer a = MakeAnswer(r, kSuspendConfirm);
                StoreLE16(a.bytes + kSuspendA, m->user);
                StoreLE16(a.bytes + kSuspendB, m->device);
                out.push_back(a);
                m->last = "seize (suspended)";
                break;
            }
            m->seized = true;
            m->user = r.user;
            m->device = r.device;
            m->priority = r.priority;
            m->tourCntl = r.tourCntl;
            m->globalTour = r.target;
            Answer a = MakeAnswer(r, kSeizeConfirm);
            a.dropped = s.seize == SeizeMode::Drop;
            out.push_back(a);
            break;
        }
        case kCmdRelease:
            m->seized = false;
            break;
        case kCmdCamera: {
            if (r.ctrlWord != kCtrlCamera && r.ctrlWord != kCtrlPreset) {
                if (IsTourCommand(r)) m->globalTour = r.target;
                break;  // tour stop, pause and other tour control: unanswered
            }
            Answer a = MakeAnswer(r, kControlConfirm);
            if (s.control == ControlMode::Refuse) {
                StoreLE16(a.bytes + kResult, s.refuseResult);
                m->last += " (refused)";
            } else {
                StoreLE16(a.bytes + kResult, 1);
                if (r.ctrlWord == kCtrlCamera) {
                    m->camera = r.target;
                    m->preset = 0;
                } else {
                    m->preset = r.ctrlValue;
                }
                m->tourCntl = r.tourCntl;
                a.dropped = s.control == ControlMode::Drop;
            }
            out.push_back(a);
            break;
        }
        default:
            break;
    }
    return out;
}

Answer Wall::Indication(std::uint16_t primitive, std::uint16_t monitor) const {
    Request r{};
    r.sender = kOwnAddress;
    r.monitor = monitor;
    auto it = monitors_.find(monitor);
    if (it != monitors_.end()) {
        r.priority = it->second.priority;
        r.device = it->second.device;
        r.user = it->second.user;
        r.tourCntl = it->second.tourCntl;
    }
    return MakeAnswer(r, primitive);
}

std::string Wall::Render(unsigned columns) const {
    if (columns == 0) columns = 1;
    constexpr int kWidth = 26;
    std::string out;
    std::string rule;
    std::vector<const std::pair<const std::uint16_t, Monitor>*> cells;
    for (const auto& e : monitors_) cells.push_back(&e);
    char line[128];
    for (std::size_t row = 0; row * columns < cells.size() || (row == 0 && cells.empty()); ++row) {
        std::size_t first = row * columns;
        std::size_t n = cells.empty() ? 0 : std::min<std::size_t>(columns, cells.size() - first);
        rule.assign(1, '+');
        for (std::size_t c = 0; c < std::max<std::size_t>(n, 1); ++c) rule += std::string(kWidth, '-') + "+";
        out += rule + "\n";
        if (n == 0) {
            std::snprintf(line, sizeof line, "|%-*s|\n", kWidth, " (no monitor yet)");
            out += line;
            break;
        }
        for (int part = 0; part < 3; ++part) {
            out += "|";
            for (std::size_t c = 0; c < n; ++c) {
                const auto& [id, m] = *cells[first + c];
                char text[96];
                if (part == 0) {
                    // Control blocks above 256 are group presets' (shown once), not tours.
                    std::snprintf(text, sizeof text, " M%-5u %-7s %s %u", id, m.seized ? "SEIZED" : "free",
                                  m.tourCntl >= kFirstPresetControl ? "preset" : "tour", m.tourCntl);
                } else if (part == 1) {
                    if (m.camera == 0xFFFFFFFFu) std::snprintf(text, sizeof text, " cam -");
                    else if (m.preset == 0) std::snprintf(text, sizeof text, " cam %u", m.camera);
                    else std::snprintf(text, sizeof text, " cam %u preset %u", m.camera, m.preset);
                } else if (m.lastDevice == kDeviceNoUser) {
                    // A tour without a user (one run for another unit's keyboard).
                    std::snprintf(text, sizeof text, " (no user) %s", m.last.c_str());
                } else {
                    std::snprintf(text, sizeof text, " u%u d0x%04X %s", m.lastUser, m.lastDevice, m.last.c_str());
                }
                std::snprintf(line, sizeof line, "%-*.*s|", kWidth, kWidth, text);
                out += line;
            }
            out += "\n";
        }
        if (first + n >= cells.size()) out += rule + "\n";
    }
    return out;
}

}  // namespace nuvak::monctl
