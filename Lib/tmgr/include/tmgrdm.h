// The task manager's data module: a System V segment (key KEY_TMGR, 24840
// bytes) holding the process table, the host interface table and the system
// configuration block. The layout is fixed by the task manager; every number is
// little-endian. The structs below document the layout and are checked against
// the offsets; code that touches the segment itself goes through the offset
// constants and the little-endian load/store helpers (DataModuleView), never by
// casting a struct over the shared bytes.
//
// T_TMGR_DM
//   OFFSET  SIZE  FIELD
//        0     4  tick                 task manager tick
//        4     2  process_count        highest valid process index
//        6     2  ext_process_count    number of external processes
//        8     2  bMode                16-bit boolean
//       10     2  bRedundant           16-bit boolean
//       12     2  bCPUMgmt             16-bit boolean
//       14     2  bMPU                 16-bit boolean
//       16     1  test_input
//       20     4  update_ind_mask      database update indication bits
//       24     4  update_ind_maskpj    second set of update indication bits
//       28     2  if_count             number of valid host entries
//       32 22620  proc[145]            T_PROC, index = process number 1..144
//    22652  1716  ext_proc[11]         T_PROC
//    24368    96  host[3]              T_TMGRIF_HostInfo
//    24464   368  config               T_TMGRIF_cfg
//    24832     2  bAlmActive           16-bit boolean
//    24834     1  lockState
//    24836     4  lockTimeStamp
//    24840        (size)
//
// T_PROC (156 bytes)
//   OFFSET  SIZE  FIELD
//        0     4  id            process id; 0 = slot free
//        4    64  name
//       68     2  state         PROC_STATE_*
//       72     4  updt_ind
//       76     4  mode_sig      signal code
//       80    64  module_name
//      144     2  retry_count
//      148     4  failCount
//      152     4  okCount
//
// T_TMGRIF_HostInfo (32 bytes). The three addresses hold an IPv4 address as
// in_addr.s_addr (network order in memory), so the value loaded on this
// machine can be put straight into a sockaddr_in.
//   OFFSET  SIZE  FIELD
//        0     4  if_ipa
//        4     4  broadcast_ipa
//        8     4  server_ipa
//       12    17  if_name
//
// T_TMGRIF_cfg (368 bytes): see TMGRIF_CFG_FIELDS below for every field and
// its offset; this process reads user_operation (134) and unit_id (144).
#ifndef TMGRDM_H
#define TMGRDM_H

#include <cstddef>
#include <cstring>

#include "byteorder.h"
#include "systypes.h"

#define KEY_TMGR 0x1001
#define TMGR_DM_SIZE 24840u

#define TMGR_MAX_PROC 144   // process numbers 1..144 index proc[]
#define TMGR_NUM_EXTPROC 11
#define TMGR_NUM_HOST 3

// Process states written in T_PROC.state.
#define PROC_STATE_OK 0x000E
#define PROC_STATE_UNKNOWN 0x0010
#define PROC_STATE_TERMINATED 0x001F

// The tour service's process number and name in the process table.
#define PROC_NUVAK 51

// T_TMGRIF_cfg.user_operation: who keeps a monitor when two users want it.
#define OPER_USER_FCFS 0  // first come, first served
#define OPER_USER_LCFS 1  // last come, first served

struct T_PROC {
    T_uint_32 id;
    char name[64];
    T_uint_16 state;
    T_uint_32 updt_ind;
    T_uint_32 mode_sig;
    char module_name[64];
    T_uint_16 retry_count;
    T_uint_32 failCount;
    T_uint_32 okCount;
};

struct T_TMGRIF_HostInfo {
    T_uint_32 if_ipa;
    T_uint_32 broadcast_ipa;
    T_uint_32 server_ipa;
    char if_name[17];
};

