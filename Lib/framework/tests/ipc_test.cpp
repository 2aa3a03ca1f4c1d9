// IPC mailboxes between real processes, in a private IPC and network
// namespace (the table's key and the ports are the installation's own).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "framework.h"
#include "fwtestutil.h"
#include "ipc.h"

using fwtest::Client;
using fwtest::Recorder;

namespace {

int ReadInt(int fd) {
    int v = -1000;
    while (read(fd, &v, sizeof v) < 0 && errno == EINTR) {
    }
    return v;
}
void WriteInt(int fd, int v) { (void)!write(fd, &v, sizeof v); }

// Another process of the installation, driven by commands over a pipe. It
// builds its own framework only when told to take an address, so it starts
// clean even though it is forked from the test.
class Peer {
public:
    Peer() {
        int cmd[2], rep[2];
        if (pipe(cmd) != 0 || pipe(rep) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(cmd[1]);
            close(rep[0]);
            Serve(cmd[0], rep[1]);
            _exit(0);
        }
        close(cmd[0]);
        close(rep[1]);
        cmd_ = cmd[1];
        rep_ = rep[0];
    }
    ~Peer() {
        Kill();
        close(cmd_);
        close(rep_);
    }
    // Takes `address` (IPC_ANYADDR: any): the address taken, or minus the error.
    int Take(unsigned int address) { return Ask('T', static_cast<int>(address)); }
    int Free() { return Ask('F', 0); }
    // Sends `count` messages to `dest`; byte 2 of message i is i.
    int Send(unsigned int dest, int count) { return Ask('S', static_cast<int>(dest), count); }
    void Kill() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }

private:
    int Ask(int op, int a, int b = 0) {
        int msg[3] = {op, a, b};
        (void)!write(cmd_, msg, sizeof msg);
        return ReadInt(rep_);
    }
    static void Serve(int in, int out) {
        Client client;
        Recorder rec;
        IFrameWorkServer* server = nullptr;
        IIPC* mailbox = nullptr;
        int msg[3];
        for (;;) {
            ssize_t n = read(in, msg, sizeof msg);
            if (n < 0 && errno == EINTR) continue;
            if (n != sizeof msg) break;
            int reply = 0;
            if (msg[0] == 'T') {
                if (server == nullptr) CreateFrameWork()->Register(client, &server);
                reply = server->CreateMailbox(rec, static_cast<unsigned short>(msg[1]), PRIORITY_NORMAL, &mailbox);
                reply = reply == 0 ? mailbox->GetAddress() : -reply;
            } else if (msg[0] == 'F') {
                server->DestroyMailbox();
            } else {
                for (int i = 0; i < msg[2]; ++i) {
                    std::unique_ptr<IPCMessage> m(server->CreateMessage(mailbox->GetAddress(), 104));
                    if (!m) break;
                    IPC_setsender(m->GetHandle(), mailbox->GetAddress());
                    IPC_block(m->GetHandle())[2] = static_cast<unsigned char>(i);
                    IPC_block(m->GetHandle())[255] = 0xEE;
                    if (m->Send(static_cast<unsigned short>(msg[1]))) ++reply;
                }
            }
            WriteInt(out, reply);
        }
        DestroyFrameWork();
    }
    pid_t pid_ = -1;
    int cmd_ = -1;
    int rep_ = -1;
};

