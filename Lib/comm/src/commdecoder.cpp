#include "commdecoder.h"

#include "commheaderutility.h"

namespace {
// Whether decodeData would give a non-empty text, without making it.
bool HasData(const std::string& text) {
    const std::size_t pos = text.find(CommHeaderUtility::kStatusLine);
    return pos != std::string::npos && pos + CommHeaderUtility::kStatusSkip < text.size();
}
}  // namespace

CommDecoder::CommDecoder(unsigned long sourceIPA, unsigned int sourcePort, unsigned int receivedCount,
                         const std::string& text)
    : _session(new CommSession(0, ACKNOWLEDGE_DEEP, TRANSMISSION_EXACTLY_ONCE)),
      _transaction(new CommTransaction(OPCODE_NONE, 0, 0, 0, 0, 0)),
      _text(text),
      _error(0) {
    // A text that is not exactly what the socket reported is refused before
    // any field is read.
    if (_text.size() != receivedCount) {
        _error = 0xFFFF;
        return;
    }
    using U = CommHeaderUtility;
    _session->SessionID(U::decodeSessionID(_text));
    _session->AcknowledgeType(U::decodeAcknowledgeType(_text));
    _session->TransmissionType(U::decodeTransmissionType(_text));
    _transaction->OpCode(U::decodeOpCode(_text));
    _transaction->TransactionID(U::decodeTransactionID(_text));
    // The sender's unit is the remote unit for the receiver.
    const unsigned short unit = U::decodeSourceUnitID(_text);
    _transaction->SourceUnitID(unit);
    _transaction->RemoteUnitID(unit);
    _transaction->RemoteIPA(sourceIPA);
    _transaction->RemotePort(static_cast<unsigned short>(sourcePort));
}

unsigned short CommDecoder::ValidateErr() const {
    if (_error != 0) return 0xFFFF;
    // Nothing longer than the protocol ever sends is taken in.
    if (_text.size() > COMM_MAX_DATAGRAM) return 0xFFFF;
    if (_session->SessionID() == 0) return 0xFFFF;
    if (_session->AcknowledgeType() == ACKNOWLEDGE_NONE) return 0xFFFF;
    if (_session->TransmissionType() == TRANSMISSION_NONE) return 0xFFFF;
    if (_transaction->OpCode() == OPCODE_NONE) return 0xFFFF;
    if (_transaction->RemoteUnitID() == 0) return 0xFFFF;
    if (_transaction->RemoteIPA() == 0) return 0xFFFF;
    if (_transaction->RemotePort() == 0) return 0xFFFF;
    if (_session->AcknowledgeType() == ACKNOWLEDGE_DEEP && !HasData(_text)) return 0xFFFF;
    return 0;
}

std::string CommDecoder::GetHead() const { return CommHeaderUtility::decodeHead(_text); }
std::string CommDecoder::GetData() const { return CommHeaderUtility::decodeData(_text); }
