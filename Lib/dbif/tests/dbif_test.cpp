// Database interface over files written by the database writer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "dbfolder.h"
#include "dbfwriter.h"
#include "dbiflib.h"
#include "installation.h"

using namespace nuvak::dbw;

namespace {

class DbifTest : public nuvak::rig::DbFolderTest {
protected:
    // Deep trees, scattered records: only the index orders equal keys.
    WriteOptions Deep() const {
        WriteOptions o;
        o.pageKeys = 3;
        o.order = RecordOrder::kShuffled;
        return o;
    }
    void WriteRaw(const char* name, const Table& t, WriteOptions o = {}) {
        std::string error;
        ASSERT_TRUE(WriteTable(dir_ + "/" + name, t, o, &error)) << error;
    }
};

// Tour `id`'s lookup code and step count; a failure leaves no block behind.
struct Tour {
    T_uint_16 code;
    int steps;
};
Tour ReadTour(T_uint_16 id) {
    T_NUVAK_config* raw = reinterpret_cast<T_NUVAK_config*>(&raw);  // must be overwritten
    Tour t{DBIF_NUVAKbyID(id, &raw), -1};
    if (t.code != DBIFERR_NOERROR) {
        EXPECT_EQ(raw, nullptr) << id;
        return t;
    }
    EXPECT_EQ(raw->tour_id, id);
    t.steps = raw->nsteps;
    std::free(raw);
    return t;
}

Installation Small() {
    Installation inst;
    std::string error;
    EXPECT_TRUE(ParseDescription("tour 1 logical 10001\n"
                                 "  step preset 1 dwell 10\n"
                                 "  step preset 2 dwell 5\n"
                                 "  step preset 3 dwell 20\n"
                                 "tour 7 logical 70007\n"
                                 "  step preset 2 dwell 999\n"
                                 "preset 2 logical 20002\n"
                                 "  element monitor 4 camera 9 preset 3\n"
                                 "  element monitor 5 camera 10\n"
                                 "camera 9 logical 109 title Gate camtype 001A rs485cfg 00F1 "
                                 "comp m menu Y vd2 y cntldata N bitrate 512 cammodel ModelX\n"
                                 "camera 10 logical 110 comp L camtype 0007\n"
                                 "monitor 4 logical 204 monloc Hall swid 3 almtrig 2\n",
                                 &inst, &error))
        << error;
    return inst;
}

}  // namespace

TEST_F(DbifTest, AbsentKeysBetweenAndPastTheEnd) {
    Write(Small(), Deep());
    for (T_uint_16 id : {0, 2, 6, 8, 300}) {
        EXPECT_EQ(ReadTour(id).code, DBIFERR_NOTFOUND) << id;
        EXPECT_EQ(DBIF_NUVAKIDtoLog(id), 0u);
    }
    T_CAM_config cam;
    EXPECT_EQ(DBIF_CAMbyID(8, &cam), DBIFERR_SEARCHVAL);
    EXPECT_EQ(DBIF_CAMbyID(11, &cam), DBIFERR_SEARCHVAL);
    T_MON_config mon;
    EXPECT_EQ(DBIF_MONbyID(5, &mon), DBIFERR_SEARCHVAL);
}

TEST_F(DbifTest, CameraAndMonitorConversions) {
    Write(Small(), {});
    T_CAM_config cam{};
    ASSERT_EQ(DBIF_CAMbyID(9, &cam), DBIFERR_NOERROR);
    EXPECT_EQ(cam.phys_no, 9);
    EXPECT_EQ(cam.log_no, 109u);
    EXPECT_EQ(cam.type_bits, 0x001A);
    EXPECT_EQ(cam.type, 1);
    EXPECT_EQ(cam.f_preset, 1);
    EXPECT_EQ(cam.rs485_cfg, 0x80F1);
    EXPECT_EQ(cam.comp, 0);  // lower-case m is not M
    EXPECT_EQ(cam.f_menu, 1);
    EXPECT_EQ(cam.f_vd2, 1);
    EXPECT_EQ(cam.cntl_data, 0);
    EXPECT_EQ(cam.bit_rate, 512);
    EXPECT_EQ(std::string(cam.title, 30), "Gate" + std::string(26, ' '));
    EXPECT_STREQ(cam.model, ("ModelX" + std::string(26, ' ')).c_str());
    ASSERT_EQ(DBIF_CAMbyID(10, &cam), DBIFERR_NOERROR);
    EXPECT_EQ(cam.comp, 3);
    EXPECT_EQ(cam.type, 1);
    EXPECT_EQ(cam.f_preset, 0);

    T_MON_config mon{};
    ASSERT_EQ(DBIF_MONbyID(4, &mon), DBIFERR_NOERROR);
    EXPECT_EQ(mon.log_no, 204u);
    EXPECT_EQ(mon.swid, 3);
    EXPECT_EQ(mon.alarm_trig, 2);
    EXPECT_EQ(std::string(mon.location, 4), "Hall");
}

