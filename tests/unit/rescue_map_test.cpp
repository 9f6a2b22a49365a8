#include <gtest/gtest.h>

#include "rescue_map.h"

namespace {

using imaging::AreaStatus;
using imaging::ByteRange;
using imaging::RescueMap;

TEST(RescueMap, MarksSplitAndMergeAreasAndKeepTheCounts) {
    RescueMap map(100);
    map.Mark({10, 10}, AreaStatus::Finished);
    map.Mark({20, 5}, AreaStatus::Finished);
    map.Mark({15, 2}, AreaStatus::BadSector);
    map.Mark({90, 50}, AreaStatus::NonTrimmed);  // clipped at the end
    EXPECT_EQ(map.AreasWith(AreaStatus::Finished), (std::vector<ByteRange>{{10, 5}, {17, 8}}));
    EXPECT_EQ(map.BytesWith(AreaStatus::Finished), 13U);
    EXPECT_EQ(map.BytesWith(AreaStatus::BadSector), 2U);
    EXPECT_EQ(map.BytesWith(AreaStatus::NonTrimmed), 10U);
    EXPECT_EQ(map.BytesWith(AreaStatus::NonTried), 75U);
    ByteRange found;
    ASSERT_TRUE(map.Find(AreaStatus::NonTried, 12, 100, found));
    EXPECT_EQ(found, (ByteRange{25, 65}));
    ASSERT_TRUE(map.Find(AreaStatus::NonTried, 30, 40, found));
    EXPECT_EQ(found, (ByteRange{30, 10}));
    EXPECT_FALSE(map.Find(AreaStatus::NonScraped, 0, 100, found));
    map.Mark({0, 100}, AreaStatus::Finished);
    EXPECT_EQ(map.AreasWith(AreaStatus::Finished), (std::vector<ByteRange>{{0, 100}}));
}

TEST(RescueMap, ReadsWhatItWritesAndGnuDdrescueMapsButNothingElse) {
    RescueMap map(0x3000);
    map.Mark({0x400, 0x200}, AreaStatus::BadSector);
    map.Mark({0x1000, 0x800}, AreaStatus::Finished);
    RescueMap read(1);
    std::string why;
    ASSERT_TRUE(RescueMap::Parse(map.Format(), 0x3000, read, why)) << why;
    EXPECT_EQ(read.Format(), map.Format());

    const std::string status = "# comment\n0x00000000  ?  1\n";
    ASSERT_TRUE(RescueMap::Parse(status + "0x200 0x200 +\n0x800  1024  -\n", 0x1000, read, why));
    EXPECT_EQ(read.BytesWith(AreaStatus::Finished), 0x200U);
    EXPECT_EQ(read.BytesWith(AreaStatus::BadSector), 1024U);
    EXPECT_EQ(read.BytesWith(AreaStatus::NonTried), 0x1000U - 0x200 - 1024);

    for (const std::string& bad : {std::string("no map at all"), status + "0x0 0x100 x\n",
                                   status + "0x100 0x100 +\n0x0 0x100 +\n",
                                   status + "0x0 0x2000 +\n", status + "0x0 0 +\n"}) {
        EXPECT_FALSE(RescueMap::Parse(bad, 0x1000, read, why)) << bad;
    }
}

}  // namespace