// X(field, offset) for every field of T_TMGRIF_cfg, in order. Unsigned 16-bit
// unless the struct says otherwise.
#define TMGRIF_CFG_FIELDS(X)                                                   \
    X(num_inputs, 0) X(num_outputs, 2) X(num_keyboards, 4) X(num_kwframes, 6)  \
    X(num_kwswfunctions, 8) X(num_kwswrowfunctions, 10)                        \
    X(num_kwswcolfunctions, 12) X(kwsw_interface, 14)                          \
    X(num_kwcontfunctions, 16) X(kwcont_interface, 18)                         \
    X(num_kwosdfunctions, 20) X(kwosd_interface, 22)                           \
    X(num_kwdiofunctions, 24) X(kwdio_interface, 26)                           \
    X(num_pjencoderfunctions, 28) X(pjencoder_interface, 30)                   \
    X(num_pjdecoderfunctions, 32) X(pjdecoder_interface, 34)                   \
    X(num_pjdinfunctions, 36) X(pjdin_interface, 38)                           \
    X(num_pjdoutfunctions, 40) X(pjdout_interface, 42)                         \
    X(num_pjosdfunctions, 44) X(pjosd_interface, 46) X(keybp_interface, 48)    \
    X(kwconts_interface, 50) X(kexs_interface, 52) X(swcpu_interface, 54)      \
    X(kwpfw_interface, 56) X(unitmgr_interface, 58) X(csntp_interface, 60)     \
    X(ssntp_interface, 62) X(snmpagent_interface, 64) X(time_date_x, 66)       \
    X(time_date_y, 68) X(cam_title_x, 70) X(cam_title_y, 72)                   \
    X(mon_status_x, 74) X(mon_status_y, 76) X(gen_status_x, 78)                \
    X(gen_status_y, 80) X(time_date_control, 82) X(cam_title_control, 84)      \
    X(cam_id_control, 86) X(time_date_format, 88) X(time_hour_format, 90)      \
    X(error_level, 92) X(idle_source, 94) X(start_link, 96) X(num_links, 98)   \
    X(userlog_copy_mins, 100) X(userlog_save_days, 102) X(userlog_mode, 104)   \
    X(swlog_copy_mins, 106) X(swlog_save_days, 108) X(swlog_mode, 110)         \
    X(alarmlog_copy_mins, 112) X(alarmlog_save_days, 114)                      \
    X(alarmlog_mode, 116) X(videolosslog_copy_mins, 118)                       \
    X(videolosslog_save_days, 120) X(videolosslog_mode, 122)                   \
    X(hlslog_copy_mins, 124) X(hlslog_save_days, 126) X(hlslog_mode, 128)      \
    X(service_operation, 130) X(osd_operation, 132) X(user_operation, 134)     \
    X(dbupdatepoll, 136) X(alarm_port1, 138) X(alarm_port2, 140)               \
    X(alarm_port3, 142) X(unit_id, 144) X(version, 148)                        \
    X(operating_mode, 152) X(redundant_port, 154) X(mode_change_time, 156)     \
    X(alarm_text_display, 160) X(csntp_mode, 162) X(ssntp_mode, 164)           \
    X(internal_frequency, 168) X(external_frequency, 172)                      \
    X(sntp_server_ipa, 176) X(sntp_tzoffset, 180) X(sntp_daylight, 184)        \
    X(use_globalcamnum, 186) X(tmline_update_mins, 188)                        \
    X(tmline_save_days, 190) X(tmline_mode, 192) X(timeline_del_hour, 194)     \
    X(timeline_del_minutes, 196) X(multicast_auto_onoff, 198)                  \
    X(multicast_auto_stream, 200) X(globalarm_reset_sync, 202)                 \
    X(hlschk_work_onoff, 204) X(hlschk_camproc_num, 206)                       \
    X(hlschk_recproc_num, 208) X(hlschk_ioproc_num, 210)                       \
    X(hlschk_interval, 212) X(hlschk_dev, 214) X(hlschk_interval2, 244)        \
    X(recrdd_downloadinterval_sec, 246) X(recrdd_upload_retrycount, 248)       \
    X(recrdd_upload_retryinterval_sec, 250) X(recrdd_logsave_period_day, 252)  \
    X(recrdd_delhistory_onboot, 254) X(siodevice, 256)                         \
    X(falm_downloadinterval_sec, 308) X(falm_logsave_period_day, 312)          \
    X(falm_dellog_onboot, 314) X(falm_remotepath, 316) X(reserved, 350)        \
    X(opelog_fchkinterval_sec, 360) X(opelog_logsave_period_day, 364)          \
    X(opelog_dellog_onboot, 366)

