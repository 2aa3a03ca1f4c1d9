// ITMGR driven directly, with a fake framework that records what the link
// asks of it. Runs in private IPC namespaces (key 0x1001).
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <tuple>
#include <vector>

#include "itmgr.h"
#include "taskmanager.h"

namespace {

using namespace nuvak::tmgr;
using namespace nuvak::tmgrtest;

struct Listener {
    IFrameWorkObserver* observer;
    EVENTPRIORITY priority;
    unsigned value, mask, size;
};

class FakeServer : public IFrameWorkServer {
public:
    bool CreateSignalListener(IFrameWorkObserver& o, EVENTPRIORITY p, unsigned v, unsigned m, unsigned s) override {
        listeners.push_back({&o, p, v, m, s});
        return true;
    }
    void DestroySignalListener(unsigned v) override { destroyed.push_back(v); }
    bool CreateTimer(IFrameWorkObserver&, bool, EVENTPRIORITY, ITimer**) override { return false; }
    void DestroyTimer(ITimer*) override {}
    int CreateSocket(IFrameWorkObserver&, unsigned long, unsigned, EVENTPRIORITY, ISocket**, int) override { return -1; }
    bool DestroySocket(int) override { return false; }
    int CreateMailbox(IFrameWorkObserver&, unsigned short, EVENTPRIORITY, IIPC**) override { return -1; }
    IPCMessage* CreateMessage(unsigned short, int) override { return nullptr; }
    void DestroyMailbox() override {}
    void DumpSignalManager() override {}

    std::vector<Listener> listeners;
    std::vector<unsigned> destroyed;
};

class FakeFrameWork : public IFrameWork {
public:
    bool Register(IFrameWorkClient&, IFrameWorkServer** pp) override {
        servers.push_back(std::make_unique<FakeServer>());
        *pp = servers.back().get();
        return true;
    }
    bool UnRegister(IFrameWorkServer* s) override {
        unregistered.push_back(s);
        return true;
    }
    bool Run() override { return true; }
    unsigned GetProcessId() const override { return static_cast<unsigned>(getpid()); }

    std::vector<std::unique_ptr<FakeServer>> servers;
    std::vector<IFrameWorkServer*> unregistered;
};

class ItmgrTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(tm_.Ok()); }

    // Unit 3, one host entry.
    TestDataModule tm_{[] { T_TMGRIF_cfg c{}; c.unit_id = 3; return c; }(), {T_TMGRIF_HostInfo{}}};
    DataModuleView view_ = tm_.View();
};

// Its answers to health requests are checked end to end with nuvak-tmgr.
TEST_F(ItmgrTest, RegisteringLinkListensCountsAndCleansUp) {
    FakeFrameWork fw;
    {
        ITMGR link(fw, PROC_NUVAK, "NUVAK");
        ASSERT_EQ(fw.servers.size(), 1u);
        ASSERT_EQ(fw.servers[0]->listeners.size(), 1u);
        const Listener& l = fw.servers[0]->listeners[0];
        const IFrameWorkObserver* observer = &link;
        EXPECT_EQ(std::make_tuple(l.observer, l.priority, l.value, l.mask, l.size),
                  std::make_tuple(observer, PRIORITY_HIGH, 0xE800E800u, 0xFC00FC00u, 1u));
        EXPECT_EQ(view_.ProcId(PROC_NUVAK), static_cast<T_uint_32>(getpid()));
        EXPECT_TRUE(ITMGR::IsRegistered());

        // A second registering link only counts.
        {
            ITMGR second(fw, PROC_NUVAK, "OTHER");
            EXPECT_EQ(fw.servers.size(), 1u);
            EXPECT_EQ(ITMGR::LinkCount(), 2);
        }
        EXPECT_EQ(ITMGR::LinkCount(), 1);
        EXPECT_EQ(view_.ProcId(PROC_NUVAK), static_cast<T_uint_32>(getpid())) << "still registered";
        EXPECT_TRUE(fw.unregistered.empty());

        // ITMGR::Getsize while a link is alive reads through that link.
        T_TMGRIF_cfg cfg{};
        EXPECT_EQ(ITMGR::Getsize(&cfg), TMGRIF_OK);
        EXPECT_EQ(cfg.unit_id, 3);
    }
    ASSERT_EQ(fw.servers[0]->destroyed.size(), 1u);
    EXPECT_EQ(fw.servers[0]->destroyed[0], 0xE800E800u);
    ASSERT_EQ(fw.unregistered.size(), 1u);
    EXPECT_EQ(fw.unregistered[0], fw.servers[0].get());
    EXPECT_EQ(view_.ProcId(PROC_NUVAK), 0u);
    EXPECT_FALSE(ITMGR::IsRegistered());
    EXPECT_EQ(ITMGR::LinkCount(), 0);
    EXPECT_FALSE(TMGRIF_islinked());
}

TEST_F(ItmgrTest, AccessorsLinkAndDetachWhenNoLinkIsAlive) {
    T_TMGRIF_cfg cfg{};
    EXPECT_EQ(ITMGR::Getsize(&cfg), TMGRIF_OK);
    EXPECT_EQ(cfg.unit_id, 3);
    EXPECT_FALSE(TMGRIF_islinked()) << "detached again";
    T_TMGRIF_HostInfo h{};
    EXPECT_EQ(ITMGR::Gethost(0, &h), TMGRIF_OK);
    EXPECT_EQ(ITMGR::Gethost(1, &h), TMGRIF_ERR_RANGE);
    EXPECT_FALSE(TMGRIF_islinked());

    // A link made by main() before any ITMGR stays.
    ASSERT_EQ(TMGRIF_link(), TMGRIF_OK);
    EXPECT_EQ(ITMGR::Getsize(&cfg), TMGRIF_OK);
    EXPECT_TRUE(TMGRIF_islinked());
    TMGRIF_unregister();
}

TEST_F(ItmgrTest, EachLinkUnregistersItsOwnWorker) {
    FakeFrameWork fw;
    auto first = std::make_unique<ITMGR>(fw, PROC_NUVAK, "NUVAK");
    auto plain = std::make_unique<ITMGR>(fw);
    ASSERT_EQ(fw.servers.size(), 2u);
    EXPECT_TRUE(fw.servers[1]->listeners.empty()) << "the plain link does not listen";
    first.reset();
    // The registering link's worker is gone with it, though a link remains.
    ASSERT_EQ(fw.unregistered.size(), 1u);
    EXPECT_EQ(fw.unregistered[0], fw.servers[0].get());
    EXPECT_EQ(view_.ProcId(PROC_NUVAK), static_cast<T_uint_32>(getpid())) << "the slot stays while linked";
    plain.reset();
    EXPECT_EQ(fw.unregistered.size(), 2u);
    EXPECT_EQ(view_.ProcId(PROC_NUVAK), 0u);
}

TEST(ItmgrNoModule, PlainLinkWithoutDataModuleCarriesOn) {
    FakeFrameWork fw;
    testing::internal::CaptureStdout();
    {
        ITMGR link(fw);
        EXPECT_EQ(ITMGR::LinkCount(), 1);
        T_TMGRIF_cfg cfg{};
        EXPECT_EQ(ITMGR::Getsize(&cfg), TMGRIF_ERR_NOTLINKED);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unable to link to task manager data module..\n");
    EXPECT_EQ(ITMGR::LinkCount(), 0);
    T_TMGRIF_cfg cfg{};
    EXPECT_EQ(ITMGR::Getsize(&cfg), TMGRIF_ERR_ATTACH) << "no link alive: the attach itself fails";
}

}  // namespace
