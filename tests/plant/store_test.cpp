// The plant's store in process against a real PostgreSQL: releases added
// once (signed anew by a rotated key), lines assigned by version or SHA-256,
// held and resumed, and what it refuses in the plant's own words.
#include "plant_store.h"
#include "processes.h"

#include <gtest/gtest.h>

namespace {

using j4::plant::PlantError;
using j4::plant::PlantStore;
using j4::plant::ReleaseAdded;

class Store : public ::testing::Test {
protected:
    void SetUp() override {
        if (!j4::testing::TestDatabase::available())
            GTEST_SKIP() << "not beside a PostgreSQL server (tests/support/with_postgres.sh)";
        database.dropRecords();
    }
    j4::testing::TestDatabase database;
};

j4::plant::Release release(char digit, const std::string& version, const std::string& key) {
    return {std::string(64, digit), {0x00, 0x5c, 0x78, 0xff}, "sig", version, key, "c"};
}

TEST_F(Store, ReleasesLinesHoldsAndWhatItRefuses) {
    auto store = PlantStore::open(database.url().toStdString(), nullptr);
    ASSERT_TRUE(store) << store.error().text;
    EXPECT_EQ(*store->addRelease(release('a', "1.0.0", "K1"), "eng"), ReleaseAdded::Added);
    EXPECT_EQ(*store->addRelease(release('a', "1.0.0", "K1"), "eng"), ReleaseAdded::AlreadyThere);
    EXPECT_EQ(*store->addRelease(release('a', "1.0.0", "K2"), "eng"), ReleaseAdded::SignedAnew);
    ASSERT_TRUE(store->addRelease(release('b', "2.0.0", "K2"), "eng"));
    const auto releases = store->releases();
    ASSERT_TRUE(releases);
    ASSERT_EQ(releases->size(), 2u);
    EXPECT_EQ((*releases)[0].keyId, "K2");
    // The bytes as given, through libpq's own escaping: a backslash, a NUL.
    EXPECT_EQ(database.query("SELECT encode(file, 'hex') FROM j4_releases WHERE version = '1.0.0'"),
              "005c78ff");

    j4::plant::Assignment assignment{"L1", "2.0.0", "WO-1", "LOT", "PN", 10, {}};
    const auto assigned = store->assign(assignment, "eng");
    ASSERT_TRUE(assigned) << assigned.error().text;
    EXPECT_EQ(assigned->sha256, std::string(64, 'b'));
    assignment.release = std::string(64, 'a');
    assignment.workOrder = "WO-2";
    ASSERT_TRUE(store->assign(assignment, "eng"));
    assignment.release = "9.9.9";
    const auto unknown = store->assign(assignment, "eng");
    ASSERT_FALSE(unknown);
    EXPECT_EQ(unknown.error().kind, PlantError::Kind::Refused);

    ASSERT_TRUE(store->hold("L1", "a bad batch", "sup"));
    auto status = store->status("L1");
    ASSERT_TRUE(status);
    ASSERT_EQ(status->size(), 1u);
    EXPECT_EQ((*status)[0].workOrder, "WO-2");
    EXPECT_EQ((*status)[0].version, "1.0.0");
    EXPECT_EQ((*status)[0].heldBecause, "a bad batch");
    EXPECT_EQ(*store->resume("L1"), true);
    EXPECT_EQ(*store->resume("L1"), false);
    const auto nowhere = store->hold("L7", "x", "sup");
    ASSERT_FALSE(nowhere);
    EXPECT_EQ(nowhere.error().kind, PlantError::Kind::Refused);
    EXPECT_NE(nowhere.error().text.find("L1"), std::string::npos) << nowhere.error().text;
    EXPECT_EQ(*store->unitHistory("none", 10), "[]");

    // A server's store takes the layout as it is, within its own bounds.
    auto served = PlantStore::connect(database.url().toStdString(), nullptr,
                                      {std::chrono::seconds(5), std::chrono::seconds(5)});
    ASSERT_TRUE(served);
    EXPECT_EQ(served->status("")->size(), 1u);
}

} // namespace
