// The files in ZV: which are jobs and in what order, when a file has been left alone long
// enough, whether a job's file is still the one printed, and deleting only that very file.
#include "tests/job_helpers.h"

#include "spool/job_files.h"

#include <filesystem>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace {

class JobFiles : public zvtest::InTempWorkingDir {
  protected:
    std::vector<std::string> names() {
        DWORD error;
        std::vector<std::string> out;
        for (const WIN32_FIND_DATAA& f : list_job_files(&error))
            out.push_back(f.cFileName);
        return out;
    }
    const char* kind(const std::string& name) {
        WIN32_FIND_DATAA f = found(name);
        return not_a_file(&f);
    }
    WIN32_FIND_DATAA found(const std::string& name) {
        DWORD error;
        for (const WIN32_FIND_DATAA& f : list_job_files(&error))
            if (name == f.cFileName)
                return f;
        ADD_FAILURE() << name << " not listed";
        return WIN32_FIND_DATAA{};
    }
    FileIdentity identity(const std::string& name) {
        FileIdentity id{};
        EXPECT_EQ(path_identity(job_path(name).c_str(), &id), 0) << name;
        return id;
    }
};

TEST_F(JobFiles, OnlyZvFilesInZvAreJobsInNameOrder) {
    DWORD error;
    EXPECT_TRUE(list_job_files(&error).empty());
    EXPECT_EQ(error, DWORD(ERROR_PATH_NOT_FOUND)) << "no folder ZV";
    fs::create_directory("ZV");
    list_job_files(&error);
    EXPECT_NE(error, DWORD(ERROR_SUCCESS)) << "an empty ZV has no jobs";
    EXPECT_NE(error, DWORD(ERROR_PATH_NOT_FOUND));
    for (const char* name : {"zv0002.zv", "zv0001.zv", "zv0010.zv", "notes.txt", "zv0003.txt"})
        add_job(name, "x");
    fs::create_directory("ZV/zv0004.zv");
    EXPECT_EQ(names(),
              (std::vector<std::string>{"zv0001.zv", "zv0002.zv", "zv0004.zv", "zv0010.zv"}));
    EXPECT_STREQ(kind("zv0004.zv"), "a folder");
    EXPECT_EQ(kind("zv0001.zv"), nullptr);
#ifndef _WIN32
    ASSERT_EQ(mkfifo("ZV/zv0005.zv", 0644), 0);
    EXPECT_STREQ(kind("zv0005.zv"), "a FIFO, socket or device");
    fs::create_symlink("zv0001.zv", "ZV/zv0006.zv");
    EXPECT_STREQ(kind("zv0006.zv"), "a link");
#endif
}

// A file is taken once its size and times have stayed the same for the quiet time; any change
// starts the wait again, and a file gone is forgotten.
TEST_F(JobFiles, AFileIsQuietOnceLeftAloneForTheQuietTime) {
    QuietWatch watch;
    add_job("zv1.zv", "first part");
    WIN32_FIND_DATAA f = found("zv1.zv");
    EXPECT_FALSE(quiet_long_enough(&watch, &f, 2000, 1000)) << "first seen";
    EXPECT_EQ(quiet_at(&watch, 2000), 3000u);
    EXPECT_FALSE(quiet_long_enough(&watch, &f, 2000, 2999));
    EXPECT_TRUE(quiet_long_enough(&watch, &f, 2000, 3000));
    dir.write("ZV/zv1.zv", "first part, and more");
    f = found("zv1.zv");
    EXPECT_FALSE(quiet_long_enough(&watch, &f, 2000, 4000)) << "it grew: the wait begins anew";
    EXPECT_TRUE(quiet_long_enough(&watch, &f, 2000, 6000));
    age("zv1.zv", 100); // touched: written at another time, though no longer
    f = found("zv1.zv");
    EXPECT_FALSE(quiet_long_enough(&watch, &f, 2000, 7000));
    EXPECT_TRUE(quiet_long_enough(&watch, &f, 0, 7000)) << "no quiet time: taken at once";
    forget_absent_files(&watch, {});
    EXPECT_TRUE(watch.seen.empty());
    EXPECT_EQ(quiet_at(&watch, 2000), 0u);
}

// A job's file is the one printed while it is the same file object, unchanged; written to, it
// changed; removed or renamed over, it is gone (the file under its name now is another job).
TEST_F(JobFiles, AJobsFileIsTheOnePrintedOnlyWhileUnchanged) {
    add_job("zv1.zv", "printed");
    add_job("zv2.zv", "another");
    FileIdentity printed = identity("zv1.zv");
    DWORD error;
    EXPECT_EQ(file_in_folder("zv1.zv", &printed, list_job_files(&error)), FILE_SAME);
    FileIdentity unknown{};
    EXPECT_EQ(file_in_folder("zv1.zv", &unknown, list_job_files(&error)), FILE_SAME)
        << "an entry out of a damaged journal is about whatever file has the name";
    dir.write("ZV/zv1.zv", "printed, and written on");
    EXPECT_EQ(file_in_folder("zv1.zv", &printed, list_job_files(&error)), FILE_CHANGED);
    FileIdentity remounted = identity("zv1.zv");
    remounted.volume ^= 0x5a5a;
    EXPECT_EQ(file_in_folder("zv1.zv", &remounted, list_job_files(&error)), FILE_SAME)
        << "ZV mounted anew (after a power cut) numbers its volume anew: the file is the same";
    FileIdentity changed = identity("zv1.zv");
    fs::rename("ZV/zv2.zv", "ZV/zv1.zv");
    EXPECT_EQ(file_in_folder("zv1.zv", &changed, list_job_files(&error)), FILE_GONE);
    fs::remove("ZV/zv1.zv");
    EXPECT_EQ(file_in_folder("zv1.zv", &changed, list_job_files(&error)), FILE_GONE);
}

TEST_F(JobFiles, OnlyTheVeryFilePrintedIsDeleted) {
    add_job("zv1.zv", "printed");
    FileIdentity printed = identity("zv1.zv");
    add_job("zv2.zv", "put in its place");
    fs::rename("ZV/zv2.zv", "ZV/zv1.zv");
    EXPECT_EQ(delete_job_file(job_path("zv1.zv").c_str(), &printed), FILE_REPLACED);
    EXPECT_TRUE(fs::exists("ZV/zv1.zv")) << "the new file is a new job";
    FileIdentity now = identity("zv1.zv");
    EXPECT_EQ(delete_job_file(job_path("zv1.zv").c_str(), &now), FILE_DELETED);
    EXPECT_FALSE(fs::exists("ZV/zv1.zv"));
    EXPECT_EQ(delete_job_file(job_path("zv1.zv").c_str(), &now), FILE_DELETED)
        << "gone already is gone";
}

} // namespace
