// The archive of what was printed: its copies' names, and the old ones removed after the days
// they are kept.
#include "tests/job_helpers.h"

#include "spool/job_archive.h"
#include "spool/spool_options.h"

#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>

namespace {

class Archive : public zvtest::InTempWorkingDir {
  protected:
    void TearDown() override {
        spool_options = SpoolOptions();
        zvtest::InTempWorkingDir::TearDown();
    }
};

// Old copies go after the days they are kept; files that are not the archive's copies stay, and
// so do the copies of another folder sharing the archive (its own days are its own).
TEST_F(Archive, KeepsItsCopiesForTheirDays) {
    std::filesystem::create_directory("arch");
    spool_options.archive = "arch";
    spool_options.archive_days = 30;
    time_t now = std::time(nullptr);
    std::string folder = std::filesystem::current_path().filename().string();
    std::string recent = archive_name(folder, "zv0001.zv", now - 29 * 86400);
    std::string old = archive_name(folder, "zv0002.zv", now - 31 * 86400, 2);
    std::string older_name = archive_name("", "zv0004.zv", now - 31 * 86400);
    std::string another = archive_name("magazyn", "zv0002.zv", now - 31 * 86400);
    for (const std::string& name :
         {recent, old, older_name, another, std::string("1999-01-01_notes.pdf"),
          std::string("1999-01-01T00-00-00_zv0003.txt")})
        dir.write("arch/" + name, "%PDF-1.4\n");
    prune_archive();
    EXPECT_TRUE(std::filesystem::exists("arch/" + recent));
    EXPECT_FALSE(std::filesystem::exists("arch/" + old));
    EXPECT_FALSE(std::filesystem::exists("arch/" + older_name)) << "named before folders were";
    EXPECT_TRUE(std::filesystem::exists("arch/" + another)) << "another folder's copy";
    EXPECT_TRUE(std::filesystem::exists("arch/1999-01-01_notes.pdf"));
    EXPECT_TRUE(std::filesystem::exists("arch/1999-01-01T00-00-00_zv0003.txt"));
    spool_options.archive_days = 0;
    dir.write("arch/" + old, "%PDF-1.4\n");
    prune_archive();
    EXPECT_TRUE(std::filesystem::exists("arch/" + old)) << "0 keeps every copy";
}

TEST(JobArchive, CopiesAreNamedByTimeFolderAndJobFile) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 8;
    t.tm_hour = 10;
    t.tm_min = 15;
    t.tm_sec = 3;
    t.tm_isdst = -1;
    time_t when = std::mktime(&t);
    EXPECT_EQ(archive_name("biuro", "zv0042.zv", when), "2026-12-08T10-15-03_biuro_zv0042.pdf");
    EXPECT_EQ(archive_name("biuro", "zv0042", when), "2026-12-08T10-15-03_biuro_zv0042.pdf");
    EXPECT_EQ(archive_name("biuro", "zv0042.zv", when, 2), "2026-12-08T10-15-03_biuro_zv0042-2.pdf")
        << "a name taken";
}

} // namespace
