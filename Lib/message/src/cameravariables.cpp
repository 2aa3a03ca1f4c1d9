// The camera variable catalogue: one field table per class, and each class's
// constructors and writer built on it.
#include <cstdlib>

#include "cameramessage.h"
#include "fields.h"

namespace nuvak::msg {

T_uint_16 ParseU16(const char* text) {
    long v = std::strtol(text, nullptr, 10);
    return static_cast<T_uint_16>(static_cast<unsigned long>(v));
}

T_uint_32 ParseU32(const char* text) {
    unsigned long v = std::strtoul(text, nullptr, 10);
    if (v > 0xFFFFFFFFul) v = 0xFFFFFFFFul;
    return static_cast<T_uint_32>(v);
}

namespace {
bool NameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool NameChar(char c) { return NameStart(c) || (c >= '0' && c <= '9') || c == '.' || c == '-'; }
}  // namespace

bool IsSafeTagName(const char* name) {
    if (!NameStart(*name)) return false;
    for (const char* p = name + 1; *p; ++p)
        if (!NameChar(*p)) return false;
    return true;
}

void AppendTagName(std::string& out, const std::string& name) {
    if (IsSafeTagName(name.c_str()) && name.find('\0') == std::string::npos) {
        out += name;
        return;
    }
    if (name.empty() || !NameStart(name[0])) out += '_';
    for (char c : name) out += NameChar(c) ? c : '_';
}

// Friend of every variable class: the tables name their private fields.
struct CameraFields {
    using Seize = CameraVariableSeize;
    static constexpr std::array<Field<Seize>, 17> seize{{
        U16("Command", &Seize::m_Command),
        U32("CameraID", &Seize::m_CameraID),
        U16("DeviceID", &Seize::m_DeviceID),
        U16("UserID", &Seize::m_UserID),
        U32("Priority", &Seize::m_Priority, true),
        U16("ConnState", &Seize::m_ConnState, true),
        U32("vport", &Seize::m_vport, true),
        U32("cport", &Seize::m_cport, true),
        U16("CamType", &Seize::m_CamType, true),
        U16("SrcTimeDate", &Seize::m_SrcTimeDate, true),
        U16("SrcCamID", &Seize::m_SrcCamID, true),
        U16("SrcCamTitle", &Seize::m_SrcCamTitle, true),
        U16("SrcType", &Seize::m_SrcType, true),
        U16("BitRate", &Seize::m_BitRate, true),
        U16("SwitchID", &Seize::m_SwitchID, true),
        Text("StrCamTitle", &Seize::m_StrCamTitle, true),
        U16("VarReturnCode", &Seize::m_VarReturnCode, true),
    }};

    using Preset = CameraVariablePreset;
    static constexpr std::array<Field<Preset>, 5> preset{{
        U32("CameraID", &Preset::m_CameraID),
        U16("PresetID", &Preset::m_PresetID),
        U16("ProgSet", &Preset::m_ProgSet),
        U16("ScreenPosition", &Preset::m_ScreenPosition),
        U16("VarReturnCode", &Preset::m_VarReturnCode),
    }};

    using Receiver = CameraVariableReceiver;
    static constexpr std::array<Field<Receiver>, 5> receiver{{
        U32("CameraID", &Receiver::m_CameraID),
        U16("ControlType", &Receiver::m_ControlType),
        U16("ControlCode", &Receiver::m_ControlCode),
        U16("ScreenPosition", &Receiver::m_ScreenPosition),
        U16("VarReturnCode", &Receiver::m_VarReturnCode),
    }};

    using Sequence = CameraVariableSequence;
    static constexpr std::array<Field<Sequence>, 5> sequence{{
        U32("SequenceID", &Sequence::m_SequenceID),
        U16("SequenceType", &Sequence::m_SequenceType),
        U16("Action", &Sequence::m_Action),
        U16("State", &Sequence::m_State),
        U16("VarReturnCode", &Sequence::m_VarReturnCode),
    }};

    using Menu = CameraVariableMenu;
    static constexpr std::array<Field<Menu>, 3> menu{{
        U32("CameraID", &Menu::m_CameraID),
        U16("ControlCode", &Menu::m_ControlCode),
        U16("VarReturnCode", &Menu::m_VarReturnCode),
    }};