TEST(IpcTable, DynamicAddressesRangeAndExhaustion) {
    ASSERT_EQ(IPC_init(), 0);
    T_uint_16 a = IPC_ANYADDR, b = IPC_ANYADDR;
    ASSERT_EQ(IPC_allocaddr(&a), 0);
    ASSERT_EQ(IPC_allocaddr(&b), 0);
    EXPECT_EQ(a, 20);  // a fresh table
    EXPECT_EQ(b, 21);
    EXPECT_EQ(IPC_allocaddr(nullptr), IPCERR_NOTABLE);
    T_uint_16 bad = IPC_NADDR;
    EXPECT_EQ(IPC_allocaddr(&bad), IPCERR_RANGE);
    bad = 0xFFFE;
    EXPECT_EQ(IPC_allocaddr(&bad), IPCERR_RANGE);
    EXPECT_EQ(IPC_setaddr(IPC_ANYADDR, 1), IPCERR_RANGE);
    EXPECT_EQ(IPC_freeaddr(IPC_NADDR), IPCERR_RANGE);
    EXPECT_EQ(IPC_freeaddr(3), IPCERR_NOTTAKEN);
    EXPECT_EQ(IPC_setaddr(3, 3), IPCERR_NOTTAKEN);
    EXPECT_EQ(IPC_malloc(IPC_NADDR, 10), nullptr);
    T_ipchdr* block = nullptr;
    EXPECT_EQ(IPC_rcv(a, nullptr), IPCERR_NOTABLE);
    EXPECT_EQ(IPC_rcv(3, &block), IPCERR_NOTTAKEN);
    EXPECT_EQ(IPC_send(1, nullptr), IPCERR_NOTABLE);

    // Every dynamic address taken: the next request fails, changing nothing.
    std::vector<T_uint_16> all;
    for (;;) {
        T_uint_16 x = IPC_ANYADDR;
        const int rc = IPC_allocaddr(&x);
        if (rc != 0) {
            EXPECT_EQ(rc, IPCERR_FULL);
            EXPECT_EQ(x, IPC_ANYADDR);
            break;
        }
        all.push_back(x);
    }
    EXPECT_EQ(all.size(), static_cast<size_t>(IPC_NADDR - IPC_NFIXED - 2));
    for (T_uint_16 x : all) ASSERT_EQ(IPC_freeaddr(x), 0);
    EXPECT_EQ(IPC_freeaddr(a), 0);
    EXPECT_EQ(IPC_freeaddr(b), 0);
    EXPECT_EQ(IPC_freeaddr(b), IPCERR_NOTTAKEN);
    T_uint_16 again = IPC_ANYADDR;
    EXPECT_EQ(IPC_allocaddr(&again), 0);
    EXPECT_EQ(again, 20);
    EXPECT_EQ(IPC_clr(again), 0);
}

class IpcLoop : public fwtest::LoopTest {};

TEST_F(IpcLoop, FixedAddressTakenByAnotherProcessThenFreed) {
    Peer peer;
    ASSERT_EQ(peer.Take(5), 5);
    IIPC* mailbox = nullptr;
    EXPECT_EQ(server->CreateMailbox(rec, 5, PRIORITY_NORMAL, nullptr), -1);
    EXPECT_EQ(server->CreateMailbox(rec, 5, PRIORITY_NORMAL, &mailbox), IPCERR_TAKEN);
    EXPECT_EQ(IPC_freeaddr(5), IPCERR_NOTOWNER);  // not ours to free
    // Nor ours to send from: its descriptor lives in the other process.
    T_ipchdr forged{};
    IPC_setsender(&forged, 5);
    EXPECT_EQ(IPC_send(1, &forged), IPCERR_NOTOWNER);
    EXPECT_NE(IPC_malloc(5, 10), nullptr);  // taken: a block is handed out
    ASSERT_EQ(peer.Free(), 0);
    ASSERT_EQ(server->CreateMailbox(rec, 5, PRIORITY_NORMAL, &mailbox), 0);
    EXPECT_EQ(mailbox->GetAddress(), 5);
    IIPC* second = nullptr;
    EXPECT_EQ(server->CreateMailbox(rec, 6, PRIORITY_NORMAL, &second), -2);
    // The other process now finds the address taken.
    EXPECT_EQ(peer.Take(5), -IPCERR_TAKEN);
    EXPECT_GE(peer.Take(IPC_ANYADDR), 20);
    DestroyFrameWork();
    // Freed by the framework's destruction: another process may take it.
    T_uint_16 five = 5;
    EXPECT_EQ(IPC_allocaddr(&five), 0);
    EXPECT_EQ(IPC_freeaddr(five), 0);
}

TEST_F(IpcLoop, StaleSlotOfAKilledProcessIsTakenOver) {
    Peer peer;
    ASSERT_EQ(peer.Take(6), 6);
    peer.Kill();  // ends without freeing its address
    IIPC* mailbox = nullptr;
    EXPECT_EQ(server->CreateMailbox(rec, 6, PRIORITY_NORMAL, &mailbox), 0);
}

