// IPC mailboxes between real processes, in a private IPC and network
// namespace (the table's key and the ports are the installation's own).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "fwtestutil.h"
#include "ipc.h"

namespace {

TEST(IpcTable, DynamicAddressesRangeAndExhaustion) {
    ASSERT_EQ(IPC_init(), 0);
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
    EXPECT_EQ(IPC_rcv(20, nullptr), IPCERR_NOTABLE);
    EXPECT_EQ(IPC_rcv(3, &block), IPCERR_NOTTAKEN);
    EXPECT_EQ(IPC_send(1, nullptr), IPCERR_NOTABLE);

    // A fresh table hands out the lowest first; with every dynamic address
    // taken the next request fails, changing nothing.
    for (T_uint_16 x = IPC_NFIXED; x < IPC_NADDR; ++x) {
        T_uint_16 any = IPC_ANYADDR;
        ASSERT_EQ(IPC_allocaddr(&any), 0);
        ASSERT_EQ(any, x);
    }
    T_uint_16 none = IPC_ANYADDR;
    EXPECT_EQ(IPC_allocaddr(&none), IPCERR_FULL);
    EXPECT_EQ(none, IPC_ANYADDR);
    for (T_uint_16 x = 20; x < IPC_NADDR; ++x) ASSERT_EQ(IPC_freeaddr(x), 0);
    EXPECT_EQ(IPC_freeaddr(21), IPCERR_NOTTAKEN);
    T_uint_16 again = IPC_ANYADDR;
    EXPECT_EQ(IPC_allocaddr(&again), 0);
    EXPECT_EQ(again, 20);
    EXPECT_EQ(IPC_clr(again), 0);
}

class IpcLoop : public fwtest::LoopTest {};

TEST_F(IpcLoop, FixedAddressOfAnotherProcessIsRefusedUntilItEnds) {
    const pid_t holder = fwtest::Spawn([] {
        T_uint_16 five = 5;
        if (IPC_allocaddr(&five) == 0) pause();
    });
    for (int i = 0; i < 500 && IPC_malloc(5, 10) == nullptr; ++i) fwtest::SleepMs(10);  // taken
    IIPC* mailbox = nullptr;
    EXPECT_EQ(server->CreateMailbox(rec, 5, PRIORITY_NORMAL, nullptr), -1);
    EXPECT_EQ(server->CreateMailbox(rec, 5, PRIORITY_NORMAL, &mailbox), IPCERR_TAKEN);
    EXPECT_EQ(IPC_freeaddr(5), IPCERR_NOTOWNER);  // not ours to free
    // Nor ours to send from: its descriptor lives in the other process.
    T_ipchdr forged{};
    IPC_setsender(&forged, 5);
    EXPECT_EQ(IPC_send(1, &forged), IPCERR_NOTOWNER);
    // Killed without freeing it: the stale slot is taken over.
    kill(holder, SIGKILL);
    while (waitpid(holder, nullptr, 0) < 0 && errno == EINTR) {
    }
    ASSERT_EQ(server->CreateMailbox(rec, 5, PRIORITY_NORMAL, &mailbox), 0);
    EXPECT_EQ(mailbox->GetAddress(), 5);
    IIPC* second = nullptr;
    EXPECT_EQ(server->CreateMailbox(rec, 6, PRIORITY_NORMAL, &second), -2);
    // Another process now finds it taken; a dynamic address it gets.
    EXPECT_EQ(fwtest::InChild([] {
                  T_uint_16 five = 5, any = IPC_ANYADDR;
                  _exit(IPC_allocaddr(&five) == IPCERR_TAKEN && IPC_allocaddr(&any) == 0 && any >= 20 ? 0 : 1);
              }),
              0);
    DestroyFrameWork();
    // Freed by the framework's destruction.
    T_uint_16 five = 5;
    EXPECT_EQ(IPC_allocaddr(&five), 0);
    EXPECT_EQ(IPC_freeaddr(five), 0);
}

// Messages from another process arrive one per loop pass, as EVENT_IPC
// with the mailbox's address; datagrams that are not 256 bytes are dropped.
TEST_F(IpcLoop, OneMessagePerPassAndMalformedDatagramsDropped) {
    IIPC* mailbox = nullptr;
    ASSERT_EQ(server->CreateMailbox(rec, 8, PRIORITY_NORMAL, &mailbox), 0);
    ASSERT_TRUE(server->CreateSignalListener(rec, PRIORITY_HIGH, 0x600, 0xFFFFFF00, 1));
    // From address 9 of another process: four messages (byte 2 of message i
    // is i), after the first two a datagram of 100 and one of 300 bytes.
    ASSERT_EQ(fwtest::InChild([] {
                  T_uint_16 from = 9;
                  if (IPC_allocaddr(&from) != 0 || IPC_setaddr(from, from) != 0) _exit(1);
                  for (int i = 0; i < 4; ++i) {
                      T_ipchdr* m = IPC_malloc(from, 104);
                      IPC_setsender(m, from);
                      IPC_block(m)[2] = static_cast<unsigned char>(i);
                      IPC_block(m)[255] = 0xEE;
                      if (IPC_send(8, m) != 0) _exit(2);
                      if (i < 2) fwtest::SendUdp(-1, IPC_PORT_BASE + 8, std::string(i == 0 ? 100 : 300, 'z'));
                  }
              }),
              0);
    // One value per pass, too: a HIGH event that marks each pass.
    for (unsigned int i = 1; i <= 6; ++i) fwtest::QueueValue(getpid(), 0x600 + i);

    std::vector<int> sequence;  // byte 2 of each message
    rec.hook = [&](EVENTTYPE type, unsigned int value) {
        if (type != EVENT_IPC) return;
        EXPECT_EQ(value, 8u);
        std::unique_ptr<IPCMessage> m(mailbox->GetMessage());
        ASSERT_TRUE(m);
        EXPECT_EQ(mailbox->GetMessage(), nullptr);  // taken once
        EXPECT_EQ(IPC_getsender(m->GetHandle()), 9);
        EXPECT_EQ(IPC_block(m->GetHandle())[255], 0xEE);
        sequence.push_back(IPC_block(m->GetHandle())[2]);
        if (sequence.size() == 4) fwtest::StopLoop();
    };
    fwtest::Watchdog dog(60);
    EXPECT_TRUE(fw->Run());
    const fwtest::Event I{EVENT_IPC, 8};
    auto s = [](unsigned int i) { return fwtest::Event{EVENT_SIGNAL, 0x600 + i}; };
    EXPECT_TRUE(rec.events == (std::vector<fwtest::Event>{s(1), I, s(2), s(3), I, s(4), s(5), I, s(6), I}));
    EXPECT_EQ(sequence, (std::vector<int>{0, 1, 2, 3}));
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
