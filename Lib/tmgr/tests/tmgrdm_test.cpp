// Layout coding of the data module's records.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tmgrdm.h"

namespace {

using namespace nuvak::tmgr;

TEST(TmgrDataModule, ConfigRoundTripPutsEveryFieldAtItsOffset) {
    T_TMGRIF_cfg in{};
    in.user_operation = OPER_USER_LCFS;
    in.unit_id = 7;
    in.version = 0x01020304;
    in.sntp_tzoffset = -3600;
    in.sntp_daylight = 1;
    in.hlschk_dev[4].retryinterval = 0xBEEF;
    in.reserved[3] = 0xCAFE;
    std::strcpy(in.siodevice[2], "/dev/ttyS2");
    std::strcpy(in.falm_remotepath, "/remote/path");
    in.opelog_dellog_onboot = 0x1234;

    unsigned char bytes[cfg::kSize];
    std::memset(bytes, 0xAA, sizeof bytes);
    EncodeConfig(in, bytes);
    EXPECT_EQ(LoadLE16(bytes + cfg::kUserOperation), OPER_USER_LCFS);
    EXPECT_EQ(LoadLE16(bytes + cfg::kUnitId), 7);
    EXPECT_EQ(LoadLE32(bytes + 148), 0x01020304u);
    EXPECT_EQ(static_cast<T_int_32>(LoadLE32(bytes + 180)), -3600);
    EXPECT_EQ(bytes[184], 1);
    EXPECT_EQ(LoadLE16(bytes + 214 + 4 * 6 + 4), 0xBEEF);
    EXPECT_EQ(LoadLE16(bytes + 350 + 6), 0xCAFE);
    EXPECT_STREQ(reinterpret_cast<const char*>(bytes + 256 + 34), "/dev/ttyS2");
    EXPECT_STREQ(reinterpret_cast<const char*>(bytes + 316), "/remote/path");
    EXPECT_EQ(LoadLE16(bytes + 366), 0x1234);
    EXPECT_EQ(bytes[146], 0) << "padding is written as zero";

    T_TMGRIF_cfg out{};
    DecodeConfig(bytes, &out);
    EXPECT_EQ(0, std::memcmp(&in, &out, sizeof in));
}

TEST(TmgrDataModule, EveryConfigFieldDecodesFromItsOwnOffset) {
    // A block whose 16-bit words each hold their own offset.
    unsigned char bytes[cfg::kSize];
    for (unsigned off = 0; off < cfg::kSize; off += 2) StoreLE16(bytes + off, static_cast<T_uint_16>(off));
    T_TMGRIF_cfg c{};
    DecodeConfig(bytes, &c);
    EXPECT_EQ(c.num_inputs, 0);
    EXPECT_EQ(c.snmpagent_interface, 64);
    EXPECT_EQ(c.gen_status_y, 80);
    EXPECT_EQ(c.hlslog_mode, 128);
    EXPECT_EQ(c.user_operation, 134);
    EXPECT_EQ(c.unit_id, 144);
    EXPECT_EQ(c.version, 148u | (150u << 16));
    EXPECT_EQ(c.alarm_text_display, 160);
    EXPECT_EQ(c.hlschk_interval, 212);
    EXPECT_EQ(c.hlschk_dev[0].timeout, 214);
    EXPECT_EQ(c.hlschk_interval2, 244);
    EXPECT_EQ(c.recrdd_delhistory_onboot, 254);
    EXPECT_EQ(c.falm_dellog_onboot, 314);
    EXPECT_EQ(c.reserved[0], 350);
    EXPECT_EQ(c.opelog_logsave_period_day, 364);
}

TEST(TmgrDataModule, HostEntryAndProcessSlotAccessors) {
    std::vector<unsigned char> module(dm::kSize, 0);
    DataModuleView v(module.data());

    T_TMGRIF_HostInfo h{};
    h.if_ipa = 0x0100007F;
    h.broadcast_ipa = 0xFF00007F;
    h.server_ipa = 0x0200007F;
    std::strcpy(h.if_name, "lo");
    EncodeHost(h, module.data() + DataModuleView::HostOffset(2));
    EXPECT_EQ(module[dm::kHost + 2 * 32], 0x7F);
    EXPECT_EQ(module[dm::kHost + 2 * 32 + 12], 'l');
    T_TMGRIF_HostInfo back{};
    DecodeHost(module.data() + DataModuleView::HostOffset(2), &back);
    EXPECT_EQ(0, std::memcmp(&h, &back, sizeof h));

    v.SetProcId(144, 4242);
    EXPECT_EQ(LoadLE32(module.data() + 32 + 144 * 156), 4242u);
    EXPECT_EQ(DataModuleView::ProcOffset(144) + proc::kSize, dm::kExtProc);

    // A name field filled to its last byte without a terminator is read
    // bounded by its 64 bytes.
    std::memset(module.data() + DataModuleView::ProcOffset(3) + proc::kName, 'x', proc::kNameSize);
    char name[100];
    EXPECT_EQ(v.ProcName(3, name, sizeof name), 64u);
    EXPECT_EQ(std::strlen(name), 64u);
    EXPECT_EQ(v.ProcName(3, name, 5), 4u);
    EXPECT_STREQ(name, "xxxx");

    v.SetProcName(3, "ABCDEFGHIJKLMNOPQRSTUVWXYZ", 16);
    v.ProcName(3, name, sizeof name);
    EXPECT_STREQ(name, "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(module[DataModuleView::ProcOffset(3) + proc::kName + 63], 0);
}

}  // namespace
