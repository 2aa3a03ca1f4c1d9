// A database folder for each test: a fresh temporary directory that the
// table readers use (DBIF_SetPath) while the test runs, removed after it,
// with the tables of an installation written into it by the database writer
// of nuvak-dbtool.
#ifndef NUVAK_TESTS_SUPPORT_DBFOLDER_H
#define NUVAK_TESTS_SUPPORT_DBFOLDER_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <iterator>
#include <string>

#include "dbif.h"
#include "installation.h"

namespace nuvak::rig {

class DbFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/nuvak-db.XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        DBIF_SetPath(dir_.c_str());
    }
    void TearDown() override {
        DBIF_SetPath(nullptr);
        ASSERT_EQ(std::system(("rm -rf '" + dir_ + "'").c_str()), 0);
    }
    void Write(const dbw::Installation& inst, const dbw::WriteOptions& o) {
        std::string error;
        ASSERT_TRUE(dbw::WriteInstallation(dir_, inst, {std::begin(dbw::kAllTables), std::end(dbw::kAllTables)}, o,
                                           &error))
            << error;
    }
    std::string dir_;
};

}  // namespace nuvak::rig

#endif
