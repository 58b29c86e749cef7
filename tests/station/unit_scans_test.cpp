// A station's scans in process: which device each scanned unit goes to, and
// what is refused, with the words the operator hears.

#include "unit_scans.h"

#include <gtest/gtest.h>

#include <string>

using j4::station::UnitScans;

namespace {

UnitScans scansFor(int slotCount, const std::string& rule = {}) {
    auto made = UnitScans::withRule(rule);
    EXPECT_TRUE(made) << made.error();
    UnitScans scans(*made);
    scans.setSlotCount(slotCount);
    return scans;
}

std::string said(const j4::Result<j4::station::ScanHeard>& heard) {
    return heard ? heard->text : heard.error();
}

} // namespace

TEST(UnitScans, AScanGoesToTheOneDeviceWaitingElseTheNextPluggedIn) {
    UnitScans scans = scansFor(3);
    EXPECT_EQ(said(scans.scan("J4-0001")), "Unit J4-0001 goes to the next device plugged in.");
    EXPECT_EQ(said(scans.scan("J4-0002")), "Unit J4-0002 replaces J4-0001, which no device took.");
    EXPECT_EQ(scans.take(2), "J4-0002");
    EXPECT_EQ(scans.take(3), "") << "taken once";

    scans.setWaiting(3, true);
    EXPECT_EQ(said(scans.scan("J4-0003")), "Unit J4-0003 goes to slot 3.");
    EXPECT_EQ(scans.take(1), "") << "bound to slot 3, not the next device";
    EXPECT_EQ(scans.take(3), "J4-0003");
}

TEST(UnitScans, WithSeveralWaitingTheSlotIsNamedNeverGuessed) {
    UnitScans scans = scansFor(4);
    scans.setWaiting(2, true);
    scans.setWaiting(4, true);
    EXPECT_EQ(said(scans.scan("J4-0001")),
              "Devices in slots 2 and 4 wait for their unit: scan the slot's label (\"slot N\") "
              "before the unit's, so that J4-0001 goes to the right one.");
    EXPECT_EQ(scans.take(2), "");
    EXPECT_EQ(scans.take(4), "");

    // The slot's label first, then the unit; or both in one scan; or the
    // row the window's operator picked.
    EXPECT_EQ(said(scans.scan("slot 4")), "Slot 4 chosen: scan its unit's label.");
    EXPECT_EQ(said(scans.scan("J4-0002")), "Unit J4-0002 goes to slot 4.");
    EXPECT_EQ(said(scans.scan("slot 2 J4-0003")), "Unit J4-0003 goes to slot 2.");
    EXPECT_EQ(said(scans.scan("J4-0004", 2)), "Unit J4-0004 replaces J4-0003 for slot 2.");
    EXPECT_EQ(scans.take(4), "J4-0002");
    EXPECT_EQ(scans.take(2), "J4-0004");
    EXPECT_EQ(said(scans.scan("slot 5")),
              "There is no slot 5 at this station: scan a slot's label again.");
}

TEST(UnitScans, WhatIsNoUnitSerialIsRefusedWhole) {
    UnitScans scans = scansFor(1, "^J4-[0-9]{4}$");
    EXPECT_EQ(said(scans.scan("J4-12")),
              "\"J4-12\" is not a unit serial (^J4-[0-9]{4}$): scan the unit's label again.");
    EXPECT_FALSE(scans.scan(std::string(UnitScans::kLongestScan + 1, '7')));
    EXPECT_FALSE(scans.scan(std::string("J4-0\0"
                                        "001",
                                        8)));
    EXPECT_EQ(scans.take(1), "") << "nothing refused was kept";
    EXPECT_TRUE(scans.scan("J4-0001"));
    EXPECT_EQ(scans.take(1), "J4-0001");
    EXPECT_FALSE(UnitScans::withRule("(")) << "a rule that is no expression";
}
