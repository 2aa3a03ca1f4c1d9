// The tables read the installation's database directory when nothing points
// the interface elsewhere (run in private namespaces: /opt/cctv/database is
// a fresh directory there).
#include <gtest/gtest.h>

#include <iterator>
#include <string>

#include "database.h"
#include "dbif.h"
#include "gpresettable.h"
#include "installation.h"
#include "nuvaktable.h"

using namespace nuvak::dbw;

TEST(TablesAtDbpath, LoadFromTheInstallationDirectory) {
    ASSERT_STREQ(DBIF_GetPath(), DBPATH);
    std::string error;
    ASSERT_TRUE(WriteInstallation(DBPATH, ExampleInstallation(false),
                                  {std::begin(kAllTables), std::end(kAllTables)}, {}, &error))
        << error;
    NuvakTable tours(256);
    GpresetTable presets(256);
    EXPECT_EQ(tours.Size(), 3u);
    EXPECT_EQ(presets.Size(), 3u);
    ASSERT_NE(tours.GetNuvak(5), nullptr);
    EXPECT_EQ(tours.GetNuvak(5)->GetNumStep(), 2);
    EXPECT_EQ(presets.GetLogCam(4), 104u);
}
