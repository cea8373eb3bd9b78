// The command line, read once: the words by Windows' rules, the mode, the folder and the
// settings, and every mistake named.
#include "app/command_line.h"

#include <gtest/gtest.h>

namespace {

using Words = std::vector<std::string>;

TEST(CommandLine, WordsFollowWindowsRules) {
    EXPECT_EQ(command_words(nullptr), Words{});
    EXPECT_EQ(command_words("  --once \t ZV  "), (Words{"--once", "ZV"}));
    EXPECT_EQ(command_words("--printer \"Biuro 2\" \"\""), (Words{"--printer", "Biuro 2", ""}));
    EXPECT_EQ(command_words("--archive \"C:\\archiwum z\xB3ote\\\\\""),
              (Words{"--archive", "C:\\archiwum z\xB3ote\\"}))
        << "backslashes before the closing quote are halved";
    EXPECT_EQ(command_words("C:\\dir\\sub"), (Words{"C:\\dir\\sub"}))
        << "other backslashes are the path's";
    EXPECT_EQ(command_words("\"say \\\"hi\\\"\""), (Words{"say \"hi\""}));
    EXPECT_EQ(command_words("a\\\\\\\"b"), (Words{"a\\\"b"}));
}

TEST(CommandLine, ModesFolderAndSettings) {
    CommandLine line;
    std::string why;
    ASSERT_EQ(parse_command_line("", &line, &why), 0);
    EXPECT_EQ(line.mode, RUN_WINDOW);
    EXPECT_EQ(line.folder, "");
    ASSERT_EQ(parse_command_line("--printer \"Biuro 2\" --once /srv/kartoteka --offset 2.5,-1",
                                 &line, &why),
              0)
        << why;
    EXPECT_EQ(line.mode, RUN_ONCE);
    EXPECT_EQ(line.folder, "/srv/kartoteka");
    ASSERT_EQ(line.settings.size(), 2u);
    EXPECT_EQ(line.settings[0].key, "printer");
    EXPECT_EQ(line.settings[0].value, "Biuro 2");
    EXPECT_EQ(line.settings[1].key, "offset");
    ASSERT_EQ(parse_command_line("--status --json", &line, &why), 0);
    EXPECT_EQ(line.mode, RUN_STATUS);
    EXPECT_TRUE(line.json);
    ASSERT_EQ(parse_command_line("--standby -- -folder", &line, &why), 0);
    EXPECT_EQ(line.mode, RUN_STANDBY);
    EXPECT_EQ(line.folder, "-folder") << "after --, a folder may start with a dash";
    ASSERT_EQ(parse_command_line("--bogus --help", &line, &why), 2)
        << "a word before --help is read first";
    ASSERT_EQ(parse_command_line("--once -V", &line, &why), 0);
    EXPECT_EQ(line.mode, RUN_VERSION);
}

TEST(CommandLine, MistakesAreNamed) {
    const std::pair<const char*, const char*> wrong[] = {
        {"--bogus", "unknown option --bogus"},
        {"a b", "more than one folder: b"},
        {"--printer", "--printer needs a value"},
        {"--once --status", "--once, --standby and --status do not go together"},
        {"--json", "--json goes with --status"},
        {"-x", "unknown option -x"},
    };
    for (const auto& [text, said] : wrong) {
        CommandLine line;
        line.folder = "unchanged";
        std::string why;
        EXPECT_EQ(parse_command_line(text, &line, &why), 2) << text;
        EXPECT_EQ(why, said) << text;
        EXPECT_EQ(line.folder, "unchanged") << "a wrong line changes nothing";
    }
}

} // namespace
