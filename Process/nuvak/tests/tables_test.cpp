// Tour and group-preset tables loaded from the writer's files.
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <string>

#include "databasemgr.h"
#include "dbfolder.h"
#include "dbif.h"
#include "gpresettable.h"
#include "installation.h"
#include "nuvaktable.h"
#include "sysdefs.h"

using namespace nuvak::dbw;

namespace {

// Records scattered in the files, so that the order comes from the index.
class TablesTest : public nuvak::rig::DbFolderTest {
protected:
    void Write(const Installation& inst) {
        WriteOptions o;
        o.order = RecordOrder::kShuffled;
        DbFolderTest::Write(inst, o);
    }
};

}  // namespace

// Every tour and preset of the full-size installation, steps and elements in order.
TEST_F(TablesTest, FullSizeInstallationLoadsAsDescribed) {
    Installation inst = ExampleInstallation(true);
    Write(inst);
    NuvakTable tours(256);
    GpresetTable presets(256);
    ASSERT_EQ(tours.Size(), 256u);
    ASSERT_EQ(presets.Size(), 256u);
    for (const auto& def : inst.tours) {
        Nuvak* t = tours.GetNuvak(static_cast<unsigned short>(def.id));
        ASSERT_NE(t, nullptr) << def.id;
        EXPECT_EQ(t->GetLogicalTourId(), def.logical);
        EXPECT_EQ(t->GetArea(), def.logical / 10000);
        EXPECT_EQ(tours.GetPhysicalNuvak(def.logical), def.id);
        ASSERT_EQ(t->GetNumStep(), def.steps.size());
        for (unsigned short i = 0; i < t->GetNumStep(); ++i) {
            ASSERT_NE(t->GetTourStep(i), nullptr);
            EXPECT_EQ(t->GetTourStep(i)->grp_id, def.steps[i].preset);
            EXPECT_EQ(t->GetTourStep(i)->dwell, def.steps[i].dwell);
        }
    }
    for (const auto& def : inst.presets) {
        Gpreset* p = presets.GetGpreset(static_cast<unsigned short>(def.id));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(presets.GetPhysicalGpreset(def.logical), def.id);
        ASSERT_EQ(p->GetNumElement(), 128);
        for (unsigned short i = 0; i < 128; ++i) {
            EXPECT_EQ(p->GetPresetElement(i)->mon_id, def.elements[i].monitor);
            EXPECT_EQ(p->GetPresetElement(i)->cam_id, def.elements[i].camera);
            EXPECT_EQ(p->GetPresetElement(i)->preset, def.elements[i].preset);
        }
    }
    EXPECT_EQ(presets.GetLogCam(1), 101u);
    EXPECT_EQ(presets.GetLogCam(2047), 2147u);
    EXPECT_EQ(presets.GetLogCam(0), 0xFFFFFFFFul);
    EXPECT_EQ(presets.GetLogCam(2048), 0xFFFFFFFFul);  // read, but beyond the table
    EXPECT_EQ(presets.GetLogMon(1024), 1224u);
}

// Physical ids are the numbers in the key fields, not record numbers: gaps
// stay absent, and a repeated logical id keeps its first physical id.
TEST_F(TablesTest, IdsFromKeyFieldsAndFirstLogicalWins) {
    Installation inst;
    std::string error;
    ASSERT_TRUE(ParseDescription("tour 9 logical 30001\n  step preset 4 dwell 3\n"
                                 "tour 4 logical 30001\n  step preset 9 dwell 7\n"
                                 "tour 300 logical 5\n  step preset 1 dwell 1\n"
                                 "preset 4 logical 123456\n"
                                 "  element monitor 1 camera 2047 preset 1\n"
                                 "camera 5 logical 0\n",
                                 &inst, &error))
        << error;
    Write(inst);
    NuvakTable tours(256);
    EXPECT_EQ(tours.Size(), 2u);  // 300 is beyond the table's ids
    ASSERT_NE(tours.GetNuvak(9), nullptr);
    EXPECT_EQ(tours.GetNuvak(9)->GetTourStep(0)->grp_id, 4);
    EXPECT_EQ(tours.GetNuvak(1), nullptr);
    EXPECT_EQ(tours.GetPhysicalNuvak(30001), 4);  // loaded in id order: 4 before 9
    EXPECT_EQ(tours.GetPhysicalNuvak(99), 0xFFFF);
    EXPECT_EQ(tours.GetNuvak(4)->GetArea(), 3);

    GpresetTable presets(256);
    ASSERT_NE(presets.GetGpreset(4), nullptr);
    EXPECT_EQ(presets.GetGpreset(4)->GetArea(), 12);
    EXPECT_EQ(presets.GetGpreset(4)->GetPresetElement(1), nullptr);
    EXPECT_EQ(presets.GetLogCam(5), 0u);
    EXPECT_EQ(presets.GetLogCam(6), 0xFFFFFFFFul);
}