// Health-check settings of one device class (hlschk_dev[0..4]).
struct T_TMGRIF_HlsChk {
    T_uint_16 timeout;
    T_uint_16 retrycount;
    T_uint_16 retryinterval;
};

struct T_TMGRIF_cfg {
    T_uint_16 num_inputs, num_outputs, num_keyboards, num_kwframes;
    T_uint_16 num_kwswfunctions, num_kwswrowfunctions, num_kwswcolfunctions, kwsw_interface;
    T_uint_16 num_kwcontfunctions, kwcont_interface, num_kwosdfunctions, kwosd_interface;
    T_uint_16 num_kwdiofunctions, kwdio_interface;
    T_uint_16 num_pjencoderfunctions, pjencoder_interface, num_pjdecoderfunctions, pjdecoder_interface;
    T_uint_16 num_pjdinfunctions, pjdin_interface, num_pjdoutfunctions, pjdout_interface;
    T_uint_16 num_pjosdfunctions, pjosd_interface;
    T_uint_16 keybp_interface, kwconts_interface, kexs_interface, swcpu_interface, kwpfw_interface;
    T_uint_16 unitmgr_interface, csntp_interface, ssntp_interface, snmpagent_interface;
    T_uint_16 time_date_x, time_date_y, cam_title_x, cam_title_y;
    T_uint_16 mon_status_x, mon_status_y, gen_status_x, gen_status_y;
    T_uint_16 time_date_control, cam_title_control, cam_id_control, time_date_format, time_hour_format;
    T_uint_16 error_level, idle_source, start_link, num_links;
    T_uint_16 userlog_copy_mins, userlog_save_days, userlog_mode;
    T_uint_16 swlog_copy_mins, swlog_save_days, swlog_mode;
    T_uint_16 alarmlog_copy_mins, alarmlog_save_days, alarmlog_mode;
    T_uint_16 videolosslog_copy_mins, videolosslog_save_days, videolosslog_mode;
    T_uint_16 hlslog_copy_mins, hlslog_save_days, hlslog_mode;
    T_uint_16 service_operation, osd_operation, user_operation, dbupdatepoll;
    T_uint_16 alarm_port1, alarm_port2, alarm_port3;
    T_uint_16 unit_id;
    T_uint_32 version;
    T_uint_16 operating_mode, redundant_port;
    T_uint_32 mode_change_time;
    T_uint_16 alarm_text_display, csntp_mode, ssntp_mode;
    T_uint_32 internal_frequency, external_frequency, sntp_server_ipa;
    T_int_32 sntp_tzoffset;
    T_uint_8 sntp_daylight;
    T_uint_16 use_globalcamnum, tmline_update_mins, tmline_save_days, tmline_mode;
    T_uint_16 timeline_del_hour, timeline_del_minutes, multicast_auto_onoff, multicast_auto_stream;
    T_uint_16 globalarm_reset_sync;
    T_uint_16 hlschk_work_onoff, hlschk_camproc_num, hlschk_recproc_num, hlschk_ioproc_num;
    T_uint_16 hlschk_interval;
    T_TMGRIF_HlsChk hlschk_dev[5];
    T_uint_16 hlschk_interval2;
    T_uint_16 recrdd_downloadinterval_sec, recrdd_upload_retrycount, recrdd_upload_retryinterval_sec;
    T_uint_16 recrdd_logsave_period_day, recrdd_delhistory_onboot;
    char siodevice[3][17];
    T_uint_32 falm_downloadinterval_sec;
    T_uint_16 falm_logsave_period_day, falm_dellog_onboot;
    char falm_remotepath[33];
    T_uint_16 reserved[4];
    T_uint_32 opelog_fchkinterval_sec;
    T_uint_16 opelog_logsave_period_day, opelog_dellog_onboot;
};

