// The application framework: one single-threaded, signal-driven run loop per
// process. Clients register with the framework, get an IFrameWorkServer back
// and create through it timers, signal listeners, sockets and the process's
// IPC mailbox. Everything those produce arrives as an event on the client's
// worker and is delivered, by priority, to an IFrameWorkObserver from Run().
//
// Ownership: main() creates the framework with CreateFrameWork() and destroys
// it with DestroyFrameWork() after its clients. The framework owns workers,
// sockets, signal handlers and the mailbox; a client destroys what it created
// (normally in OnTerm()) before it is unregistered. An IPCMessage obtained
// from GetMessage() or CreateMessage() belongs to the caller, who deletes it.
//
// Nothing here may be called from a signal handler. Nothing here throws but
// std::bad_alloc, which the failure policy below makes the end of the process.
#ifndef FRAMEWORK_H
#define FRAMEWORK_H

#include <csignal>
#include <string>

#include "ipc.h"
#include "sysdefs.h"

// The real-time signal of the framework, SIGRTMAX - 25. Every sender of
// queued values (task manager, database update, the process's own timers)
// and every signal-driven descriptor uses this number. It is computed at run
// time because SIGRTMAX is not a constant in glibc.
inline int FrameWorkSignal() { return SIGRTMAX - SYS_FRAMEWORK_SIGNAL_OFFSET; }

// The loop takes one datagram per socket per pass, so a burst waits in the
// socket's receive buffer meanwhile. Asks the kernel for `bytes` of receive
// buffer: beyond net.core.rmem_max when the process may (SO_RCVBUFFORCE, as
// root), else as much as the system allows. Failure is harmless; returns
// whether the forced size was granted.
bool WidenReceiveBuffer(int fd, int bytes = 4 << 20);

// Set-up failures. A set-up call of the framework that fails (a socket's
// socket/bind/fcntl/setsockopt, a timer, a signal listener, the mailbox)
// records one line saying which call failed on what and the system's reason,
// for example "bind(0.0.0.0:5110): Address already in use"; its caller reads
// it with LastSetupError() and reports it with ReportSetupFailure(), which
// prints a line to standard output only the first time that exact line is
// reported in the process, so one cause is said once however many objects
// meet it. Steps that fail without failing the creation (fcntl, setsockopt)
// are reported where they happen. The status codes are unchanged.
std::string SystemReason(int err);  // strerror(err)
void SetSetupError(std::string text);
const std::string& LastSetupError();
// True when the line was printed now, false when it had been already.
bool ReportSetupFailure(const std::string& line);

// Failure policy, the same for every library and the service.
//
// A system call that fails is a returned code (a bool, a status, an errno in
// an out-argument), never an exception. During set-up its one line is said
// once, as above, and the process goes on without what failed, doing what
// it can (no comm endpoints without the data module; the bind of port 5110
// retried each second). During a pass it is an error status to the
// requester, a dropped event or a counted miss, and not a line per event.
//
// A peer that fails (task manager, monitor control, another unit, the
// database writer) is never waited for: set-up says so once and carries on;
// a pass meets it as a time-out, a refused or missing answer or a table left
// as it was, and answers with the status the protocol gives.
//
// Allocation has two rules.
//  - Where the amount comes from input (a datagram, an XML document, a
//    database file, a table's record count), the layer that reads the input
//    catches std::bad_alloc at that boundary and returns its error code
//    (DBRET_MEMORY, DBIFERR_MEMORY, a failed parse), so bad input cannot end
//    the process.
//  - Everywhere else (the framework's bookkeeping, a tour's control block, a
//    monitor client, a session) allocation is ordinary `new`, make_unique or
//    a container, and std::bad_alloc is caught nowhere: it ends the process
//    (std::terminate, abort), and the task manager's health check sees the
//    service gone. No code runs on in a half-made state.
// `new (std::nothrow)` stays only at creation calls whose contract already
// answers null, false or a code (CreateFrameWork, Register, CreateMessage,
// the timer and signal-ring allocations, the comm client's and server's
// sessions and transactions, the dBASE handles): it covers the object's own
// block; construction that allocates further follows the second rule.
// Exceptions never cross a C callback (Expat's handlers stop the parser
// instead), a signal handler or the run loop; only the tools under tools/
// use them, for their command lines.
//
// By layer: framework, task manager link, IPC: codes and bools, nothrow at
// creation. Comm: bools and codes, nothrow at sessions and transactions.
// Message and XML codec: null or a failed parse, bad_alloc caught at the
// Expat handlers. dBASE and database interface: negative and DBIFERR_ codes,
// nothrow handles, bad_alloc caught where a file drives the size. The
// service: 16-bit statuses to requesters, the second allocation rule.

// What an observer receives as `type`.
enum EVENTTYPE {
    EVENT_SIGNAL = 0,  // a listener accepted a queued signal value; value = the signal value
    EVENT_TIMER = 1,   // a timer expired; value = the timer's signal value
    EVENT_SOCKET = 2,  // a socket read succeeded; value = the socket id (its descriptor)
    EVENT_IPC = 3      // a mailbox message was read; value = the mailbox's IPC address
};

