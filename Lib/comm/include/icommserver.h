// The comm server: receives requests of the comm protocol on one UDP port,
// hands each request's payload to its user and sends the user's answer back.
// Shallow requests are acknowledged by the server itself; the answers to
// exactly-once requests are kept for a limited time (stored answers) so that
// repeats are answered from the store and never reach the user again.
//
// Usage (all on the framework's run loop):
//   class Service : public ICommServerUser {
//       void OnRequest(std::string data) override {
//           std::string answer = Handle(data);
//           server->SendResponse(0, ACKNOWLEDGE_DEEP, answer);  // once, from inside OnRequest
//       }
//   };
//   unsigned short err = 0;
//   ICommServer* server = CreateCommServer(fw, service, myUnit, 5110, err, 1, 1500);
//   if (err != 0) { DestroyCommServer(&server); ... }
//
// SendResponse answers the request being handled (its source address, port,
// session and transaction ids, types); its unit and acknowledge arguments
// are not used. Called outside OnRequest it sends nothing and returns 0xFFFF.
//
// Like the client, the server reads the task manager's data module at
// construction; CreateCommServerStandalone() does without it.
#ifndef ICOMMSERVER_H
#define ICOMMSERVER_H

#include <cstddef>
#include <string>
#include <vector>

#include "commtypes.h"

class IFrameWork;

class ICommServerUser {
public:
    virtual ~ICommServerUser() {}
    // Called with the payload of each request that is not a repeat of a
    // stored one. Answer by calling SendResponse before returning; an
    // exactly-once request left unanswered reaches the user again when it is
    // repeated. Must not destroy the server.
    virtual void OnRequest(std::string data) = 0;
};

class ICommServer {
public:
    virtual ~ICommServer() {}
    // 0xFFFF success, 0 failure (answer not encodable or not sent). For an
    // exactly-once request the answer is stored even when sending failed, so
    // that a repeat is answered from the store and never acted on twice.
    virtual unsigned short SendResponse(unsigned short unitId, ACKNOWLEDGE_TYPE ack, std::string data) = 0;
    // Life of later stored answers for remote requesters.
    virtual void SetTimeToLive(unsigned short timeToLive) = 0;
    virtual void SetTriggerPeriod(unsigned long milliseconds) = 0;
};

// Counters for tests, tools and benchmarks (not part of the protocol).
struct CommServerStats {
    unsigned long received = 0;       // valid requests
    unsigned long dropped = 0;        // invalid datagrams
    unsigned long delivered = 0;      // handed to the user
    unsigned long repeats = 0;        // answered from the store
    unsigned long refusedFull = 0;    // exactly-once requests dropped because the store was full
    unsigned long refusedShare = 0;   // ... because their address held its share of the store
    unsigned long droppedAnswers = 0; // answer op-codes, or requests from a comm server's port
    unsigned long droppedConflicts = 0;  // exactly-once, the key of a held answer, another payload
    unsigned long sendFailures = 0;
    std::size_t stored = 0;           // stored answers now
    std::size_t storedBytes = 0;      // their payload bytes now
    std::size_t storedPeak = 0;
};
CommServerStats GetCommServerStats(const ICommServer* server);
// A smaller bound on stored answers (tests and tools; at most the default).
void SetCommServerStoreBound(ICommServer* server, std::size_t answers);
// The UDP port the server is bound to (the kernel's choice when created with 0).
unsigned int GetCommServerPort(const ICommServer* server);
// Whether the server's socket is open, so that requests reach it. False for
// a server whose port could not be bound (it is still returned by
// CreateCommServer, with error 0xFFFF, and receives nothing); a server
// whose only fault is a task manager without host entries listens.
bool CommServerListening(const ICommServer* server);

ICommServer* CreateCommServer(IFrameWork& fw, ICommServerUser& user, unsigned short localUnitId,
                              unsigned short port, unsigned short& error, unsigned short timeToLive,
                              unsigned long triggerPeriod);
unsigned short CreateCommServer(ICommServer** server, IFrameWork& fw, ICommServerUser& user,
                                unsigned short localUnitId, unsigned short port, unsigned short timeToLive,
                                unsigned long triggerPeriod);
unsigned short DestroyCommServer(ICommServer** server);
ICommServer* CreateCommServerStandalone(IFrameWork& fw, ICommServerUser& user, unsigned short localUnitId,
                                        unsigned short port, unsigned short& error, unsigned short timeToLive,
                                        unsigned long triggerPeriod);

class CommServer_SingletonFactory {
public:
    static CommServer_SingletonFactory* Instance();
    ICommServer* CreateCommServer(IFrameWork& fw, ICommServerUser& user, unsigned short localUnitId,
                                  unsigned short port, unsigned short& error, unsigned short timeToLive,
                                  unsigned long triggerPeriod);
    void DestroyCommServer(ICommServer* server);
    ~CommServer_SingletonFactory();

private:
    CommServer_SingletonFactory() = default;
    std::vector<ICommServer*> _servers;  // owned
    static CommServer_SingletonFactory* _instance;
};

#endif
