// One client request: its header values, its payload (sent again with every
// repeat) and one transaction per addressed peer, owned in a map by
// transaction id. The session ends with its last transaction.
#ifndef COMMCLIENTSESSION_H
#define COMMCLIENTSESSION_H

#include <deque>
#include <map>
#include <memory>
#include <string>

#include "commclienttransaction.h"
#include "commsession.h"

class CommClientSession;
class ICommClientUser;

// What a session calls on the comm client.
class ICommClientCallBack {
public:
    virtual ~ICommClientCallBack() {}
    virtual void NotifyUser(CommClientSession* session, CommClientTransaction* transaction) = 0;
    virtual void DestroySession(CommClientSession* session) = 0;
    virtual unsigned short SendRetransmit(CommClientSession* session, CommClientTransaction* transaction) = 0;
    virtual void ScheduleTransaction(CommClientTransaction* transaction, unsigned long milliseconds) = 0;
    virtual void CancelTransaction(CommClientTransaction* transaction) = 0;
};

class CommClientSession : public ICommClientSessionCallBack, public CommSession {
public:
    static constexpr unsigned short kTransactionIds = 64;  // one per unit of the installation

    CommClientSession(ICommClientCallBack* client, IFrameWorkServer* worker, unsigned short sessionId,
                      ACKNOWLEDGE_TYPE ack, TRANSMISSION_TYPE trans);
    ~CommClientSession() override;
    CommClientSession(const CommClientSession&) = delete;
    CommClientSession& operator=(const CommClientSession&) = delete;

    void NotifyUser(CommClientTransaction* transaction) override;
    // Deletes the transaction; with the last one the client deletes this
    // session too, so the caller must not touch the session afterwards
    // unless it knows other transactions remain.
    void DestroyTransaction(CommClientTransaction* transaction) override;
    unsigned short SendRetransmit(CommClientTransaction* transaction) override;
    void ScheduleTransaction(CommClientTransaction* t, unsigned long ms) override { _client->ScheduleTransaction(t, ms); }
    void CancelTransaction(CommClientTransaction* t) override { _client->CancelTransaction(t); }

    // A new transaction (not in the map, timer not running), or null when
    // the id pool is empty. Owned by the caller until
    // InsertTransaction.
    std::unique_ptr<CommClientTransaction> CreateTransaction();
    // Takes ownership, files it and starts its timer.
    void InsertTransaction(std::unique_ptr<CommClientTransaction> transaction);
    CommClientTransaction* GetTransactionByID(unsigned short transactionId) const;
    std::size_t TransactionCount() const { return _transactions.size(); }

    void SetMsgData(const std::string& data) { _data = data; }
    const std::string& GetMsgData() const { return _data; }
    void SetIUser(ICommClientUser* user) { _user = user; }
    ICommClientUser* GetIUser() const { return _user; }
    IFrameWorkServer* GetWorker() const { return _worker; }
    // 0 when the pool is empty.
    void GenerateTransactionID(unsigned short& id);

private:
    IFrameWorkServer* _worker;     // handed to every transaction (not owned)
    ICommClientCallBack* _client;  // not owned
    ICommClientUser* _user = nullptr;
    std::map<unsigned short, std::unique_ptr<CommClientTransaction>> _transactions;
    std::deque<unsigned short> _idPool;
    std::string _data;
};

#endif
