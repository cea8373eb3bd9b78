// zvspool's command line, as Windows gives it to WinMain (one string; the Linux main joins its
// arguments the same way): what the program is to do, in which folder, with which of the folder's
// settings. It is read here and nowhere else.
#pragma once

#include "spool/spool_options.h"

#include <string>
#include <vector>

enum RunMode {
    RUN_WINDOW,  // the spooler with its window, polling until it is closed
    RUN_ONCE,    // poll once, without a window, and end
    RUN_STANDBY, // as RUN_WINDOW, standing by while another spooler holds the folder
    RUN_STATUS,  // report the folder's state and end
    RUN_HELP,
    RUN_VERSION,
};

struct CommandLine {
    int mode = RUN_WINDOW;
    int json = 0;
    // No window, no icon and no message box: started at boot with nobody logged in, where no one
    // would see them (and a message box would wait for ever). The log says everything.
    int no_window = 0;
    std::string folder; // "" for the folder the program is started in
    // The folder's settings given as options ("--printer Q"), in order; they win over the
    // folder's zvspool.conf.
    std::vector<SpoolSetting> settings;
};

// The words of a command line by Windows' rules: separated by spaces and tabs, a double-quoted
// stretch kept whole, \" a double quote, and backslashes before a double quote halved.
std::vector<std::string> command_words(const char* text);

// Reads the command line. 0, or 2 with `why` when it is wrong.
int parse_command_line(const char* text, CommandLine* line, std::string* why);

// The usage, as --help shows it.
extern const char ZVSPOOL_USAGE[];
