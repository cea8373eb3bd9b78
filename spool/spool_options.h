// What an office sets up per folder: the printer, an archive of what was printed, an offset for
// pre-printed forms, reports fitted to the paper, the alarm time. Read from zvspool.conf beside ZV
// ("key = value" lines, # for comments, quotes to keep a # or blanks in a value; as Notepad saves
// it, with or without a byte-order mark), then from the command line, which wins.
#pragma once

#include "platform/win32.h"

#include <string>
#include <vector>

#define SPOOL_CONFIG_FILE_NAME "zvspool.conf"

struct SpoolOptions {
    std::string printer;    // "" for the default printer
    std::string archive;    // folder of the PDF copies, "" for none
    int archive_days = 0;   // copies older than this many days are removed; 0 keeps them all
    double offset_x_mm = 0; // everything printed moves this far right (negative: left)
    double offset_y_mm = 0; // and down (negative: up)
    int fit_columns = 0;    // pages scaled so that this many 10-cpi columns fit; 0: the exact grid
    unsigned long alarm_seconds = 0; // a job kept or not printed this long is stuck; 0: as it was
    // How long a job file must stay unchanged before it is taken, and again after its document
    // went before it is released to print: longer than the longest pause of its producer.
    double quiet_seconds = 2;
    int in_flight = 5; // jobs with the printer and not yet printed at once
    // Seconds between the end of one poll and the start of the next.
    double poll_seconds = 10;
    // Job files handed to the printer as they are, for its print server to render (a CUPS server
    // with zvtopdf): "render = server". By default they are rendered here.
    bool render_on_server = false;
};

// One setting as a key and its text ("printer", "biuro").
struct SpoolSetting {
    std::string key;
    std::string value;
};

// The settings' keys; on the command line each is an option with a value ("--printer Q").
extern const char* const SPOOL_SETTINGS[10];
extern SpoolOptions spool_options;

// Sets one option by its key (one of SPOOL_SETTINGS) from its text. 0, or 2 with `why` when the key
// is unknown or the value bad or ambiguous (an offset of "2,5"), the value shown in it with every
// byte that is not printable ASCII written as \xHH.
int set_spool_option(SpoolOptions* options, const std::string& key, const std::string& value,
                     std::string* why);

// The options for the folder: zvspool.conf in the current folder (none is fine), then
// `overrides` (from the command line), which win. 0, or 2 with `why` naming the line or the
// option that is wrong; the options in force then stay as they were.
int load_spool_options(const std::vector<SpoolSetting>& overrides, std::string* why);

// The MIME type of job files handed over unrendered, and the document format of such a job
// with the office's set-up as its parameters ("application/vnd.zv; zv-offset=2.5,-1").
#define ZV_JOB_FORMAT "application/vnd.zv"
std::string zv_job_datatype(const SpoolOptions& o);

// The options in force, as one phrase for the start-up line ("" when all are as by default).
std::string describe_spool_options(void);
