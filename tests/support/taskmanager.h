// Test helpers around the task manager: its data module created for a test
// and removed after it, and its health-check signal (the framework signal)
// blocked so that values queued to this process are collected with
// sigtimedwait. Used by the task manager library's tests, the comm tests and
// the end-to-end health tests of nuvak-tmgr.
#ifndef NUVAK_TESTS_SUPPORT_TASKMANAGER_H
#define NUVAK_TESTS_SUPPORT_TASKMANAGER_H

#include <signal.h>
#include <time.h>

#include <cstring>
#include <vector>

#include "sharedmem.h"
#include "sysdefs.h"
#include "tmgrdm.h"
#include "tmgrif.h"

namespace nuvak::tmgrtest {

inline int HealthSignal() { return SIGRTMAX - SYS_FRAMEWORK_SIGNAL_OFFSET; }

// Blocks the health signal in this thread (children forked later inherit it).
inline void BlockHealthSignal(sigset_t* old = nullptr) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, HealthSignal());
    sigprocmask(SIG_BLOCK, &set, old);
}

// The next queued health signal within `ms` milliseconds.
inline bool NextHealthSignal(siginfo_t* info, int ms) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, HealthSignal());
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    return sigtimedwait(&set, info, &ts) == HealthSignal();
}

// The signal blocked for a scope; what is left queued is drained at its end.
class BlockedHealthSignal {
public:
    BlockedHealthSignal() { BlockHealthSignal(&old_); }
    ~BlockedHealthSignal() {
        siginfo_t info{};
        while (NextHealthSignal(&info, 0)) {
        }
        sigprocmask(SIG_SETMASK, &old_, nullptr);
    }
    BlockedHealthSignal(const BlockedHealthSignal&) = delete;
    BlockedHealthSignal& operator=(const BlockedHealthSignal&) = delete;
    // The next queued value and its sender, or false after `ms`.
    bool Next(unsigned* value, pid_t* from, int ms = 1000) {
        siginfo_t info{};
        if (!NextHealthSignal(&info, ms)) return false;
        *value = static_cast<unsigned>(info.si_value.sival_int);
        *from = info.si_pid;
        return true;
    }

private:
    sigset_t old_;
};

// A data module at the task manager's key as a task manager publishes it:
// `processes` process slots, the configuration and the host entries (as
// many as given), the rest zero. Removed with this object.
class TestDataModule {
public:
    explicit TestDataModule(const T_TMGRIF_cfg& cfg = {}, const std::vector<T_TMGRIF_HostInfo>& hosts = {},
                            unsigned short processes = TMGR_MAX_PROC) {
        using namespace nuvak::tmgr;
        ok_ = seg_.Create(KEY_TMGR, TMGR_DM_SIZE) == 0;
        if (!ok_) return;
        std::memset(seg_.Data(), 0, TMGR_DM_SIZE);
        View().Set16(dm::kProcessCount, processes);
        View().Set16(dm::kIfCount, static_cast<T_uint_16>(hosts.size()));
        EncodeConfig(cfg, seg_.Data() + dm::kConfig);
        for (std::size_t i = 0; i < hosts.size(); ++i)
            EncodeHost(hosts[i], seg_.Data() + DataModuleView::HostOffset(static_cast<unsigned>(i)));
    }
    ~TestDataModule() {
        const int id = seg_.Id();
        seg_.Reset();
        if (ok_) Shm_Remove(id);
    }
    TestDataModule(const TestDataModule&) = delete;
    TestDataModule& operator=(const TestDataModule&) = delete;
    bool Ok() const { return ok_; }
    unsigned char* Data() { return seg_.Data(); }
    nuvak::tmgr::DataModuleView View() { return nuvak::tmgr::DataModuleView(seg_.Data()); }

private:
    nuvak::tmgr::ShmAttachment seg_;
    bool ok_ = false;
};

}  // namespace nuvak::tmgrtest

#endif
