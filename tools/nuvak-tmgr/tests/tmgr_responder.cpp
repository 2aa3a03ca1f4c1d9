// A process of the installation reduced to its task manager link: the
// framework loop and a registering ITMGR, which answers health checks until
// SIGINT. Used by the end-to-end tests as the other side of nuvak-tmgr.
//   tmgr-responder [PROCESS [NAME]]   (default 51 NUVAK)
#include <cstdio>
#include <cstdlib>

#include "framework.h"
#include "itmgr.h"

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    unsigned long process = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : PROC_NUVAK;
    const char* name = argc > 2 ? argv[2] : "NUVAK";
    IFrameWork* fw = CreateFrameWork();
    if (fw == nullptr) return 1;
    {
        ITMGR link(*fw, static_cast<unsigned short>(process), name);
        std::printf("ready registered %d\n", TMGRIF_ownprocess());
        fw->Run();
    }
    DestroyFrameWork();
    std::printf("stopped\n");
    return 0;
}
