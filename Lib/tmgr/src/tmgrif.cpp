// TMGRIF calls: the process side of the task manager's data module and
// health checks.
#include "tmgrif.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "sharedmem.h"

namespace {

using nuvak::tmgr::DataModuleView;
using nuvak::tmgr::ShmAttachment;
namespace dm = nuvak::tmgr::dm;
namespace proc = nuvak::tmgr::proc;

// Module state, one per process.
//   unlinked --TMGRIF_link--> linked, link-only --TMGRIF_register--> registered
//   any linked state --TMGRIF_unregister--> unlinked (slot freed if registered)
struct TmgrifState {
    ShmAttachment segment;     // the attached data module
    bool linked = false;
    bool linkOnly = false;
    T_uint_16 own = 0;         // own process number, 0 until registered
    bool pending = false;      // a health request waits for its answer
    int attachError = 0;       // errno of the last failed attach, -1 undersized
    T_uint_16 source = 0;      // process number of that request
};

TmgrifState& State() {
    static TmgrifState state;
    return state;
}

DataModuleView View() { return DataModuleView(State().segment.Data()); }

bool Attach() {
    TmgrifState& s = State();
    s.attachError = s.segment.Link(KEY_TMGR, TMGR_DM_SIZE);
    if (s.attachError != 0) return false;
    s.linked = true;
    return true;
}

}  // namespace

T_uint_16 TMGRIF_link(void) {
    TmgrifState& s = State();
    if (s.linked) return TMGRIF_OK;
    if (!Attach()) return TMGRIF_ERR_ATTACH;
    s.linkOnly = true;
    return TMGRIF_OK;
}

int TMGRIF_attacherror(void) { return State().attachError; }

T_uint_16 TMGRIF_register(T_uint_16 process, const char* name) {
    if (process == 0 || process > TMGR_MAX_PROC) return TMGRIF_ERR_ARG;
    TmgrifState& s = State();
    if (!s.linked && !Attach()) return TMGRIF_ERR_ATTACH;
    DataModuleView v = View();
    v.SetProcId(process, static_cast<T_uint_32>(getpid()));
    v.SetProcState(process, PROC_STATE_UNKNOWN);
    if (name != nullptr && name[0] != '\0') {
        v.SetProcName(process, name, 16);
    } else {
        char fallback[32];
        std::snprintf(fallback, sizeof fallback, "Process %d", process);
        v.SetProcName(process, fallback);
    }
    s.linkOnly = false;
    s.own = process;
    return TMGRIF_OK;
}

T_uint_16 TMGRIF_unregister(void) {
    TmgrifState& s = State();
    s.pending = false;
    s.source = 0;
    if (!s.linked) return TMGRIF_ERR_NOTLINKED;
    if (!s.linkOnly && s.own != 0) {
        DataModuleView v = View();
        std::size_t slot = DataModuleView::ProcOffset(s.own);
        v.SetProcId(s.own, 0);
        v.Base()[slot + proc::kModuleName] = 0;
        v.SetProcState(s.own, PROC_STATE_TERMINATED);
    }
    s.own = 0;
    s.segment.Reset();
    s.linked = false;
    s.linkOnly = false;
    return TMGRIF_OK;
}

T_uint_16 TMGRIF_getsize(T_TMGRIF_cfg* cfg) {
    TmgrifState& s = State();
    if (!s.linked) return TMGRIF_ERR_NOTLINKED;
    if (cfg == nullptr) return TMGRIF_ERR_ARG;
    nuvak::tmgr::DecodeConfig(s.segment.Data() + dm::kConfig, cfg);
    return TMGRIF_OK;
}

T_uint_16 TMGRIF_gethost(T_uint_16 index, T_TMGRIF_HostInfo* hostInfo) {
    TmgrifState& s = State();
    if (!s.linked) return TMGRIF_ERR_NOTLINKED;
    if (hostInfo == nullptr) return TMGRIF_ERR_ARG;
    // if_count is written by another program: never trust it beyond the
    // three entries the module holds.
    if (index >= View().Get16(dm::kIfCount) || index >= TMGR_NUM_HOST) return TMGRIF_ERR_RANGE;
    nuvak::tmgr::DecodeHost(s.segment.Data() + DataModuleView::HostOffset(index), hostInfo);
    return TMGRIF_OK;
}

T_uint_16 TMGRIF_checksig(T_uint_32 value) {
    if ((value & PROC_CHK_TYPE_MASK) != PROC_CHK_BASE) return TMGRIF_ERR_NOREQ;
    TmgrifState& s = State();
    s.source = static_cast<T_uint_16>(GET_SOURCE(value));
    s.pending = true;
    return TMGRIF_OK;
}

T_uint_16 TMGRIF_respond(T_uint_16 status) {
    TmgrifState& s = State();
    if (!s.linked) return TMGRIF_ERR_NOTLINKED;
    if (!s.pending) return TMGRIF_ERR_NOREQ;
    DataModuleView v = View();
    // process_count comes from another program; the table has 144 slots.
    if (s.source == 0 || s.source > v.Get16(dm::kProcessCount) || s.source > TMGR_MAX_PROC) {
        return TMGRIF_ERR_INVPROC;
    }
    T_uint_32 pid = v.ProcId(s.source);
    // A pid that does not fit pid_t (or names a process group) must not reach
    // sigqueue: a negative value there would mean "every process".
    if (pid == 0 || pid > 0x7FFFFFFFu) return TMGRIF_ERR_INVPROC;
    union sigval answer {};
    answer.sival_int = static_cast<int>(HCHK_ACK_SIG | (static_cast<T_uint_32>(s.own) << 16) | (status & 0xFu));
    if (sigqueue(static_cast<pid_t>(pid), SIGRTMAX - SYS_FRAMEWORK_SIGNAL_OFFSET, answer) != 0) {
        return TMGRIF_ERR_INVPROC;
    }
    s.pending = false;
    return TMGRIF_OK;
}

T_uint_16 TMGRIF_ownprocess(void) { return State().own; }

bool TMGRIF_islinked(void) { return State().linked; }