// Reloads in place: a logical id stays with the tour that has it while that
// tour still carries it (a running tour keeps its id when another tour is
// given the same one); every other id is mapped as a fresh load maps it.
// (A logical id once went missing when the tour that had briefly shared it
// took another id after it had been given back.)
TEST_F(TablesTest, ReloadsKeepPairsStillCarriedAndMapTheRestAsAFreshLoad) {
    const char* steps = "  step preset 1 dwell 5\n";
    auto describe = [&](std::initializer_list<std::pair<int, int>> tours) {
        std::string text;
        for (auto [id, logical] : tours)
            text += "tour " + std::to_string(id) + " logical " + std::to_string(logical) + "\n" + steps;
        text += "preset 1 logical 20001\n  element monitor 1 camera 1\n";
        text += "preset 2 logical 20001\n  element monitor 2 camera 1\n";
        Installation inst;
        std::string error;
        EXPECT_TRUE(ParseDescription(text, &inst, &error)) << error;
        Write(inst);
    };
    describe({{3, 10003}, {7, 10007}});
    NuvakTable tours(256);
    GpresetTable presets(256);
    EXPECT_EQ(presets.GetPhysicalGpreset(20001), 1);  // shared at load: the lowest
    DatabaseMgr db(256, 256, &tours, &presets, 1);
    describe({{3, 10099}, {7, 10003}});  // 10003 moves from tour 3 to tour 7
    ASSERT_EQ(db.DatabaseUpdate(NUVAK_UPDATE_SIG), 0);
    EXPECT_EQ(tours.GetPhysicalNuvak(10003), 7);
    EXPECT_EQ(tours.GetPhysicalNuvak(10099), 3);
    describe({{3, 10003}, {7, 10003}});  // shared: tour 7 still carries it and keeps it
    ASSERT_EQ(db.DatabaseUpdate(GRPPRE_UPDATE_SIG), 0);
    EXPECT_EQ(tours.GetPhysicalNuvak(10003), 7);
    EXPECT_EQ(tours.GetPhysicalNuvak(10099), 0xFFFF);
    describe({{3, 10003}, {7, 10007}});  // tour 7 gives it up: tour 3 has it
    ASSERT_EQ(db.DatabaseUpdate(NUVAK_UPDATE_SIG), 0);
    EXPECT_EQ(tours.GetPhysicalNuvak(10003), 3);
    EXPECT_EQ(tours.GetPhysicalNuvak(10007), 7);
    describe({{3, 10050}, {7, 10050}});  // newly shared by both: the lowest, as at load
    ASSERT_EQ(db.DatabaseUpdate(NUVAK_UPDATE_SIG), 0);
    EXPECT_EQ(tours.GetPhysicalNuvak(10050), 3);
    EXPECT_EQ(tours.GetPhysicalNuvak(10003), 0xFFFF);
    describe({{7, 10050}});  // tour 3 gone: tour 7 has the id
    ASSERT_EQ(db.DatabaseUpdate(NUVAK_UPDATE_SIG), 0);
    EXPECT_EQ(tours.GetPhysicalNuvak(10050), 7);
    EXPECT_EQ(tours.GetPhysicalNuvak(10007), 0xFFFF);
    EXPECT_EQ(presets.GetPhysicalGpreset(20001), 1);
}