// A key field with decimals is searched with the id formatted to them.
TEST_F(DbifTest, NumericKeyWithDecimals) {
    Table t;
    t.fields = {{"GRPTOUR", 'N', 6, 1}, {"GRPPRESET", 'N', 5, 0}, {"GRPDWELL", 'N', 3, 0},
                {"LGRPTOUR", 'N', 10, 0}};
    t.tags = {"GRPTOUR"};
    t.rows = {{"5", "1", "10", "55"}, {"5.0", "2", "11", "55"}, {"7", "3", "12", "77"}};
    WriteRaw("nuvak", t);
    EXPECT_EQ(ReadTour(5).steps, 2);
    EXPECT_EQ(DBIF_NUVAKIDtoLog(7), 77u);

    // An id whose text does not fit the key field cannot be converted.
    t.fields[0] = {"GRPTOUR", 'N', 4, 1};
    t.rows = {{"5", "1", "10", "55"}};
    WriteRaw("nuvak", t);
    DBIF_SetPath(dir_.c_str());
    EXPECT_EQ(ReadTour(100).code, DBIFERR_INDEXFILE);
    EXPECT_EQ(ReadTour(5).code, DBIFERR_NOERROR);
}

// Equal numbers stored with another digit-count byte (other writers) are one key.
TEST_F(DbifTest, EqualNumbersWithDifferentKeyBytes) {
    Installation inst = Small();
    Write(inst, {});
    std::string path = dir_ + "/nuvak.mdx";
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    NumKey one = NumericKey("1");
    std::string key(one.begin(), one.end());
    int seen = 0;
    for (size_t at = bytes.find(key, 2048); at != std::string::npos; at = bytes.find(key, at + 1))
        if (++seen % 2 == 0) bytes[at + 1] = 0x05;  // one digit, the form some writers use
    ASSERT_GE(seen, 2);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    EXPECT_EQ(ReadTour(1).steps, 3);
}

TEST_F(DbifTest, MissingFieldKeepsTheTableUnreadyUntilFixed) {
    Installation inst = Small();
    Table t = MakeTable(inst, TableId::kTours);
    t.fields.pop_back();  // GRPDWELL
    for (auto& row : t.rows) row.pop_back();
    WriteRaw("nuvak", t);
    EXPECT_EQ(DBIF_NUVAKInit(), DBIFERR_MISC);
    EXPECT_EQ(ReadTour(1).code, DBIFERR_NOINIT);
    EXPECT_EQ(DBIF_NUVAKIDtoLog(1), 0u);
    EXPECT_EQ(dbNUVAK.fld[NUVAK_GRPDWELL].fld_err, 1);
    WriteRaw("nuvak", MakeTable(inst, TableId::kTours));
    EXPECT_EQ(ReadTour(1).code, DBIFERR_NOERROR);
}

TEST_F(DbifTest, DataFileMissingFirstOrRemovedLater) {
    Write(Small(), {});
    std::string cam = dir_ + "/cam.dbf";
    std::string kept = cam + ".kept";
    ASSERT_EQ(::rename(cam.c_str(), kept.c_str()), 0);
    T_CAM_config rec;
    EXPECT_EQ(DBIF_CAMbyID(9, &rec), DBIFERR_NOINIT);
    ASSERT_EQ(::rename(kept.c_str(), cam.c_str()), 0);
    EXPECT_EQ(DBIF_CAMbyID(9, &rec), DBIFERR_NOERROR);

    ::unlink(cam.c_str());
    EXPECT_EQ(DBIF_CAMbyID(9, &rec), DBIFERR_NOACCESS);
    EXPECT_EQ(DBIF_OpenDB(&dbCAM.db, 1), DBIFERR_NOFILE);
    ::unlink((dir_ + "/nuvak.dbf").c_str());
    EXPECT_EQ(ReadTour(1).code, DBIFERR_NOINIT);  // never ready
    ::unlink((dir_ + "/mon.mdx").c_str());
    T_MON_config mon;
    EXPECT_EQ(DBIF_MONbyID(4, &mon), DBIFERR_NOINIT);  // cannot open the index
}

