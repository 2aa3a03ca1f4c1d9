// nuvak-echo-server: a stand-in for the tour service's request handling,
// built from the real comm server. Each request is decoded as a camera
// message and answered as the service would ("SET_RESPONSE", the given error
// status and state written into the message and its variable). Text that
// does not decode is answered unchanged. Every request that reaches it is
// logged on stdout ("request N"), so that tests can count deliveries.
//
// usage: nuvak-echo-server [--port P] [--unit N] [--status CODE] [--state N] [--silent]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cameramessage.h"
#include "framework.h"
#include "icommserver.h"
#include "itmgr.h"
#include "ixmlcodec.h"

namespace {

class Echo : public ICommServerUser {
public:
    void OnRequest(std::string data) override {
        ++count;
        std::string answer = data;
        IXMLCodec* codec = nullptr;
        if (CreateXMLCodec(&codec) == TRUE) {
            CameraElementFactory factory;
            Message* message = nullptr;
            codec->Decode(&data, &factory, &message);
            DestroyXMLCodec(&codec);
            if (message != nullptr) {
                message->SetActionType("SET_RESPONSE");
                message->SetErrorStatus(status);
                Variable* v = nullptr;
                if (message->GetVariable(0, &v) == TRUE && v != nullptr) {
                    if (auto* g = dynamic_cast<CameraVariableGroup*>(v)) {
                        g->SetReturnCode(status);
                        g->SetState(state);
                    } else if (auto* m = dynamic_cast<CameraVariableGroupMonitor*>(v)) {
                        m->SetReturnCode(status);
                        m->SetMonList("   1   2  17");
                    }
                }
                answer.clear();
                message->SerializeElement(answer, 0);
                delete message;
            }
        }
        const unsigned short sent = server->SendResponse(0, ACKNOWLEDGE_DEEP, answer);
        if (!silent) std::printf("request %lu%s\n", count, sent != 0 ? "" : " (answer not sent)");
        std::fflush(stdout);
    }
    ICommServer* server = nullptr;
    unsigned short status = 0, state = 1;
    bool silent = false;
    unsigned long count = 0;
};

[[noreturn]] void Fail(const std::string& reason) {
    std::fprintf(stderr, "nuvak-echo-server: %s\n", reason.c_str());
    std::exit(1);
}

unsigned long Number(const char* s, unsigned long max) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(s, &end, 0);
    if (*s == '\0' || *end != '\0' || v > max) Fail(std::string("bad number ") + s);
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    Echo echo;
    unsigned short port = 5110, unit = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> const char* {
            if (i + 1 >= argc) Fail(a + " needs a value");
            return argv[++i];
        };
        if (a == "--help") {
            std::puts("usage: nuvak-echo-server [--port P] [--unit N] [--status CODE] [--state N] [--silent]");
            return 0;
        } else if (a == "--port") {
            port = static_cast<unsigned short>(Number(next(), 65535));
        } else if (a == "--unit") {
            unit = static_cast<unsigned short>(Number(next(), 64));
        } else if (a == "--status") {
            echo.status = static_cast<unsigned short>(Number(next(), 0xFFFF));
        } else if (a == "--state") {
            echo.state = static_cast<unsigned short>(Number(next(), 0xFFFF));
        } else if (a == "--silent") {
            echo.silent = true;
        } else {
            Fail("unknown argument " + a);
        }
    }
    IFrameWork* fw = CreateFrameWork();
    T_TMGRIF_cfg cfg{};
    const bool tm = ITMGR::Getsize(&cfg) == 0;
    unsigned short err = 0;
    ICommServer* server = tm ? CreateCommServer(*fw, echo, unit, port, err, 1, 1500)
                             : CreateCommServerStandalone(*fw, echo, unit, port, err, 1, 1500);
    if (server == nullptr || err != 0) {
        if (server != nullptr) DestroyCommServer(&server);
        DestroyFrameWork();
        Fail("cannot open the comm server on port " + std::to_string(port));
    }
    echo.server = server;
    std::printf("listening on port %u as unit %u\n", GetCommServerPort(server), unit);
    std::fflush(stdout);
    fw->Run();  // until SIGINT
    const CommServerStats s = GetCommServerStats(server);
    std::printf("delivered %lu repeats %lu dropped %lu\n", s.delivered, s.repeats, s.dropped);
    DestroyCommServer(&server);
    DestroyFrameWork();
    return 0;
}
