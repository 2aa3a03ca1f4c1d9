// The camera message and its variable catalogue.
//
// All XML traffic uses one message class, CameraMessage (root tag "Camera"),
// which carries a header and an ordered list of variables. Each variable
// class below lists its fields in their fixed order: the order of the value
// constructor's parameters, the order of the attributes written, and the set
// of attribute names recognised when built from parsed attributes (together
// with "VariableType"). Fields marked "omitted when 0" (or empty, for text)
// are left out of the written text; all others are always written.
//
// Reading numbers from attributes: 16-bit fields as atoi() truncated to 16
// bits; 32-bit fields as strtoul() base 10, values beyond 32 bits saturate at
// 4294967295. Unknown attribute names are ignored; a repeated attribute
// overwrites the earlier value; an absent one leaves 0 (text: empty).
//
// Building a request:
//     CameraMessage msg("SET", requestId, unit, 0, monitorId, 0, 0);
//     msg.AddElement(new CameraVariableGroup(groupId, MON_TOUR_TYP_GRP, device,
//                                            user, priority, MON_TOUR_ACT_RUN, 0, 0));
//     std::string text;
//     msg.SerializeElement(text, 0);     // appends the whole document
#ifndef CAMERAMESSAGE_H
#define CAMERAMESSAGE_H

#include <memory>
#include <string>
#include <vector>

#include "message.h"

namespace nuvak::msg {
struct CameraFields;  // the field tables that parse and write each class
}

// The root "Camera" element. Owns the elements it stores.
class CameraMessage : public Message {
public:
    // Header "Camera", the given values and an empty element list.
    CameraMessage(std::string actionType, unsigned short requestId, unsigned short sourceUnit,
                  unsigned short errorStatus, unsigned long monitorId, unsigned short switchId,
                  unsigned short monDevType);
    // Header "Camera", everything 0 or empty, then each recognised attribute
    // applied: "ActionType", "RequestID", "SourceUnit", "ErrorStatus",
    // "MonitorID" (32-bit), "MonSwitchID", "MonDevType".
    explicit CameraMessage(const char** attributes);
    CameraMessage(const CameraMessage&) = delete;
    CameraMessage& operator=(const CameraMessage&) = delete;
    // Deletes every element still in the list.
    ~CameraMessage() override;

    // Appends a variable and takes ownership: TRUE. FALSE (ownership stays
    // with the caller) for null, for an element that is not a Variable (a
    // message inside a message would write a second XML declaration in the
    // middle of the document), and once the list holds 65535 slots, the most
    // a 16-bit index can reach.
    unsigned short AddElement(Element* child) override;
    // Writes the whole document, XML declaration included, at `depth`
    // (0 for a document) and appends it to `out`. Emptied slots are skipped.
    unsigned short SerializeElement(std::string& out, unsigned short depth) const override;

    unsigned short GetElementCount() const override;
    unsigned short GetVariable(unsigned short index, Variable** out) override;

    // Empties the first slot holding `element` (the slot stays in the list)
    // and deletes the element. An element not in the list is left alone.
    void RemoveElement(Element* element);
    // Deletes every element and empties the list.
    void RemoveElement();

    void SetMonitorID(unsigned long monitorId) { m_MonitorID = static_cast<T_uint_32>(monitorId); }
    void SetSwitchId(unsigned short switchId) { m_MonSwitchID = switchId; }
    void SetMonDevType(unsigned short monDevType) { m_MonDevType = monDevType; }
    unsigned long GetMonitorID() const { return m_MonitorID; }
    unsigned short GetMonSwitchID() const { return m_MonSwitchID; }
    unsigned short GetMonDevType() const { return m_MonDevType; }

private:
    T_uint_32 m_MonitorID = 0;  // global monitor id; unit = MonitorID / 10,000,000
    T_uint_16 m_MonSwitchID = 0;
    T_uint_16 m_MonDevType = 0;
    std::vector<std::unique_ptr<Element>> m_Elements;  // a null entry is an emptied slot
};

