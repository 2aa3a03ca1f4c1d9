// The task manager link.
#include "itmgr.h"

#include <cstdio>
#include <string>

bool ITMGR::_bRegistered = false;
int ITMGR::_linkCounter = 0;
T_uint_16 ITMGR::_healthStatus = PROC_STATE_OK;

std::string ITMGR::LinkFailure() {
    const int err = TMGRIF_attacherror();
    char text[96];
    std::snprintf(text, sizeof text, "TMGRIF_link(task manager data module, shared memory key 0x%X): ", KEY_TMGR);
    return text + (err > 0 ? SystemReason(err) : err < 0 ? std::string("segment smaller than the data module")
                                                         : std::string("not attached"));
}

ITMGR::ITMGR(IFrameWork& fw, unsigned short process, const char* name) {
    if (!_bRegistered) {
        if (fw.Register(*this, &worker)) {
            framework = &fw;
            listening = worker->CreateSignalListener(*this, PRIORITY_HIGH, PROC_CHK_BASE, PROC_CHK_TYPE_MASK, 1);
            if (!listening)
                ReportSetupFailure("task manager link: " + LastSetupError() + "; health checks go unanswered");
        } else {
            worker = nullptr;
            ReportSetupFailure("task manager link: IFrameWork::Register refused; health checks go unanswered");
        }
        // The process runs on without the task manager's supervision; the
        // reason is said once (a data module that cannot be attached is the
        // same line main() gives).
        const T_uint_16 rc = TMGRIF_register(process, name);
        if (rc == TMGRIF_ERR_ATTACH)
            ReportSetupFailure(LinkFailure());
        else if (rc != TMGRIF_OK)
            ReportSetupFailure("TMGRIF_register(process " + std::to_string(process) + "): refused (code " +
                               std::to_string(rc) + ")");
        _bRegistered = true;
    }
    ++_linkCounter;
}

ITMGR::ITMGR(IFrameWork& fw) {
    if (fw.Register(*this, &worker)) {
        framework = &fw;
    } else {
        worker = nullptr;
    }
    if (_linkCounter == 0 && TMGRIF_link() != TMGRIF_OK) {
        std::printf("Unable to link to task manager data module..\n");
        std::fflush(stdout);
    }
    ++_linkCounter;
}

ITMGR::~ITMGR() {
    if (worker != nullptr && listening) worker->DestroySignalListener(PROC_CHK_BASE);
    if (_linkCounter > 0) --_linkCounter;
    if (_linkCounter == 0) {
        TMGRIF_unregister();
        _bRegistered = false;
    }
    // Every object that registered unregisters its own worker, whatever the
    // count: a worker left behind would call OnTerm() on a destroyed object
    // when the framework ends.
    if (framework != nullptr) framework->UnRegister(worker);
}

bool ITMGR::OnEvent(EVENTTYPE type, unsigned int value) {
    if (type != EVENT_SIGNAL || (value & PROC_CHK_TYPE_MASK) != PROC_CHK_BASE) return true;
    if (TMGRIF_checksig(value) != TMGRIF_OK) {
        std::printf("OnEvent: TMGRIF_checksig could not acknowladge signal!\n");
    } else if (TMGRIF_respond(_healthStatus) != TMGRIF_OK) {
        std::printf("OnEvent: TMGRIF_respond could not respond to signal!\n");
    }
    std::fflush(stdout);
    return true;
}

namespace {

// Runs `call` with the data module attached: when nothing in the process
// holds it, attaches for the call and detaches again. A link made by main()
// (TMGRIF_link before any ITMGR) is left as it is.
template <typename Call>
T_uint_16 WithLink(int liveLinks, Call call) {
    if (liveLinks > 0 || TMGRIF_islinked()) return call();
    T_uint_16 rc = TMGRIF_link();
    if (rc != TMGRIF_OK) return rc;
    rc = call();
    TMGRIF_unregister();
    return rc;
}

}  // namespace

T_uint_16 ITMGR::Getsize(T_TMGRIF_cfg* cfg) {
    return WithLink(_linkCounter, [cfg] { return TMGRIF_getsize(cfg); });
}

T_uint_16 ITMGR::Gethost(unsigned short index, T_TMGRIF_HostInfo* hostInfo) {
    return WithLink(_linkCounter, [index, hostInfo] { return TMGRIF_gethost(index, hostInfo); });
}
