// The journal on its own: what it stores comes back after a reopen, a damaged or cut-short one is
// found out and set aside with what it still tells, it stays small however often entries change,
// a step that cannot be written leaves it as it was, and a look at it (zvspool --status) writes
// nothing.
#include "tests/job_helpers.h"

#include "spool/handover_journal.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

class JournalTest : public zvtest::InTempWorkingDir {
  protected:
    // An id of this test's own (on Windows the journals of all tests share the user's folder).
    JournalTest() {
        char id[20];
        std::snprintf(id, sizeof id, "%016llx",
                      (unsigned long long)std::hash<std::string>()(dir.path()));
        folder_id = id;
    }
    void TearDown() override {
        close_journal(&j);
        zvtest::InTempWorkingDir::TearDown();
    }
    void open() {
        std::string why;
        ASSERT_EQ(open_journal(&j, folder_id.c_str(), dir.path().c_str(), &why), 0) << why;
        folder = fs::path(journal_path(&j)).parent_path();
    }
    void reopen() {
        close_journal(&j);
        open();
    }
    static JobRecord job(const std::string& name, int state) {
        JobRecord r = JobRecord();
        r.name = name;
        r.state = state;
        r.identity = FileIdentity{7, 0, 42, 0, 5, {1, 2}, {3, 4}};
        return r;
    }
    std::vector<std::string> lines() {
        std::ifstream in(journal_path(&j), std::ios::binary);
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }
    // The journals of this test set aside.
    std::vector<fs::path> set_aside() {
        std::vector<fs::path> out;
        for (const auto& entry : fs::directory_iterator(folder))
            if (entry.path().filename().string().rfind(folder_id + ".journal.damaged-", 0) == 0)
                out.push_back(entry.path());
        return out;
    }
    std::string folder_id;
    fs::path folder; // where the journals are kept
    Journal j;
};

TEST_F(JournalTest, WhatIsStoredComesBackAfterAReopen) {
    open();
    JobRecord handed = job("zv 1%\x01.zv", JOB_SENT);
    handed.printer = "Biuro 2";
    handed.job_id = 17;
    handed.reference = "ipp://localhost/printers/biuro 17 abc";
    handed.attempts = 1;
    handed.resubmissions = 2;
    handed.bytes = 1234567890123LL;
    handed.pages = 3;
    handed.since = 1765000000;
    handed.flags = JOB_UNRELEASED | JOB_ARCHIVED;
    handed.margin = 150;
    ASSERT_EQ(store_job_record(&j, &handed), 0);
    EXPECT_NE(handed.id, 0u) << "a new entry gets its number";
    JobRecord held = job("zv2.zv", JOB_HELD);
    held.reason = "kept for a person: two words";
    ASSERT_EQ(store_job_record(&j, &held), 0);
    JobRecord gone = job("zv3.zv", JOB_PRINTED);
    ASSERT_EQ(store_job_record(&j, &gone), 0);
    ASSERT_EQ(forget_job_record(&j, gone.id), 0);
    ASSERT_EQ(store_handed_mark(&j, 1), 0);

    reopen();
    EXPECT_FALSE(journal_was_damaged(&j));
    EXPECT_EQ(journal_handed_mark(&j), 1);
    std::vector<const JobRecord*> records = journal_records(&j);
    ASSERT_EQ(records.size(), 2u) << "the forgotten entry stays forgotten";
    const JobRecord& a = *records[0];
    EXPECT_EQ(a.id, handed.id);
    EXPECT_EQ(a.name, handed.name);
    EXPECT_TRUE(same_file(&a.identity, &handed.identity));
    EXPECT_EQ(a.state, JOB_SENT);
    EXPECT_EQ(a.printer, "Biuro 2");
    EXPECT_EQ(a.job_id, 17u);
    EXPECT_EQ(a.reference, handed.reference);
    EXPECT_EQ(a.attempts, 1);
    EXPECT_EQ(a.resubmissions, 2);
    EXPECT_EQ(a.bytes, handed.bytes);
    EXPECT_EQ(a.pages, 3);
    EXPECT_EQ(a.since, handed.since);
    EXPECT_EQ(a.flags, JOB_UNRELEASED | JOB_ARCHIVED);
    EXPECT_EQ(a.margin, 150);
    EXPECT_EQ(records[1]->reason, held.reason);
    EXPECT_EQ(find_journal_record(&j, gone.id), nullptr);

    JobRecord next = job("zv4.zv", JOB_PRINTING);
    ASSERT_EQ(store_job_record(&j, &next), 0);
    EXPECT_GT(next.id, gone.id) << "numbers are never given twice";
}