// Builds camera elements from tag names (compared exactly):
//   "Camera" CameraMessage, "CameraSeize" CameraVariableSeize,
//   "CameraPreset" CameraVariablePreset, "CameraReceiver" CameraVariableReceiver,
//   "CameraMenu" CameraVariableMenu, "CameraSequence" CameraVariableSequence,
//   "CameraControl" CameraVariableControl, "MonitorStatus" CameraVariableMonstat,
//   "CameraDvrControl" CameraVariableDvrControl,
//   "CameraFunctionCode" CameraVariableFuncCode, "CameraGroup" CameraVariableGroup,
//   "CameraGroupMonitor" CameraVariableGroupMonitor; null for any other name.
// The remaining seven variable classes can be written but are not built here.
// Usable as it stands; the tour server derives from it.
class CameraElementFactory : public ElementFactory {
public:
    ~CameraElementFactory() override = default;
    // A new element owned by the caller, or null for an unknown name.
    Element* CreateElement(const char* name, const char** attributes) override;
    // Does nothing.
    void DestroyElement(std::string name, Element* element) override;
};

// "CameraSeize": Command u16; CameraID u32; DeviceID u16; UserID u16; then,
// each omitted when 0 or empty: Priority u32; ConnState u16; vport u32;
// cport u32; CamType u16; SrcTimeDate u16; SrcCamID u16; SrcCamTitle u16;
// SrcType u16; BitRate u16; SwitchID u16; StrCamTitle text; VarReturnCode u16.
class CameraVariableSeize : public Variable {
public:
    CameraVariableSeize(unsigned short command, T_uint_32 cameraId, unsigned short deviceId,
                        unsigned short userId, T_uint_32 priority = 0, unsigned short connState = 0,
                        T_uint_32 vport = 0, T_uint_32 cport = 0, unsigned short camType = 0,
                        unsigned short srcTimeDate = 0, unsigned short srcCamId = 0,
                        unsigned short srcCamTitle = 0, unsigned short srcType = 0,
                        unsigned short bitRate = 0, unsigned short switchId = 0,
                        std::string strCamTitle = std::string(), unsigned short returnCode = 0);
    explicit CameraVariableSeize(const char** attributes);
    unsigned short SerializeElement(std::string& out, unsigned short depth) const override;

    void SetCommand(unsigned short v) { m_Command = v; }
    void SetCameraID(T_uint_32 v) { m_CameraID = v; }
    void SetDeviceID(unsigned short v) { m_DeviceID = v; }
    void SetUserID(unsigned short v) { m_UserID = v; }
    void SetPriority(T_uint_32 v) { m_Priority = v; }
    void SetConnState(unsigned short v) { m_ConnState = v; }
    void SetVPort(T_uint_32 v) { m_vport = v; }
    void SetCPort(T_uint_32 v) { m_cport = v; }
    void SetCamType(unsigned short v) { m_CamType = v; }
    void SetSrcTimeDate(unsigned short v) { m_SrcTimeDate = v; }
    void SetSrcCamID(unsigned short v) { m_SrcCamID = v; }
    void SetSrcCamTitle(unsigned short v) { m_SrcCamTitle = v; }
    void SetSrcType(unsigned short v) { m_SrcType = v; }
    void SetBitRate(unsigned short v) { m_BitRate = v; }
    void SetSwitchId(unsigned short v) { m_SwitchID = v; }
    void SetStrCamTitle(std::string v) { m_StrCamTitle = std::move(v); }
    void SetReturnCode(unsigned short v) { m_VarReturnCode = v; }