    using Control = CameraVariableControl;
    static constexpr std::array<Field<Control>, 5> control{{
        U32("CameraID", &Control::m_CameraID),
        U16("DeviceID", &Control::m_DeviceID),
        U16("ControlCode", &Control::m_ControlCode),
        U16("ControlPort", &Control::m_ControlPort),
        U16("VarReturnCode", &Control::m_VarReturnCode),
    }};

    using Monstat = CameraVariableMonstat;
    static constexpr std::array<Field<Monstat>, 3> monstat{{
        U32("CameraID", &Monstat::m_CameraID),
        U16("Status", &Monstat::m_Status),
        U16("VarReturnCode", &Monstat::m_VarReturnCode),
    }};

    using Dvr = CameraVariableDvrControl;
    static constexpr std::array<Field<Dvr>, 5> dvr{{
        U32("DvrID", &Dvr::m_DvrID),
        U16("ControlCode", &Dvr::m_ControlCode),
        U32("ControlData", &Dvr::m_ControlData),
        U16("Status", &Dvr::m_Status),
        U16("VarReturnCode", &Dvr::m_VarReturnCode),
    }};

    using FuncCode = CameraVariableFuncCode;
    static constexpr std::array<Field<FuncCode>, 3> funcCode{{
        U32("CameraID", &FuncCode::m_CameraID),
        U16("FunctionCode", &FuncCode::m_FunctionCode),
        U16("VarReturnCode", &FuncCode::m_VarReturnCode),
    }};

    using Group = CameraVariableGroup;
    static constexpr std::array<Field<Group>, 8> group{{
        U32("GroupID", &Group::m_GroupID),
        U16("GroupType", &Group::m_GroupType),
        U16("DeviceID", &Group::m_DeviceID),
        U16("UserID", &Group::m_UserID),
        U32("Priority", &Group::m_Priority),
        U16("Action", &Group::m_Action),
        U16("State", &Group::m_State),
        U16("VarReturnCode", &Group::m_VarReturnCode),
    }};

    using GroupMonitor = CameraVariableGroupMonitor;
    static constexpr std::array<Field<GroupMonitor>, 4> groupMonitor{{
        U32("GroupID", &GroupMonitor::m_GroupID),
        U16("GroupType", &GroupMonitor::m_GroupType),
        Text("GroupMonitor", &GroupMonitor::m_GroupMonitor, true),
        U16("VarReturnCode", &GroupMonitor::m_VarReturnCode),
    }};

    using MSync = CameraVariableMSync;
    static constexpr std::array<Field<MSync>, 9> mSync{{
        U16("MSyncType", &MSync::m_MSyncType),
        U16("DeviceID", &MSync::m_DeviceID),
        U16("UserID", &MSync::m_UserID),
        U32("Priority", &MSync::m_Priority),
        U16("Action", &MSync::m_Action),
        U16("State", &MSync::m_State),
        U16("MSyncID", &MSync::m_MSyncID),
        Text("MSyncList", &MSync::m_MSyncList, true),
        U16("VarReturnCode", &MSync::m_VarReturnCode),
    }};

    using MSyncMonitor = CameraVariableMSyncMonitor;
    static constexpr std::array<Field<MSyncMonitor>, 5> mSyncMonitor{{
        U16("MSyncType", &MSyncMonitor::m_MSyncType),
        Text("MSyncList", &MSyncMonitor::m_MSyncList, true),
        U16("MSyncID", &MSyncMonitor::m_MSyncID),
        Text("MSyncMonitors", &MSyncMonitor::m_MSyncMonitors, true),
        U16("VarReturnCode", &MSyncMonitor::m_VarReturnCode),
    }};

    using CamClick = CameraVariableCamClick;
    static constexpr std::array<Field<CamClick>, 5> camClick{{
        U32("CameraID", &CamClick::m_CameraID),
        U16("Resolution", &CamClick::m_Resolution),
        U16("CenterX", &CamClick::m_CenterX),
        U16("CenterY", &CamClick::m_CenterY),
        U16("VarReturnCode", &CamClick::m_VarReturnCode),
    }};

    using CamABF = CameraVariableCamABF;
    static constexpr std::array<Field<CamABF>, 4> camABF{{
        U32("CameraID", &CamABF::m_CameraID),
        U16("ControlType", &CamABF::m_ControlType),
        U16("ControlCode", &CamABF::m_ControlCode),
        U16("VarReturnCode", &CamABF::m_VarReturnCode),
    }};

