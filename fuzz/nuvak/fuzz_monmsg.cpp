// Fuzz target of the monitor-message path. Each input is a sequence of
// chunks: one operation byte, then up to 256 bytes of an IPC block (zero
// padded). The operation runs first (a timer pass, a run, stop or pause of a
// tour, a group preset, or every client back to idle as the confirmations
// would put it), then the block goes through the server's mailbox dispatch
// (OnMonitorBlock) into the managers, the control blocks and the monitor
// clients. Every input starts from a fresh server with four tours running or
// held and a group preset shown.
//
// Besides crashes and sanitizer reports it checks the routing rule: a block
// that is not a monitor message for the service, or that does not answer the
// exchange of the monitor's client (the block id at offset 26 and the global
// tour id at offset 52 that client sent), changes no monitor client.
//
// Run it in private namespaces only (scripts/netns-run.sh): the server binds
// the service's fixed ports and takes IPC address 13.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <tuple>
#include <vector>

#include "cameramessage.h"
#include "framework.h"
#include "gpresettable.h"
#include "ipc.h"
#include "itmgr.h"
#include "monmsg.h"
#include "nuvakcntltable.h"
#include "nuvakserver.h"
#include "nuvaktable.h"
#include "sysdefs.h"

namespace mm = nuvak::monmsg;

