#include "spool/spool_options.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

SpoolOptions spool_options;

const char* const SPOOL_SETTINGS[9] = {"printer",       "archive",     "archive-days",
                                       "offset",        "fit-columns", "alarm-after",
                                       "quiet-seconds", "in-flight",   "poll-seconds"};

static const double OFFSET_LIMIT_MM = 100; // a printer's origin is off by millimetres, not a page
static const double QUIET_LIMIT_SECONDS = 3600; // a producer silent for an hour has finished
// A poll a second keeps a test or a busy office quick; an hour between polls is the most a job
// should wait unseen.
static const double POLL_LIMIT_SECONDS = 3600;
enum {
    FIT_COLUMNS_LIMIT = 400, // wider than any continuous form
    ARCHIVE_DAYS_LIMIT = 36500,
    CONFIG_LINE_LIMIT = 4096,
    IN_FLIGHT_LIMIT = 500, // CUPS's own MaxJobs by default
};

static std::string trimmed(const std::string& text) {
    size_t from = text.find_first_not_of(" \t\r\n");
    size_t to = text.find_last_not_of(" \t\r\n");
    return from == std::string::npos ? std::string() : text.substr(from, to - from + 1);
}

// A decimal number and nothing else ("2.5", "-1").
static int parse_number(const std::string& text, double* value) {
    if (text.empty())
        return 1;
    char* end = NULL;
    errno = 0;
    *value = std::strtod(text.c_str(), &end);
    return *end != '\0' || errno != 0 || !std::isfinite(*value);
}

static int parse_whole(const std::string& text, long low, long high, int* value) {
    char* end = NULL;
    errno = 0;
    long v = text.empty() ? -1 : std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < low || v > high)
        return 1;
    *value = (int)v;
    return 0;
}

int set_spool_option(SpoolOptions* o, const std::string& key, const std::string& value,
                     std::string* why) {
    if (key == "printer") {
        if (value.empty()) {
            *why = "printer takes the name of a print queue (lpstat -a lists them)";
            return 2;
        }
        o->printer = value;
    } else if (key == "archive") {
#if defined(_WIN32) && !defined(ZV_PORTABLE_WIN32)
        // Windows prints through the printer's own driver, whose output in a file is no PDF.
        *why = "archive is made on Linux only, where the printers print PDF";
        return 2;
#endif
        if (value.empty()) {
            *why = "archive takes a folder";
            return 2;
        }
        o->archive = value;
    } else if (key == "archive-days") {
        if (parse_whole(value, 0, ARCHIVE_DAYS_LIMIT, &o->archive_days) != 0) {
            *why = "archive-days takes a whole number of days (0 keeps every copy)";
            return 2;
        }
    } else if (key == "offset") {
        size_t comma = value.find(',');
        double x = 0, y = 0;
        if (comma == std::string::npos || parse_number(trimmed(value.substr(0, comma)), &x) != 0 ||
            parse_number(trimmed(value.substr(comma + 1)), &y) != 0 ||
            std::fabs(x) > OFFSET_LIMIT_MM || std::fabs(y) > OFFSET_LIMIT_MM) {
            *why = "offset takes X,Y in millimetres, right and down (2.5,-1), each at most 100";
            return 2;
        }
        o->offset_x_mm = x;
        o->offset_y_mm = y;
    } else if (key == "fit-columns") {
        if (parse_whole(value, 0, FIT_COLUMNS_LIMIT, &o->fit_columns) != 0 ||
            (o->fit_columns != 0 && o->fit_columns < 10)) {
            *why = "fit-columns takes a number of 10-cpi columns from 10 to 400 (0: off)";
            return 2;
        }
    } else if (key == "alarm-after") {
        double minutes = 0;
        if (parse_number(value, &minutes) != 0 || !(minutes * 60 >= 1) || minutes > 100000) {
            *why = "alarm-after takes minutes, a second or more (0.5 is 30 s)";
            return 2;
        }
        o->alarm_seconds = (unsigned long)(minutes * 60 + 0.5);
    } else if (key == "in-flight") {
        if (parse_whole(value, 1, IN_FLIGHT_LIMIT, &o->in_flight) != 0) {
            *why = "in-flight takes a number of jobs from 1 to 500";
            return 2;
        }
    } else if (key == "quiet-seconds") {
        double seconds = 0;
        if (parse_number(value, &seconds) != 0 || seconds < 0 || seconds > QUIET_LIMIT_SECONDS) {
            *why = "quiet-seconds takes seconds from 0 to 3600 (2.5 is two and a half)";
            return 2;
        }
        o->quiet_seconds = seconds;
    } else if (key == "poll-seconds") {
        double seconds = 0;
        if (parse_number(value, &seconds) != 0 || seconds < 0.1 || seconds > POLL_LIMIT_SECONDS) {
            *why = "poll-seconds takes seconds from 0.1 to 3600 (by default 10)";
            return 2;
        }
        o->poll_seconds = seconds;
    } else {
        *why = "unknown option " + key;
        return 2;
    }
    return 0;
}

