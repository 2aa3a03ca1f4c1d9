// NuvakServer: the process's one application object. It receives everything
// that arrives: requests through the comm server (UDP 5110), monitor messages
// through the IPC mailbox (address 13), the one-second tour timer and the
// database update signals, and dispatches each to the tour manager of its
// group id or to the database manager.
//
// A request, from datagram to answer:
//
//   UDP 5110 -> FrameWorkImpl pass (socket readable) -> CommServer::OnEvent
//     -> server session: a repeat is answered from the stored answer here
//     -> NuvakServer::OnRequest -> XML codec Decode (CreateElement: this)
//     -> CsiSequence -> GetGroupSequenceId (also moves the timer pass's
//        resume key to this group) -> NuvakMgr::NuvakMessage (of that group,
//        made on first use; kept only for groups of this unit)
//     -> ProcessRequest: unit check, logical -> physical id, which running
//        tours must yield, the user -> NuvakCntl::ControlSequence
//     -> for each monitor of the step: MonClient::MonitorSelect
//        -> IPC block to monitor control (address 1)
//     <- NuvakMgr::NuvakResponse: "SET_RESPONSE" and the status written into
//        the request's own message -> CommServer::SendResponse (stored when
//        exactly once) -> UDP back to the requester's address and port.
//
// A monitor message, from mailbox to the next step of the exchange:
//
//   IPC 13 -> FrameWorkImpl pass (mailbox readable) -> EVENT_IPC
//     -> OnIpcEvent -> OnMonitorBlock (class 13 only) -> CsiMonCam
//     -> NuvakMgr::Route: the monitor client of the monitor at offset 20,
//        only if the message answers what that client sent: its last
//        message went out for the control block at offset 26, under the
//        global tour id at offset 52 (MonClient::Answers); anything else
//        is released and discarded, whichever tours or managers exist
//     -> NuvakMgr::Dispatch by primitive to the block at offset 26
//     -> NuvakCntl::Csi* -> MonClient state
//        -> the next IPC block (camera select, preset call) or idle.
//
// The one-second timer: NuvakTimer walks the managers from the resume key,
// at most five tours change step per pass (NuvakCntl::NuvakTimer).
//
// Ownership: the server owns the tables, the control table (with every
// control block and monitor client), the database manager, the managers, the
// comm endpoints, the mailbox and the timer. The framework is borrowed from
// main() and outlives the server.
#ifndef NUVAK_NUVAKSERVER_H
#define NUVAK_NUVAKSERVER_H

#include <map>
#include <memory>
#include <string>

#include "cameramessage.h"
#include "icommclient.h"
#include "icommserver.h"
#include "framework.h"
#include "itmgr.h"
#include "monmsg.h"
#include "databasemgr.h"
#include "gpresettable.h"
#include "nuvakcntltable.h"
#include "nuvakmgr.h"
#include "nuvaktable.h"

class NuvakServer : public IFrameWorkObserver,
                    public IFrameWorkClient,
                    public ICommServerUser,
                    public CameraElementFactory {
public:
    // The task manager link registers with the framework and answers the
    // health checks itself; the server only sets what they answer (not
    // serving while its request port is not bound).
    NuvakServer(unsigned short maxTours, unsigned short maxPresets, unsigned short unitId, IFrameWork& fw,
                ITMGR& tmgr);
    ~NuvakServer() override;
    NuvakServer(const NuvakServer&) = delete;
    NuvakServer& operator=(const NuvakServer&) = delete;

    bool OnEvent(EVENTTYPE type, unsigned int value) override;
    void OnRequest(std::string text) override;
    Element* CreateElement(const char* name, const char** attributes) override;
    void DestroyElement(std::string name, Element* element) override;
    void OnInit() override;
    void OnTerm() override;

    void CsiSequence(CameraMessage* message);
    // The group id of the message's first variable; also makes it the
    // resume key of the next timer pass (the requested tour is served first).
    unsigned long GetGroupSequenceId(CameraMessage* message);
    void CsiMonCam(IPCMessage* message, const T_ipchdr* block);
    // One block from the mailbox (owned by the call, which releases and
    // deletes it): monitor messages of class 13 go to CsiMonCam.
    void OnMonitorBlock(IPCMessage* message);
    void NuvakTimer();

    // For tests and diagnostics.
    unsigned long GetResumeKey() const { return resumeKey_; }
    std::size_t ManagerCount() const { return managers_.size(); }
    NuvakCntlTable* GetControlTable() const { return controls_.get(); }
    NuvakTable* GetTourTable() const { return tours_.get(); }
    GpresetTable* GetPresetTable() const { return presets_.get(); }
    unsigned short IsLCFS() const { return lcfs_; }

private:
    void OnSignalEvent(unsigned int code);
    void OnTimerEvent(unsigned int id);
    void OnIpcEvent();
    bool IsKnownGroup(unsigned long groupId) const;
    void AfterTourReload();
    static void ReportMissingDatabase();
    // Creates the comm server on port 5110; false when its port could not be
    // bound (it then receives nothing and is tried again every timer pass).
    bool OpenCommServer();
    void RetryCommServer();

    // What the server owns, declared so that the reverse order is a safe
    // teardown when OnTerm never ran (registration refused): managers, then
    // the control table, then the database manager and the tables they use.
    // OnTerm resets the tables and the database manager in its own order;
    // the destructor resets the managers and the control table before it
    // unregisters (the monitor clients hold the worker).
    std::unique_ptr<GpresetTable> presets_;
    std::unique_ptr<NuvakTable> tours_;
    std::unique_ptr<DatabaseMgr> database_;
    std::unique_ptr<NuvakCntlTable> controls_;
    std::map<unsigned long, std::unique_ptr<NuvakMgr>> managers_;

    unsigned short budget_ = 0;
    IFrameWorkServer* worker_ = nullptr;
    IIPC* mailbox_ = nullptr;
    ICommClient* commClient_ = nullptr;
    ICommServer* commServer_ = nullptr;
    ITimer* tourTimer_ = nullptr;
    unsigned int tourTimerId_ = 0;
    unsigned long resumeKey_ = 0xFFFFFFFFul;
    unsigned short unitId_;
    unsigned short area_ = 0;
    IFrameWork* fw_ = nullptr;
    unsigned short lcfs_ = 0;
    // Port 5110 not bound: health checks say so, the bind is retried on
    // the tour timer, and a line is printed once a minute.
    bool serving_ = false;
    std::uint64_t deafSinceMs_ = 0, nextDeafReportMs_ = 0;
};

#endif
