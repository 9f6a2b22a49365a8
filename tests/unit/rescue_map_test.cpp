#include <gtest/gtest.h>

#include "rescue/rescue_map.h"

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
    const auto parsed = [&read](const std::string& text, std::uint64_t size) {
        return error::DescribeFailure(RescueMap::Parse(text, size, read));
    };
    ASSERT_EQ(parsed(map.Format(), 0x3000), "");
    EXPECT_EQ(read.Format(), map.Format());

    const std::string status = "# comment\n0x00000000  ?  1\n";
    ASSERT_EQ(parsed(status + "0x200 0x200 +\n0x800  1024  -\n", 0x1000), "");
    EXPECT_EQ(read.BytesWith(AreaStatus::Finished), 0x200U);
    EXPECT_EQ(read.BytesWith(AreaStatus::BadSector), 1024U);
    EXPECT_EQ(read.BytesWith(AreaStatus::NonTried), 0x1000U - 0x200 - 1024);

    // Each refusal names the line it found wrong.
    const std::pair<std::string, std::string> refused[] = {
        {"no map at all", "image refused (line 1: not a mapfile)"},
        {status + "0x0 0x100 x\n", "image refused (line 3: not a mapfile line: 0x0 0x100 x)"},
        {status + "0x100 0x100 +\n0x0 0x100 +\n",
         "image refused (line 4: areas out of order at 0x0)"},
        {status + "0x0 0x2000 +\n",
         "image refused (line 3: it maps more than the 4096 bytes imaged)"},
        {status + "0x0 0 +\n", "image refused (line 3: not a mapfile line: 0x0 0 +)"},
        {"# only a comment\n", "image refused (not a mapfile)"}};
    for (const auto& [bad, said] : refused) {
        EXPECT_EQ(parsed(bad, 0x1000), said) << bad;
    }
}

}  // namespace
