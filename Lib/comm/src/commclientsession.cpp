#include "commclientsession.h"

#include <new>

CommClientSession::CommClientSession(ICommClientCallBack* client, IFrameWorkServer* worker,
                                     unsigned short sessionId, ACKNOWLEDGE_TYPE ack, TRANSMISSION_TYPE trans)
    : CommSession(sessionId, ack, trans), _worker(worker), _client(client) {
    for (unsigned short id = 1; id <= kTransactionIds; ++id) _idPool.push_back(id);
}

CommClientSession::~CommClientSession() {
    _transactions.clear();  // deletes every transaction and its timer
    _idPool.clear();
}

void CommClientSession::NotifyUser(CommClientTransaction* transaction) { _client->NotifyUser(this, transaction); }

void CommClientSession::DestroyTransaction(CommClientTransaction* transaction) {
    _transactions.erase(transaction->TransactionID());
    if (_transactions.empty()) _client->DestroySession(this);
}

unsigned short CommClientSession::SendRetransmit(CommClientTransaction* transaction) {
    return _client->SendRetransmit(this, transaction);
}

void CommClientSession::GenerateTransactionID(unsigned short& id) {
    if (_idPool.empty()) {
        id = 0;
        return;
    }
    id = _idPool.front();
    _idPool.pop_front();
}

std::unique_ptr<CommClientTransaction> CommClientSession::CreateTransaction() {
    unsigned short id = 0;
    GenerateTransactionID(id);
    if (id == 0) return nullptr;
    std::unique_ptr<CommClientTransaction> t(new (std::nothrow) CommClientTransaction(
        this, _worker, OPCODE_CLIENT_REQUEST, id, 0, 0, 0, 0, 1, 500, 0));
    if (!t || t->ErrorCheck() != 0) return nullptr;
    return t;
}

void CommClientSession::InsertTransaction(std::unique_ptr<CommClientTransaction> transaction) {
    CommClientTransaction* t = transaction.get();
    _transactions[t->TransactionID()] = std::move(transaction);
    t->StartTimer();
}

CommClientTransaction* CommClientSession::GetTransactionByID(unsigned short transactionId) const {
    const auto it = _transactions.find(transactionId);
    return it == _transactions.end() ? nullptr : it->second.get();
}