// A line that fails its checksum: the journal is moved aside for a person and what it still
// tells is used, none of it taken as proof. A job whose printing had begun is held: the entry
// that would have said it was handed over may be the one lost.
TEST_F(JournalTest, ADamagedJournalIsSetAsideWithWhatItStillTells) {
    open();
    JobRecord sent = job("zv1.zv", JOB_SENT), printing = job("zv2.zv", JOB_PRINTING),
              broken = job("zv3.zv", JOB_SENT);
    ASSERT_EQ(store_job_record(&j, &sent), 0);
    ASSERT_EQ(store_job_record(&j, &printing), 0);
    ASSERT_EQ(store_job_record(&j, &broken), 0);
    std::string path = journal_path(&j);
    close_journal(&j);
    std::vector<std::string> text;
    {
        std::ifstream in(path, std::ios::binary);
        for (std::string line; std::getline(in, line);)
            text.push_back(line);
    }
    ASSERT_EQ(text.size(), 4u);                // the header and three entries
    text[3][text[3].find("zv3.zv") + 2] = '9'; // zv3 becomes zv9: the checksum fails
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        for (const std::string& line : text)
            out << line << "\n";
    }
    zvtest::LogCapture log;
    open();
    EXPECT_TRUE(journal_was_damaged(&j));
    EXPECT_EQ(log.count("is damaged; it is moved aside to"), 1) << log.text();
    ASSERT_EQ(set_aside().size(), 1u);
    std::vector<const JobRecord*> records = journal_records(&j);
    ASSERT_EQ(records.size(), 3u);
    for (const JobRecord* r : records)
        EXPECT_TRUE(r->flags & JOB_FROM_DAMAGE) << r->name;
    EXPECT_EQ(records[0]->state, JOB_SENT) << "a job handed over is asked of its printer";
    EXPECT_EQ(records[1]->state, JOB_HELD) << "a job whose printing began is held";
    EXPECT_EQ(records[2]->name, "zv9.zv") << "the damaged entry, as far as it reads";
    clear_journal_damage(&j);
    reopen();
    EXPECT_FALSE(journal_was_damaged(&j)) << "the journal written anew is whole";
    EXPECT_EQ(journal_records(&j).size(), 3u);
}

// The last entry cut short (the machine stopped as it was written): entries after it may be
// lost, so the journal is distrusted, though every line left is sound.
TEST_F(JournalTest, AJournalCutShortIsDistrusted) {
    open();
    JobRecord printing = job("zv1.zv", JOB_PRINTING);
    ASSERT_EQ(store_job_record(&j, &printing), 0);
    std::string path = journal_path(&j);
    close_journal(&j);
    std::ofstream(path, std::ios::binary | std::ios::app) << "r 9 9 2 zv2.zv";
    open();
    EXPECT_TRUE(journal_was_damaged(&j));
    ASSERT_EQ(journal_records(&j).size(), 1u);
    EXPECT_EQ(journal_records(&j)[0]->state, JOB_HELD);
    EXPECT_EQ(set_aside().size(), 1u);
}

// Every change appends a line; the file is written anew once the stale lines outnumber the live
// ones by a margin, so it stays small however long the spooler runs.
TEST_F(JournalTest, ItStaysSmallHoweverOftenEntriesChange) {
    open();
    JobRecord kept = job("zv1.zv", JOB_HELD);
    for (int i = 0; i < 400; ++i) {
        kept.attempts = i % 4;
        ASSERT_EQ(store_job_record(&j, &kept), 0);
        JobRecord passing = job("zv2.zv", JOB_PRINTING);
        ASSERT_EQ(store_job_record(&j, &passing), 0);
        ASSERT_EQ(forget_job_record(&j, passing.id), 0);
    }
    EXPECT_LT(lines().size(), 300u) << "1200 changes";
    reopen();
    ASSERT_EQ(journal_records(&j).size(), 1u);
    EXPECT_EQ(journal_records(&j)[0]->attempts, 399 % 4);
}

// A step the disk does not take leaves the journal, in memory and on the disk, as it was: the
// caller's copy is the only one changed.
TEST_F(JournalTest, AStepThatCannotBeWrittenChangesNothing) {
    open();
    JobRecord r = job("zv1.zv", JOB_PRINTING);
    ASSERT_EQ(store_job_record(&j, &r), 0);
    std::vector<std::string> before = lines();
    CloseHandle(j.file); // the disk is gone
    j.file = INVALID_HANDLE_VALUE;
    JobRecord handed = r;
    handed.state = JOB_HANDED;
    handed.job_id = 5;
    EXPECT_EQ(store_job_record(&j, &handed), 1);
    EXPECT_EQ(find_journal_record(&j, r.id)->state, JOB_PRINTING);
    EXPECT_EQ(find_journal_record(&j, r.id)->job_id, 0u);
    JobRecord fresh = job("zv2.zv", JOB_PRINTING);
    EXPECT_EQ(store_job_record(&j, &fresh), 1);
    EXPECT_EQ(fresh.id, 0u) << "no number for an entry that is not there";
    EXPECT_EQ(forget_job_record(&j, r.id), 1);
    EXPECT_NE(find_journal_record(&j, r.id), nullptr);
    EXPECT_EQ(store_handed_mark(&j, 1), 1);
    EXPECT_EQ(journal_handed_mark(&j), 0);
    EXPECT_EQ(journal_records(&j).size(), 1u);
    EXPECT_EQ(lines(), before);
}

// zvspool --status reads a journal as it stands, damaged or not, and writes nothing.
TEST_F(JournalTest, ALookAtItWritesNothing) {
    open(); // the folder is made
    close_journal(&j);
    fs::remove(folder / (folder_id + ".journal"));
    Journal look;
    std::string why;
    EXPECT_EQ(read_journal(&look, folder_id.c_str(), &why), 0) << "no journal yet reads as empty";
    EXPECT_TRUE(journal_records(&look).empty());
    open();
    JobRecord r = job("zv1.zv", JOB_SENT);
    ASSERT_EQ(store_job_record(&j, &r), 0);
    std::string path = journal_path(&j);
    close_journal(&j);
    std::ofstream(path, std::ios::binary | std::ios::app) << "garbage";
    std::string bytes = zvtest::read_file(path);
    ASSERT_EQ(read_journal(&look, folder_id.c_str(), &why), 0) << why;
    EXPECT_TRUE(journal_was_damaged(&look));
    EXPECT_EQ(journal_records(&look).size(), 1u);
    EXPECT_EQ(zvtest::read_file(path), bytes);
    EXPECT_TRUE(set_aside().empty());
    close_journal(&look);
}

} // namespace
