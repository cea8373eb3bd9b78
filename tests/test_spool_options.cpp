// A folder's set-up: zvspool.conf beside ZV and the command line over it, and what a set-up does
// to the page (a form moved, a report made to fit).
#include "tests/job_helpers.h"

#include "app/command_line.h"
#include "render/print_job.h"
#include "spool/folder_printer.h"
#include "spool/spool_options.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>

namespace {

// An environment variable set (or, with nullptr, removed) while it lives; what was there before is
// put back.
class ScopedVariable {
  public:
    ScopedVariable(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        had_ = old != nullptr;
        old_ = had_ ? old : "";
        set(value);
    }
    ~ScopedVariable() { set(had_ ? old_.c_str() : nullptr); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

  private:
    void set(const char* value) {
#ifdef _WIN32
        _putenv_s(name_, value != nullptr ? value : "");
#else
        if (value != nullptr)
            setenv(name_, value, 1);
        else
            unsetenv(name_);
#endif
    }
    const char* name_;
    bool had_;
    std::string old_;
};

// Nothing in a message may be invisible or show as something else on the console or in the log.
bool all_printable_ascii(const std::string& text) {
    for (char c : text)
        if ((unsigned char)c < 0x20 || (unsigned char)c > 0x7E)
            return false;
    return true;
}

// ASCII text as Notepad saves it as "Unicode": UTF-16 with its byte-order mark.
std::string utf16(const std::string& ascii, bool big_endian) {
    std::string out = big_endian ? "\xFE\xFF" : "\xFF\xFE";
    for (char c : ascii) {
        out += big_endian ? '\0' : c;
        out += big_endian ? c : '\0';
    }
    return out;
}

class SpoolOptionsTest : public zvtest::InTempWorkingDir {
  protected:
    void TearDown() override {
        spool_options = SpoolOptions();
        zvtest::InTempWorkingDir::TearDown();
    }
    int load(const char* command_line = "") {
        why.clear();
        CommandLine line;
        if (parse_command_line(command_line, &line, &why) != 0)
            return 2;
        return load_spool_options(line.settings, &why);
    }
    // Each file is refused, the reason beginning with its words.
    template <size_t N> void expect_refused(const std::pair<const char*, const char*> (&files)[N]) {
        for (const auto& [file, said] : files) {
            dir.write("zvspool.conf", file);
            EXPECT_EQ(load(), 2) << file;
            EXPECT_EQ(why.rfind(said, 0), 0u) << file << " -> " << why;
        }
    }
    std::string why;
};

TEST_F(SpoolOptionsTest, TheFileThenTheCommandLineWhichWins) {
    EXPECT_EQ(load(), 0) << "no file is no set-up";
    EXPECT_TRUE(spool_options.printer.empty());

    dir.write("zvspool.conf", "# the front desk\r\n\n  printer =  recepcja  \noffset = 2.5, -1\n"
                              "archive = C:\\archiwum z\xB3ote\nfit-columns=80\nalarm-after = 0.5\n"
                              "quiet-seconds = 6\n");
    ASSERT_EQ(load(), 0) << why;
    EXPECT_EQ(spool_options.printer, "recepcja");
    EXPECT_DOUBLE_EQ(spool_options.offset_x_mm, 2.5);
    EXPECT_DOUBLE_EQ(spool_options.offset_y_mm, -1);
    EXPECT_EQ(spool_options.archive, "C:\\archiwum z\xB3ote");
    EXPECT_EQ(spool_options.fit_columns, 80);
    EXPECT_EQ(spool_options.alarm_seconds, 30u);
    EXPECT_DOUBLE_EQ(spool_options.quiet_seconds, 6);
    EXPECT_EQ(spool_options.in_flight, 5) << "by default";

    ASSERT_EQ(
        load("--once --printer \"Biuro 2\" --offset -1,0 --fit-columns 0 --quiet-seconds 0.5"), 0)
        << why;
    EXPECT_DOUBLE_EQ(spool_options.quiet_seconds, 0.5);
    EXPECT_EQ(spool_options.printer, "Biuro 2");
    EXPECT_DOUBLE_EQ(spool_options.offset_x_mm, -1);
    EXPECT_EQ(spool_options.fit_columns, 0);
    EXPECT_EQ(spool_options.archive, "C:\\archiwum z\xB3ote") << "what the line leaves stays";
}

TEST_F(SpoolOptionsTest, BadLinesAndValuesAreNamed) {
    const std::string too_long = std::string(5000, '#') + "\n";
    const std::pair<std::string, const char*> files[] = {
        {"printer = a\noffset = 2.5\n", "zvspool.conf line 2: offset takes X,Y"},
        {"offset = 2.5,x\n", "line 1: offset takes X,Y"},
        {"offset = 150,0\n", "line 1: offset takes X,Y"},
        {"\n\nwhatever\n", "zvspool.conf line 3: \"whatever\" is not key = value"},
        {"colour = red\n", "line 1: unknown option colour"},
        {"fit-columns = 5\n", "line 1: fit-columns takes"},
        {"fit-columns = 80x\n", "line 1: fit-columns takes"},
        {"archive-days = -3\n", "line 1: archive-days takes"},
        {"printer =\n", "line 1: printer takes"},
        {"alarm-after = 0\n", "line 1: alarm-after takes"},
        {"quiet-seconds = -1\n", "line 1: quiet-seconds takes"},
        {"in-flight = 0\n", "line 1: in-flight takes"},
        {"in-flight = 501\n", "line 1: in-flight takes"},
        {"quiet-seconds = 4000\n", "line 1: quiet-seconds takes"},
        {"quiet-seconds = soon\n", "line 1: quiet-seconds takes"},
        {too_long, "line 1: too long"},
    };
    for (const auto& [file, said] : files) {
        dir.write("zvspool.conf", file);
        EXPECT_EQ(load(), 2) << file;
        EXPECT_NE(why.find(said), std::string::npos) << file << " -> " << why;
    }
    std::remove("zvspool.conf");
    EXPECT_EQ(load("--printer"), 2);
    EXPECT_EQ(why, "--printer needs a value");
    EXPECT_EQ(load("--offset 1,1 --bogus 3"), 2);
    EXPECT_EQ(why, "unknown option --bogus");
    EXPECT_DOUBLE_EQ(spool_options.offset_x_mm, 0) << "a refused set-up changes nothing";
}

TEST_F(SpoolOptionsTest, AFileAsNotepadSavesIt) {
    dir.write("zvspool.conf", "\xEF\xBB\xBFprinter = recepcja\r\nfit-columns = 80\r\n");
    ASSERT_EQ(load(), 0) << why;
    EXPECT_EQ(spool_options.printer, "recepcja") << "the byte-order mark is no part of the key";
    EXPECT_EQ(spool_options.fit_columns, 80);

    dir.write("zvspool.conf", "\xEF\xBB\xBF# kartoteka\r\nprinter = magazyn\r\n");
    ASSERT_EQ(load(), 0) << why << ": a comment right after the mark is a comment";
    EXPECT_EQ(spool_options.printer, "magazyn");

    for (bool big_endian : {false, true}) {
        dir.write("zvspool.conf", utf16("printer = recepcja\r\n", big_endian));
        EXPECT_EQ(load(), 2) << big_endian;
        EXPECT_EQ(why.rfind("zvspool.conf line 1: ", 0), 0u) << why;
        EXPECT_NE(why.find("UTF-16"), std::string::npos) << why;
        EXPECT_NE(why.find("UTF-8 or ANSI"), std::string::npos) << why;
        EXPECT_TRUE(all_printable_ascii(why)) << why;
    }
    // Without its mark UTF-16 is still told by its NUL bytes, not taken for a key.
    dir.write("zvspool.conf", "printer = a\n" + utf16("printer = b\r\n", false).substr(2));
    EXPECT_EQ(load(), 2);
    EXPECT_EQ(why.rfind("zvspool.conf line 2: ", 0), 0u) << why;
    EXPECT_NE(why.find("UTF-16"), std::string::npos) << why;
    EXPECT_TRUE(all_printable_ascii(why)) << why;
}

TEST_F(SpoolOptionsTest, QuotesKeepWhatAValueHolds) {
    const std::pair<const char*, const char*> printers[] = {
        {"printer = \"biuro\"\n", "biuro"},
        {"printer = 'biuro'\n", "biuro"},
        {"printer = \"lab #2\"\n", "lab #2"},
        {"printer = \"  biuro \"  # with its blanks\n", "  biuro "},
        {"printer = 'Anna \"HP\"'\n", "Anna \"HP\""},
        {"printer = \"Anna's\"\n", "Anna's"},
        {"printer = Anna's\n", "Anna's"},
        {"printer = biuro\"2\"\n", "biuro\"2\""},
    };
    for (const auto& [file, printer] : printers) {
        dir.write("zvspool.conf", file);
        ASSERT_EQ(load(), 0) << file << " -> " << why;
        EXPECT_EQ(spool_options.printer, printer) << file;
    }
    dir.write("zvspool.conf", "archive = \"/srv/archiwum biura \"\noffset = '2,5; -1'\n");
    ASSERT_EQ(load(), 0) << why;
    EXPECT_EQ(spool_options.archive, "/srv/archiwum biura ");
    EXPECT_DOUBLE_EQ(spool_options.offset_x_mm, 2.5);
    EXPECT_DOUBLE_EQ(spool_options.offset_y_mm, -1);

    const std::pair<const char*, const char*> refused[] = {
        {"printer = a\nprinter = \"biuro\n", "zvspool.conf line 2: unmatched quote"},
        {"printer = 'biuro\"\n", "zvspool.conf line 1: unmatched quote"},
        {"printer = \"bi\"uro\n", "zvspool.conf line 1: only a comment may follow"},
        {"printer = \"biuro\"#2\n", "zvspool.conf line 1: only a comment may follow"},
    };
    expect_refused(refused);
}

TEST_F(SpoolOptionsTest, CommentsAfterAValue) {
    const std::pair<const char*, const char*> printers[] = {
        {"printer = biuro  # drukarka\n", "biuro"},
        {"printer = biuro\t# drukarka\n", "biuro"},
        {"printer = lab#2\n", "lab#2"},
        {"printer = lab#2 # the second\n", "lab#2"},
        {"   # indented\nprinter = biuro\n", "biuro"},
    };
    for (const auto& [file, printer] : printers) {
        dir.write("zvspool.conf", file);
        ASSERT_EQ(load(), 0) << file << " -> " << why;
        EXPECT_EQ(spool_options.printer, printer) << file;
    }
    const std::pair<const char*, const char*> refused[] = {
        {"printer = # none yet\n", "zvspool.conf line 1: printer takes"},
        {"printer = a\nwhatever # a = b\n", "zvspool.conf line 2: \"whatever\" is not key = value"},
        {"= biuro\n", "zvspool.conf line 1: \"= biuro\" is not key = value"},
    };
    expect_refused(refused);
}

TEST_F(SpoolOptionsTest, DecimalCommasAreReadOneWayOnly) {
    struct Offset {
        const char* value;
        double x, y;
    };
    const Offset offsets[] = {
        {"2,5; -1,5", 2.5, -1.5},
        {"2,5;-1", 2.5, -1},
        {"2,5 -1", 2.5, -1},
        {"2,5\t-1,5", 2.5, -1.5},
        {"2.5,-1", 2.5, -1},
        {"2.5, -1", 2.5, -1},
        {"2 , 5", 2, 5},
        {"2.0,5.0", 2, 5},
        {"2,-5", 2, -5},
        {"-1,0", -1, 0},
        {"2;5", 2, 5},
        {"1.5, 2,5", 1.5, 2.5},
        {"0,00", 0, 0},
        {"-2,5 ; 0,5", -2.5, 0.5},
    };
    for (const Offset& o : offsets) {
        dir.write("zvspool.conf", std::string("offset = ") + o.value + "\n");
        ASSERT_EQ(load(), 0) << o.value << " -> " << why;
        EXPECT_DOUBLE_EQ(spool_options.offset_x_mm, o.x) << o.value;
        EXPECT_DOUBLE_EQ(spool_options.offset_y_mm, o.y) << o.value;
        std::remove("zvspool.conf");
        ASSERT_EQ(load((std::string("--offset \"") + o.value + "\"").c_str()), 0)
            << o.value << " -> " << why;
        EXPECT_DOUBLE_EQ(spool_options.offset_x_mm, o.x) << "--offset " << o.value;
        EXPECT_DOUBLE_EQ(spool_options.offset_y_mm, o.y) << "--offset " << o.value;
    }

    dir.write("zvspool.conf", "quiet-seconds = 2,5\nalarm-after = 0,5\npoll-seconds = 0,5\n");
    ASSERT_EQ(load(), 0) << why;
    EXPECT_DOUBLE_EQ(spool_options.quiet_seconds, 2.5);
    EXPECT_EQ(spool_options.alarm_seconds, 30u);
    EXPECT_DOUBLE_EQ(spool_options.poll_seconds, 0.5);

    const std::pair<const char*, const char*> refused[] = {
        {"offset = 2,5,1\n", "offset takes X,Y"},    {"offset = 2,,5\n", "offset takes X,Y"},
        {"offset = 2;5;1\n", "offset takes X,Y"},    {"offset = 2, ,5\n", "offset takes X,Y"},
        {"offset = 2,5 -1 3\n", "offset takes X,Y"}, {"offset = 2,5.1;0\n", "offset takes X,Y"},
        {"offset = 2,5\n", "is ambiguous"},          {"quiet-seconds = 2,5.0\n", "quiet-seconds"},
        {"quiet-seconds = ,5\n", "quiet-seconds"},   {"quiet-seconds = 2,\n", "quiet-seconds"},
        {"alarm-after = 1,000,5\n", "alarm-after"},  {"fit-columns = 8,0\n", "fit-columns takes"},
        {"in-flight = 2,5\n", "in-flight takes"},    {"archive-days = 3,5\n", "archive-days"},
    };
    for (const auto& [file, said] : refused) {
        dir.write("zvspool.conf", file);
        EXPECT_EQ(load(), 2) << file;
        EXPECT_EQ(why.rfind("zvspool.conf line 1: ", 0), 0u) << file << " -> " << why;
        EXPECT_NE(why.find(said), std::string::npos) << file << " -> " << why;
    }
}

// Two whole numbers about one comma read as one decimal number too: refused, the line named, and
// each spelling the refusal offers read as the refusal says.
TEST_F(SpoolOptionsTest, AnAmbiguousOffsetIsRefusedWithItsTwoSpellings) {
    struct Ambiguous {
        const char* value;
        double decimal, x, y;
    };
    const Ambiguous ambiguous[] = {
        {"2,5", 2.5, 2, 5},   {"-2,5", -2.5, -2, 5},  {"0,5", 0.5, 0, 5},
        {"2,50", 2.5, 2, 50}, {"+1,25", 1.25, 1, 25},
    };
    const std::regex spellings("write (\\S+) for .*, or (\\S+) \\(or (\\S+)\\) for ");
    for (const Ambiguous& a : ambiguous) {
        dir.write("zvspool.conf",
                  std::string("printer = biuro\noffset = ") + a.value + "  # forms\n");
        EXPECT_EQ(load(), 2) << a.value;
        const std::string said = why;
        EXPECT_EQ(said.rfind(
                      std::string("zvspool.conf line 2: offset = ") + a.value + " is ambiguous", 0),
                  0u)
            << said;
        std::smatch offered;
        ASSERT_TRUE(std::regex_search(said, offered, spellings)) << said;
        const struct {
            std::string value;
            double x, y;
        } readings[] = {{offered[1], a.decimal, 0}, {offered[2], a.x, a.y}, {offered[3], a.x, a.y}};
        for (const auto& reading : readings) {
            dir.write("zvspool.conf", "offset = " + reading.value + "\n");
            ASSERT_EQ(load(), 0) << said << ": " << reading.value << " -> " << why;
            EXPECT_DOUBLE_EQ(spool_options.offset_x_mm, reading.x) << said;
            EXPECT_DOUBLE_EQ(spool_options.offset_y_mm, reading.y) << said;
        }
    }
    std::remove("zvspool.conf");
    const SpoolOptions before = spool_options;
    EXPECT_EQ(load("--offset 2,5"), 2) << "the command line reads it no otherwise";
    EXPECT_NE(why.find("is ambiguous"), std::string::npos) << why;
    EXPECT_DOUBLE_EQ(spool_options.offset_x_mm, before.offset_x_mm)
        << "a refused set-up changes nothing";
    EXPECT_DOUBLE_EQ(spool_options.offset_y_mm, before.offset_y_mm);
}

TEST_F(SpoolOptionsTest, TildeIsTheHomeFolderInTheArchive) {
    const std::string home = dir.path() + "/dom";
    {
        ScopedVariable set_home("HOME", home.c_str());
        const std::pair<std::string, std::string> archives[] = {
            {"archive = ~/archiwum\n", home + "/archiwum"},
            {"archive = ~\n", home},
            {"archive = \"~/archiwum biura\"  # quoted\n", home + "/archiwum biura"},
            {"archive = ~anna/archiwum\n", "~anna/archiwum"},
            {"archive = a~/b\n", "a~/b"},
            {"archive = /srv/~/b\n", "/srv/~/b"},
#ifdef _WIN32
            {"archive = ~\\archiwum\n", home + "\\archiwum"},
#endif
        };
        for (const auto& [file, folder] : archives) {
            dir.write("zvspool.conf", file);
            ASSERT_EQ(load(), 0) << file << " -> " << why;
            EXPECT_EQ(spool_options.archive, folder) << file;
        }
        dir.write("zvspool.conf", "printer = ~/biuro\n");
        ASSERT_EQ(load(), 0) << why;
        EXPECT_EQ(spool_options.printer, "~/biuro") << "only the archive is a folder";
        std::remove("zvspool.conf");
        ASSERT_EQ(load("--archive \"~/z wiersza\""), 0) << why;
        EXPECT_EQ(spool_options.archive, home + "/z wiersza");
    }
    {
        ScopedVariable set_home("HOME", (home + "/").c_str());
        dir.write("zvspool.conf", "archive = ~/archiwum\n");
        ASSERT_EQ(load(), 0) << why;
        EXPECT_EQ(spool_options.archive, home + "/archiwum") << "no doubled separator";
    }
    {
        ScopedVariable no_home("HOME", nullptr);
        ScopedVariable no_profile("USERPROFILE", nullptr);
        dir.write("zvspool.conf", "printer = biuro\narchive = ~/archiwum\n");
        EXPECT_EQ(load(), 2);
        EXPECT_EQ(why.rfind("zvspool.conf line 2: archive = ~/archiwum", 0), 0u) << why;
        EXPECT_NE(why.find("HOME"), std::string::npos) << why;
    }
}

TEST_F(SpoolOptionsTest, InvisibleBytesAreShownInTheMessage) {
    const std::pair<std::string, std::string> files[] = {
        {"printer = a\n\xEF\xBB\xBFprinter = b\n",
         "zvspool.conf line 2: unknown option \\xEF\\xBB\\xBFprinter"},
        {"printer\xA0= biuro\n", "zvspool.conf line 1: unknown option printer\\xA0"},
        {"offset = 2.5,\x01-1\n", "not \"2.5,\\x01-1\""},
        {"quiet-seconds = 2\xC2\xA0\n", "not \"2\\xC2\\xA0\""},
        {"fit-columns = 80\x7F\n", "not \"80\\x7F\""},
        {"whatever\x1B[2J\n", "\"whatever\\x1B[2J\" is not key = value"},
        {"printer = \"b\xEF\xBB\xBFiuro\n", "\"b\\xEF\\xBB\\xBFiuro"},
        {std::string("printer = a\nin-flight = 5\0\n", 27), "zvspool.conf line 2: holds a NUL"},
    };
    for (const auto& [file, shown] : files) {
        dir.write("zvspool.conf", file);
        EXPECT_EQ(load(), 2) << file;
        EXPECT_NE(why.find(shown), std::string::npos) << why;
        EXPECT_EQ(why.rfind("zvspool.conf line ", 0), 0u) << why;
        EXPECT_TRUE(all_printable_ascii(why)) << why;
    }
    std::remove("zvspool.conf");
    EXPECT_EQ(load("--quiet-seconds \xEF\xBB\xBF"
                   "2"),
              2);
    EXPECT_NE(why.find("not \"\\xEF\\xBB\\xBF2\""), std::string::npos) << why;
    EXPECT_TRUE(all_printable_ascii(why)) << why;
}

// The page of a printer with a set-up: a form moved in whole dots, a report made small enough for
// its columns; text is counted off the page where it really falls.
TEST_F(SpoolOptionsTest, APageMovedAndMadeToFit) {
    // 2480 dots at 300 dpi: 82 columns at 10 cpi.
    printer = std::make_shared<zvp::MemoryPrinter>(zvtest::printer_300dpi());
    zvp::use_memory_printer(printer);
    spool_options.offset_x_mm = 2.5;
    spool_options.offset_y_mm = -1;
    FolderPrinter folder_printer;
    HDC dc = open_default_printer_dc(&folder_printer);
    ASSERT_NE(dc, nullptr);
    DOCINFOA doc = zv_document_info();
    ASSERT_GT(StartDocA(dc, &doc), 0);
    JobPrintState job;
    zvtest::print_bytes(dc, "\r\nA", &job);
    EndDoc(dc);
    DeleteDC(dc);
    // 2.5 mm and 1 mm at 300 dpi: 30 and 12 dots (29.5 and 11.8 rounded).
    EXPECT_EQ(printer->documents.back().pages.at(0).runs.at(0).x, 30);
    EXPECT_EQ(printer->documents.back().pages.at(0).runs.at(0).y, 50 - 12);

    spool_options.offset_x_mm = spool_options.offset_y_mm = 0;
    const std::string ninety = std::string(90, 'W') + "\r\n";
    for (int fit : {0, 90}) {
        spool_options.fit_columns = fit;
        dc = open_default_printer_dc(&folder_printer);
        ASSERT_GT(StartDocA(dc, &doc), 0);
        zvtest::print_bytes(dc, ninety, &job);
        EndDoc(dc);
        DeleteDC(dc);
        const zvp::RecordedRun& run = printer->documents.back().pages.at(0).runs.at(0);
        if (fit == 0) {
            EXPECT_EQ(job.off_page.chars_right, 8) << "columns 83 to 90 are past the edge";
            EXPECT_EQ(run.end_x, 2700);
        } else {
            EXPECT_EQ(job.off_page.pages, 0) << "fitted, nothing is cut";
            // 27 dots a column, the most whole dots by which 90 columns fit 2480.
            EXPECT_EQ(run.end_x, 90 * 27);
        }
    }
}

} // namespace

// render = server sends the folder's set-up with each job file; the filter reads it with the same
// rules, so every offset a folder may set comes back as it was, whole millimetres too (which as
// "2,5" would be ambiguous).
TEST_F(SpoolOptionsTest, TheSetUpSentWithAJobFileIsReadBackAsItWas) {
    dir.write("zvspool.conf", "render = server\n");
    ASSERT_EQ(load(), 0) << why;
    EXPECT_TRUE(spool_options.render_on_server);
    EXPECT_NE(describe_spool_options().find("rendered by the print server"), std::string::npos);
    EXPECT_EQ(zv_job_datatype(SpoolOptions()), "application/vnd.zv");
    const double offsets[][2] = {{2, 5}, {2.5, -1}, {-0.25, 0}, {0, 100}, {-100, -3.125}};
    for (const auto& offset : offsets) {
        SpoolOptions sent;
        sent.offset_x_mm = offset[0];
        sent.offset_y_mm = offset[1];
        sent.fit_columns = 80;
        const std::string type = zv_job_datatype(sent);
        const std::regex parameters(
            "^application/vnd\\.zv; zv-offset=([^;]+); zv-fit-columns=(\\d+)$");
        std::smatch got;
        ASSERT_TRUE(std::regex_match(type, got, parameters)) << type;
        SpoolOptions read;
        ASSERT_EQ(set_spool_option(&read, "offset", got[1], &why), 0) << type << ": " << why;
        ASSERT_EQ(set_spool_option(&read, "fit-columns", got[2], &why), 0) << type << ": " << why;
        EXPECT_DOUBLE_EQ(read.offset_x_mm, offset[0]) << type;
        EXPECT_DOUBLE_EQ(read.offset_y_mm, offset[1]) << type;
        EXPECT_EQ(read.fit_columns, 80) << type;
    }
    dir.write("zvspool.conf", "render = elsewhere\n");
    EXPECT_EQ(load(), 2);
    EXPECT_NE(why.find("render takes here (zvspool renders the jobs) or server"), std::string::npos)
        << why;
}