    using CamIMG = CameraVariableCamIMG;
    static constexpr std::array<Field<CamIMG>, 4> camIMG{{
        U32("CameraID", &CamIMG::m_CameraID),
        U16("ControlType", &CamIMG::m_ControlType),
        U16("ControlCode", &CamIMG::m_ControlCode),
        U16("VarReturnCode", &CamIMG::m_VarReturnCode),
    }};

    using CamDZM = CameraVariableCamDZM;
    static constexpr std::array<Field<CamDZM>, 7> camDZM{{
        U32("CameraID", &CamDZM::m_CameraID),
        U16("SPositionX", &CamDZM::m_SPositionX),
        U16("SPositionY", &CamDZM::m_SPositionY),
        U16("EPositionX", &CamDZM::m_EPositionX),
        U16("EPositionY", &CamDZM::m_EPositionY),
        U16("Resolution", &CamDZM::m_Resolution),
        U16("VarReturnCode", &CamDZM::m_VarReturnCode),
    }};

    using CamOSZM = CameraVariableCamOSZM;
    static constexpr std::array<Field<CamOSZM>, 6> camOSZM{{
        U32("CameraID", &CamOSZM::m_CameraID),
        U16("ZoomDirection", &CamOSZM::m_ZoomDirection),
        U16("SpeedValue", &CamOSZM::m_SpeedValue),
        U16("ExtValue", &CamOSZM::m_ExtValue),
        U16("ScreenPosition", &CamOSZM::m_ScreenPosition),
        U16("VarReturnCode", &CamOSZM::m_VarReturnCode),
    }};
};

}  // namespace nuvak::msg

using nuvak::msg::CameraFields;

// The attribute constructor and the writer of one class, from its table.
#define NUVAK_CAMERA_VARIABLE_IO(Class, tag, table)                                    \
    Class::Class(const char** attributes) : Variable(tag) {                            \
        nuvak::msg::ApplyAttributes(*this, CameraFields::table, attributes);           \
    }                                                                                  \
    unsigned short Class::SerializeElement(std::string& out, unsigned short depth) const { \
        nuvak::msg::WriteVariable(*this, CameraFields::table, out, depth);             \
        return TRUE;                                                                   \
    }

NUVAK_CAMERA_VARIABLE_IO(CameraVariableSeize, "CameraSeize", seize)
NUVAK_CAMERA_VARIABLE_IO(CameraVariablePreset, "CameraPreset", preset)
NUVAK_CAMERA_VARIABLE_IO(CameraVariableReceiver, "CameraReceiver", receiver)
NUVAK_CAMERA_VARIABLE_IO(CameraVariableSequence, "CameraSequence", sequence)
NUVAK_CAMERA_VARIABLE_IO(CameraVariableMenu, "CameraMenu", menu)
NUVAK_CAMERA_VARIABLE_IO(CameraVariableControl, "CameraControl", control)
NUVAK_CAMERA_VARIABLE_IO(CameraVariableMonstat, "MonitorStatus", monstat)
NUVAK_CAMERA_VARIABLE_IO(CameraVariableDvrControl, "CameraDvrControl", dvr)
NUVAK_CAMERA_VARIABLE_IO(CameraVariableFuncCode, "CameraFunctionCode", funcCode)
NUVAK_CAMERA_VARIABLE_IO(CameraVariableGroup, "CameraGroup", group)
NUVAK_CAMERA_VARIABLE_IO(CameraVariableGroupMonitor, "CameraGroupMonitor", groupMonitor)
NUVAK_CAMERA_VARIABLE_IO(CameraVariableMSync, "CameraMSync", mSync)
NUVAK_CAMERA_VARIABLE_IO(CameraVariableMSyncMonitor, "CameraMSyncMonitor", mSyncMonitor)
NUVAK_CAMERA_VARIABLE_IO(CameraVariableCamClick, "CameraClickCentering", camClick)
NUVAK_CAMERA_VARIABLE_IO(CameraVariableCamABF, "CameraBackFocus", camABF)
NUVAK_CAMERA_VARIABLE_IO(CameraVariableCamIMG, "CameraImageSetup", camIMG)
NUVAK_CAMERA_VARIABLE_IO(CameraVariableCamDZM, "CameraDragZoom", camDZM)
NUVAK_CAMERA_VARIABLE_IO(CameraVariableCamOSZM, "CameraOneShotZoom", camOSZM)

#undef NUVAK_CAMERA_VARIABLE_IO