struct T_TMGR_DM {
    T_uint_32 tick;
    T_uint_16 process_count;
    T_uint_16 ext_process_count;
    T_uint_16 bMode, bRedundant, bCPUMgmt, bMPU;
    T_uint_8 test_input;
    T_uint_32 update_ind_mask;
    T_uint_32 update_ind_maskpj;
    T_uint_16 if_count;
    T_PROC proc[TMGR_MAX_PROC + 1];
    T_PROC ext_proc[TMGR_NUM_EXTPROC];
    T_TMGRIF_HostInfo host[TMGR_NUM_HOST];
    T_TMGRIF_cfg config;
    T_uint_16 bAlmActive;
    T_uint_8 lockState;
    T_uint_32 lockTimeStamp;
};

namespace nuvak::tmgr {

// Little-endian loads and stores on raw bytes (byteorder.h).
using nuvak::LoadLE16;
using nuvak::LoadLE32;
using nuvak::StoreLE16;
using nuvak::StoreLE32;

// Offsets of T_TMGR_DM.
namespace dm {
constexpr std::size_t kTick = 0, kProcessCount = 4, kExtProcessCount = 6, kMode = 8, kRedundant = 10,
                      kCPUMgmt = 12, kMPU = 14, kTestInput = 16, kUpdateIndMask = 20, kUpdateIndMaskPj = 24,
                      kIfCount = 28, kProc = 32, kExtProc = 22652, kHost = 24368, kConfig = 24464,
                      kAlmActive = 24832, kLockState = 24834, kLockTimeStamp = 24836, kSize = 24840;
}  // namespace dm

// Offsets of T_PROC.
namespace proc {
constexpr std::size_t kId = 0, kName = 4, kNameSize = 64, kState = 68, kUpdtInd = 72, kModeSig = 76,
                      kModuleName = 80, kModuleNameSize = 64, kRetryCount = 144, kFailCount = 148,
                      kOkCount = 152, kSize = 156;
}  // namespace proc

// Offsets of T_TMGRIF_HostInfo.
namespace host {
constexpr std::size_t kIfIpa = 0, kBroadcastIpa = 4, kServerIpa = 8, kIfName = 12, kIfNameSize = 17, kSize = 32;
}  // namespace host

// Offsets of the fields of T_TMGRIF_cfg that the installation's processes use.
namespace cfg {
constexpr std::size_t kUserOperation = 134, kUnitId = 144, kSize = 368;
}  // namespace cfg

// Typed view of an attached data module of at least dm::kSize bytes. Borrows
// the bytes; they must outlive the view. Process numbers are checked by the
// caller (1..TMGR_MAX_PROC, or 0 which is a valid but unused slot).
class DataModuleView {
public:
    explicit DataModuleView(unsigned char* base) : base_(base) {}

    unsigned char* Base() const { return base_; }
    T_uint_16 Get16(std::size_t off) const { return LoadLE16(base_ + off); }
    T_uint_32 Get32(std::size_t off) const { return LoadLE32(base_ + off); }
    void Set16(std::size_t off, T_uint_16 v) const { StoreLE16(base_ + off, v); }
    void Set32(std::size_t off, T_uint_32 v) const { StoreLE32(base_ + off, v); }

    static constexpr std::size_t ProcOffset(unsigned n) { return dm::kProc + n * proc::kSize; }
    static constexpr std::size_t HostOffset(unsigned i) { return dm::kHost + i * host::kSize; }