// Messages from another process arrive one per loop pass, as EVENT_IPC
// with the mailbox's address; datagrams that are not 256 bytes are dropped.
TEST_F(IpcLoop, OneMessagePerPassAndMalformedDatagramsDropped) {
    Peer peer;
    const int from = peer.Take(IPC_ANYADDR);
    ASSERT_GE(from, 20);
    IIPC* mailbox = nullptr;
    ASSERT_EQ(server->CreateMailbox(rec, 8, PRIORITY_NORMAL, &mailbox), 0);
    ASSERT_TRUE(server->CreateSignalListener(rec, PRIORITY_HIGH, 0x600, 0xFFFFFF00, 1));

    const int raw = fwtest::BoundUdp();
    ASSERT_EQ(peer.Send(8, 1), 1);
    fwtest::SendUdp(raw, IPC_PORT_BASE + 8, std::string(100, 'z'));
    ASSERT_EQ(peer.Send(8, 1), 1);
    fwtest::SendUdp(raw, IPC_PORT_BASE + 8, std::string(300, 'z'));
    ASSERT_EQ(peer.Send(8, 2), 2);
    close(raw);
    // One value per pass, too: a HIGH event that marks each pass.
    for (unsigned int i = 1; i <= 6; ++i) fwtest::QueueValue(getpid(), 0x600 + i);

    std::vector<int> sequence;  // byte 2 of each message
    rec.hook = [&](EVENTTYPE type, unsigned int value) {
        if (type != EVENT_IPC) return;
        EXPECT_EQ(value, 8u);
        std::unique_ptr<IPCMessage> m(mailbox->GetMessage());
        ASSERT_TRUE(m);
        EXPECT_EQ(mailbox->GetMessage(), nullptr);  // taken once
        EXPECT_EQ(IPC_getsender(m->GetHandle()), from);
        EXPECT_EQ(IPC_block(m->GetHandle())[255], 0xEE);
        sequence.push_back(IPC_block(m->GetHandle())[2]);
        if (sequence.size() == 4) fwtest::StopLoop();
    };
    fwtest::Watchdog dog(60);
    EXPECT_TRUE(fw->Run());
    const fwtest::Event I{EVENT_IPC, 8};
    auto s = [](unsigned int i) { return fwtest::Event{EVENT_SIGNAL, 0x600 + i}; };
    const std::vector<fwtest::Event> expected = {s(1), I, s(2), s(3), I, s(4), s(5), I, s(6), I};
    EXPECT_TRUE(rec.events == expected);
    EXPECT_EQ(sequence, (std::vector<int>{0, 0, 0, 1}));
}

TEST_F(IpcLoop, MessagesAreExactly256BytesAndBlocksBounded) {
    IIPC* mailbox = nullptr;
    ASSERT_EQ(server->CreateMailbox(rec, 10, PRIORITY_NORMAL, &mailbox), 0);
    const int fd = fwtest::BoundUdp(IPC_PORT_BASE + 11);  // where address 11 would listen
    ASSERT_GE(fd, 0);

    EXPECT_EQ(server->CreateMessage(10, 256), nullptr);
    EXPECT_EQ(server->CreateMessage(12, 10), nullptr);  // not allocated
    std::unique_ptr<IPCMessage> m(server->CreateMessage(10, 255));
    ASSERT_TRUE(m);
    IPC_setsender(m->GetHandle(), 10);
    std::memcpy(IPC_block(m->GetHandle()) + 2, "monitor", 7);
    EXPECT_TRUE(m->Send(11));
    EXPECT_TRUE(m->Send(12));  // nobody there: lost without an error
    EXPECT_FALSE(m->Send(IPC_NADDR));
    unsigned char buf[512];
    EXPECT_EQ(recv(fd, buf, sizeof buf, MSG_TRUNC), 256);
    EXPECT_EQ(buf[0], 10);
    EXPECT_EQ(buf[1], 0);
    EXPECT_EQ(std::memcmp(buf + 2, "monitor", 7), 0);
    EXPECT_EQ(buf[9], 0);  // a fresh block is zero
    m->Release();
    EXPECT_EQ(m->GetHandle(), nullptr);
    EXPECT_FALSE(m->Send(11));
    close(fd);
}

}  // namespace
