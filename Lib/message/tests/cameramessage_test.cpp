// The camera message and catalogue: exact text, field tables, building from attributes, slots, the factory.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <typeinfo>

#include "cameramessage.h"
#include "workedexample.h"

namespace {

std::string Text(const Element& e, unsigned short depth = 1) {
    std::string out;
    EXPECT_EQ(e.SerializeElement(out, depth), TRUE);
    return out;
}

// The text a variable writes at depth 1 from "Tag name=value ...": tag and
// first attribute on one line, the others on their own lines 10 spaces in.
std::string Expected(const std::string& fields) {
    std::istringstream in(fields);
    std::string tag, field, s;
    in >> tag;
    s = "\n     <" + tag + " ";
    for (bool first = true; in >> field; first = false) {
        if (!first) s += "\n          ";
        const std::size_t eq = field.find('=');
        s += field.substr(0, eq) + "=\"" + field.substr(eq + 1) + "\" ";
    }
    return s + "/>";
}

TEST(CameraMessage, WorkedExampleByteForByte) {
    CameraMessage m("SET_RESPONSE", 7, 1, 0, 12, 0, 1);
    ASSERT_EQ(m.AddElement(new CameraVariablePreset(101, 3, 0, 0, 0)), TRUE);
    std::string out;
    EXPECT_EQ(m.SerializeElement(out, 0), TRUE);
    EXPECT_EQ(out, kWorkedExample);
    // Appends: a second call gives a second complete document.
    m.SerializeElement(out, 0);
    EXPECT_EQ(out, std::string(kWorkedExample) + kWorkedExample);
}

TEST(CameraMessage, NoChildrenStillClosesTheRootOnItsOwnLine) {
    CameraMessage m("GET", 0, 0, 0, 0, 0, 0);
    std::string out = Text(m, 0);
    EXPECT_NE(out.find("MonDevType=\"0\" >\n</Camera>"), std::string::npos) << out;
    EXPECT_EQ(out.substr(out.size() - 10), "\n</Camera>");
}

// The 32-bit fields are given values above 65535 (and the largest).
TEST(CameraMessage, EveryClassWritesItsFieldsInCatalogueOrder) {
    const std::pair<std::string, const char*> cases[] = {
        {Text(CameraVariableSeize(1, 70002, 3, 4, 4294967295u, 6, 70007, 70008, 9, 10, 11, 12, 13, 14, 15, "t", 16)),
         "CameraSeize Command=1 CameraID=70002 DeviceID=3 UserID=4 Priority=4294967295 ConnState=6 vport=70007 "
         "cport=70008 CamType=9 SrcTimeDate=10 SrcCamID=11 SrcCamTitle=12 SrcType=13 BitRate=14 SwitchID=15 "
         "StrCamTitle=t VarReturnCode=16"},
        {Text(CameraVariablePreset(70001, 2, 3, 4, 5)),
         "CameraPreset CameraID=70001 PresetID=2 ProgSet=3 ScreenPosition=4 VarReturnCode=5"},
        {Text(CameraVariableReceiver(70001, 2, 3, 4, 5)),
         "CameraReceiver CameraID=70001 ControlType=2 ControlCode=3 ScreenPosition=4 VarReturnCode=5"},
        {Text(CameraVariableSequence(70001, 2, 3, 4, 5)),
         "CameraSequence SequenceID=70001 SequenceType=2 Action=3 State=4 VarReturnCode=5"},
        {Text(CameraVariableMenu(70001, 2, 3)), "CameraMenu CameraID=70001 ControlCode=2 VarReturnCode=3"},
        {Text(CameraVariableControl(70001, 2, 3, 4, 5)),
         "CameraControl CameraID=70001 DeviceID=2 ControlCode=3 ControlPort=4 VarReturnCode=5"},
        {Text(CameraVariableMonstat(70001, 2, 3)), "MonitorStatus CameraID=70001 Status=2 VarReturnCode=3"},
        {Text(CameraVariableDvrControl(70001, 2, 4294967295u, 4, 5)),
         "CameraDvrControl DvrID=70001 ControlCode=2 ControlData=4294967295 Status=4 VarReturnCode=5"},
        {Text(CameraVariableFuncCode(70001, 2, 3)),
         "CameraFunctionCode CameraID=70001 FunctionCode=2 VarReturnCode=3"},
        {Text(CameraVariableGroup(70001, 2, 3, 4, 70005, 6, 7, 8)),
         "CameraGroup GroupID=70001 GroupType=2 DeviceID=3 UserID=4 Priority=70005 Action=6 State=7 VarReturnCode=8"},
        {Text(CameraVariableGroupMonitor(70001, 2, "3", 4)),
         "CameraGroupMonitor GroupID=70001 GroupType=2 GroupMonitor=3 VarReturnCode=4"},
        {Text(CameraVariableMSync(1, 2, 3, 70004, 5, 6, 7, "l", 8)),
         "CameraMSync MSyncType=1 DeviceID=2 UserID=3 Priority=70004 Action=5 State=6 MSyncID=7 MSyncList=l "
         "VarReturnCode=8"},
        {Text(CameraVariableMSyncMonitor(1, "l", 2, "m", 3)),
         "CameraMSyncMonitor MSyncType=1 MSyncList=l MSyncID=2 MSyncMonitors=m VarReturnCode=3"},
        {Text(CameraVariableCamClick(70001, 2, 3, 4, 5)),
         "CameraClickCentering CameraID=70001 Resolution=2 CenterX=3 CenterY=4 VarReturnCode=5"},
        {Text(CameraVariableCamABF(70001, 2, 3, 4)),
         "CameraBackFocus CameraID=70001 ControlType=2 ControlCode=3 VarReturnCode=4"},
        {Text(CameraVariableCamIMG(70001, 2, 3, 4)),
         "CameraImageSetup CameraID=70001 ControlType=2 ControlCode=3 VarReturnCode=4"},
        {Text(CameraVariableCamDZM(70001, 2, 3, 4, 5, 6, 7)),
         "CameraDragZoom CameraID=70001 SPositionX=2 SPositionY=3 EPositionX=4 EPositionY=5 Resolution=6 "
         "VarReturnCode=7"},
        {Text(CameraVariableCamOSZM(70001, 2, 3, 4, 5, 6)),
         "CameraOneShotZoom CameraID=70001 ZoomDirection=2 SpeedValue=3 ExtValue=4 ScreenPosition=5 VarReturnCode=6"},
    };
    for (const auto& [text, fields] : cases) EXPECT_EQ(text, Expected(fields));
}

TEST(CameraMessage, OmittedFieldsAreLeftOutOnlyWhenZeroOrEmpty) {
    CameraVariableSeize seize(1, 2, 3, 4);
    EXPECT_EQ(Text(seize), Expected("CameraSeize Command=1 CameraID=2 DeviceID=3 UserID=4"));
    seize.SetPriority(5);
    EXPECT_EQ(Text(seize), Expected("CameraSeize Command=1 CameraID=2 DeviceID=3 UserID=4 Priority=5"));
    // Fields that are always written stay even at 0.
    EXPECT_EQ(Text(CameraVariableSeize(0, 0, 0, 0)), Expected("CameraSeize Command=0 CameraID=0 DeviceID=0 UserID=0"));
    EXPECT_EQ(Text(CameraVariableGroupMonitor(10000001, 1, "", 0)),
              Expected("CameraGroupMonitor GroupID=10000001 GroupType=1 VarReturnCode=0"));
    EXPECT_EQ(Text(CameraVariableMSyncMonitor(1, "", 0, "", 0)),
              Expected("CameraMSyncMonitor MSyncType=1 MSyncID=0 VarReturnCode=0"));
}

TEST(CameraMessage, NumbersFromAttributesAreWidthLimited) {
    const char* attrs[] = {"CameraID", "70000", "PresetID", "70000", "ProgSet", "-1",
                           "ScreenPosition", "65536", "VarReturnCode", "12abc", nullptr};
    CameraVariablePreset p(attrs);
    EXPECT_EQ(p.GetCameraID(), 70000u);
    EXPECT_EQ(p.GetPresetID(), 4464);  // 70000 truncated to 16 bits
    EXPECT_EQ(p.GetProgSet(), 65535);
    EXPECT_EQ(p.GetScreenPosition(), 0);
    EXPECT_EQ(p.GetReturnCode(), 12);  // leading digits, as atoi

    const char* big[] = {"GroupID", "4294967295", "Priority", "99999999999", "GroupType", "x",
                         nullptr};
    CameraVariableGroup g(big);
    EXPECT_EQ(g.GetGroupID(), 4294967295u);
    EXPECT_EQ(g.GetPriority(), 4294967295u);  // beyond 32 bits saturates
    EXPECT_EQ(g.GetGroupType(), 0);

    const char* header[] = {"MonitorID", "640000003", "RequestID", "65537", nullptr};
    CameraMessage m(header);
    EXPECT_EQ(m.GetMonitorID(), 640000003u);
    EXPECT_EQ(m.GetRequestID(), 1);
}

TEST(CameraMessage, HeaderAttributesInAnyOrderWithExtrasBuildTheSameMessage) {
    const char* inOrder[] = {"ActionType", "SET", "RequestID", "7", "SourceUnit", "2",
                             "ErrorStatus", "2565", "MonitorID", "20000003", "MonSwitchID", "4",
                             "MonDevType", "5", nullptr};
    const char* shuffled[] = {"MonDevType", "5", "Colour", "red", "MonitorID", "20000003",
                              "actiontype", "ignored", "ErrorStatus", "2565", "SourceUnit", "2",
                              "MonSwitchID", "4", "RequestID", "9", "ActionType", "SET",
                              "RequestID", "7", nullptr};
    const std::string want = Text(CameraMessage("SET", 7, 2, 0x0A05, 20000003, 4, 5), 0);
    EXPECT_EQ(Text(CameraMessage(inOrder), 0), want);
    EXPECT_EQ(Text(CameraMessage(shuffled), 0), want);
    CameraMessage none(static_cast<const char**>(nullptr));
    EXPECT_EQ(none.GetHeaderType(), "Camera");
    EXPECT_EQ(none.GetActionType(), "");
}

TEST(CameraMessage, VariableTypeIsKeptAndWrittenSafely) {
    const char* renamed[] = {"VariableType", "CameraGroupX", "GroupID", "5", nullptr};
    CameraVariableGroup g(renamed);
    EXPECT_EQ(g.GetVariableType(), "CameraGroupX");
    EXPECT_EQ(Text(g).rfind("\n     <CameraGroupX GroupID=\"5\" ", 0), 0u);
    // Any other type is kept for dispatch (answered as any other variable),
    // and written as a tag name that cannot break the text.
    struct Case {
        const char* type;
        const char* written;
    } cases[] = {{"", "_"}, {"x y", "x_y"}, {"ns:Tag", "ns_Tag"}, {"x\"/><y", "x____y"}, {"1abc", "_1abc"}};
    for (const Case& c : cases) {
        const char* attrs[] = {"VariableType", c.type, "GroupID", "5", nullptr};
        CameraVariableGroup v(attrs);
        EXPECT_EQ(v.GetVariableType(), c.type);
        EXPECT_EQ(Text(v).rfind(std::string("\n     <") + c.written + " GroupID=\"5\" ", 0), 0u) << c.type;
    }
}

TEST(CameraMessage, ChildrenAreOwnedVariablesOnly) {
    CameraMessage m("SET", 0, 0, 0, 0, 0, 0);
    CameraMessage inner("X", 0, 0, 0, 0, 0, 0);  // would write a second declaration
    CameraVariableMenu menu(1, 2, 3), child(4, 5, 6);
    EXPECT_EQ(m.AddElement(nullptr), FALSE);
    EXPECT_EQ(m.AddElement(&inner), FALSE);
    EXPECT_EQ(m.GetElementCount(), 0);
    EXPECT_EQ(menu.AddElement(&child), FALSE);  // a variable has no children
}

TEST(CameraMessage, RemovedSlotsStayCountedAndAreSkippedOnWriting) {
    CameraMessage m("SET_RESPONSE", 7, 1, 0, 12, 0, 1);
    auto* group = new CameraVariableGroup(1, 1, 2, 3, 4, 1, 0, 0);
    auto* preset = new CameraVariablePreset(101, 3, 0, 0, 0);
    ASSERT_EQ(m.AddElement(group), TRUE);
    ASSERT_EQ(m.AddElement(preset), TRUE);
    m.RemoveElement(group);
    EXPECT_EQ(m.GetElementCount(), 2);
    Variable* v = reinterpret_cast<Variable*>(0x1);
    EXPECT_EQ(m.GetVariable(0, &v), TRUE);
    EXPECT_EQ(v, nullptr);
    EXPECT_EQ(m.GetVariable(1, &v), TRUE);
    EXPECT_EQ(v, preset);
    EXPECT_EQ(Text(m, 0), kWorkedExample);

    // Out of range or null out: FALSE, *out untouched.
    Variable* untouched = preset;
    EXPECT_EQ(m.GetVariable(2, &untouched), FALSE);
    EXPECT_EQ(untouched, preset);
    EXPECT_EQ(m.GetVariable(0, nullptr), FALSE);

    // Removing something that is not there changes nothing.
    CameraVariableMenu stranger(1, 2, 3);
    m.RemoveElement(&stranger);
    m.RemoveElement(nullptr);
    EXPECT_EQ(m.GetElementCount(), 2);

    m.RemoveElement();
    EXPECT_EQ(m.GetElementCount(), 0);
}

TEST(CameraMessage, HeaderCopyLeavesChildrenBehind) {
    CameraMessage a("SET", 1, 2, 3, 4, 5, 6);
    a.AddElement(new CameraVariableMenu(1, 2, 3));
    CameraMessage b("GET", 0, 0, 0, 0, 0, 0);
    static_cast<Message&>(b) = a;
    EXPECT_EQ(b.GetActionType(), "SET");
    EXPECT_EQ(b.GetRequestID(), 1);
    EXPECT_EQ(b.GetErrorStatus(), 3);
    EXPECT_EQ(b.GetElementCount(), 0);
}

TEST(CameraElementFactory, BuildsExactlyTheTwelveTagNames) {
    CameraElementFactory factory;
    const char* none[] = {nullptr};
    const std::pair<const char*, const std::type_info*> built[] = {
        {"Camera", &typeid(CameraMessage)},
        {"CameraSeize", &typeid(CameraVariableSeize)},
        {"CameraPreset", &typeid(CameraVariablePreset)},
        {"CameraReceiver", &typeid(CameraVariableReceiver)},
        {"CameraMenu", &typeid(CameraVariableMenu)},
        {"CameraSequence", &typeid(CameraVariableSequence)},
        {"CameraControl", &typeid(CameraVariableControl)},
        {"MonitorStatus", &typeid(CameraVariableMonstat)},
        {"CameraDvrControl", &typeid(CameraVariableDvrControl)},
        {"CameraFunctionCode", &typeid(CameraVariableFuncCode)},
        {"CameraGroup", &typeid(CameraVariableGroup)},
        {"CameraGroupMonitor", &typeid(CameraVariableGroupMonitor)},
    };
    for (const auto& [name, type] : built) {
        std::unique_ptr<Element> e(factory.CreateElement(name, none));
        ASSERT_TRUE(e) << name;
        EXPECT_EQ(typeid(*e), *type) << name;
        if (auto* v = dynamic_cast<Variable*>(e.get())) { EXPECT_EQ(v->GetVariableType(), name); }
    }
    for (const char* name : {"CameraMSync", "CameraMSyncMonitor", "CameraClickCentering",
                             "CameraBackFocus", "CameraImageSetup", "CameraDragZoom",
                             "CameraOneShotZoom", "camera", "CAMERAGROUP", "CameraGroup ", "",
                             static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(factory.CreateElement(name, none), nullptr) << (name ? name : "null");
    }
}

}  // namespace
