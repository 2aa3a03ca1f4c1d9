#include "commendpoint.h"

#include <set>
#include <string>

#include "icommserver.h"
#include "itmgr.h"

namespace {

constexpr unsigned long kLoopback = 0x7F000001ul;

// The owners whose endpoint has its socket open (one or two per process).
std::set<const IFrameWorkObserver*>& Listening() {
    static std::set<const IFrameWorkObserver*> owners;
    return owners;
}

std::string Prefix(const char* name, unsigned short port) {
    return std::string(name) + " (port " + std::to_string(port) + "): ";
}

// The unit's host interfaces as the task manager publishes them. False when
// its configuration cannot be read (reported).
bool ReadLocalHosts(unsigned long (&ipa)[3], bool& anyHost, const std::string& prefix) {
    T_TMGRIF_cfg cfg;
    const T_uint_16 rc = ITMGR::Getsize(&cfg);
    if (rc != TMGRIF_OK) {
        if (rc == TMGRIF_ERR_NOTLINKED || rc == TMGRIF_ERR_ATTACH)
            ReportSetupFailure(ITMGR::LinkFailure());
        else
            ReportSetupFailure(prefix + "TMGRIF_getsize(task manager configuration): code " + std::to_string(rc));
        return false;
    }
    anyHost = false;
    for (unsigned short i = 0; i < 3; ++i) {
        T_TMGRIF_HostInfo info;
        if (ITMGR::Gethost(i, &info) == 0) {
            ipa[i] = info.if_ipa;
            anyHost = true;
        }
    }
    if (!anyHost)
        ReportSetupFailure("TMGRIF_gethost(host entries 0-2): the task manager lists none; only 127.0.0.1 "
                           "counts as a local address");
    return true;
}

}  // namespace

bool CommEndpoint::IsLocal(unsigned long ipa) const {
    if (ipa == 0) return false;
    if (ipa == kLoopback) return true;
    for (unsigned long local : localIPA)
        if (local != 0 && local == ipa) return true;
    return false;
}

void CommEndpoint::DestroySocket() {
    if (socket != nullptr && socketWorker != nullptr) socketWorker->DestroySocket(socket->GetSocketId());
    socket = nullptr;
    if (owner != nullptr) Listening().erase(owner);
    owner = nullptr;
}

bool CommEndpointListening(const IFrameWorkObserver* owner) {
    return owner != nullptr && Listening().count(owner) != 0;
}

bool CommServerListening(const ICommServer* server) {
    return CommEndpointListening(dynamic_cast<const IFrameWorkObserver*>(server));
}

void CommEndpoint::Close() {
    DestroySocket();
    if (timer != nullptr) sessionWorker->DestroyTimer(timer);
    timer = nullptr;
    if (framework != nullptr) {
        framework->UnRegister(socketWorker);
        framework->UnRegister(sessionWorker);
    }
    socketWorker = sessionWorker = nullptr;
    framework = nullptr;
}

unsigned short OpenCommEndpoint(CommEndpoint& ep, IFrameWork& fw, IFrameWorkClient& client,
                                IFrameWorkObserver& observer, const char* name, unsigned short port,
                                bool useTaskManager, CommWorkerOrder order, EVENTPRIORITY timerPriority) {
    const std::string prefix = Prefix(name, port);
    unsigned short error = 0;
    if (useTaskManager) {
        bool anyHost = false;
        if (!ReadLocalHosts(ep.localIPA, anyHost, prefix)) return 0xFFFF;
        if (!anyHost) error = 0xFFFF;  // construction goes on
    }
    IFrameWorkServer** first = order == CommWorkerOrder::SocketFirst ? &ep.socketWorker : &ep.sessionWorker;
    IFrameWorkServer** second = order == CommWorkerOrder::SocketFirst ? &ep.sessionWorker : &ep.socketWorker;
    if (!fw.Register(client, first)) {
        *first = nullptr;
        ReportSetupFailure(prefix + "IFrameWork::Register: refused");
        return 0xFFFF;
    }
    ep.framework = &fw;
    if (!fw.Register(client, second)) {
        *second = nullptr;
        ReportSetupFailure(prefix + "IFrameWork::Register: refused");
        return 0xFFFF;
    }
    if (!ep.sessionWorker->CreateTimer(observer, true, timerPriority, &ep.timer)) {
        ep.timer = nullptr;
        ReportSetupFailure(prefix + LastSetupError());
        return 0xFFFF;
    }
    if (ep.socketWorker->CreateSocket(observer, 0, port, PRIORITY_HIGH, &ep.socket, FW_SOCKET_DATAGRAM) != 0) {
        ep.socket = nullptr;
        ReportSetupFailure(prefix + LastSetupError());
        return 0xFFFF;
    }
    WidenReceiveBuffer(ep.socket->GetSocketId());
    ep.owner = &observer;
    Listening().insert(ep.owner);
    return error;
}