// Value constructors: the fields in catalogue order.

CameraVariableSeize::CameraVariableSeize(unsigned short command, T_uint_32 cameraId,
                                         unsigned short deviceId, unsigned short userId,
                                         T_uint_32 priority, unsigned short connState,
                                         T_uint_32 vport, T_uint_32 cport, unsigned short camType,
                                         unsigned short srcTimeDate, unsigned short srcCamId,
                                         unsigned short srcCamTitle, unsigned short srcType,
                                         unsigned short bitRate, unsigned short switchId,
                                         std::string strCamTitle, unsigned short returnCode)
    : Variable("CameraSeize"),
      m_Command(command),
      m_CameraID(cameraId),
      m_DeviceID(deviceId),
      m_UserID(userId),
      m_Priority(priority),
      m_ConnState(connState),
      m_vport(vport),
      m_cport(cport),
      m_CamType(camType),
      m_SrcTimeDate(srcTimeDate),
      m_SrcCamID(srcCamId),
      m_SrcCamTitle(srcCamTitle),
      m_SrcType(srcType),
      m_BitRate(bitRate),
      m_SwitchID(switchId),
      m_StrCamTitle(std::move(strCamTitle)),
      m_VarReturnCode(returnCode) {}

CameraVariablePreset::CameraVariablePreset(T_uint_32 cameraId, unsigned short presetId,
                                           unsigned short progSet, unsigned short screenPosition,
                                           unsigned short returnCode)
    : Variable("CameraPreset"),
      m_CameraID(cameraId),
      m_PresetID(presetId),
      m_ProgSet(progSet),
      m_ScreenPosition(screenPosition),
      m_VarReturnCode(returnCode) {}

CameraVariableReceiver::CameraVariableReceiver(T_uint_32 cameraId, unsigned short controlType,
                                               unsigned short controlCode,
                                               unsigned short screenPosition,
                                               unsigned short returnCode)
    : Variable("CameraReceiver"),
      m_CameraID(cameraId),
      m_ControlType(controlType),
      m_ControlCode(controlCode),
      m_ScreenPosition(screenPosition),
      m_VarReturnCode(returnCode) {}

CameraVariableSequence::CameraVariableSequence(T_uint_32 sequenceId, unsigned short sequenceType,
                                               unsigned short action, unsigned short state,
                                               unsigned short returnCode)
    : Variable("CameraSequence"),
      m_SequenceID(sequenceId),
      m_SequenceType(sequenceType),
      m_Action(action),
      m_State(state),
      m_VarReturnCode(returnCode) {}

CameraVariableMenu::CameraVariableMenu(T_uint_32 cameraId, unsigned short controlCode,
                                       unsigned short returnCode)
    : Variable("CameraMenu"),
      m_CameraID(cameraId),
      m_ControlCode(controlCode),
      m_VarReturnCode(returnCode) {}

CameraVariableControl::CameraVariableControl(T_uint_32 cameraId, unsigned short deviceId,
                                             unsigned short controlCode,
                                             unsigned short controlPort, unsigned short returnCode)
    : Variable("CameraControl"),
      m_CameraID(cameraId),
      m_DeviceID(deviceId),
      m_ControlCode(controlCode),
      m_ControlPort(controlPort),
      m_VarReturnCode(returnCode) {}

CameraVariableMonstat::CameraVariableMonstat(T_uint_32 cameraId, unsigned short status,
                                             unsigned short returnCode)
    : Variable("MonitorStatus"), m_CameraID(cameraId), m_Status(status), m_VarReturnCode(returnCode) {}

CameraVariableDvrControl::CameraVariableDvrControl(T_uint_32 dvrId, unsigned short controlCode,
                                                   T_uint_32 controlData, unsigned short status,
                                                   unsigned short returnCode)
    : Variable("CameraDvrControl"),
      m_DvrID(dvrId),
      m_ControlCode(controlCode),
      m_ControlData(controlData),
      m_Status(status),
      m_VarReturnCode(returnCode) {}

CameraVariableFuncCode::CameraVariableFuncCode(T_uint_32 cameraId, unsigned short functionCode,
                                               unsigned short returnCode)
    : Variable("CameraFunctionCode"),
      m_CameraID(cameraId),
      m_FunctionCode(functionCode),
      m_VarReturnCode(returnCode) {}

