#include "dmunitmgr.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "sharedmem.h"

namespace {

using namespace dmunit;

// The one attachment of the process (class-level state: every DMUnitMgr
// shares it). Detached at Unlink() or at process exit.
nuvak::tmgr::ShmAttachment& Table() {
    static nuvak::tmgr::ShmAttachment table;
    return table;
}

unsigned short Load16(const unsigned char* p) {
    unsigned short v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
unsigned int Load32(const unsigned char* p) {
    unsigned int v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
void Store16(unsigned char* p, unsigned short v) { std::memcpy(p, &v, sizeof v); }
void Store32(unsigned char* p, unsigned int v) { std::memcpy(p, &v, sizeof v); }

std::string LoadName(const unsigned char* p) {
    // Bounded: a writer that left no terminator still gives at most 257 bytes.
    std::size_t n = 0;
    while (n < kNameSize - 1 && p[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(p), n);
}

std::string Dotted(unsigned long ipa) {
    char buf[INET_ADDRSTRLEN] = "0.0.0.0";
    const struct in_addr a = {htonl(static_cast<uint32_t>(ipa))};
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

}  // namespace

DMUnitMgr* DMUnitMgr::Instance() {
    static DMUnitMgr instance;
    return &instance;
}

bool DMUnitMgr::IsLinked() const { return Table().IsAttached(); }

unsigned char* DMUnitMgr::Record(std::size_t index) const {
    return Table().IsAttached() ? Table().Data() + index * kRecordSize : nullptr;
}

bool DMUnitMgr::Link() {
    if (Table().IsAttached()) return true;
    return Table().Link(kKey, kTableSize) == 0;
}

bool DMUnitMgr::Create() {
    if (Link()) return true;
    if (Table().Create(kKey, kTableSize) != 0) return false;
    Init();
    return true;
}

bool DMUnitMgr::Unlink() {
    // The owner detaches; the address is forgotten in every case.
    Table().Reset();
    return true;
}

void DMUnitMgr::WriteRecord(std::size_t index, unsigned short unitId, unsigned long ipa, unsigned short status,
                            const std::string& name) {
    unsigned char* r = Record(index);
    if (r == nullptr) return;
    std::memset(r, 0, kRecordSize);
    Store16(r + kUnitId, unitId);
    Store32(r + kIpa, static_cast<unsigned int>(ipa));
    Store16(r + kStatus, status);
    std::memcpy(r + kName, name.data(), std::min(name.size(), kNameSize - 1));
}

void DMUnitMgr::Init() {
    if (!IsLinked()) return;
    WriteRecord(0, 0, 0, 0, std::string());
    for (unsigned short i = 1; i <= 64; ++i) WriteRecord(i, i, 0, 0, std::string());
}

void DMUnitMgr::SetLocal(unsigned short unitId, unsigned long ipa, unsigned short status, std::string name) {
    if (ValidId(unitId)) WriteRecord(0, unitId, ipa, status, name);
}

void DMUnitMgr::SetUnit(unsigned short unitId, unsigned long ipa, unsigned short status, std::string name) {
    if (ValidId(unitId)) WriteRecord(unitId, unitId, ipa, status, name);
}

void DMUnitMgr::GetUnitById(unsigned short unitId, unsigned long& ipa, unsigned short& status, std::string& name) {
    if (!IsLinked()) return;
    if (!ValidId(unitId)) {
        ipa = 0, status = 0, name.clear();
        return;
    }
    const unsigned char* r = Record(unitId);
    ipa = Load32(r + kIpa);
    status = Load16(r + kStatus);
    name = LoadName(r + kName);
}

void DMUnitMgr::GetLocal(unsigned short& unitId, unsigned long& ipa, unsigned short& status, std::string& name) {
    if (!IsLinked()) return;
    const unsigned char* r = Record(0);
    unitId = Load16(r + kUnitId);
    ipa = Load32(r + kIpa);
    status = Load16(r + kStatus);
    name = LoadName(r + kName);
}

void DMUnitMgr::GetUnitByIPA(unsigned long ipa, unsigned short& unitId, unsigned short& status, std::string& name) {
    if (!IsLinked()) return;
    const unsigned short id = GetIdByIPA(ipa);
    if (id == 0) {
        unitId = 0, status = 0, name.clear();
        return;
    }
    const unsigned char* r = Record(id);
    unitId = id;
    status = Load16(r + kStatus);
    name = LoadName(r + kName);
}

unsigned short DMUnitMgr::GetIdByIPA(unsigned long ipa) {
    if (!IsLinked()) return 0;
    for (unsigned short i = 1; i <= 64; ++i)
        if (Load32(Record(i) + kIpa) == static_cast<unsigned int>(ipa)) return i;
    return 0;
}

unsigned long DMUnitMgr::GetIPAById(unsigned short unitId) {
    if (!IsLinked() || !ValidId(unitId)) return 0;
    return Load32(Record(unitId) + kIpa);
}

unsigned short DMUnitMgr::GetUnitStatusById(unsigned short unitId) {
    if (!IsLinked() || !ValidId(unitId)) return 0;
    return Load16(Record(unitId) + kStatus);
}

std::string DMUnitMgr::GetUnitStatusStr(unsigned short status) {
    switch (status) {
        case 1: return "INIT";
        case 2: return "HEALTH CHECK";
        case 3: return "DATABASE UPDATE";
        case 4: return "DISCOVER";
        case 5: return "IDLE";
        default: return "";
    }
}

std::string DMUnitMgr::GetLocalStatusStr(unsigned short status) {
    switch (status) {
        case 0: return "STANDBY";
        case 1: return "ACTIVE";
        default: return "";
    }
}

void DMUnitMgr::Print(unsigned short count) {
    if (count == 0) return;
    if (!IsLinked()) {
        std::printf("\n\n");
        return;
    }
    if (count > 64) count = 64;
    unsigned short localId = 0, localStatus = 0;
    unsigned long localIpa = 0;
    std::string localName;
    GetLocal(localId, localIpa, localStatus, localName);
    std::printf("Local Unit ID = %d\n", localId);
    std::printf("Local IPA     = %s\n", Dotted(localIpa).c_str());
    std::printf("Local Status  = %s\n", GetLocalStatusStr(localStatus).c_str());
    if (!localName.empty()) std::printf("Local Name    = %s\n", localName.c_str());
    std::printf("\nUnit\t\tIPA\t\tStatus\t\tName\n");
    std::printf("%s\n", std::string(64, '-').c_str());
    for (unsigned short i = 1; i <= count; ++i) {
        if (i == localId) continue;
        const unsigned char* r = Record(i);
        const unsigned int ipa = Load32(r + kIpa);
        const unsigned short status = Load16(r + kStatus);
        if (ipa == 0 || status == 0) continue;
        std::printf("%2d\t%15s", Load16(r + kUnitId), Dotted(ipa).c_str());
        std::printf("\t%18s", GetUnitStatusStr(status).c_str());
        std::printf("\t%s\n", LoadName(r + kName).c_str());
    }
    std::printf("\n\n");
    std::fflush(stdout);
}
