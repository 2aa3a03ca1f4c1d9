// Layout coding of the data module's records.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tmgrdm.h"

namespace {

using namespace nuvak::tmgr;

// The 16-bit word at `off` of the pattern block below.
constexpr T_uint_16 W(unsigned off) { return static_cast<T_uint_16>(0xA000 | off); }

// A block whose 16-bit words each hold their own offset (high byte never 0):
// every field decodes from its own offset, and encoding gives the block back
// with only the padding between fields zeroed.
TEST(TmgrDataModule, ConfigFieldsDecodeAndEncodeAtTheirOffsets) {
    unsigned char bytes[cfg::kSize];
    for (unsigned off = 0; off < cfg::kSize; off += 2) StoreLE16(bytes + off, W(off));
    T_TMGRIF_cfg c{};
    DecodeConfig(bytes, &c);
    const std::pair<unsigned, unsigned> words[] = {
        {c.num_inputs, 0}, {c.snmpagent_interface, 64}, {c.gen_status_y, 80}, {c.hlslog_mode, 128},
        {c.user_operation, 134}, {c.unit_id, 144}, {c.alarm_text_display, 160}, {c.hlschk_interval, 212},
        {c.hlschk_dev[0].timeout, 214}, {c.hlschk_dev[4].retryinterval, 214 + 4 * 6 + 4}, {c.hlschk_interval2, 244},
        {c.recrdd_delhistory_onboot, 254}, {c.falm_dellog_onboot, 314}, {c.reserved[0], 350}, {c.reserved[3], 356},
        {c.opelog_logsave_period_day, 364}, {c.opelog_dellog_onboot, 366}};
    for (const auto& [value, off] : words) EXPECT_EQ(value, W(off)) << off;
    EXPECT_EQ(c.version, W(148) | (T_uint_32{W(150)} << 16));
    EXPECT_EQ(c.sntp_tzoffset, static_cast<T_int_32>(W(180) | (T_uint_32{W(182)} << 16)));
    EXPECT_EQ(c.sntp_daylight, W(184) & 0xFF);
    EXPECT_EQ(LoadLE16(reinterpret_cast<const unsigned char*>(c.siodevice[2])), W(256 + 34));
    EXPECT_EQ(LoadLE16(reinterpret_cast<const unsigned char*>(c.falm_remotepath)), W(316));

    unsigned char back[cfg::kSize];
    EncodeConfig(c, back);
    std::string padding;
    for (unsigned off = 0; off < cfg::kSize; ++off) {
        if (back[off] == bytes[off]) continue;
        EXPECT_EQ(back[off], 0) << off;
        padding += std::to_string(off) + " ";
    }
    EXPECT_EQ(padding, "146 147 166 167 185 307 349 358 359 ");
}

TEST(TmgrDataModule, HostEntryAndProcessSlotAccessors) {
    std::vector<unsigned char> module(dm::kSize, 0);
    DataModuleView v(module.data());

    const T_TMGRIF_HostInfo h{0x0100007F, 0xFF00007F, 0x0200007F, "lo"};  // interface, broadcast, server; name
    EncodeHost(h, module.data() + DataModuleView::HostOffset(2));
    EXPECT_EQ(module[dm::kHost + 2 * 32], 0x7F);
    EXPECT_EQ(module[dm::kHost + 2 * 32 + 12], 'l');
    T_TMGRIF_HostInfo back{};
    DecodeHost(module.data() + DataModuleView::HostOffset(2), &back);
    unsigned char again[host::kSize];
    EncodeHost(back, again);
    EXPECT_EQ(0, std::memcmp(again, module.data() + DataModuleView::HostOffset(2), host::kSize));

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
