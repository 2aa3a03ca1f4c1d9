// Access to the installation's unit table: one System V shared-memory
// segment (key 0x1006, 17420 bytes) written by the unit-table writer
// (tools/nuvak-units stands in for it) and read by every process; the tour
// service only reads it, through its comm client. The segment outlives every
// process; nothing here removes it.
//
// 65 records of 268 bytes; record 0 is the local unit, record i (1..64) unit i.
// Integers in host byte order.
//
//   OFFSET SIZE FIELD
//        0    2 unit id   (record i >= 1: always i; record 0: the local unit's id)
//        2    2 padding
//        4    4 ipa       IPv4 address, host order; 0 = unknown
//        8    2 status    units: 0 none, 1 INIT, 2 HEALTH CHECK, 3 DATABASE UPDATE,
//                         4 DISCOVER, 5 IDLE; local: 0 STANDBY, 1 ACTIVE
//       10  258 name      NUL-terminated, cut to 257 characters
//
// The table is shared without a lock; a reader takes what each field holds at
// the moment it reads it.
#ifndef DMUNITMGR_H
#define DMUNITMGR_H

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace dmunit {
constexpr key_t kKey = 0x1006;
constexpr std::size_t kUnitId = 0, kIpa = 4, kStatus = 8, kName = 10, kNameSize = 258;
constexpr std::size_t kRecordSize = 268;
constexpr std::size_t kRecords = 65;
constexpr std::size_t kTableSize = kRecordSize * kRecords;
static_assert(kName + kNameSize == kRecordSize, "unit record layout");
static_assert(kTableSize == 17420, "unit table size");
constexpr unsigned short kStatusIdle = 5;
}  // namespace dmunit

class DMUnitMgr {
public:
    // The one instance of the process (created on first use).
    static DMUnitMgr* Instance();

    static bool ValidId(unsigned short unitId) { return unitId >= 1 && unitId <= 64; }

    // Attach the existing table; true when attached (already or now).
    bool Link();
    // Link, or create (zero-filled, then Init) when there is none.
    bool Create();
    // Detach; the table address is null afterwards. False only when a detach
    // was attempted and failed.
    bool Unlink();
    bool IsLinked() const;

    // Record 0 = unit 0, every record i = unit i, all else zero.
    void Init();
    // Writes are ignored when not attached or the id is not 1..64.
    void SetLocal(unsigned short unitId, unsigned long ipa, unsigned short status, std::string name);
    void SetUnit(unsigned short unitId, unsigned long ipa, unsigned short status, std::string name);

    // Not attached: outputs untouched. Invalid id / no match: 0, 0, "".
    void GetUnitById(unsigned short unitId, unsigned long& ipa, unsigned short& status, std::string& name);
    void GetUnitByIPA(unsigned long ipa, unsigned short& unitId, unsigned short& status, std::string& name);
    // Local record (record 0); outputs untouched when not attached.
    void GetLocal(unsigned short& unitId, unsigned long& ipa, unsigned short& status, std::string& name);
    // First unit 1..64 with that address; 0 when none or not attached.
    unsigned short GetIdByIPA(unsigned long ipa);
    unsigned long GetIPAById(unsigned short unitId);
    unsigned short GetUnitStatusById(unsigned short unitId);

    static std::string GetUnitStatusStr(unsigned short status);
    static std::string GetLocalStatusStr(unsigned short status);

    // Dump of the local record and units 1..count (at most 64) to stdout.
    void Print(unsigned short count);

private:
    DMUnitMgr() = default;
    unsigned char* Record(std::size_t index) const;
    void WriteRecord(std::size_t index, unsigned short unitId, unsigned long ipa, unsigned short status,
                     const std::string& name);
};

#endif