    unsigned short GetCommand() const { return m_Command; }
    T_uint_32 GetCameraID() const { return m_CameraID; }
    unsigned short GetDeviceID() const { return m_DeviceID; }
    unsigned short GetUserID() const { return m_UserID; }
    T_uint_32 GetPriority() const { return m_Priority; }
    unsigned short GetConnState() const { return m_ConnState; }
    T_uint_32 GetVPort() const { return m_vport; }
    T_uint_32 GetCPort() const { return m_cport; }
    unsigned short GetCamType() const { return m_CamType; }
    unsigned short GetSrcTimeDate() const { return m_SrcTimeDate; }
    unsigned short GetSrcCamID() const { return m_SrcCamID; }
    unsigned short GetSrcCamTitle() const { return m_SrcCamTitle; }
    unsigned short GetSrcType() const { return m_SrcType; }
    unsigned short GetBitRate() const { return m_BitRate; }
    unsigned short GetSwitchID() const { return m_SwitchID; }
    const std::string& GetStrCamTitle() const { return m_StrCamTitle; }
    unsigned short GetReturnCode() const { return m_VarReturnCode; }
    unsigned short GetVarReturnCode() const { return m_VarReturnCode; }

private:
    friend struct nuvak::msg::CameraFields;
    T_uint_16 m_Command = 0;
    T_uint_32 m_CameraID = 0;
    T_uint_16 m_DeviceID = 0;
    T_uint_16 m_UserID = 0;
    T_uint_32 m_Priority = 0;
    T_uint_16 m_ConnState = 0;
    T_uint_32 m_vport = 0;
    T_uint_32 m_cport = 0;
    T_uint_16 m_CamType = 0;
    T_uint_16 m_SrcTimeDate = 0;
    T_uint_16 m_SrcCamID = 0;
    T_uint_16 m_SrcCamTitle = 0;
    T_uint_16 m_SrcType = 0;
    T_uint_16 m_BitRate = 0;
    T_uint_16 m_SwitchID = 0;
    std::string m_StrCamTitle;
    T_uint_16 m_VarReturnCode = 0;
};

// "CameraPreset": CameraID u32; PresetID u16; ProgSet u16; ScreenPosition u16;
// VarReturnCode u16.
class CameraVariablePreset : public Variable {
public:
    CameraVariablePreset(T_uint_32 cameraId, unsigned short presetId, unsigned short progSet,
                         unsigned short screenPosition, unsigned short returnCode);
    explicit CameraVariablePreset(const char** attributes);
    unsigned short SerializeElement(std::string& out, unsigned short depth) const override;

    void SetReturnCode(unsigned short v) { m_VarReturnCode = v; }

    T_uint_32 GetCameraID() const { return m_CameraID; }
    unsigned short GetPresetID() const { return m_PresetID; }
    unsigned short GetProgSet() const { return m_ProgSet; }
    unsigned short GetScreenPosition() const { return m_ScreenPosition; }
    unsigned short GetReturnCode() const { return m_VarReturnCode; }
    unsigned short GetVarReturnCode() const { return m_VarReturnCode; }

private:
    friend struct nuvak::msg::CameraFields;
    T_uint_32 m_CameraID = 0;
    T_uint_16 m_PresetID = 0;
    T_uint_16 m_ProgSet = 0;
    T_uint_16 m_ScreenPosition = 0;
    T_uint_16 m_VarReturnCode = 0;
};

// "CameraReceiver": CameraID u32; ControlType u16; ControlCode u16;
// ScreenPosition u16; VarReturnCode u16.
class CameraVariableReceiver : public Variable {
public:
    CameraVariableReceiver(T_uint_32 cameraId, unsigned short controlType,
                           unsigned short controlCode, unsigned short screenPosition,
                           unsigned short returnCode);
    explicit CameraVariableReceiver(const char** attributes);
    unsigned short SerializeElement(std::string& out, unsigned short depth) const override;

    void SetReturnCode(unsigned short v) { m_VarReturnCode = v; }

    T_uint_32 GetCameraID() const { return m_CameraID; }
    unsigned short GetControlType() const { return m_ControlType; }
    unsigned short GetControlCode() const { return m_ControlCode; }
    unsigned short GetScreenPosition() const { return m_ScreenPosition; }
    unsigned short GetReturnCode() const { return m_VarReturnCode; }
    unsigned short GetVarReturnCode() const { return m_VarReturnCode; }

private:
    friend struct nuvak::msg::CameraFields;
    T_uint_32 m_CameraID = 0;
    T_uint_16 m_ControlType = 0;
    T_uint_16 m_ControlCode = 0;
    T_uint_16 m_ScreenPosition = 0;
    T_uint_16 m_VarReturnCode = 0;
};

// "CameraSequence": SequenceID u32; SequenceType u16; Action u16; State u16;
// VarReturnCode u16.
class CameraVariableSequence : public Variable {
public:
    CameraVariableSequence(T_uint_32 sequenceId, unsigned short sequenceType,
                           unsigned short action, unsigned short state, unsigned short returnCode);
    explicit CameraVariableSequence(const char** attributes);
    unsigned short SerializeElement(std::string& out, unsigned short depth) const override;

