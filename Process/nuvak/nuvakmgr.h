// NuvakMgr: everything addressed to one global group id (unit * 10,000,000 +
// logical id). It checks a decoded request, turns it into operations on the
// group's control block, writes the outcome into the variable and the message
// and sends the message back as the response. It also passes the server's
// one-second tick to its tour and routes monitor messages to the block.
#ifndef NUVAK_NUVAKMGR_H
#define NUVAK_NUVAKMGR_H

#include <string>
#include <vector>

#include "icommclient.h"
#include "icommserver.h"
#include "framework.h"
#include "monmsg.h"

class CameraMessage;
class CameraVariableGroup;
class CameraVariableGroupMonitor;
class Gpreset;
class NuvakCntl;
class NuvakCntlTable;

class NuvakMgr : public ICommClientUser {
public:
    // Every pointer is borrowed and must outlive the manager. The comm client
    // is part of the creation call but unused: a manager sends no requests of
    // its own (OnResponse does nothing); it answers through the comm server.
    NuvakMgr(ICommClient* client, ICommServer* server, IFrameWorkServer* worker, NuvakCntlTable* table,
             unsigned long userMonitor, unsigned long tourId, unsigned short unit, unsigned short area);
    ~NuvakMgr() override = default;

    void OnResponse(unsigned short unit, std::string text) override;

    // The request entry: the message stays the caller's. Answers through the
    // comm server and returns the status sent.
    unsigned short NuvakMessage(CameraMessage* message);
    // 0xFFFF when a step was applied, else 0.
    unsigned short NuvakTimer(unsigned long key);
    // A monitor message: see Route.
    void CsiMonCam(const T_MON_msg* message);
    // The server clears it when its comm server is destroyed.
    void SetCommServer(ICommServer* server) { commServer_ = server; }
    void SetNuvakId(unsigned long id) { tourId_ = static_cast<T_uint_32>(id); }
    unsigned long GetNuvakId() const { return tourId_; }
    IFrameWorkServer* GetWorker() const { return worker_; }
    unsigned short GetArea() const { return area_; }

    unsigned short ProcessRequest(CameraVariableGroup* variable);
    unsigned short ProcessSequence(CameraVariableGroup* variable);
    unsigned short ProcessPreset(CameraVariableGroup* variable);
    unsigned short ProcessSeize(CameraVariableGroup* variable);
    unsigned short ProcessCheck(CameraVariableGroupMonitor* variable);
    // May this request take the monitors, and which tours must yield: stops
    // them and answers 0, or refuses with a status.
    unsigned short CheckActiveTours(NuvakCntl* control, CameraVariableGroup* variable, unsigned short id);
    unsigned short GetNuvaks(Gpreset* preset, unsigned short id, std::vector<unsigned short>& list,
                             CameraVariableGroup* variable);
    unsigned short NuvakResponse(CameraMessage* message);
    static bool IsGroupPreset(const T_MON_msg* message);
    // A monitor message drives a monitor client only when it answers what
    // that client has outstanding: the client of the monitor at offset 20
    // whose last message went out for the block id at offset 26 under the
    // global tour id at offset 52 (MonClient::Answers). Then it goes to that
    // block by its primitive; anything else is left for the caller to
    // release and discard (false).
    static bool Route(NuvakCntlTable* table, const T_MON_msg* message);
    // Hands one monitor message to a control block by its primitive; every
    // other primitive, or no block, is ignored.
    static void Dispatch(NuvakCntl* control, unsigned short id, const T_MON_msg* message);

private:
    bool ForThisUnit(T_uint_32 groupId) const;
    T_uint_32 UserMonitorHere() const;
    unsigned short FindTour(T_uint_32 groupId, unsigned short& id, NuvakCntl*& control) const;

    ICommServer* commServer_;
    IFrameWorkServer* worker_;
    NuvakCntlTable* table_;
    T_uint_32 tourId_;
    unsigned short unit_;
    T_uint_32 userMonitor_;
    unsigned short area_;
};

#endif