// Tables rewritten in place under the service, fields moved: the next lookup sees them.
TEST_F(DbifTest, RewriteInPlaceAndChangedStructure) {
    Installation inst = Small();
    Write(inst, {});
    T_CAM_config rec;
    ASSERT_EQ(DBIF_CAMbyID(9, &rec), DBIFERR_NOERROR);

    inst.tours[0].steps.pop_back();
    inst.cameras[0].logical = 4242;
    WriteOptions o;
    o.inPlace = true;
    Write(inst, o);
    EXPECT_EQ(ReadTour(1).steps, 2);

    Table t = MakeTable(inst, TableId::kCameras);
    std::reverse(t.fields.begin(), t.fields.end());
    for (auto& row : t.rows) std::reverse(row.begin(), row.end());
    WriteRaw("cam", t, o);
    ASSERT_EQ(DBIF_CAMbyID(9, &rec), DBIFERR_NOERROR);
    EXPECT_EQ(rec.log_no, 4242u);
    EXPECT_EQ(rec.type_bits, 0x001A);

    t.fields.pop_back();  // CAM itself
    for (auto& row : t.rows) row.pop_back();
    t.tags = {"LCAM"};
    WriteRaw("cam", t, o);
    EXPECT_EQ(DBIF_CAMbyID(9, &rec), DBIFERR_NOACCESS);
}

// A pass answers from its first reading while a writer rewrites in place; its
// end says so, and later lookups (and passes) see the new tables.
TEST_F(DbifTest, LoadPassAnswersFromOneReadingAndReportsRewrites) {
    Installation inst = Small();
    Write(inst, Deep());
    auto steps = [](T_uint_16 id) { return ReadTour(id).steps; };
    T_CAM_config cam;
    ASSERT_EQ(DBIF_BeginPass(), DBIFERR_NOERROR);
    EXPECT_EQ(steps(1), 3);
    ASSERT_EQ(DBIF_CAMbyID(9, &cam), DBIFERR_NOERROR);
    Installation changed = inst;
    changed.tours[0].steps.pop_back();
    changed.cameras[0].logical = 4242;
    WriteOptions o = Deep();
    o.inPlace = true;
    Write(changed, o);
    EXPECT_EQ(steps(1), 3) << "the pass's reading, not a mixture";
    EXPECT_EQ(DBIF_NUVAKIDtoLog(7), 70007u);
    ASSERT_EQ(DBIF_CAMbyID(9, &cam), DBIFERR_NOERROR);
    EXPECT_EQ(cam.log_no, 109u);
    EXPECT_EQ(DBIF_EndPass(), DBIFERR_CHANGED);
    EXPECT_EQ(steps(1), 2);

    DBIF_LoadPass pass;
    EXPECT_EQ(steps(1), 2);
    EXPECT_EQ(pass.End(), DBIFERR_NOERROR);
    Write(inst, o);
    DBIF_LoadPass again;
    EXPECT_EQ(steps(1), 3) << "a rewrite between passes is seen by the next";
    EXPECT_EQ(again.End(), DBIFERR_NOERROR);
}