    void SetReturnCode(unsigned short v) { m_VarReturnCode = v; }
    void SetState(unsigned short v) { m_State = v; }

    T_uint_32 GetSequenceID() const { return m_SequenceID; }
    unsigned short GetSequenceType() const { return m_SequenceType; }
    unsigned short GetAction() const { return m_Action; }
    unsigned short GetState() const { return m_State; }
    unsigned short GetReturnCode() const { return m_VarReturnCode; }
    unsigned short GetVarReturnCode() const { return m_VarReturnCode; }

private:
    friend struct nuvak::msg::CameraFields;
    T_uint_32 m_SequenceID = 0;
    T_uint_16 m_SequenceType = 0;
    T_uint_16 m_Action = 0;
    T_uint_16 m_State = 0;
    T_uint_16 m_VarReturnCode = 0;
};

// "CameraMenu": CameraID u32; ControlCode u16; VarReturnCode u16.
class CameraVariableMenu : public Variable {
public:
    CameraVariableMenu(T_uint_32 cameraId, unsigned short controlCode, unsigned short returnCode);
    explicit CameraVariableMenu(const char** attributes);
    unsigned short SerializeElement(std::string& out, unsigned short depth) const override;

    void SetReturnCode(unsigned short v) { m_VarReturnCode = v; }

    T_uint_32 GetCameraID() const { return m_CameraID; }
    unsigned short GetControlCode() const { return m_ControlCode; }
    unsigned short GetReturnCode() const { return m_VarReturnCode; }
    unsigned short GetVarReturnCode() const { return m_VarReturnCode; }

private:
    friend struct nuvak::msg::CameraFields;
    T_uint_32 m_CameraID = 0;
    T_uint_16 m_ControlCode = 0;
    T_uint_16 m_VarReturnCode = 0;
};

// "CameraControl": CameraID u32; DeviceID u16; ControlCode u16;
// ControlPort u16; VarReturnCode u16.
class CameraVariableControl : public Variable {
public:
    CameraVariableControl(T_uint_32 cameraId, unsigned short deviceId, unsigned short controlCode,
                          unsigned short controlPort, unsigned short returnCode);
    explicit CameraVariableControl(const char** attributes);
    unsigned short SerializeElement(std::string& out, unsigned short depth) const override;

    T_uint_32 GetCameraID() const { return m_CameraID; }
    unsigned short GetDeviceID() const { return m_DeviceID; }
    unsigned short GetControlCode() const { return m_ControlCode; }
    unsigned short GetControlPort() const { return m_ControlPort; }
    unsigned short GetReturnCode() const { return m_VarReturnCode; }
    unsigned short GetVarReturnCode() const { return m_VarReturnCode; }

private:
    friend struct nuvak::msg::CameraFields;
    T_uint_32 m_CameraID = 0;
    T_uint_16 m_DeviceID = 0;
    T_uint_16 m_ControlCode = 0;
    T_uint_16 m_ControlPort = 0;
    T_uint_16 m_VarReturnCode = 0;
};

// "MonitorStatus": CameraID u32; Status u16; VarReturnCode u16.
class CameraVariableMonstat : public Variable {
public:
    CameraVariableMonstat(T_uint_32 cameraId, unsigned short status, unsigned short returnCode);
    explicit CameraVariableMonstat(const char** attributes);
    unsigned short SerializeElement(std::string& out, unsigned short depth) const override;

    void SetReturnCode(unsigned short v) { m_VarReturnCode = v; }

    T_uint_32 GetCameraID() const { return m_CameraID; }
    unsigned short GetStatus() const { return m_Status; }
    unsigned short GetReturnCode() const { return m_VarReturnCode; }
    unsigned short GetVarReturnCode() const { return m_VarReturnCode; }

private:
    friend struct nuvak::msg::CameraFields;
    T_uint_32 m_CameraID = 0;
    T_uint_16 m_Status = 0;
    T_uint_16 m_VarReturnCode = 0;
};

