#include "tableload.h"

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "dbif.h"
#include "gpresettable.h"
#include "nuvaktable.h"
#include "sysdefs.h"
#include "systune.h"

namespace nuvak::tables {
namespace {

struct FreeBlock {
    void operator()(void* p) const { std::free(p); }
};

template <typename Config>
struct StagedRecord {
    unsigned short id;
    unsigned long logical;
    std::unique_ptr<Config, FreeBlock> block;
};

// What one pass read of one table: clean, or the first lookup that was
// neither found nor absent.
struct ReadStatus {
    bool clean = true;
    T_uint_16 status = DBIFERR_NOERROR;
    unsigned id = 0;
    void Fail(T_uint_16 s, unsigned at) {
        if (!clean) return;
        clean = false;
        status = s;
        id = at;
    }
};

// The staging copy of one load pass.
struct Staging {
    std::vector<StagedRecord<T_NUVAK_config>> tours;
    std::vector<StagedRecord<T_GROUP_config>> presets;
    std::vector<unsigned long> cameras;   // index: camera 0..SYS_NCAM - 1
    std::vector<unsigned long> monitors;  // index: monitor 0..SYS_NMON
    ReadStatus read[4];                   // by table bit index
};

int BitIndex(unsigned table) {
    switch (table) {
        case kTours: return 0;
        case kPresets: return 1;
        case kCameras: return 2;
        default: return 3;
    }
}

int DbifTable(unsigned table) {
    switch (table) {
        case kTours: return DBIF_TABLE_NUVAK;
        case kPresets: return DBIF_TABLE_GROUP;
        case kCameras: return DBIF_TABLE_CAM;
        default: return DBIF_TABLE_MON;
    }
}

// Blocks of ids 1..count: found ones staged, absent ones left out.
template <typename Config>
void StageBlocks(unsigned short count, T_uint_16 (*byId)(T_uint_16, Config**), T_uint_32 (*toLog)(T_uint_16),
                 std::vector<StagedRecord<Config>>* out, ReadStatus* read) {
    for (unsigned id = 1; id <= count; ++id) {
        const auto pid = static_cast<unsigned short>(id);
        Config* raw = nullptr;
        const T_uint_16 status = byId(pid, &raw);
        std::unique_ptr<Config, FreeBlock> block(raw);
        if (status == DBIFERR_NOTFOUND) continue;
        if (status != DBIFERR_NOERROR || !block) {
            read->Fail(status, id);
            continue;
        }
        out->push_back({pid, toLog(pid), std::move(block)});
    }
}

template <typename Rec>
void StageNumbers(unsigned first, unsigned last, T_uint_16 (*byId)(T_uint_16, Rec*), std::vector<unsigned long>* out,
                  ReadStatus* read) {
    for (unsigned n = first; n <= last; ++n) {
        Rec rec{};
        const T_uint_16 status = byId(static_cast<T_uint_16>(n), &rec);
        if (status == DBIFERR_NOERROR)
            (*out)[n] = rec.log_no;
        else if (status != DBIFERR_SEARCHVAL)
            read->Fail(status, n);
    }
}

// One load pass over the tables of `mask`, in the order of a reload:
// presets, monitors, cameras, tours.
void ReadPass(unsigned mask, unsigned short tourCount, unsigned short presetCount, Staging* s) {
    DBIF_LoadPass pass;
    if (mask & kPresets) StageBlocks(presetCount, DBIF_GROUPbyID, DBIF_GROUPIDtoLog, &s->presets, &s->read[1]);
    if (mask & kMonitors) {
        s->monitors.assign(SYS_NMON + 1, SYS_IDNULL_LONG);
        StageNumbers(1, SYS_NMON, DBIF_MONbyID, &s->monitors, &s->read[3]);
    }
    if (mask & kCameras) {
        s->cameras.assign(SYS_NCAM, SYS_IDNULL_LONG);
        StageNumbers(1, SYS_NCAM - 1, DBIF_CAMbyID, &s->cameras, &s->read[2]);
    }
    if (mask & kTours) StageBlocks(tourCount, DBIF_NUVAKbyID, DBIF_NUVAKIDtoLog, &s->tours, &s->read[0]);
    pass.End();
}

// Applies staged records to a live table: absent ids removed, the rest
// made what was read (in place when present), logical ids mapped afresh.
template <typename Table, typename Config, typename Item>
void ApplyRecords(Table& table, unsigned short count, std::vector<StagedRecord<Config>>& staged,
                  Item* (Table::*get)(unsigned short) const, void (Table::*add)(unsigned short, Item*),
                  void (Table::*del)(unsigned short), void (*apply)(Item&, Config*, unsigned long),
                  Item* (*build)(unsigned short, Config*, unsigned long)) {
    std::size_t next = 0;
    for (unsigned id = 1; id <= count; ++id) {
        const auto pid = static_cast<unsigned short>(id);
        Item* live = (table.*get)(pid);
        if (next < staged.size() && staged[next].id == pid) {
            StagedRecord<Config>& r = staged[next++];
            if (live != nullptr)
                apply(*live, r.block.get(), r.logical);
            else
                (table.*add)(pid, build(pid, r.block.get(), r.logical));
        } else if (live != nullptr) {
            (table.*del)(pid);
        }
    }
    table.RebuildLogical();
}

void Apply(unsigned table, Staging& s, NuvakTable* tours, unsigned short tourCount, GpresetTable* presets,
           unsigned short presetCount) {
    switch (table) {
        case kTours:
            ApplyRecords(*tours, tourCount, s.tours, &NuvakTable::GetNuvak, &NuvakTable::AddNuvak,
                         &NuvakTable::DelNuvak, ApplyNuvak, BuildNuvak);
            break;
        case kPresets:
            ApplyRecords(*presets, presetCount, s.presets, &GpresetTable::GetGpreset, &GpresetTable::AddGpreset,
                         &GpresetTable::DelGpreset, ApplyGpreset, BuildGpreset);
            break;
        case kCameras:
            for (unsigned c = 1; c < SYS_NCAM; ++c) presets->SetLogCam(static_cast<unsigned short>(c), s.cameras[c]);
            break;
        default:
            for (unsigned m = 1; m <= SYS_NMON; ++m)
                presets->SetLogMon(static_cast<unsigned short>(m), s.monitors[m]);
            break;
    }
}

// Sleeps `ms` milliseconds, signals notwithstanding.
void Pause(int ms) {
    timespec left{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace

const char* TableName(unsigned table) {
    switch (table) {
        case kTours: return "tours";
        case kPresets: return "group presets";
        case kCameras: return "cameras";
        case kMonitors: return "monitors";
        default: return "?";
    }
}

LoadOutcome LoadTables(NuvakTable* tours, unsigned short tourCount, GpresetTable* presets,
                       unsigned short presetCount, unsigned mask, const char* who) {
    if (tours == nullptr) mask &= ~kTours;
    if (presets == nullptr) mask &= ~(kPresets | kCameras | kMonitors);
    if (tourCount > SYS_NNUVAKS) tourCount = SYS_NNUVAKS;
    if (presetCount > SYS_NGPRESET) presetCount = SYS_NGPRESET;
    LoadOutcome outcome;
    unsigned pending = mask;
    ReadStatus lastRead[4];
    for (int attempt = 1; pending != 0 && attempt <= kLoadAttempts; ++attempt) {
        if (attempt > 1) Pause(kRetryPauseMs);
        Staging staging;
        ReadPass(pending, tourCount, presetCount, &staging);
        outcome.changing = 0;
        for (unsigned table = kTours; table <= kMonitors; table <<= 1) {
            if ((pending & table) == 0) continue;
            const ReadStatus& read = staging.read[BitIndex(table)];
            const bool changed = DBIF_PassTableStatus(DbifTable(table)) != DBIFERR_NOERROR;
            if (read.clean && !changed) {
                Apply(table, staging, tours, tourCount, presets, presetCount);
                pending &= ~table;
                outcome.applied |= table;
                continue;
            }
            lastRead[BitIndex(table)] = read;
            if (changed) outcome.changing |= table;
        }
    }
    if (who != nullptr)
        for (unsigned table = kTours; table <= kMonitors; table <<= 1) {
            if ((pending & table) == 0) continue;
            const ReadStatus& read = lastRead[BitIndex(table)];
            if (outcome.changing & table)
                std::printf("%s: %s keep their previous content: the table kept changing under %d reads\n", who,
                            TableName(table), kLoadAttempts);
            else
                std::printf("%s: %s keep their previous content: the table cannot be read (%s at %u, %d reads)\n",
                            who, TableName(table), DBIF_ErrorName(read.status), read.id, kLoadAttempts);
            std::fflush(stdout);
        }
    return outcome;
}

}  // namespace nuvak::tables
