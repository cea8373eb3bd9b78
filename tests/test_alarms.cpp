// The alarms on their own: when a waiting job is said to be stuck and said again, what the
// window's line says, and the word that a stuck job printed at last.
#include "tests/job_helpers.h"

#include "spool/alarms.h"

#include <gtest/gtest.h>

namespace {

TEST(Alarms, AStuckJobIsSaidAtGrowingIntervals) {
    // By default 5, 15 and 60 minutes, then every hour.
    const unsigned long long minute = 60000;
    EXPECT_EQ(alarm_due_ms(0, 300), 5 * minute);
    EXPECT_EQ(alarm_due_ms(1, 300), 15 * minute);
    EXPECT_EQ(alarm_due_ms(2, 300), 60 * minute);
    EXPECT_EQ(alarm_due_ms(3, 300), 120 * minute);
    EXPECT_EQ(alarm_due_ms(4, 300), 180 * minute);
    EXPECT_EQ(alarm_due_ms(0, 30), 30000u);
}

// Three jobs wait: one past the alarm time, one not yet, and one that turns out not to wait (its
// reason is ""). Only the first is said, the window's line counts it, and the reason of a job is
// asked only when it is said.
TEST(Alarms, OnlyJobsPastTheAlarmTimeAreSaidAndCounted) {
    zvtest::LogCapture log;
    Alarms alarms;
    std::vector<std::string> asked;
    auto why = [&](const std::string& name) {
        asked.push_back(name);
        return name == "zv3.zv" ? std::string() : "kept: the printer is out of paper";
    };
    sound_alarms(&alarms, {"zv1.zv", "zv3.zv"}, 60, 1000, why, "");
    EXPECT_TRUE(asked.empty()) << "nothing is due yet";
    EXPECT_EQ(alarms.line, "");
    sound_alarms(&alarms, {"zv1.zv", "zv2.zv", "zv3.zv"}, 60, 61000, why, "");
    EXPECT_EQ(asked, (std::vector<std::string>{"zv1.zv", "zv3.zv"}));
    EXPECT_EQ(alarms.given, 1);
    EXPECT_EQ(log.count({"warning", "zv1.zv", "60 seconds", "out of paper"}), 1) << log.text();
    EXPECT_EQ(log.count("zv3.zv"), 0) << log.text();
    EXPECT_EQ(alarms.line.rfind("2 jobs waiting: kept: the printer is out of paper", 0), 0u)
        << alarms.line;

    asked.clear();
    sound_alarms(&alarms, {"zv1.zv", "zv2.zv"}, 60, 62000, why, "");
    EXPECT_EQ(alarms.given, 1) << "said once until the next interval";
    EXPECT_EQ(asked.size(), 1u) << "the window's line needs one reason";
    sound_alarms(&alarms, {"zv1.zv", "zv2.zv"}, 60, 181000, why, "");
    EXPECT_EQ(alarms.given, 3) << "zv1 again at three times the alarm time, zv2 once";

    // A job that leaves the waiting ones is forgotten: back later, its wait starts anew.
    sound_alarms(&alarms, {"zv2.zv"}, 60, 182000, why, "");
    EXPECT_EQ(alarms.stuck.count("zv1.zv"), 0u);
    note_printed_after_alarm(&alarms, "zv2.zv", 200000);
    EXPECT_EQ(log.count({"zv2.zv", "printed", "2 minutes"}), 1) << log.text();
    sound_alarms(&alarms, {}, 60, 200000, why, "the folder ZV cannot be flushed to the disk");
    EXPECT_EQ(alarms.line, "the folder ZV cannot be flushed to the disk")
        << "a fault of the folder stands in the line when no job is stuck";
}

} // namespace
