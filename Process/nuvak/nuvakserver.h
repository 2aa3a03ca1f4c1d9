// NuvakServer: the process's one application object. It receives everything
// that arrives: requests through the comm server (UDP 5110), monitor messages
// through the IPC mailbox (address 13), the one-second tour timer and the
// database update signals, and dispatches each to the tour manager of its
// group id or to the database manager.
//
// Ownership: the server owns the tables, the control table (with every
// control block and monitor client), the database manager, the managers, the
// comm endpoints, the mailbox and the timer. The framework and the task
// manager link are borrowed from main() and outlive the server.
#ifndef NUVAK_NUVAKSERVER_H
#define NUVAK_NUVAKSERVER_H

#include <map>
#include <string>

#include "cameramessage.h"
#include "icommclient.h"
#include "icommserver.h"
#include "framework.h"
#include "itmgr.h"
#include "monmsg.h"

class DatabaseMgr;
class GpresetTable;
class NuvakCntlTable;
class NuvakMgr;
class NuvakTable;

class NuvakServer : public IFrameWorkObserver,
                    public IFrameWorkClient,
                    public ICommServerUser,
                    public CameraElementFactory {
public:
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
    unsigned long GetGroupSequenceId(CameraMessage* message);
    void CsiMonCam(IPCMessage* message, const T_ipchdr* block);
    // One block from the mailbox (owned by the call, which releases and
    // deletes it): monitor messages of class 13 go to CsiMonCam.
    void OnMonitorBlock(IPCMessage* message);
    void NuvakTimer();

    // For tests and diagnostics.
    unsigned long GetResumeKey() const { return resumeKey_; }
    std::size_t ManagerCount() const { return managers_.size(); }
    bool HasManager(unsigned long groupId) const { return managers_.count(groupId) != 0; }
    NuvakCntlTable* GetControlTable() const { return controls_; }
    NuvakTable* GetTourTable() const { return tours_; }
    GpresetTable* GetPresetTable() const { return presets_; }
    unsigned short IsLCFS() const { return lcfs_; }
    ITMGR& GetTaskManagerLink() const { return tmgr_; }

private:
    void OnSignalEvent(unsigned int code);
    void OnTimerEvent(unsigned int id);
    void OnIpcEvent();
    bool IsKnownGroup(unsigned long groupId) const;
    void CsiMonCamUnserved(const T_MON_msg& monitor);
    void AfterTourReload();
    static void ReportMissingDatabase();

    unsigned short budget_ = 0;
    DatabaseMgr* database_ = nullptr;
    ITMGR& tmgr_;
    IFrameWorkServer* worker_ = nullptr;
    IIPC* mailbox_ = nullptr;
    ICommClient* commClient_ = nullptr;
    ICommServer* commServer_ = nullptr;
    ITimer* tourTimer_ = nullptr;
    unsigned int tourTimerId_ = 0;
    NuvakCntlTable* controls_ = nullptr;
    NuvakTable* tours_ = nullptr;
    GpresetTable* presets_ = nullptr;
    std::map<unsigned long, NuvakMgr*> managers_;
    unsigned long resumeKey_ = 0xFFFFFFFFul;
    unsigned short unitId_;
    unsigned short area_ = 0;
    IFrameWork* fw_ = nullptr;
    unsigned short lcfs_ = 0;
};

#endif
