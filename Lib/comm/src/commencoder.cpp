#include "commencoder.h"

#include <ctime>

#include "commheadertext.h"
#include "commheaderutility.h"

CommEncoder::CommEncoder(CommSession* session, CommTransaction* transaction, unsigned short count,
                         const std::string& data)
    : _error(0) {
    Build(session, transaction, count, data, static_cast<long>(std::time(nullptr)));
}

CommEncoder::CommEncoder(CommSession* session, CommTransaction* transaction, unsigned short count,
                         const std::string& data, long unixTime)
    : _error(0) {
    Build(session, transaction, count, data, unixTime);
}

void CommEncoder::Build(const CommSession* session, const CommTransaction* transaction, unsigned short count,
                        const std::string& data, long unixTime) {
    if (session == nullptr || transaction == nullptr) {
        _error = 0xFFFF;
        return;
    }
    // A deep exchange always carries data.
    if (data.empty() && session->AcknowledgeType() == ACKNOWLEDGE_DEEP) {
        _error = 0xFFFF;
        return;
    }
    // The lines of CommHeaderUtility, appended in place (no string per line).
    using U = CommHeaderUtility;
    _msg.reserve(256 + data.size());
    namespace text = nuvak::comm;
    text::AppendOpCodeLine(_msg, transaction->OpCode(), count);
    _msg += "Data Length: ";
    U::appendNumber(_msg, static_cast<unsigned short>(data.size() & 0xFFFFu));
    _msg += "\nSource Unit ID: ";
    U::appendNumber(_msg, transaction->SourceUnitID());
    _msg += "\nSession ID: ";
    U::appendNumber(_msg, session->SessionID());
    _msg += "\nTransaction ID: ";
    U::appendNumber(_msg, transaction->TransactionID());
    _msg += '\n';
    text::AppendAcknowledgeLine(_msg, session->AcknowledgeType());
    text::AppendTransmissionLine(_msg, session->TransmissionType());
    _msg += "Time Stamp: ";
    text::AppendTime(_msg, unixTime);
    _msg += "\nRV640 OK\n";
    _msg += data;
}

unsigned short CommEncoder::ValidateErr() const {
    if (_error != 0 || _msg.size() > COMM_MAX_DATAGRAM) return 0xFFFF;
    return 0;
}