// "CameraDvrControl": DvrID u32; ControlCode u16; ControlData u32; Status u16;
// VarReturnCode u16.
class CameraVariableDvrControl : public Variable {
public:
    CameraVariableDvrControl(T_uint_32 dvrId, unsigned short controlCode, T_uint_32 controlData,
                             unsigned short status, unsigned short returnCode);
    explicit CameraVariableDvrControl(const char** attributes);
    unsigned short SerializeElement(std::string& out, unsigned short depth) const override;

    void SetDvrID(T_uint_32 v) { m_DvrID = v; }
    void SetControlCode(unsigned short v) { m_ControlCode = v; }
    void SetControlData(T_uint_32 v) { m_ControlData = v; }
    void SetStatus(unsigned short v) { m_Status = v; }
    void SetReturnCode(unsigned short v) { m_VarReturnCode = v; }

    T_uint_32 GetDvrID() const { return m_DvrID; }
    unsigned short GetControlCode() const { return m_ControlCode; }
    T_uint_32 GetControlData() const { return m_ControlData; }
    unsigned short GetStatus() const { return m_Status; }
    unsigned short GetReturnCode() const { return m_VarReturnCode; }
    unsigned short GetVarReturnCode() const { return m_VarReturnCode; }

private:
    friend struct nuvak::msg::CameraFields;
    T_uint_32 m_DvrID = 0;
    T_uint_16 m_ControlCode = 0;
    T_uint_32 m_ControlData = 0;
    T_uint_16 m_Status = 0;
    T_uint_16 m_VarReturnCode = 0;
};

// "CameraFunctionCode": CameraID u32; FunctionCode u16; VarReturnCode u16.
class CameraVariableFuncCode : public Variable {
public:
    CameraVariableFuncCode(T_uint_32 cameraId, unsigned short functionCode,
                           unsigned short returnCode);
    explicit CameraVariableFuncCode(const char** attributes);
    unsigned short SerializeElement(std::string& out, unsigned short depth) const override;

    void SetReturnCode(unsigned short v) { m_VarReturnCode = v; }

    T_uint_32 GetCameraID() const { return m_CameraID; }
    unsigned short GetFunctionCode() const { return m_FunctionCode; }
    unsigned short GetReturnCode() const { return m_VarReturnCode; }
    unsigned short GetVarReturnCode() const { return m_VarReturnCode; }

private:
    friend struct nuvak::msg::CameraFields;
    T_uint_32 m_CameraID = 0;
    T_uint_16 m_FunctionCode = 0;
    T_uint_16 m_VarReturnCode = 0;
};

// "CameraGroup": GroupID u32; GroupType u16; DeviceID u16; UserID u16;
// Priority u32; Action u16; State u16; VarReturnCode u16. All always written.
// GroupType is one of MON_TOUR_TYP_*, Action one of MON_TOUR_ACT_* (sysdefs.h).
class CameraVariableGroup : public Variable {
public:
    CameraVariableGroup(T_uint_32 groupId, unsigned short groupType, unsigned short deviceId,
                        unsigned short userId, T_uint_32 priority, unsigned short action,
                        unsigned short state, unsigned short returnCode);
    explicit CameraVariableGroup(const char** attributes);
    unsigned short SerializeElement(std::string& out, unsigned short depth) const override;

    void SetReturnCode(unsigned short v) { m_VarReturnCode = v; }
    void SetState(unsigned short v) { m_State = v; }

    T_uint_32 GetGroupID() const { return m_GroupID; }
    unsigned short GetGroupType() const { return m_GroupType; }
    unsigned short GetDeviceID() const { return m_DeviceID; }
    unsigned short GetUserID() const { return m_UserID; }
    T_uint_32 GetPriority() const { return m_Priority; }
    unsigned short GetAction() const { return m_Action; }
    unsigned short GetState() const { return m_State; }
    unsigned short GetReturnCode() const { return m_VarReturnCode; }
    unsigned short GetVarReturnCode() const { return m_VarReturnCode; }

private:
    friend struct nuvak::msg::CameraFields;
    T_uint_32 m_GroupID = 0;
    T_uint_16 m_GroupType = 0;
    T_uint_16 m_DeviceID = 0;
    T_uint_16 m_UserID = 0;
    T_uint_32 m_Priority = 0;
    T_uint_16 m_Action = 0;
    T_uint_16 m_State = 0;
    T_uint_16 m_VarReturnCode = 0;
};

