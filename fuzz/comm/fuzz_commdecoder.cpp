// Fuzz target for the comm datagram decoder: any byte string, as the socket
// would report it, must decode without a crash or an out-of-range read, and a
// datagram the decoder accepts must survive a re-encode unchanged in every
// field the receivers use.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "commdecoder.h"
#include "commencoder.h"
#include "commheaderutility.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    CommDecoder d(0x7F000001ul, 5010, static_cast<unsigned int>(size), text);
    const std::string head = d.GetHead();
    const std::string payload = d.GetData();
    if (head.size() + payload.size() > size) std::abort();
    if (d.ValidateErr() != 0) return 0;

    CommSession s = d.GetCommSession();
    CommTransaction t = d.GetCommTransaction();
    if (s.SessionID() == 0 || t.RemoteUnitID() == 0) std::abort();
    CommEncoder e(&s, &t, 1, payload, 1000000000L);
    if (e.ValidateErr() != 0) {
        // Only a re-encode that grew past the limit may be refused.
        if (e.GetMsgSize() <= COMM_MAX_DATAGRAM) std::abort();
        return 0;
    }
    CommDecoder again(0x7F000001ul, 5010, e.GetMsgSize(), e.GetMsg());
    if (again.ValidateErr() != 0) std::abort();
    const CommSession s2 = again.GetCommSession();
    const CommTransaction t2 = again.GetCommTransaction();
    if (s2.SessionID() != s.SessionID() || s2.AcknowledgeType() != s.AcknowledgeType() ||
        s2.TransmissionType() != s.TransmissionType() || t2.OpCode() != t.OpCode() ||
        t2.TransactionID() != t.TransactionID() || t2.SourceUnitID() != t.SourceUnitID())
        std::abort();
    // The payload may itself contain a status line; only the first one counts.
    if (again.GetData() != payload) std::abort();
    return 0;
}
