// The worked example as the writer must produce it (14 lines, no line feed after the last);
// the message tests write it, the codec tests read it back.
#ifndef NUVAK_MESSAGE_TESTS_WORKEDEXAMPLE_H
#define NUVAK_MESSAGE_TESTS_WORKEDEXAMPLE_H

inline constexpr char kWorkedExample[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>\n"
    "<Camera ActionType=\"SET_RESPONSE\" \n"
    "     RequestID=\"7\" \n"
    "     SourceUnit=\"1\" \n"
    "     ErrorStatus=\"0\" \n"
    "     MonitorID=\"12\" \n"
    "     MonSwitchID=\"0\" \n"
    "     MonDevType=\"1\" >\n"
    "     <CameraPreset CameraID=\"101\" \n"
    "          PresetID=\"3\" \n"
    "          ProgSet=\"0\" \n"
    "          ScreenPosition=\"0\" \n"
    "          VarReturnCode=\"0\" />\n"
    "</Camera>";

#endif