    T_uint_32 ProcId(unsigned n) const { return Get32(ProcOffset(n) + proc::kId); }
    void SetProcId(unsigned n, T_uint_32 pid) const { Set32(ProcOffset(n) + proc::kId, pid); }
    T_uint_16 ProcState(unsigned n) const { return Get16(ProcOffset(n) + proc::kState); }
    void SetProcState(unsigned n, T_uint_16 s) const { Set16(ProcOffset(n) + proc::kState, s); }

    // The name of slot n, bounded by its 64 bytes even without a terminator.
    std::size_t ProcName(unsigned n, char* out, std::size_t outSize) const {
        return CopyText(base_ + ProcOffset(n) + proc::kName, proc::kNameSize, out, outSize);
    }
    // Writes `name` into slot n, at most `limit` characters (and never more
    // than 63), zero-filling the rest of the field.
    void SetProcName(unsigned n, const char* name, std::size_t limit = proc::kNameSize - 1) const {
        PutText(base_ + ProcOffset(n) + proc::kName, proc::kNameSize, name, limit);
    }

    static std::size_t CopyText(const unsigned char* field, std::size_t fieldSize, char* out, std::size_t outSize) {
        if (outSize == 0) return 0;
        std::size_t len = 0;
        while (len < fieldSize && len + 1 < outSize && field[len] != 0) ++len;
        std::memcpy(out, field, len);
        out[len] = '\0';
        return len;
    }
    static void PutText(unsigned char* field, std::size_t fieldSize, const char* text, std::size_t limit) {
        std::memset(field, 0, fieldSize);
        if (text == nullptr) return;
        std::size_t len = 0;
        while (len < limit && len + 1 < fieldSize && text[len] != 0) ++len;
        std::memcpy(field, text, len);
    }

private:
    unsigned char* base_;
};

// Decodes the 368-byte configuration block at `src` into `out`, field by field.
void DecodeConfig(const unsigned char* src, T_TMGRIF_cfg* out);
// Encodes `in` into the 368 bytes at `dst`; padding bytes are written as zero.
void EncodeConfig(const T_TMGRIF_cfg& in, unsigned char* dst);
// Decodes / encodes one host entry (32 bytes).
void DecodeHost(const unsigned char* src, T_TMGRIF_HostInfo* out);
void EncodeHost(const T_TMGRIF_HostInfo& in, unsigned char* dst);

}  // namespace nuvak::tmgr

// The structs above must have the task manager's layout byte for byte.
static_assert(sizeof(T_PROC) == nuvak::tmgr::proc::kSize, "T_PROC size");
static_assert(offsetof(T_PROC, id) == nuvak::tmgr::proc::kId, "T_PROC.id");
static_assert(offsetof(T_PROC, name) == nuvak::tmgr::proc::kName, "T_PROC.name");
static_assert(offsetof(T_PROC, state) == nuvak::tmgr::proc::kState, "T_PROC.state");
static_assert(offsetof(T_PROC, updt_ind) == nuvak::tmgr::proc::kUpdtInd, "T_PROC.updt_ind");
static_assert(offsetof(T_PROC, mode_sig) == nuvak::tmgr::proc::kModeSig, "T_PROC.mode_sig");
static_assert(offsetof(T_PROC, module_name) == nuvak::tmgr::proc::kModuleName, "T_PROC.module_name");
static_assert(offsetof(T_PROC, retry_count) == nuvak::tmgr::proc::kRetryCount, "T_PROC.retry_count");
static_assert(offsetof(T_PROC, failCount) == nuvak::tmgr::proc::kFailCount, "T_PROC.failCount");
static_assert(offsetof(T_PROC, okCount) == nuvak::tmgr::proc::kOkCount, "T_PROC.okCount");