// Lower numbers are delivered first. PRIORITY_END is the count, never valid.
enum EVENTPRIORITY {
    PRIORITY_HIGH = 0,
    PRIORITY_NORMAL = 1,
    PRIORITY_LOW = 2,
    PRIORITY_END = 3
};

// Socket types accepted by CreateSocket (the platform's own values).
#define FW_SOCKET_STREAM 1    // SOCK_STREAM
#define FW_SOCKET_DATAGRAM 2  // SOCK_DGRAM

class IFrameWorkClient;
class IFrameWorkObserver;
class IFrameWorkServer;
class IWorker;
class ITimer;
class ISignalHandler;
class ISocket;
class IIPC;
class IPCMessage;

// A component of the process. OnInit() is called by Run() before the loop
// starts (only for clients registered before Run()); OnTerm() when the client
// is unregistered or the framework destroyed.
class IFrameWorkClient {
public:
    virtual ~IFrameWorkClient() {}
    virtual void OnInit() {}
    virtual void OnTerm() {}
};

// Receives the events of the sources it was given to. The result is ignored
// by the workers.
class IFrameWorkObserver {
public:
    virtual ~IFrameWorkObserver() {}
    virtual bool OnEvent(EVENTTYPE type, unsigned int value) = 0;
};

// A timer from IFrameWorkServer::CreateTimer. Resolution 100 ms: a timer of
// n ticks started while the tick counter reads t fires at tick t + n.
class ITimer {
public:
    virtual ~ITimer() {}
    // The signal value that identifies this timer's events.
    virtual unsigned int GetSignalValue() const = 0;
    // Stops the timer and drops any expiry of it still queued as an event.
    virtual void Stop() = 0;
    // Starts the timer (the value of its events is stored through pValue).
    // On a running timer it keeps the old schedule and returns true; restart
    // with another duration takes Stop() then Start().
    virtual bool Start(unsigned int milliseconds, unsigned int* pValue) = 0;
};

// A registered range of queued signal values (a listener or a timer).
class ISignalHandler {
public:
    virtual ~ISignalHandler() {}
    // Turns `value` into an event on the owning worker if it lies in the
    // range; returns whether it did.
    virtual bool HandleSignal(unsigned int value) = 0;
    // Whether a candidate range collides with this one.
    virtual bool IsUsed(unsigned int value, unsigned int mask, unsigned int size) = 0;
    virtual unsigned int GetSignalValue() const = 0;
    virtual unsigned int GetSignalMask() const = 0;
    virtual unsigned int GetSignalSize() const = 0;
    virtual EVENTTYPE GetSignalType() const = 0;
    virtual unsigned int GetClientId() const = 0;
};

// A socket owned by the framework. All addresses and ports are host order.
// Datagram sockets are non-blocking and signal-driven; the loop reads one
// datagram per socket per pass and announces it as EVENT_SOCKET. The data
// stays valid only while that event is handled.
class ISocket {
public:
    virtual ~ISocket() {}
    virtual int GetSocketId() const = 0;
    // Sends `length` bytes; false with errno in `error` on failure.
    virtual bool Send(unsigned long ip, unsigned int port, unsigned char const* data,
                      unsigned int& length, int& error) = 0;
    // As above to a dotted address; false without touching `error` when the
    // text does not convert (255.255.255.255 included).
    virtual bool Send(char* ipText, unsigned int port, unsigned char const* data,
                      unsigned int& length, int& error) = 0;
    // Stream sockets only; false with errno (usually EINPROGRESS) otherwise.
    virtual bool Connect(unsigned long ip, unsigned int port, int& error) = 0;
    virtual bool GetSource(unsigned long& ip, unsigned int& port) const = 0;
    virtual bool GetCount(unsigned int& count) const = 0;
    virtual std::string GetBuffer() = 0;
    virtual unsigned char* GetBuffer(unsigned int& count) = 0;
    virtual unsigned int GetPort() const = 0;
    virtual unsigned long GetIPA() const = 0;
    virtual bool ResolveHostName(std::string name, int port, unsigned long& ip) = 0;
};

// A 256-byte IPC message block. Messages obtained from IIPC::GetMessage()
// or IFrameWorkServer::CreateMessage() are owned by the caller (delete them
// when done). The block itself belongs to the process (the outgoing block)
// or to the IPC address table (the receive area): it is valid until the next
// message is created or read, so finish with one before the next loop pass.
class IPCMessage {
public:
    virtual ~IPCMessage() {}
    virtual T_ipchdr* GetHandle() const = 0;
    virtual void Release() = 0;
    // Sends all 256 bytes from the sender address in the block's header.
    virtual bool Send(unsigned short destination) const = 0;
};