// zvspool.conf: "key = value" lines; blank lines and lines starting with # say nothing.
static int read_config_file(SpoolOptions* o, std::string* why) {
    FILE* file = std::fopen(SPOOL_CONFIG_FILE_NAME, "rb");
    if (file == NULL) {
        if (errno == ENOENT)
            return 0;
        *why = std::string("cannot read " SPOOL_CONFIG_FILE_NAME ": ") + std::strerror(errno);
        return 2;
    }
    char buffer[CONFIG_LINE_LIMIT];
    int number = 0, result = 0;
    while (result == 0 && std::fgets(buffer, sizeof buffer, file) != NULL) {
        ++number;
        std::string line = buffer;
        std::string where = SPOOL_CONFIG_FILE_NAME " line " + std::to_string(number) + ": ";
        if (line.find('\n') == std::string::npos && !std::feof(file)) {
            *why = where + "too long";
            result = 2;
            break;
        }
        line = trimmed(line);
        if (line.empty() || line[0] == '#')
            continue;
        size_t equals = line.find('=');
        if (equals == std::string::npos) {
            *why = where + "\"" + line + "\" is not key = value";
            result = 2;
            break;
        }
        std::string problem;
        if (set_spool_option(o, trimmed(line.substr(0, equals)), trimmed(line.substr(equals + 1)),
                             &problem) != 0) {
            *why = where + problem;
            result = 2;
        }
    }
    std::fclose(file);
    return result;
}

int load_spool_options(const std::vector<SpoolSetting>& overrides, std::string* why) {
    SpoolOptions o;
    if (read_config_file(&o, why) != 0)
        return 2;
    for (const SpoolSetting& setting : overrides)
        if (set_spool_option(&o, setting.key, setting.value, why) != 0)
            return 2;
    spool_options = o;
    return 0;
}

std::string describe_spool_options(void) {
    const SpoolOptions& o = spool_options;
    std::string out;
    char text[160];
    if (!o.archive.empty()) {
        out += "archive " + o.archive;
        if (o.archive_days > 0)
            out += " (kept " + std::to_string(o.archive_days) + " days)";
    }
    if (o.offset_x_mm != 0 || o.offset_y_mm != 0) {
        std::snprintf(text, sizeof text, "%soffset %g mm right, %g mm down",
                      out.empty() ? "" : "; ", o.offset_x_mm, o.offset_y_mm);
        out += text;
    }
    if (o.fit_columns > 0) {
        std::snprintf(text, sizeof text, "%spages fitted to %d columns", out.empty() ? "" : "; ",
                      o.fit_columns);
        out += text;
    }
    if (o.in_flight != SpoolOptions().in_flight) {
        std::snprintf(text, sizeof text, "%sat most %d jobs with the printer at once",
                      out.empty() ? "" : "; ", o.in_flight);
        out += text;
    }
    if (o.quiet_seconds != SpoolOptions().quiet_seconds) {
        std::snprintf(text, sizeof text, "%sjob files taken after %g s unchanged",
                      out.empty() ? "" : "; ", o.quiet_seconds);
        out += text;
    }
    return out;
}