// Two versions with the same records in other places: the index of one over
// the data of the other passes the layer's check of index against data, but
// leads tour 1's seek to tour 8's record. Every record read through an index
// must carry the key sought: the lookup answers DBIFERR_CHANGED (not tour
// 8's step as tour 1's, nor camera 12 as camera 5), and a load pass names the
// table, only that one, as changed.
TEST_F(DbifTest, ARecordWithoutTheKeySoughtIsAChangedTable) {
    auto version = [&](bool swapped) {
        Installation inst;
        std::string error;
        const std::string t1 = "tour 1 logical 10001\n  step preset 1 dwell 5\n";
        const std::string t8 = "tour 8 logical 10008\n  step preset 8 dwell 9\n";
        const std::string c5 = "camera 5 logical 105\n", c12 = "camera 12 logical 112\n";
        EXPECT_TRUE(ParseDescription(swapped ? t8 + t1 + c12 + c5 : t1 + t8 + c5 + c12, &inst, &error)) << error;
        Write(inst, {});  // records in listed order
    };
    version(true);
    const std::string nuvakMdx = dir_ + "/nuvak.mdx.swapped", camMdx = dir_ + "/cam.mdx.swapped";
    ASSERT_EQ(::rename((dir_ + "/nuvak.mdx").c_str(), nuvakMdx.c_str()), 0);
    ASSERT_EQ(::rename((dir_ + "/cam.mdx").c_str(), camMdx.c_str()), 0);
    version(false);
    T_CAM_config cam;
    ASSERT_EQ(DBIF_CAMbyID(5, &cam), DBIFERR_NOERROR);
    EXPECT_EQ(cam.log_no, 105u);
    ASSERT_EQ(::rename(nuvakMdx.c_str(), (dir_ + "/nuvak.mdx").c_str()), 0);
    ASSERT_EQ(::rename(camMdx.c_str(), (dir_ + "/cam.mdx").c_str()), 0);
    for (bool pass : {false, true}) {
        if (pass) DBIF_BeginPass();
        EXPECT_EQ(ReadTour(1).code, DBIFERR_CHANGED);
        EXPECT_EQ(DBIF_NUVAKIDtoLog(1), 0u) << "not tour 8's logical id";
        cam.log_no = 0;
        EXPECT_EQ(DBIF_CAMbyID(5, &cam), DBIFERR_NOACCESS);
        EXPECT_EQ(cam.log_no, 0u) << "not camera 12's number";
        T_GROUP_config* g = nullptr;
        EXPECT_EQ(DBIF_GROUPbyID(1, &g), DBIFERR_NOTFOUND);
        if (!pass) continue;
        EXPECT_EQ(DBIF_EndPass(), DBIFERR_CHANGED);
        EXPECT_EQ(DBIF_PassTableStatus(DBIF_TABLE_NUVAK), DBIFERR_CHANGED);
        EXPECT_EQ(DBIF_PassTableStatus(DBIF_TABLE_CAM), DBIFERR_CHANGED);
        EXPECT_EQ(DBIF_PassTableStatus(DBIF_TABLE_GROUP), DBIFERR_NOERROR);
        EXPECT_EQ(DBIF_PassTableStatus(DBIF_TABLE_MON), DBIFERR_NOERROR);
    }
    version(false);
    DBIF_LoadPass whole;
    EXPECT_EQ(ReadTour(1).steps, 1);
    EXPECT_EQ(whole.End(), DBIFERR_NOERROR);
    EXPECT_EQ(DBIF_PassTableStatus(DBIF_TABLE_NUVAK), DBIFERR_NOERROR);
}

TEST_F(DbifTest, KeyFieldOfAnotherType) {
    // A character key field works like a numeric one.
    Table full = MakeTable(Small(), TableId::kCameras);
    for (auto& f : full.fields)
        if (f.name == "CAM") f = {"CAM", 'C', 4, 0};
    for (size_t i = 0; i < full.rows.size(); ++i) full.rows[i][0] = i == 0 ? "9" : "10";
    full.tags = {"CAM"};
    WriteRaw("cam", full);
    T_CAM_config rec;
    ASSERT_EQ(DBIF_CAMbyID(9, &rec), DBIFERR_NOERROR);
    EXPECT_EQ(rec.log_no, 109u);
}