// "CameraGroupMonitor": GroupID u32; GroupType u16; GroupMonitor text
// (omitted when empty); VarReturnCode u16. GroupMonitor lists monitor
// numbers, each printed "%4d", without separators.
class CameraVariableGroupMonitor : public Variable {
public:
    CameraVariableGroupMonitor(T_uint_32 groupId, unsigned short groupType,
                               std::string groupMonitor, unsigned short returnCode);
    explicit CameraVariableGroupMonitor(const char** attributes);
    unsigned short SerializeElement(std::string& out, unsigned short depth) const override;

    void SetGroupID(T_uint_32 v) { m_GroupID = v; }
    void SetGroupType(unsigned short v) { m_GroupType = v; }
    void SetMonList(std::string v) { m_GroupMonitor = std::move(v); }
    void SetReturnCode(unsigned short v) { m_VarReturnCode = v; }

    T_uint_32 GetGroupID() const { return m_GroupID; }
    unsigned short GetGroupType() const { return m_GroupType; }
    const std::string& GetGroupMonitor() const { return m_GroupMonitor; }
    const std::string& GetMonList() const { return m_GroupMonitor; }
    unsigned short GetReturnCode() const { return m_VarReturnCode; }
    unsigned short GetVarReturnCode() const { return m_VarReturnCode; }

private:
    friend struct nuvak::msg::CameraFields;
    T_uint_32 m_GroupID = 0;
    T_uint_16 m_GroupType = 0;
    std::string m_GroupMonitor;
    T_uint_16 m_VarReturnCode = 0;
};

// "CameraMSync": MSyncType u16; DeviceID u16; UserID u16; Priority u32;
// Action u16; State u16; MSyncID u16; MSyncList text (omitted when empty);
// VarReturnCode u16.
class CameraVariableMSync : public Variable {
public:
    CameraVariableMSync(unsigned short mSyncType, unsigned short deviceId, unsigned short userId,
                        T_uint_32 priority, unsigned short action, unsigned short state,
                        unsigned short mSyncId, std::string mSyncList, unsigned short returnCode);
    explicit CameraVariableMSync(const char** attributes);
    unsigned short SerializeElement(std::string& out, unsigned short depth) const override;

    void SetReturnCode(unsigned short v) { m_VarReturnCode = v; }
    void SetState(unsigned short v) { m_State = v; }
    void SetMSyncID(unsigned short v) { m_MSyncID = v; }
    void SetMonList(std::string v) { m_MSyncList = std::move(v); }

    unsigned short GetMSyncType() const { return m_MSyncType; }
    unsigned short GetDeviceID() const { return m_DeviceID; }
    unsigned short GetUserID() const { return m_UserID; }
    T_uint_32 GetPriority() const { return m_Priority; }
    unsigned short GetAction() const { return m_Action; }
    unsigned short GetState() const { return m_State; }
    unsigned short GetMSyncID() const { return m_MSyncID; }
    const std::string& GetMSyncList() const { return m_MSyncList; }
    const std::string& GetMonList() const { return m_MSyncList; }
    unsigned short GetReturnCode() const { return m_VarReturnCode; }
    unsigned short GetVarReturnCode() const { return m_VarReturnCode; }

private:
    friend struct nuvak::msg::CameraFields;
    T_uint_16 m_MSyncType = 0;
    T_uint_16 m_DeviceID = 0;
    T_uint_16 m_UserID = 0;
    T_uint_32 m_Priority = 0;
    T_uint_16 m_Action = 0;
    T_uint_16 m_State = 0;
    T_uint_16 m_MSyncID = 0;
    std::string m_MSyncList;
    T_uint_16 m_VarReturnCode = 0;
};

