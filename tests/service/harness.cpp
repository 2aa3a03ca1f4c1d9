#include "harness.h"

#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <memory>
#include <stdexcept>

#include "cameramessage.h"
#include "ixmlcodec.h"
#include "sysdefs.h"

namespace e2e {

namespace {

std::string g_reports;

nuvak::rig::Options RigOptions(const Options& o) {
    nuvak::rig::Options r;
    r.unit = o.unit;
    r.description = o.description;
    r.monctlArgs = o.monctlArgs;
    if (o.lcfs) r.tmgrArgs.push_back("--lcfs");
    return r;
}

// The answer's message and variable, decoded as a client would.
Answer Decode(const nuvak::rig::Reply& reply) {
    Answer answer;
    if (!reply.received) return answer;
    answer.received = true;
    answer.text = reply.text;
    IXMLCodec* codec = nullptr;
    CreateXMLCodec(&codec);
    CameraElementFactory factory;
    Message* m = nullptr;
    std::string text = answer.text;
    codec->Decode(&text, &factory, &m);
    DestroyXMLCodec(&codec);
    std::unique_ptr<Message> owned(m);
    if (auto* cm = dynamic_cast<CameraMessage*>(m)) {
        answer.action = cm->GetActionType();
        answer.error = cm->GetErrorStatus();
        Variable* v = nullptr;
        if (cm->GetVariable(0, &v) == TRUE && v != nullptr) {
            answer.hasVariable = true;
            if (auto* g = dynamic_cast<CameraVariableGroup*>(v)) {
                answer.returnCode = g->GetReturnCode();
                answer.state = g->GetState();
            } else if (auto* gm = dynamic_cast<CameraVariableGroupMonitor*>(v)) {
                answer.returnCode = gm->GetReturnCode();
                answer.monList = gm->GetMonList();
            }
        }
    }
    return answer;
}

}  // namespace

std::string TakeServiceReports() {
    std::string r;
    r.swap(g_reports);
    return r;
}

Installation::Installation(const Options& o) : rig_(RigOptions(o)) {}

Installation::~Installation() {
    // Orderly stop, so that a sanitizer build reports leaks at exit too.
    if (rig_.Service().Running()) {
        const int status = rig_.StopService(std::chrono::seconds(20));
        if (status != 0) g_reports += "service exit status " + std::to_string(status) + "\n";
    }
    g_reports += nuvak::rig::SanitizerReport(rig_.Service().Output());
}

Answer Installation::Raw(const std::string& xml, std::chrono::milliseconds wait) {
    return Decode(rig_.Request(xml, wait));
}

Answer Installation::Group(unsigned long logical, unsigned short type, unsigned short action,
                           unsigned long priority, unsigned short device, unsigned short monitor,
                           unsigned short user, int unit) {
    return Raw(nuvak::rig::GroupXml(rig_.Unit(), logical, type, action, priority, device, monitor, user, unit));
}

Answer Installation::Check(unsigned long logical, unsigned short type, int unit) {
    return Raw(nuvak::rig::CheckXml(rig_.Unit(), logical, type, unit), std::chrono::milliseconds(1000));
}

void Installation::RewriteDatabase(const std::string& description, bool inPlace) {
    if (!rig_.WriteDatabase(description, inPlace)) throw std::runtime_error("nuvak-dbtool write failed");
}

void Installation::RestartMonctl() {
    rig_.KillMonctl(SIGINT);
    rig_.StartMonctl();
}

bool Installation::IpcSlotTaken(unsigned short address) const {
    // The IPC table (shm 0x1009): slots of 284 bytes, a taken one has a
    // non-zero first 16-bit field.
    const int id = shmget(0x1009, 0, 0);
    if (id < 0) return false;
    void* p = shmat(id, nullptr, SHM_RDONLY);
    if (p == reinterpret_cast<void*>(-1)) return false;
    const unsigned char* slot = static_cast<const unsigned char*>(p) + 284u * address;
    const bool taken = (slot[0] | (slot[1] << 8)) != 0;
    shmdt(p);
    return taken;
}

}  // namespace e2e
