// What the comm client and the comm server open on the framework, opened and
// closed by one routine: the unit's host addresses from the task manager,
// two workers (one owns the socket, the other the timer that drives the
// endpoint's queue of periods), the timer and the UDP socket.
//
// Every step that fails is reported once, naming the endpoint, the call, what
// it was for and the system's reason, e.g.
//   comm server (port 5110): bind(0.0.0.0:5110): Address already in use
// A cause shared by both endpoints (no task manager data module, no host
// entries) gives the same line from both, and so is printed once.
#ifndef COMMENDPOINT_H
#define COMMENDPOINT_H

#include "framework.h"

struct CommEndpoint {
    IFrameWork* framework = nullptr;  // set once the first registration succeeded
    IFrameWorkServer* socketWorker = nullptr;
    IFrameWorkServer* sessionWorker = nullptr;
    ITimer* timer = nullptr;  // periodic, on the session worker
    ISocket* socket = nullptr;
    const IFrameWorkObserver* owner = nullptr;  // the client or server, while its socket is open
    unsigned long localIPA[3] = {0, 0, 0};  // host entries 0..2, 0 where none

    // 0 is not local; 127.0.0.1 is; so is any non-zero host address.
    bool IsLocal(unsigned long ipa) const;
    // The socket goes first (no more receive events), then what the owner
    // keeps, then Close(): the timer and both workers.
    void DestroySocket();
    void Close();
};

// Which worker is registered first (the client: socket worker; the server:
// session worker), as each endpoint has always done.
enum class CommWorkerOrder { SocketFirst, SessionFirst };

// Opens the endpoint for its owner (the client or server object, as
// framework client and observer) bound to UDP `port` on any address.
// useTaskManager false: the data module is not read and only 127.0.0.1
// counts as local. Returns 0; or 0xFFFF when a step failed (the steps after
// it are not taken) or when the task manager lists no host entry (the
// endpoint is still opened). `name` is "comm client" or "comm server".
unsigned short OpenCommEndpoint(CommEndpoint& ep, IFrameWork& fw, IFrameWorkClient& client,
                                IFrameWorkObserver& observer, const char* name, unsigned short port,
                                bool useTaskManager, CommWorkerOrder order, EVENTPRIORITY timerPriority);

// Whether the endpoint of `owner` (the client or server object, as framework
// observer) has its socket open: false once its port could not be bound.
bool CommEndpointListening(const IFrameWorkObserver* owner);

#endif