// The process's IPC mailbox.
class IIPC {
public:
    virtual ~IIPC() {}
    // The message of the EVENT_IPC being handled, or null.
    // The caller owns (deletes) the returned object.
    virtual IPCMessage* GetMessage() const = 0;
    virtual unsigned short GetAddress() const = 0;
};

// The client's face of its worker.
class IFrameWorkServer {
public:
    virtual ~IFrameWorkServer() {}
    // Listens for queued values in [value & mask, ~mask | value] (size 1:
    // 32-bit values; 0: 16-bit). False if the range collides with another.
    virtual bool CreateSignalListener(IFrameWorkObserver& observer, EVENTPRIORITY priority,
                                      unsigned int value, unsigned int mask,
                                      unsigned int size) = 0;
    virtual void DestroySignalListener(unsigned int value) = 0;
    // pTimer must not be null. Timer events are queued at PRIORITY_NORMAL.
    virtual bool CreateTimer(IFrameWorkObserver& observer, bool periodic,
                             EVENTPRIORITY priority, ITimer** pTimer) = 0;
    virtual void DestroyTimer(ITimer* timer) = 0;
    // 0 success, -1 null ppSocket, errno of socket(), -1 failed bind.
    virtual int CreateSocket(IFrameWorkObserver& observer, unsigned long ip, unsigned int port,
                             EVENTPRIORITY priority, ISocket** ppSocket, int type) = 0;
    virtual bool DestroySocket(int socketId) = 0;
    // 0 success, -1 null ppMailbox, -2 a mailbox exists, else an IPC_* code.
    virtual int CreateMailbox(IFrameWorkObserver& observer, unsigned short address,
                              EVENTPRIORITY priority, IIPC** ppMailbox) = 0;
    // A message block for sender `address` (size < 256), or null. The caller
    // owns the returned object and deletes it after Send().
    virtual IPCMessage* CreateMessage(unsigned short address, int size) = 0;
    virtual void DestroyMailbox() = 0;
    virtual void DumpSignalManager() = 0;
};

// The framework's face of a worker: three FIFO queues, one per priority.
class IWorker {
public:
    virtual ~IWorker() {}
    virtual void AddEvent(EVENTPRIORITY priority, unsigned int value, IFrameWorkObserver& observer,
                          unsigned int clientId, EVENTTYPE type) = 0;
    virtual void RemoveEvent(EVENTPRIORITY priority, unsigned int value) = 0;
    virtual void DoEvents() = 0;
    virtual void InitClient() const = 0;
    virtual void TermClient() const = 0;
};

// The framework's internal face, used only by workers.
class IFrameWorkImpl {
public:
    virtual ~IFrameWorkImpl() {}
    virtual bool AllocateSignalValue(unsigned int* value) = 0;
    virtual bool FreeSignalValue(unsigned int value) = 0;
    virtual bool CreateTimerHandler(IWorker& worker, IFrameWorkObserver& observer,
                                    unsigned int clientId, bool periodic, EVENTPRIORITY priority,
                                    ITimer** pTimer, ISignalHandler** ppHandler) = 0;
    virtual void DestroyTimerHandler(ISignalHandler* handler) = 0;
    virtual bool CreateSignalHandler(IWorker& worker, IFrameWorkObserver& observer,
                                     unsigned int clientId, EVENTPRIORITY priority,
                                     unsigned int value, unsigned int mask,
                                     ISignalHandler** ppHandler, unsigned int size) = 0;
    virtual void DestroySignalHandler(ISignalHandler* handler) = 0;
    virtual void DumpSignalManager() = 0;
    virtual int CreateSocket(IWorker& worker, IFrameWorkObserver& observer, unsigned long ip,
                             unsigned int port, EVENTPRIORITY priority, ISocket** ppSocket,
                             int type) = 0;
    virtual void DestroySocket(int socketId) = 0;
    virtual int CreateMailbox(IWorker& worker, IFrameWorkObserver& observer,
                              unsigned short address, EVENTPRIORITY priority,
                              IIPC** ppMailbox) = 0;
    virtual void DestroyMailbox() = 0;
};

// What main() and the clients hold.
class IFrameWork {
public:
    virtual ~IFrameWork() {}
    // Registers a client; ppServer must not be null.
    virtual bool Register(IFrameWorkClient& client, IFrameWorkServer** ppServer) = 0;
    // Calls the client's OnTerm() and deletes its worker. Null: true.
    virtual bool UnRegister(IFrameWorkServer* server) = 0;
    // Calls every OnInit(), then loops until SIGINT (from kill) or a stop
    // request; returns true.
    virtual bool Run() = 0;
    virtual unsigned int GetProcessId() const = 0;
};

// The process's one framework. The first call constructs it (installing the
// signal dispositions and attaching the IPC address table); later calls
// return the same object. DestroyFrameWork() deletes it; a later
// CreateFrameWork() builds a fresh one.
IFrameWork* CreateFrameWork();
void DestroyFrameWork();

#endif