// "CameraMSyncMonitor": MSyncType u16; MSyncList text (omitted when empty);
// MSyncID u16; MSyncMonitors text (omitted when empty); VarReturnCode u16.
class CameraVariableMSyncMonitor : public Variable {
public:
    CameraVariableMSyncMonitor(unsigned short mSyncType, std::string mSyncList,
                               unsigned short mSyncId, std::string mSyncMonitors,
                               unsigned short returnCode);
    explicit CameraVariableMSyncMonitor(const char** attributes);
    unsigned short SerializeElement(std::string& out, unsigned short depth) const override;

    void SetMSyncType(unsigned short v) { m_MSyncType = v; }
    void SetMonList(std::string v) { m_MSyncList = std::move(v); }
    void SetMSyncID(unsigned short v) { m_MSyncID = v; }
    void SetMonitors(std::string v) { m_MSyncMonitors = std::move(v); }
    void SetReturnCode(unsigned short v) { m_VarReturnCode = v; }

    unsigned short GetMSyncType() const { return m_MSyncType; }
    const std::string& GetMSyncList() const { return m_MSyncList; }
    const std::string& GetMonList() const { return m_MSyncList; }
    unsigned short GetMSyncID() const { return m_MSyncID; }
    const std::string& GetMSyncMonitors() const { return m_MSyncMonitors; }
    const std::string& GetMonitors() const { return m_MSyncMonitors; }
    unsigned short GetReturnCode() const { return m_VarReturnCode; }
    unsigned short GetVarReturnCode() const { return m_VarReturnCode; }

private:
    friend struct nuvak::msg::CameraFields;
    T_uint_16 m_MSyncType = 0;
    std::string m_MSyncList;
    T_uint_16 m_MSyncID = 0;
    std::string m_MSyncMonitors;
    T_uint_16 m_VarReturnCode = 0;
};

// "CameraClickCentering": CameraID u32; Resolution u16; CenterX u16;
// CenterY u16; VarReturnCode u16.
class CameraVariableCamClick : public Variable {
public:
    CameraVariableCamClick(T_uint_32 cameraId, unsigned short resolution, unsigned short centerX,
                           unsigned short centerY, unsigned short returnCode);
    explicit CameraVariableCamClick(const char** attributes);
    unsigned short SerializeElement(std::string& out, unsigned short depth) const override;

    void SetReturnCode(unsigned short v) { m_VarReturnCode = v; }

    T_uint_32 GetCameraID() const { return m_CameraID; }
    unsigned short GetResolution() const { return m_Resolution; }
    unsigned short GetCenterX() const { return m_CenterX; }
    unsigned short GetCenterY() const { return m_CenterY; }
    unsigned short GetReturnCode() const { return m_VarReturnCode; }
    unsigned short GetVarReturnCode() const { return m_VarReturnCode; }

private:
    friend struct nuvak::msg::CameraFields;
    T_uint_32 m_CameraID = 0;
    T_uint_16 m_Resolution = 0;
    T_uint_16 m_CenterX = 0;
    T_uint_16 m_CenterY = 0;
    T_uint_16 m_VarReturnCode = 0;
};

// "CameraBackFocus": CameraID u32; ControlType u16; ControlCode u16;
// VarReturnCode u16.
class CameraVariableCamABF : public Variable {
public:
    CameraVariableCamABF(T_uint_32 cameraId, unsigned short controlType,
                         unsigned short controlCode, unsigned short returnCode);
    explicit CameraVariableCamABF(const char** attributes);
    unsigned short SerializeElement(std::string& out, unsigned short depth) const override;

    void SetReturnCode(unsigned short v) { m_VarReturnCode = v; }

    T_uint_32 GetCameraID() const { return m_CameraID; }
    unsigned short GetControlType() const { return m_ControlType; }
    unsigned short GetControlCode() const { return m_ControlCode; }
    unsigned short GetReturnCode() const { return m_VarReturnCode; }
    unsigned short GetVarReturnCode() const { return m_VarReturnCode; }

private:
    friend struct nuvak::msg::CameraFields;
    T_uint_32 m_CameraID = 0;
    T_uint_16 m_ControlType = 0;
    T_uint_16 m_ControlCode = 0;
    T_uint_16 m_VarReturnCode = 0;
};

