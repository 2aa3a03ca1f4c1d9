// The monitor control stand-in's logic, apart from its input and output:
// it takes one received monitor message, updates the monitor wall and says
// which answer (if any) goes back. main.cpp carries the messages over the IPC
// mailbox, applies the answer modes and writes the log.
#ifndef NUVAK_MONCTL_H
#define NUVAK_MONCTL_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "monmsg.h"

namespace nuvak::monctl {

// What the stand-in does with the answers of one kind.
enum class SeizeMode { Answer, Suspend, Drop };   // seize -> seize / suspend confirmation / nothing
enum class ControlMode { Answer, Refuse, Drop };  // camera control -> result 1 / refuse result / nothing

struct Settings {
    SeizeMode seize = SeizeMode::Answer;
    ControlMode control = ControlMode::Answer;
    std::uint16_t refuseResult = 0;  // result word of a refused control confirmation
    unsigned delayMs = 0;            // answers leave this much later
};

// Parses "seize answer|suspend|drop", "control answer|refuse|drop",
// "refuse-result N", "delay MS" into `s`. False with a reason otherwise.
bool ApplySetting(const std::string& key, const std::string& value, Settings& s, std::string& why);

// One monitor of the wall.
struct Monitor {
    bool seized = false;
    std::uint32_t camera = 0xFFFFFFFFu;  // none
    std::uint16_t preset = 0;            // none
    // The holder: who seized it last (suspend confirmations name them).
    std::uint16_t user = 0;
    std::uint16_t device = 0;
    std::uint32_t priority = 0;
    // Who sent the last request to it, whatever the request: the identity
    // the wall draws (after a take-back the tour goes on in the new user's
    // name without a seize of its own).
    std::uint16_t lastUser = 0;
    std::uint16_t lastDevice = 0;
    std::uint32_t lastPriority = 0;
    std::uint16_t tourCntl = 0;
    std::uint32_t globalTour = 0xFFFFFFFFu;
    std::string last;                    // last request seen, for the display
};

// A decoded request; names follow the monitor message's fields.
struct Request {
    std::uint16_t sender, sender2, dest, msgClass, length, command;
    std::uint32_t priority;
    std::uint16_t monitor, device, user, tourCntl, ctrlWord, ctrlValue;
    std::uint32_t target;
    std::uint16_t tourAction;
};

Request Decode(const unsigned char* block);

// Name of a request by command and control word: "seize", "release",
// "camera_select", "camera_preset", "tour_stop", "tour_pause", "tour_control"
// or "unknown".
const char* RequestKind(const Request& r);
// Name of a primitive: "seize_ind", "seize_confirm", ...; "unknown" otherwise.
const char* PrimitiveName(std::uint16_t primitive);

// An answer to send: the full 104-byte message and where it goes.
struct Answer {
    std::uint16_t destination = 0;
    unsigned char bytes[monmsg::kSize] = {};
    bool dropped = false;  // the mode said drop: logged, not sent
};

class Wall {
public:
    explicit Wall(std::uint16_t ownAddress) : own_(ownAddress) {}

    // Takes one request (a 256-byte block): updates the wall and the
    // tour-control -> global tour id table and returns the answers (none for
    // releases, tour stops and pauses, and for requests it cannot read).
    std::vector<Answer> Handle(const unsigned char* block, const Settings& s);

    // An indication (primitive 1, 4, 9 or 22) for `monitor`, filled from what
    // the wall knows of it. Destination: the service (13).
    Answer Indication(std::uint16_t primitive, std::uint16_t monitor) const;

    std::uint32_t GlobalTourOf(std::uint16_t tourCntl) const;
    const std::map<std::uint16_t, Monitor>& Monitors() const { return monitors_; }

    // The wall as a grid of cells, `columns` per row.
    std::string Render(unsigned columns) const;

private:
    Answer MakeAnswer(const Request& r, std::uint16_t primitive) const;

    std::uint16_t own_;
    std::map<std::uint16_t, Monitor> monitors_;
    std::map<std::uint16_t, std::uint32_t> globalTours_;  // tour-control id -> global tour id
};

// Bounds of what the stand-in keeps: monitors on the wall and learnt tours.
constexpr std::size_t kMaxMonitors = 4096;
constexpr std::size_t kMaxTours = 1024;

}  // namespace nuvak::monctl

#endif