namespace {

constexpr unsigned long kBase = 10000000ul;  // unit 1

// A block handed to the server as the mailbox would: the server owns it.
class Block : public IPCMessage {
public:
    explicit Block(const T_ipchdr& b) : block_(b) {}
    T_ipchdr* GetHandle() const override { return &block_; }
    void Release() override {}
    bool Send(unsigned short) const override { return false; }

private:
    mutable T_ipchdr block_;
};

struct Rig {
    IFrameWork* fw = nullptr;
    std::unique_ptr<ITMGR> tmgr;
};

Rig& TheRig() {
    static Rig rig = [] {
        const char* ns = std::getenv("NUVAK_IN_NETNS");
        if (ns == nullptr || std::strcmp(ns, "1") != 0) {
            std::fprintf(stderr, "fuzz_monmsg: run it inside scripts/netns-run.sh (fixed ports and IPC 13)\n");
            std::exit(2);
        }
        Rig r;
        r.fw = CreateFrameWork();
        if (r.fw == nullptr) std::abort();
        r.tmgr = std::make_unique<ITMGR>(*r.fw);
        return r;
    }();
    return rig;
}

void Request(NuvakServer& s, unsigned long group, unsigned short type, unsigned short action, unsigned short monitor,
             unsigned long priority = 10, unsigned short device = 0x0103) {
    CameraMessage m("SET", 1, 1, 0, kBase + monitor, 0, 0);
    m.AddElement(new CameraVariableGroup(static_cast<T_uint_32>(kBase + group), type, device, 21, priority, action,
                                         0, 0));
    s.CsiSequence(&m);
}

// Presets 1..6; tours 1..4 (logical 10001..10004) over them; preset 7
// (20007) is shown once.
void Define(NuvakServer& s) {
    const std::vector<std::vector<unsigned short>> monitors = {{1, 2}, {1, 2}, {3, 4}, {5}, {6, 7, 8}, {6, 7, 8},
                                                               {9, 10}};
    for (unsigned short p = 1; p <= monitors.size(); ++p) {
        const auto& ms = monitors[p - 1];
        auto* g = new Gpreset(p, static_cast<unsigned short>(ms.size()), 20000 + p, 2);
        for (unsigned short i = 0; i < ms.size(); ++i)
            g->AddPresetElement(i, new T_GROUP_element{ms[i], static_cast<unsigned short>(p + i),
                                                       static_cast<unsigned short>(i)});
        s.GetPresetTable()->AddGpreset(p, g);
        s.GetPresetTable()->AddLogGpreset(20000 + p, p);
    }
    for (unsigned short c = 1; c <= 16; ++c) s.GetPresetTable()->SetLogCam(c, 100u + c);
    const std::vector<std::vector<std::pair<unsigned short, unsigned short>>> tours = {
        {{1, 1}, {2, 2}}, {{3, 1}}, {{4, 2}}, {{5, 1}, {6, 1}}};
    for (unsigned short t = 1; t <= tours.size(); ++t) {
        auto* n = new Nuvak(t, static_cast<unsigned short>(tours[t - 1].size()), 10000 + t, 1);
        for (unsigned short i = 0; i < tours[t - 1].size(); ++i)
            n->AddTourStep(i, new T_NUVAK_step{tours[t - 1][i].first, tours[t - 1][i].second});
        s.GetTourTable()->AddNuvak(t, n);
        s.GetTourTable()->AddLogNuvak(10000 + t, t);
    }
    Request(s, 10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 1);        // with its user at monitor 1
    Request(s, 10002, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 12);       // without a user
    Request(s, 10003, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 5, 3, 0x0105);
    Request(s, 10004, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 6);
    Request(s, 10004, MON_TOUR_TYP_GRP, MON_TOUR_ACT_PAUSE, 6);      // held
    Request(s, 20007, MON_TOUR_TYP_GRPPRE, MON_TOUR_ACT_RUN, 9);
}

using Snapshot = std::vector<std::tuple<unsigned long, unsigned short, unsigned short, unsigned short, unsigned short,
                                        unsigned short, unsigned short, unsigned long>>;
Snapshot Clients(const NuvakServer& s) {
    Snapshot out;
    for (const auto& [m, c] : s.GetControlTable()->MonClients())
        out.emplace_back(m, c->GetCurrentState(), c->GetMonState(), c->GetCamState(), c->GetTourState(),
                         c->GetNuvakId(), c->GetDeviceId(), c->GetPriority());
    return out;
}

// Whether the routing rule lets this block reach a monitor client: it
// answers what the client of its monitor sent (block id and global tour id).
bool MayReachAClient(const NuvakServer& s, const T_ipchdr& b) {
    const unsigned char* p = b.bytes;
    if (mm::LoadLE16(p + mm::kClass) != mm::kMonClass) return false;
    const MonClient* c = s.GetControlTable()->GetMonClient(mm::LoadLE16(p + mm::kMonitor), 0);
    return c != nullptr && c->Answers(mm::LoadLE16(p + mm::kTourCntl), mm::LoadLE32(p + mm::kGlobalTour));
}

void Operate(NuvakServer& s, std::uint8_t op) {
    const unsigned short tour = static_cast<unsigned short>(10001 + ((op >> 3) & 3));
    switch (op & 7) {
        case 0: s.NuvakTimer(); break;
        case 1: Request(s, tour, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, static_cast<unsigned short>(op >> 5), op >> 4); break;
        case 2: Request(s, tour, MON_TOUR_TYP_GRP, MON_TOUR_ACT_DEL, 1); break;
        case 3: Request(s, tour, MON_TOUR_TYP_GRP, MON_TOUR_ACT_PAUSE, 1); break;
        case 4: Request(s, tour, MON_TOUR_TYP_SEIZE, 0, static_cast<unsigned short>(op >> 5), op >> 4); break;
        case 5: Request(s, 20007, MON_TOUR_TYP_GRPPRE, MON_TOUR_ACT_RUN, static_cast<unsigned short>(op >> 5)); break;
        case 6:
            for (const auto& [m, c] : s.GetControlTable()->MonClients()) c->ChangeState(IDLESTATE);
            break;
        default: break;  // the block alone
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Rig& rig = TheRig();
    auto server = std::make_unique<NuvakServer>(256, 256, 1, *rig.fw, *rig.tmgr);
    Define(*server);
    constexpr std::size_t kChunk = 1 + IPC_MSG_SIZE;
    for (std::size_t at = 0; at < size; at += kChunk) {
        Operate(*server, data[at]);
        T_ipchdr block{};
        const std::size_t n = std::min(size - at - 1, static_cast<std::size_t>(IPC_MSG_SIZE));
        std::memcpy(block.bytes, data + at + 1, n);
        const bool mayReach = MayReachAClient(*server, block);
        const Snapshot before = Clients(*server);
        server->OnMonitorBlock(std::make_unique<Block>(block).release());
        if (!mayReach && Clients(*server) != before) {
            std::fprintf(stderr, "fuzz_monmsg: a block the routing rule discards changed a monitor client\n");
            std::abort();
        }
    }
    server->OnTerm();
    return 0;
}