// Reloads overwrite steps and elements in place: changed, shorter, longer.
TEST_F(TablesTest, ReloadsRewriteStepsAndElementsInPlace) {
    auto describe = [&](int n, int camera) {
        std::string text = "tour 1 logical 10001\n";
        for (int i = 1; i <= n; ++i)
            text += "  step preset 1 dwell " + std::to_string(i + camera) + "\n";
        text += "preset 1 logical 20001\n";
        for (int i = 1; i <= n; ++i)
            text += "  element monitor " + std::to_string(i) + " camera " + std::to_string(camera + i) +
                    " preset " + std::to_string(i % 3) + "\n";
        Installation inst;
        std::string error;
        EXPECT_TRUE(ParseDescription(text, &inst, &error)) << error;
        Write(inst);
    };
    describe(3, 10);
    NuvakTable tours(256);
    GpresetTable presets(256);
    DatabaseMgr db(256, 256, &tours, &presets, 1);
    for (auto [n, camera] : {std::pair{2, 20}, std::pair{4, 30}, std::pair{4, 40}}) {
        describe(n, camera);
        ASSERT_EQ(db.DatabaseUpdate(GRPPRE_UPDATE_SIG), 0);
        const Gpreset* p = presets.GetGpreset(1);
        const Nuvak* t = tours.GetNuvak(1);
        ASSERT_TRUE(p != nullptr && t != nullptr);
        ASSERT_EQ(p->GetNumElement(), n);
        ASSERT_EQ(t->GetNumStep(), n);
        for (unsigned short i = 0; i < 5; ++i) {
            const T_GROUP_element* e = p->GetPresetElement(i);
            const T_NUVAK_step* st = t->GetTourStep(i);
            ASSERT_EQ(e != nullptr, i < n) << i;
            ASSERT_EQ(st != nullptr, i < n) << i;
            if (i >= n) continue;
            EXPECT_EQ(e->mon_id, i + 1);
            EXPECT_EQ(e->cam_id, static_cast<unsigned>(camera + i + 1));
            EXPECT_EQ(e->preset, (i + 1) % 3);
            EXPECT_EQ(st->dwell, i + 1 + camera);
        }
    }
}

