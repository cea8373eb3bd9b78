// The claim of a folder: one spooler holds it, whoever and wherever it runs; the claim file names
// the folder's id, the holder, its printer and whether it has jobs handed over; a second spooler
// refuses and says who holds the folder; a spooler of another user inherits the word that jobs
// were handed over; a released claim is forgotten.
#include "tests/job_helpers.h"

#include "spool/folder_claim.h"

#include <fstream>
#include <gtest/gtest.h>

namespace {

class Claim : public zvtest::InTempWorkingDir {
  protected:
    void job(const std::string& name, const std::string& bytes) { add_job(name, bytes); }
};

// Another spooler holds the folder: this one refuses, names the holder from the claim file, and
// prints nothing; once the holder is gone the folder can be claimed, under the same id.
TEST_F(Claim, ASecondSpoolerOnTheFolderRefusesAndSaysSo) {
    std::string holder;
    ASSERT_EQ(claim_spool_folder(&spooler->claim, &holder), CLAIM_TAKEN);
    std::string id = spool_folder_id(&spooler->claim);
    EXPECT_EQ(id.size(), 16u);
    std::string text = zvtest::read_file(CLAIM_FILE_NAME);
    EXPECT_EQ(text.rfind("zvspool folder " + id + "\n", 0), 0u) << text;
    EXPECT_NE(text.find(", pid " + std::to_string(GetCurrentProcessId()) + ", since "),
              std::string::npos)
        << text;
    restart();

    // The other spooler: the same lock, taken by another open file.
    HANDLE other = CreateFileA(CLAIM_FILE_NAME, GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    OVERLAPPED at{};
    at.Offset = 0x7FFFFFFF;
    ASSERT_TRUE(
        LockFileEx(other, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at));
    job("zv0001.zv", "x\r\n");
    {
        zvtest::LogCapture log;
        EXPECT_EQ(claim_spool_folder(&spooler->claim, &holder), CLAIM_HELD);
        EXPECT_EQ(holder.rfind("another zvspool: ", 0), 0u) << holder;
        EXPECT_NE(holder.find(" on "), std::string::npos) << holder;
        EXPECT_EQ(WinMain(nullptr, nullptr, nullptr, SW_SHOWDEFAULT), 1);
        char once[] = "--once";
        EXPECT_EQ(WinMain(nullptr, nullptr, once, SW_SHOWDEFAULT), 1);
        EXPECT_EQ(log.count("error: another zvspool: "), 2) << log.text();
        EXPECT_EQ(log.count("already watches"), 2) << log.text();
    }
    EXPECT_TRUE(printer->documents.empty());
    CloseHandle(other);
    // The claim goes with the handle: a later spooler gets the folder, and its id.
    EXPECT_EQ(claim_spool_folder(&spooler->claim, &holder), CLAIM_TAKEN);
    EXPECT_EQ(spool_folder_id(&spooler->claim), id);
}

// What the claim file says for people and for the next spooler: the printer, and whether jobs
// are handed over, said durably before the first and after the last. Released, the claim is
// forgotten whole.
TEST_F(Claim, TheClaimFileSaysWhatTheHolderHasHandedOver) {
    FolderClaim claim;
    std::string holder;
    ASSERT_EQ(claim_spool_folder(&claim, &holder), CLAIM_TAKEN);
    EXPECT_EQ(claim_spool_folder(&claim, &holder), CLAIM_TAKEN) << "taken again, it only says so";
    note_claim_printer(&claim, "\"Biuro\" printing to ipp://biuro/");
    ASSERT_EQ(note_handed_jobs(&claim, 1), 0);
    SpoolClaim look;
    ASSERT_EQ(read_spool_claim(&look), 0);
    EXPECT_TRUE(look.held);
    EXPECT_TRUE(look.handed);
    EXPECT_EQ(look.printer, "\"Biuro\" printing to ipp://biuro/");
    EXPECT_EQ(look.folder_id, spool_folder_id(&claim));
    EXPECT_EQ(claim_holder_name(look.holder), this_holder_name());
    ASSERT_EQ(note_handed_jobs(&claim, 0), 0);
    ASSERT_EQ(read_spool_claim(&look), 0);
    EXPECT_FALSE(look.handed);

    release_spool_folder(&claim);
    EXPECT_FALSE(spool_folder_claimed(&claim));
    EXPECT_STREQ(spool_folder_id(&claim), "") << "a released claim names no folder";
    ASSERT_EQ(read_spool_claim(&look), 0);
    EXPECT_FALSE(look.held);
    EXPECT_FALSE(look.holder.empty()) << "the last holder stays named";
}

// The spooler before this one, another user's, left jobs handed over: this one, whose journal is
// another, inherits that word (and holds the jobs it cannot account for); its own word does not
// count as inherited.
TEST_F(Claim, JobsLeftHandedOverByAnotherUserAreInherited) {
    FolderClaim claim;
    std::string holder;
    ASSERT_EQ(claim_spool_folder(&claim, &holder), CLAIM_TAKEN);
    std::string id = spool_folder_id(&claim);
    ASSERT_EQ(note_handed_jobs(&claim, 1), 0);
    release_spool_folder(&claim);
    ASSERT_EQ(claim_spool_folder(&claim, &holder), CLAIM_TAKEN);
    EXPECT_TRUE(spool_folder_said_handed(&claim));
    EXPECT_FALSE(spool_folder_inherits_jobs(&claim)) << "its own jobs: its journal knows them";
    release_spool_folder(&claim);

    std::ofstream(CLAIM_FILE_NAME, std::ios::binary | std::ios::trunc)
        << "zvspool folder " << id << "\nholder kasia on recepcja, pid 1, since 2026-12-01\n"
        << "handed yes\n";
    ASSERT_EQ(claim_spool_folder(&claim, &holder), CLAIM_TAKEN);
    EXPECT_TRUE(spool_folder_inherits_jobs(&claim));
    EXPECT_EQ(spool_folder_id(&claim), id) << "the folder keeps its id";
    clear_inherited_jobs(&claim);
    EXPECT_FALSE(spool_folder_inherits_jobs(&claim));
    release_spool_folder(&claim);
}

} // namespace
