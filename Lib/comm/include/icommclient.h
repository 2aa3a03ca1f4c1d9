// The comm client: sends requests of the comm protocol to units or addresses,
// repeats them until answered or given up, and tells the requesting user.
//
// Results are 16-bit booleans: 0xFFFF success/true, 0 failure/false.
//
// Usage (all on the framework's run loop):
//   unsigned short err = 0;
//   ICommClient* c = CreateCommClient(fw, nullptr, myUnit, 5010, err, 3, 1000);
//   if (err != 0) { DestroyCommClient(&c); ... }
//   c->SendRequest(&user, ipa, 5110, TRANSMISSION_EXACTLY_ONCE, ACKNOWLEDGE_DEEP, xml);
//   ... later, from the loop: user.OnResponse(unit, answer)  ("" = no answer came)
//
// The client needs the task manager's data module (its configuration and
// host entries). CreateCommClientStandalone() builds one without it: only
// 127.0.0.1 counts as local, and the unit table is used if present.
#ifndef ICOMMCLIENT_H
#define ICOMMCLIENT_H

#include <string>
#include <vector>

#include "commtypes.h"

class IFrameWork;

// Implemented by the requesting component. Called from the loop with the
// answering unit (0 for a request sent to an address) and the answer
// payload, or "" when no answer came (Deep requests only). It may send new
// requests, but must not destroy the client.
class ICommClientUser {
public:
    virtual ~ICommClientUser() {}
    virtual void OnResponse(unsigned short unitId, std::string data) = 0;
};

class ICommClient {
public:
    virtual ~ICommClient() {}
    // Receives the answers to at-most-once requests and broadcasts.
    virtual void SetICommClientUser(ICommClientUser* user) = 0;
    // Host order; 0 (the initial value) means none.
    virtual void SetBroadcastIPA(unsigned long ipa) = 0;
    // Apply to later requests.
    virtual void SetMaxRetry(unsigned short maxRetry) = 0;
    virtual void SetRetryPeriod(unsigned long milliseconds) = 0;
    virtual unsigned short SendBroadcast(ICommClientUser* user, unsigned short port, ACKNOWLEDGE_TYPE ack,
                                         std::string data) = 0;
    // A refused request (0) leaves nothing behind; its user is not called.
    // An exactly-once request is refused when the client's max retry and
    // retry period would spread its copies beyond the server's hold
    // (CommExactlyOnceFits in commtypes.h; said once per schedule).
    virtual unsigned short SendRequest(ICommClientUser* user, unsigned long ipa, unsigned short port,
                                       TRANSMISSION_TYPE trans, ACKNOWLEDGE_TYPE ack, std::string data) = 0;
    virtual unsigned short SendRequest(ICommClientUser* user, std::vector<unsigned short> unitIds,
                                       unsigned short port, TRANSMISSION_TYPE trans, ACKNOWLEDGE_TYPE ack,
                                       std::string data) = 0;
    virtual unsigned short IsUnitOnline(unsigned short unitId) = 0;
};

// Constructs a client and records it as the library's current client. The
// client is returned even when error is set to 0xFFFF; the caller then
// destroys it.
ICommClient* CreateCommClient(IFrameWork& fw, ICommClientUser* user, unsigned short localUnitId,
                              unsigned short port, unsigned short& error, unsigned short maxRetry,
                              unsigned long retryPeriod);
// Returns the current client through `client`, constructing one if there is
// none. 0 (and null through client) when construction failed or client is null.
unsigned short CreateCommClient(ICommClient** client, IFrameWork& fw, ICommClientUser* user,
                                unsigned short localUnitId, unsigned short port, unsigned short maxRetry,
                                unsigned long retryPeriod);
// Deletes *client (if any) and forgets the current client; *client is not
// cleared. 0 for a null client.
unsigned short DestroyCommClient(ICommClient** client);
// As the first form, without the task manager's data module (tools that run
// on a machine without one). Not recorded as the current client; the caller
// deletes it with DestroyCommClient.
ICommClient* CreateCommClientStandalone(IFrameWork& fw, ICommClientUser* user, unsigned short localUnitId,
                                        unsigned short port, unsigned short& error, unsigned short maxRetry,
                                        unsigned long retryPeriod);

// Meaningful while a user's OnResponse is told that no answer came (empty
// payload): true when the client gave the unit up as offline (the unit table
// has no address for it or shows it IDLE, at the request or at a repeat)
// rather than after its repeats; false otherwise.
bool CommClientGaveUpOffline(const ICommClient* client);

// Makes a fresh client hand out its session ids (1..4096) from `first` on,
// wrapping, instead of from 1. A tool run again and again from one local
// port then does not send a new request under the ids of a request the
// server still holds an answer for (it would get that answer, not be acted
// on). Has no effect once a request is open, or for `first` outside 1..4096.
void CommClientStartSessionsAt(ICommClient* client, unsigned short first);

class CommClient_SingletonFactory {
public:
    static CommClient_SingletonFactory* Instance();
    ICommClient* CreateCommClient(IFrameWork& fw, ICommClientUser* user, unsigned short localUnitId,
                                  unsigned short port, unsigned short& error, unsigned short maxRetry,
                                  unsigned long retryPeriod);
    void DestroyCommClient(ICommClient* client);
    ~CommClient_SingletonFactory();

private:
    CommClient_SingletonFactory() = default;
    std::vector<ICommClient*> _clients;  // owned
    static CommClient_SingletonFactory* _instance;
};

#endif
