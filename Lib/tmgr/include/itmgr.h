// The task manager link: the object through which a process is known to the
// task manager. The registering form enters the process into its slot of the
// data module and answers health checks from the framework loop; the
// non-registering form only keeps the data module attached. The static
// accessors give the rest of the process the configuration and host records.
//
// Lifetime: build it after CreateFrameWork() and destroy it before
// DestroyFrameWork(); the framework must outlive it. The last live ITMGR of
// the process frees the process slot and detaches the data module.
//
// Health check: a queued value in [0xE800E800, 0xEBFFEBFF] on the framework
// signal is answered with TMGRIF_respond(PROC_STATE_OK); for process 51 the
// requester receives 0xEC33EC0E. A process that is alive but cannot do its
// work (the service without its request port) answers another state, set
// with SetHealthStatus, until it can again.
#ifndef ITMGR_H
#define ITMGR_H

#include <string>

#include "framework.h"
#include "tmgrif.h"

class ITMGR : public IFrameWorkObserver, public IFrameWorkClient {
public:
    // Registering form (main() uses process PROC_NUVAK, name "NUVAK"). Only
    // the first registering ITMGR of the process registers with the framework,
    // listens for health requests and takes the process slot; later ones only
    // count.
    ITMGR(IFrameWork& fw, unsigned short process, const char* name);
    // Non-registering form: registers with the framework and, as the first
    // link of the process, attaches the data module (a failure is printed and
    // the object carries on).
    explicit ITMGR(IFrameWork& fw);
    ~ITMGR() override;

    ITMGR(const ITMGR&) = delete;
    ITMGR& operator=(const ITMGR&) = delete;

    // Answers health requests; every other event is ignored. Always true.
    bool OnEvent(EVENTTYPE type, unsigned int value) override;

    // TMGRIF_getsize / TMGRIF_gethost. With no ITMGR alive and the data module
    // not attached, the call attaches before and detaches after.
    static T_uint_16 Getsize(T_TMGRIF_cfg* cfg);
    static T_uint_16 Gethost(unsigned short index, T_TMGRIF_HostInfo* hostInfo);

    // "TMGRIF_link(task manager data module, shared memory key 0x1001): "
    // and the system's reason of the last failed attach: the one line by
    // which every part of the process reports a missing data module.
    static std::string LinkFailure();

    // The state health checks are answered with from now on (the answer
    // carries its low 4 bits): PROC_STATE_OK (the initial value) while the
    // process serves, PROC_STATE_UNKNOWN (answered as 0) while it does not.
    static void SetHealthStatus(T_uint_16 status) { _healthStatus = status; }

    // Diagnostics for tests.
    static bool IsRegistered() { return _bRegistered; }
    static int LinkCount() { return _linkCounter; }

private:
    IFrameWorkServer* worker = nullptr;  // from Register; null when this object did not register
    IFrameWork* framework = nullptr;     // borrowed; must outlive this object
    bool listening = false;              // this object owns the health-request listener

    static bool _bRegistered;
    static int _linkCounter;
    static T_uint_16 _healthStatus;
};

#endif
