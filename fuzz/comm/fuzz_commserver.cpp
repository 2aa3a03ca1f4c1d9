// Fuzz target for the comm server's receive path. Each input is a run of
// datagrams handed to one fresh server (its store bounded to 16 answers, so
// that the fair share and a full store are reached): per datagram a source
// address in 127.0.0.0/8 (or 0), a source port (0, the service port 5110,
// the server's own, or any), the op-code, transmission and acknowledge types,
// a few session and transaction ids (so that keys collide) and the payload;
// or the input's bytes as the whole datagram. Answers go out on the real
// socket, to loopback only.
//
// Checked: nothing with an answer's op-code or from a server's port reaches
// the user; an exactly-once request is never handed over twice for the same
// address, port, ids and payload; a held answer's key with another payload
// never reaches the user; the store keeps within its bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <map>
#include <string>
#include <tuple>

#include "commdecoder.h"
#include "commencoder.h"
#include "commserver.h"
#include "framework.h"

namespace {

constexpr std::size_t kBound = 16;

using Key = std::tuple<unsigned long, unsigned int, unsigned short, unsigned short>;

struct Current {
    unsigned long ipa = 0;
    unsigned int port = 0;
    OPCODE_TYPE op = OPCODE_NONE;
    TRANSMISSION_TYPE trans = TRANSMISSION_NONE;
    unsigned short session = 0, transaction = 0;
};

class CheckingUser : public ICommServerUser {
public:
    void OnRequest(std::string data) override {
        if (cur.op == OPCODE_SERVER_RESPONSE || cur.op == OPCODE_SERVER_ACKNOWLEDGE) std::abort();
        if (cur.port == 5110 || cur.port == ownPort) std::abort();
        if (cur.trans == TRANSMISSION_EXACTLY_ONCE) {
            const Key key{cur.ipa, cur.port, cur.session, cur.transaction};
            // Keys are never reused within one input's run (far shorter than
            // the 4.3 s hold): the first payload holds the key.
            if (!held.emplace(key, data).second) std::abort();
        }
        server->SendResponse(0, ACKNOWLEDGE_DEEP, data.size() % 7 == 3 ? std::string() : "a:" + data);
    }
    CommServer* server = nullptr;
    unsigned int ownPort = 0;
    Current cur;
    std::map<Key, std::string> held;
};

IFrameWork* Framework() {
    static IFrameWork* fw = CreateFrameWork();
    return fw;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    IFrameWork* fw = Framework();
    if (fw == nullptr) return 0;
    CheckingUser user;
    unsigned short err = 0;
    ICommServer* made = CreateCommServerStandalone(*fw, user, 2, 0, err, 1, 1500);
    auto* server = dynamic_cast<CommServer*>(made);
    if (server == nullptr || err != 0) std::abort();
    server->SetStoreBounds(kBound, 1 << 16);
    user.server = server;
    user.ownPort = server->Port();
    std::size_t at = 0;
    while (size - at >= 8) {
        const uint8_t* h = data + at;
        at += 8;
        const std::size_t length = std::min<std::size_t>(h[6], size - at);
        const std::string payload(reinterpret_cast<const char*>(data + at), length);
        at += length;
        const unsigned long ipa = h[1] == 0xFF ? 0 : 0x7F000000ul | (h[1] & 0x0F);
        unsigned int port = static_cast<unsigned int>(h[2] << 8 | h[3]);
        if (port == 1) port = user.ownPort;
        if (port == 2) port = 5110;
        std::string datagram;
        if (h[0] & 1) {
            datagram = payload;  // the bytes as the socket would report them
        } else {
            const auto op = static_cast<OPCODE_TYPE>((h[0] >> 1) & 7);
            const auto trans = static_cast<TRANSMISSION_TYPE>((h[0] >> 4) & 3);
            const ACKNOWLEDGE_TYPE ack = (h[0] & 0x40) ? ACKNOWLEDGE_SHALLOW : ACKNOWLEDGE_DEEP;
            CommSession s(static_cast<unsigned short>(h[4] & 7), ack, trans);
            CommTransaction t(op, static_cast<unsigned short>(h[5] & 3), h[7], 0, 0, 0);
            datagram = CommEncoder(&s, &t, h[5] >> 4, payload).GetMsg();
        }
        const CommDecoder d(ipa, port, static_cast<unsigned int>(datagram.size()), datagram);
        const CommSession s = d.GetCommSession();
        const CommTransaction t = d.GetCommTransaction();
        user.cur = {ipa, port, t.OpCode(), s.TransmissionType(), s.SessionID(), t.TransactionID()};
        server->Receive(ipa, port, reinterpret_cast<const unsigned char*>(datagram.data()),
                        static_cast<unsigned int>(datagram.size()));
        if (server->Stats().stored > kBound) std::abort();
    }
    DestroyCommServer(&made);
    return 0;
}