static_assert(sizeof(T_TMGRIF_HostInfo) == nuvak::tmgr::host::kSize, "T_TMGRIF_HostInfo size");
static_assert(offsetof(T_TMGRIF_HostInfo, if_ipa) == nuvak::tmgr::host::kIfIpa, "if_ipa");
static_assert(offsetof(T_TMGRIF_HostInfo, broadcast_ipa) == nuvak::tmgr::host::kBroadcastIpa, "broadcast_ipa");
static_assert(offsetof(T_TMGRIF_HostInfo, server_ipa) == nuvak::tmgr::host::kServerIpa, "server_ipa");
static_assert(offsetof(T_TMGRIF_HostInfo, if_name) == nuvak::tmgr::host::kIfName, "if_name");

static_assert(sizeof(T_TMGRIF_HlsChk) == 6, "T_TMGRIF_HlsChk size");
static_assert(sizeof(T_TMGRIF_cfg) == nuvak::tmgr::cfg::kSize, "T_TMGRIF_cfg size");
#define TMGRIF_CFG_CHECK(field, off) static_assert(offsetof(T_TMGRIF_cfg, field) == (off), "T_TMGRIF_cfg." #field);
TMGRIF_CFG_FIELDS(TMGRIF_CFG_CHECK)
#undef TMGRIF_CFG_CHECK

static_assert(sizeof(T_TMGR_DM) == TMGR_DM_SIZE, "T_TMGR_DM size");
static_assert(nuvak::tmgr::dm::kSize == TMGR_DM_SIZE, "T_TMGR_DM size constant");
static_assert(offsetof(T_TMGR_DM, tick) == nuvak::tmgr::dm::kTick, "tick");
static_assert(offsetof(T_TMGR_DM, process_count) == nuvak::tmgr::dm::kProcessCount, "process_count");
static_assert(offsetof(T_TMGR_DM, ext_process_count) == nuvak::tmgr::dm::kExtProcessCount, "ext_process_count");
static_assert(offsetof(T_TMGR_DM, bMode) == nuvak::tmgr::dm::kMode, "bMode");
static_assert(offsetof(T_TMGR_DM, bRedundant) == nuvak::tmgr::dm::kRedundant, "bRedundant");
static_assert(offsetof(T_TMGR_DM, bCPUMgmt) == nuvak::tmgr::dm::kCPUMgmt, "bCPUMgmt");
static_assert(offsetof(T_TMGR_DM, bMPU) == nuvak::tmgr::dm::kMPU, "bMPU");
static_assert(offsetof(T_TMGR_DM, test_input) == nuvak::tmgr::dm::kTestInput, "test_input");
static_assert(offsetof(T_TMGR_DM, update_ind_mask) == nuvak::tmgr::dm::kUpdateIndMask, "update_ind_mask");
static_assert(offsetof(T_TMGR_DM, update_ind_maskpj) == nuvak::tmgr::dm::kUpdateIndMaskPj, "update_ind_maskpj");
static_assert(offsetof(T_TMGR_DM, if_count) == nuvak::tmgr::dm::kIfCount, "if_count");
static_assert(offsetof(T_TMGR_DM, proc) == nuvak::tmgr::dm::kProc, "proc");
static_assert(offsetof(T_TMGR_DM, ext_proc) == nuvak::tmgr::dm::kExtProc, "ext_proc");
static_assert(offsetof(T_TMGR_DM, host) == nuvak::tmgr::dm::kHost, "host");
static_assert(offsetof(T_TMGR_DM, config) == nuvak::tmgr::dm::kConfig, "config");
static_assert(offsetof(T_TMGR_DM, bAlmActive) == nuvak::tmgr::dm::kAlmActive, "bAlmActive");
static_assert(offsetof(T_TMGR_DM, lockState) == nuvak::tmgr::dm::kLockState, "lockState");
static_assert(offsetof(T_TMGR_DM, lockTimeStamp) == nuvak::tmgr::dm::kLockTimeStamp, "lockTimeStamp");

#endif