// "CameraImageSetup": CameraID u32; ControlType u16; ControlCode u16;
// VarReturnCode u16.
class CameraVariableCamIMG : public Variable {
public:
    CameraVariableCamIMG(T_uint_32 cameraId, unsigned short controlType,
                         unsigned short controlCode, unsigned short returnCode);
    explicit CameraVariableCamIMG(const char** attributes);
    unsigned short SerializeElement(std::string& out, unsigned short depth) const override;

    void SetReturnCode(unsigned short v) { m_VarReturnCode = v; }

    T_uint_32 GetCameraID() const { return m_CameraID; }
    unsigned short GetControlType() const { return m_ControlType; }
    unsigned short GetControlCode() const { return m_ControlCode; }
    unsigned short GetReturnCode() const { return m_VarReturnCode; }
    unsigned short GetVarReturnCode() const { return m_VarReturnCode; }

private:
    friend struct nuvak::msg::CameraFields;
    T_uint_32 m_CameraID = 0;
    T_uint_16 m_ControlType = 0;
    T_uint_16 m_ControlCode = 0;
    T_uint_16 m_VarReturnCode = 0;
};

// "CameraDragZoom": CameraID u32; SPositionX u16; SPositionY u16;
// EPositionX u16; EPositionY u16; Resolution u16; VarReturnCode u16.
class CameraVariableCamDZM : public Variable {
public:
    CameraVariableCamDZM(T_uint_32 cameraId, unsigned short sPositionX, unsigned short sPositionY,
                         unsigned short ePositionX, unsigned short ePositionY,
                         unsigned short resolution, unsigned short returnCode);
    explicit CameraVariableCamDZM(const char** attributes);
    unsigned short SerializeElement(std::string& out, unsigned short depth) const override;

    void SetReturnCode(unsigned short v) { m_VarReturnCode = v; }

    T_uint_32 GetCameraID() const { return m_CameraID; }
    unsigned short GetSPositionX() const { return m_SPositionX; }
    unsigned short GetSPositionY() const { return m_SPositionY; }
    unsigned short GetEPositionX() const { return m_EPositionX; }
    unsigned short GetEPositionY() const { return m_EPositionY; }
    unsigned short GetResolution() const { return m_Resolution; }
    unsigned short GetReturnCode() const { return m_VarReturnCode; }
    unsigned short GetVarReturnCode() const { return m_VarReturnCode; }

private:
    friend struct nuvak::msg::CameraFields;
    T_uint_32 m_CameraID = 0;
    T_uint_16 m_SPositionX = 0;
    T_uint_16 m_SPositionY = 0;
    T_uint_16 m_EPositionX = 0;
    T_uint_16 m_EPositionY = 0;
    T_uint_16 m_Resolution = 0;
    T_uint_16 m_VarReturnCode = 0;
};

// "CameraOneShotZoom": CameraID u32; ZoomDirection u16; SpeedValue u16;
// ExtValue u16; ScreenPosition u16; VarReturnCode u16.
class CameraVariableCamOSZM : public Variable {
public:
    CameraVariableCamOSZM(T_uint_32 cameraId, unsigned short zoomDirection,
                          unsigned short speedValue, unsigned short extValue,
                          unsigned short screenPosition, unsigned short returnCode);
    explicit CameraVariableCamOSZM(const char** attributes);
    unsigned short SerializeElement(std::string& out, unsigned short depth) const override;

    void SetReturnCode(unsigned short v) { m_VarReturnCode = v; }

    T_uint_32 GetCameraID() const { return m_CameraID; }
    unsigned short GetZoomDirection() const { return m_ZoomDirection; }
    unsigned short GetSpeedValue() const { return m_SpeedValue; }
    unsigned short GetExtValue() const { return m_ExtValue; }
    unsigned short GetScreenPosition() const { return m_ScreenPosition; }
    unsigned short GetReturnCode() const { return m_VarReturnCode; }
    unsigned short GetVarReturnCode() const { return m_VarReturnCode; }

private:
    friend struct nuvak::msg::CameraFields;
    T_uint_32 m_CameraID = 0;
    T_uint_16 m_ZoomDirection = 0;
    T_uint_16 m_SpeedValue = 0;
    T_uint_16 m_ExtValue = 0;
    T_uint_16 m_ScreenPosition = 0;
    T_uint_16 m_VarReturnCode = 0;
};

#endif