// Truncated and scribbled-over files give codes, never a crash (sanitizers too).
TEST_F(DbifTest, DamagedFilesGiveCodes) {
    Installation inst = ExampleInstallation(false);
    WriteOptions o = Deep();
    Write(inst, o);
    std::string cam = dir_ + "/cam.dbf";
    ASSERT_EQ(::truncate(cam.c_str(), 600), 0);  // the header still counts every record
    T_CAM_config rec;
    int failed = 0;
    for (T_uint_16 id = 1; id <= 4; ++id) {
        T_uint_16 r = DBIF_CAMbyID(id, &rec);
        EXPECT_TRUE(r == DBIFERR_NOERROR || r == DBIFERR_NOACCESS || r == DBIFERR_NOINIT) << r;
        failed += r != DBIFERR_NOERROR;
    }
    EXPECT_GT(failed, 0);
    ASSERT_EQ(::truncate((dir_ + "/nuvak.mdx").c_str(), 2048), 0);  // tag table, no tag header
    T_uint_16 r = ReadTour(1).code;
    EXPECT_TRUE(r == DBIFERR_NOINIT || r == DBIFERR_NOACCESS || r == DBIFERR_INDEXFILE) << r;

    // Random bytes over every file, many times over.
    std::uint32_t x = 12345;
    for (int round = 0; round < 60; ++round) {
        Write(inst, o);
        DBIF_SetPath(dir_.c_str());
        for (const char* f : {"nuvak.dbf", "nuvak.mdx", "grppre.dbf", "grppre.mdx", "cam.dbf",
                              "cam.mdx", "mon.dbf", "mon.mdx"}) {
            std::string path = dir_ + "/" + f;
            std::fstream io(path, std::ios::binary | std::ios::in | std::ios::out);
            io.seekg(0, std::ios::end);
            long size = static_cast<long>(io.tellg());
            for (int k = 0; k < 6; ++k) {
                x ^= x << 13, x ^= x >> 17, x ^= x << 5;
                io.seekp(static_cast<long>(x % static_cast<std::uint32_t>(size)));
                io.put(static_cast<char>(x >> 24));
            }
        }
        for (T_uint_16 id = 0; id <= 6; ++id) {
            ReadTour(id);
            T_GROUP_config* g = nullptr;
            DBIF_GROUPbyID(id, &g);
            std::free(g);
            DBIF_NUVAKIDtoLog(id);
            DBIF_GROUPIDtoLog(id);
            DBIF_CAMbyID(id, &rec);
            T_MON_config mon;
            DBIF_MONbyID(id, &mon);
        }
    }
}

TEST(DbifConversions, NumbersTextAndHex) {
    const char rec[] = " 65537 -1  12ab   4294967297 1a2F";
    T_field f{0, "X", 1, 'N', 6, 0, 1};  // " 65537"
    EXPECT_EQ(DBIF_FldToU16(&f, rec), 1);  // cut to 16 bits
    EXPECT_EQ(DBIF_FldToU32(&f, rec), 65537u);
    f.offset = 1, f.width = 3;  // "655" of "65537": the number ends with its field
    EXPECT_EQ(DBIF_FldToU32(&f, rec), 655u);
    f.offset = 7, f.width = 1;  // "-" alone, the digit after it is not the field's
    EXPECT_EQ(DBIF_FldToU32(&f, rec), 0u);
    f.offset = 7, f.width = 2;  // "-1"
    EXPECT_EQ(DBIF_FldToU16(&f, rec), 0xFFFF);
    f.offset = 9, f.width = 6;  // "  12ab"
    EXPECT_EQ(DBIF_FldToU16(&f, rec), 12);
    f.offset = 15, f.width = 1;  // " "
    EXPECT_EQ(DBIF_FldToU32(&f, rec), 0u);
    f.offset = 16, f.width = 12;  // "  4294967297": kept modulo 2^32, no overflow
    EXPECT_EQ(DBIF_FldToU32(&f, rec), 1u);
    f.offset = 29, f.width = 4;  // "1a2F": lower-case a counts its low four bits
    EXPECT_EQ(DBIF_FldToHex4(&f, rec), 0x112F);
    f.width = 2;  // a narrower field reads only its own characters
    EXPECT_EQ(DBIF_FldToHex4(&f, rec), 0x11);
    char out[8] = "xxxxxxx";
    EXPECT_EQ(DBIF_dUaton("42", 5, out), 0);
    EXPECT_EQ(std::string(out, 5), "   42");
    EXPECT_EQ(DBIF_dUaton("123456", 5, out), -1);
    char dest[8] = "#######";
    f.offset = 7, f.width = 5;  // "-1  1"
    DBIF_FldToStrn(&f, rec, dest, 8, 1);
    EXPECT_EQ(std::string(dest, 7), "-1  1##");
    EXPECT_STREQ(DBIF_ErrorName(DBIFERR_NOFILE), "DBIFERR_NOFILE");
}