// A reload applies a table only when one load pass read it whole. Caught
// half-written (a new index over old data, new data under an old index) or
// unreadable (truncated), a table keeps its previous content whole: nothing
// of the mixed read, no tour or preset removed for a status other than
// "absent", no camera given another camera's number. A table read whole is
// applied whole: what it lacks is removed, logical ids and camera numbers
// are what it says (a camera it deletes has none).
TEST_F(TablesTest, AReloadAppliesOnlyTablesReadWhole) {
    const char* a = "tour 1 logical 10001\n  step preset 1 dwell 5\n  step preset 2 dwell 6\n"
                    "tour 2 logical 10002\n  step preset 2 dwell 7\n"
                    "preset 1 logical 20001\n  element monitor 1 camera 5\n"
                    "preset 2 logical 20002\n  element monitor 2 camera 12\n"
                    "camera 3 logical 103\ncamera 5 logical 105\ncamera 12 logical 112\n";
    const char* b = "tour 2 logical 10002\n  step preset 2 dwell 7\n"
                    "tour 3 logical 10001\n  step preset 1 dwell 4\n"
                    "preset 1 logical 20001\n  element monitor 1 camera 12\n  element monitor 2 camera 3\n"
                    "camera 3 logical 103\ncamera 12 logical 112\n";
    auto parse = [](const char* text) {
        Installation inst;
        std::string error;
        EXPECT_TRUE(ParseDescription(text, &inst, &error)) << error;
        return inst;
    };
    Write(parse(a));
    NuvakTable tours(256);
    GpresetTable presets(256);
    DatabaseMgr db(256, 256, &tours, &presets, 1);
    auto expectA = [&] {
        ASSERT_EQ(tours.Size(), 2u);
        ASSERT_NE(tours.GetNuvak(1), nullptr);
        EXPECT_EQ(tours.GetNuvak(1)->GetNumStep(), 2);
        EXPECT_EQ(tours.GetNuvak(1)->GetTourStep(1)->dwell, 6);
        EXPECT_EQ(tours.GetPhysicalNuvak(10001), 1);
        EXPECT_EQ(tours.GetNuvak(3), nullptr);
        ASSERT_EQ(presets.Size(), 2u);
        EXPECT_EQ(presets.GetGpreset(1)->GetNumElement(), 1);
        EXPECT_EQ(presets.GetLogCam(5), 105u);
        EXPECT_EQ(presets.GetLogCam(12), 112u);
    };
    expectA();

    // Version B written elsewhere; pieces of it land over version A.
    const std::string other = dir_ + "/b";
    std::string error;
    ASSERT_TRUE(WriteInstallation(other, parse(b), {std::begin(kAllTables), std::end(kAllTables)}, {}, &error))
        << error;
    namespace fs = std::filesystem;
    fs::copy_file(other + "/nuvak.mdx", dir_ + "/nuvak.mdx", fs::copy_options::overwrite_existing);
    fs::copy_file(other + "/cam.dbf", dir_ + "/cam.dbf", fs::copy_options::overwrite_existing);
    fs::resize_file(dir_ + "/grppre.dbf", 0);
    testing::internal::CaptureStdout();
    ASSERT_EQ(db.DatabaseUpdate(NUVAK_UPDATE_SIG), 0);
    const std::string said = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(db.ToursReadWhole());
    expectA();
    EXPECT_NE(said.find("DatabaseMgr: tours keep their previous content: the table kept changing"), std::string::npos)
        << said;
    EXPECT_NE(said.find("DatabaseMgr: group presets keep their previous content: the table cannot be read"),
              std::string::npos)
        << said;
    EXPECT_NE(said.find("DatabaseMgr: cameras keep"), std::string::npos) << said;

    Write(parse(b));
    ASSERT_EQ(db.DatabaseUpdate(GRPPRE_UPDATE_SIG), 0);
    EXPECT_TRUE(db.ToursReadWhole());
    EXPECT_EQ(tours.GetNuvak(1), nullptr) << "absent from a whole read: removed";
    ASSERT_NE(tours.GetNuvak(3), nullptr);
    EXPECT_EQ(tours.GetPhysicalNuvak(10001), 3);
    ASSERT_EQ(presets.Size(), 1u);
    EXPECT_EQ(presets.GetGpreset(1)->GetNumElement(), 2);
    EXPECT_EQ(presets.GetLogCam(5), 0xFFFFFFFFul) << "a deleted camera keeps no number";
    EXPECT_EQ(presets.GetLogCam(12), 112u);
}

TEST(TableObjects, OwnershipAndFirstEntryKept) {
    Nuvak tour;
    EXPECT_EQ(tour.GetNuvakId(), 0xFFFF);
    EXPECT_EQ(tour.GetLogicalTourId(), 0xFFFFFFFFul);
    tour.AddTourStep(0, new T_NUVAK_step{1, 10});
    tour.AddTourStep(0, new T_NUVAK_step{2, 20});  // deleted, the first is kept
    EXPECT_EQ(tour.GetTourStep(0)->grp_id, 1);
    tour.DelTourStep(0);
    EXPECT_EQ(tour.GetTourStep(0), nullptr);

    Gpreset preset;
    EXPECT_EQ(preset.GetGpresetId(), 0xFFFF);
    preset.AddPresetElement(3, new T_GROUP_element{1, 2, 3});
    EXPECT_EQ(preset.GetPresetElement(3)->cam_id, 2);

    DBIF_SetPath("/nonexistent/tables_test");  // no database: empty tables
    NuvakTable tours(256);
    GpresetTable presets(256);
    DBIF_SetPath(nullptr);
    EXPECT_EQ(tours.Size(), 0u);
    EXPECT_EQ(presets.Size(), 0u);
    EXPECT_EQ(presets.GetLogCam(1), 0xFFFFFFFFul);
    presets.SetLogCam(0, 7);
    presets.SetLogCam(2048, 7);
    EXPECT_EQ(presets.GetLogCam(0), 0xFFFFFFFFul);
    presets.AddGpreset(1, new Gpreset(1, 0, 10000, 1));
    presets.AddGpreset(1, new Gpreset(1, 5, 20000, 2));
    EXPECT_EQ(presets.GetGpreset(1)->GetLogicalPresetId(), 10000ul);
    presets.DelGpreset(1);
    EXPECT_EQ(presets.GetGpreset(1), nullptr);
}