CameraVariableGroup::CameraVariableGroup(T_uint_32 groupId, unsigned short groupType,
                                         unsigned short deviceId, unsigned short userId,
                                         T_uint_32 priority, unsigned short action,
                                         unsigned short state, unsigned short returnCode)
    : Variable("CameraGroup"),
      m_GroupID(groupId),
      m_GroupType(groupType),
      m_DeviceID(deviceId),
      m_UserID(userId),
      m_Priority(priority),
      m_Action(action),
      m_State(state),
      m_VarReturnCode(returnCode) {}

CameraVariableGroupMonitor::CameraVariableGroupMonitor(T_uint_32 groupId, unsigned short groupType,
                                                       std::string groupMonitor,
                                                       unsigned short returnCode)
    : Variable("CameraGroupMonitor"),
      m_GroupID(groupId),
      m_GroupType(groupType),
      m_GroupMonitor(std::move(groupMonitor)),
      m_VarReturnCode(returnCode) {}

CameraVariableMSync::CameraVariableMSync(unsigned short mSyncType, unsigned short deviceId,
                                         unsigned short userId, T_uint_32 priority,
                                         unsigned short action, unsigned short state,
                                         unsigned short mSyncId, std::string mSyncList,
                                         unsigned short returnCode)
    : Variable("CameraMSync"),
      m_MSyncType(mSyncType),
      m_DeviceID(deviceId),
      m_UserID(userId),
      m_Priority(priority),
      m_Action(action),
      m_State(state),
      m_MSyncID(mSyncId),
      m_MSyncList(std::move(mSyncList)),
      m_VarReturnCode(returnCode) {}

CameraVariableMSyncMonitor::CameraVariableMSyncMonitor(unsigned short mSyncType,
                                                       std::string mSyncList,
                                                       unsigned short mSyncId,
                                                       std::string mSyncMonitors,
                                                       unsigned short returnCode)
    : Variable("CameraMSyncMonitor"),
      m_MSyncType(mSyncType),
      m_MSyncList(std::move(mSyncList)),
      m_MSyncID(mSyncId),
      m_MSyncMonitors(std::move(mSyncMonitors)),
      m_VarReturnCode(returnCode) {}

CameraVariableCamClick::CameraVariableCamClick(T_uint_32 cameraId, unsigned short resolution,
                                               unsigned short centerX, unsigned short centerY,
                                               unsigned short returnCode)
    : Variable("CameraClickCentering"),
      m_CameraID(cameraId),
      m_Resolution(resolution),
      m_CenterX(centerX),
      m_CenterY(centerY),
      m_VarReturnCode(returnCode) {}

CameraVariableCamABF::CameraVariableCamABF(T_uint_32 cameraId, unsigned short controlType,
                                           unsigned short controlCode, unsigned short returnCode)
    : Variable("CameraBackFocus"),
      m_CameraID(cameraId),
      m_ControlType(controlType),
      m_ControlCode(controlCode),
      m_VarReturnCode(returnCode) {}

CameraVariableCamIMG::CameraVariableCamIMG(T_uint_32 cameraId, unsigned short controlType,
                                           unsigned short controlCode, unsigned short returnCode)
    : Variable("CameraImageSetup"),
      m_CameraID(cameraId),
      m_ControlType(controlType),
      m_ControlCode(controlCode),
      m_VarReturnCode(returnCode) {}

CameraVariableCamDZM::CameraVariableCamDZM(T_uint_32 cameraId, unsigned short sPositionX,
                                           unsigned short sPositionY, unsigned short ePositionX,
                                           unsigned short ePositionY, unsigned short resolution,
                                           unsigned short returnCode)
    : Variable("CameraDragZoom"),
      m_CameraID(cameraId),
      m_SPositionX(sPositionX),
      m_SPositionY(sPositionY),
      m_EPositionX(ePositionX),
      m_EPositionY(ePositionY),
      m_Resolution(resolution),
      m_VarReturnCode(returnCode) {}

CameraVariableCamOSZM::CameraVariableCamOSZM(T_uint_32 cameraId, unsigned short zoomDirection,
                                             unsigned short speedValue, unsigned short extValue,
                                             unsigned short screenPosition,
                                             unsigned short returnCode)
    : Variable("CameraOneShotZoom"),
      m_CameraID(cameraId),
      m_ZoomDirection(zoomDirection),
      m_SpeedValue(speedValue),
      m_ExtValue(extValue),
      m_ScreenPosition(screenPosition),
      m_VarReturnCode(returnCode) {}
