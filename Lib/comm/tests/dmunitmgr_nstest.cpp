// Unit table over a real System V segment (private IPC namespace).
#include <gtest/gtest.h>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <string>

#include "dmunitmgr.h"

namespace {

class UnitTable : public ::testing::Test {
protected:
    void SetUp() override {
        mgr = DMUnitMgr::Instance();
        ASSERT_TRUE(mgr->Create());
        mgr->Init();
    }
    void TearDown() override {
        mgr->Unlink();
        const int id = shmget(dmunit::kKey, 0, 0);
        if (id >= 0) shmctl(id, IPC_RMID, nullptr);
    }
    DMUnitMgr* mgr = nullptr;
};

TEST_F(UnitTable, LookupsAndBounds) {
    mgr->SetUnit(7, 0x0A000005, 1, "seven");
    mgr->SetUnit(9, 0x0A000005, 5, "nine");
    mgr->SetUnit(0, 0x0A000009, 1, "zero");   // ignored
    mgr->SetUnit(65, 0x0A000009, 1, "big");   // ignored
    EXPECT_EQ(mgr->GetIdByIPA(0x0A000005), 7);
    EXPECT_EQ(mgr->GetIdByIPA(0x0A000009), 0);
    EXPECT_EQ(mgr->GetIPAById(0), 0ul);
    EXPECT_EQ(mgr->GetIPAById(65), 0ul);
    EXPECT_EQ(mgr->GetIPAById(9), 0x0A000005ul);
    EXPECT_EQ(mgr->GetUnitStatusById(9), 5);
    unsigned long ipa = 1;
    unsigned short status = 1, unit = 1;
    std::string name = "x";
    mgr->GetUnitById(70, ipa, status, name);
    EXPECT_EQ(ipa, 0ul);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(name, "");
    mgr->GetUnitByIPA(0x0A000005, unit, status, name);
    EXPECT_EQ(unit, 7);
    EXPECT_EQ(name, "seven");
    // Names that do not fit are cut to 257 characters.
    mgr->SetUnit(3, 1, 1, std::string(400, 'n'));
    mgr->GetUnitById(3, ipa, status, name);
    EXPECT_EQ(name.size(), 257u);
    EXPECT_EQ(DMUnitMgr::GetUnitStatusStr(3), "DATABASE UPDATE");
    EXPECT_EQ(DMUnitMgr::GetUnitStatusStr(6), "");
    EXPECT_EQ(DMUnitMgr::GetLocalStatusStr(2), "");

    // Raw layout: record 9 at 9 * 268, ipa at +4, status at +8, name at +10.
    const int id = shmget(dmunit::kKey, 0, 0);
    ASSERT_GE(id, 0);
    auto* raw = static_cast<unsigned char*>(shmat(id, nullptr, SHM_RDONLY));
    ASSERT_NE(raw, reinterpret_cast<unsigned char*>(-1));
    const unsigned char* r9 = raw + 9 * 268;
    EXPECT_EQ(r9[0], 9);
    EXPECT_EQ(r9[4], 0x05);
    EXPECT_EQ(r9[7], 0x0A);
    EXPECT_EQ(r9[8], 5);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r9 + 10)), "nine");
    shmdt(raw);

    // After Unlink every lookup gives 0, and outputs are left untouched.
    EXPECT_TRUE(mgr->Unlink());
    EXPECT_EQ(mgr->GetIPAById(7), 0ul);
    EXPECT_EQ(mgr->GetIdByIPA(0x0A000005), 0);
    ipa = 42;
    mgr->GetUnitById(7, ipa, status, name);
    EXPECT_EQ(ipa, 42ul);
    EXPECT_TRUE(mgr->Link());
    EXPECT_EQ(mgr->GetIPAById(7), 0x0A000005ul);  // the table outlived the attachment
}

TEST_F(UnitTable, PrintSkipsLocalAndEmpty) {
    mgr->SetLocal(2, 0x7F000001, 1, "here");
    mgr->SetUnit(2, 0x7F000001, 1, "here");
    mgr->SetUnit(4, 0xC0A80104, 5, "four");
    mgr->SetUnit(5, 0xC0A80105, 0, "no state");
    mgr->SetUnit(64, 0xC0A80140, 4, "last");
    auto printed = [&](unsigned short count) {
        testing::internal::CaptureStdout();
        mgr->Print(count);
        return testing::internal::GetCapturedStdout();
    };
    EXPECT_EQ(printed(100), "Local Unit ID = 2\n"
                            "Local IPA     = 127.0.0.1\n"
                            "Local Status  = ACTIVE\n"
                            "Local Name    = here\n"
                            "\nUnit\t\tIPA\t\tStatus\t\tName\n" +
                                std::string(64, '-') +
                                "\n"
                                " 4\t    192.168.1.4\t              IDLE\tfour\n"
                                "64\t   192.168.1.64\t          DISCOVER\tlast\n"
                                "\n\n");
    EXPECT_EQ(printed(0), "");
    mgr->Unlink();
    EXPECT_EQ(printed(3), "\n\n");
}

}  // namespace
