#include "spool/spool_options.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

SpoolOptions spool_options;

const char* const SPOOL_SETTINGS[10] = {"printer",      "archive",     "archive-days",  "offset",
                                        "fit-columns",  "alarm-after", "quiet-seconds", "in-flight",
                                        "poll-seconds", "render"};

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

static int is_blank(char c) {
    return c == ' ' || c == '\t';
}
static int is_digit(char c) {
    return c >= '0' && c <= '9';
}

// A text as it can stand in a message. The file's code page is not known (UTF-8, or the office's
// ANSI one), so any byte past ASCII may show as something else or as nothing at all (a byte-order
// mark, a no-break space); written as \xEF it is seen for what it is.
static std::string visible(const std::string& text) {
    std::string out;
    char escaped[8];
    for (char c : text) {
        unsigned char byte = (unsigned char)c;
        if (byte >= 0x20 && byte < 0x7F) {
            out += c;
        } else {
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        }
    }
    return out;
}

// What a key takes, and the value it was given instead.
static std::string refusal(const char* takes, const std::string& value) {
    std::string out = takes;
    if (!value.empty())
        out += ", not \"" + visible(value) + "\"";
    return out;
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

// A number with a decimal dot, or with one decimal comma between two digits as Polish offices
// write it ("2,5"); a comma anywhere else is no decimal one.
static int parse_decimal(const std::string& text, double* value) {
    size_t comma = text.find(',');
    if (comma == std::string::npos)
        return parse_number(text, value);
    if (comma == 0 || comma + 1 == text.size() || !is_digit(text[comma - 1]) ||
        !is_digit(text[comma + 1]) || text.find(',', comma + 1) != std::string::npos ||
        text.find('.') != std::string::npos)
        return 1;
    std::string dotted = text;
    dotted[comma] = '.';
    return parse_number(dotted, value);
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

// Digits only from `from` on, at least one.
static int all_digits(const std::string& text, size_t from) {
    if (from >= text.size())
        return 0;
    for (size_t i = from; i < text.size(); ++i)
        if (!is_digit(text[i]))
            return 0;
    return 1;
}

// An offset is X and Y in millimetres. Parted by a semicolon, or by blanks (a comma next to them
// belongs to the parting: "2.5, -1"), each may have a decimal comma: "2,5; -1,5", "2,5 -1". With
// no blank, "X,Y" is parted by its one comma ("2.5,-1", "2,-5", "-1,0"), except when it also reads
// as one decimal number: a whole number, the comma, digits not all 0 ("2,5": 2.5 mm, or 2 and 5),
// which is refused; "-1,0" is -1 and 0 either way.
enum { OFFSET_PARTED, OFFSET_BY_COMMA, OFFSET_UNPARTED };

static int split_offset(const std::string& value, std::string* x, std::string* y) {
    size_t semicolon = value.find(';');
    if (semicolon != std::string::npos) {
        *x = trimmed(value.substr(0, semicolon));
        *y = trimmed(value.substr(semicolon + 1));
        return OFFSET_PARTED;
    }
    size_t from = value.find_first_of(" \t");
    if (from != std::string::npos) {
        // `value` is trimmed: a blank has text on both sides.
        size_t to = value.find_first_not_of(" \t", from);
        if (value[from - 1] == ',')
            --from;
        else if (value[to] == ',')
            to = value.find_first_not_of(" \t", to + 1);
        if (to == std::string::npos)
            return OFFSET_UNPARTED;
        *x = value.substr(0, from);
        *y = value.substr(to);
        return OFFSET_PARTED;
    }
    size_t comma = value.find(',');
    if (comma == std::string::npos)
        return OFFSET_UNPARTED;
    *x = value.substr(0, comma);
    *y = value.substr(comma + 1);
    return OFFSET_BY_COMMA;
}

static int offset_is_ambiguous(const std::string& x, const std::string& y) {
    size_t sign = !x.empty() && (x[0] == '-' || x[0] == '+') ? 1 : 0;
    return all_digits(x, sign) && all_digits(y, 0) && y.find_first_not_of('0') != std::string::npos;
}

// "2.5 mm right", "2 mm right and 5 mm down".
static std::string movement(double right, double down) {
    char text[96] = "";
    if (right != 0 && down != 0)
        std::snprintf(text, sizeof text, "%g mm %s and %g mm down", std::fabs(right),
                      right < 0 ? "left" : "right", down);
    else if (right != 0)
        std::snprintf(text, sizeof text, "%g mm %s", std::fabs(right),
                      right < 0 ? "left" : "right");
    else
        std::snprintf(text, sizeof text, "%g mm down", down);
    return text;
}

static std::string ambiguous_offset(const std::string& x, const std::string& y) {
    double whole = 0, right = 0, down = 0;
    parse_number(x + "." + y, &whole);
    parse_number(x, &right);
    parse_number(y, &down);
    return "offset = " + x + "," + y + " is ambiguous: write " + x + "." + y + ";0 for " +
           movement(whole, 0) + ", or " + x + ";" + y + " (or " + x + ".0," + y + ".0) for " +
           movement(right, down);
}

static int set_offset(SpoolOptions* o, const std::string& value, std::string* why) {
    std::string text = trimmed(value), x_text, y_text;
    int form = split_offset(text, &x_text, &y_text);
    if (form == OFFSET_BY_COMMA && offset_is_ambiguous(x_text, y_text)) {
        *why = ambiguous_offset(x_text, y_text);
        return 2;
    }
    double x = 0, y = 0;
    int (*parse)(const std::string&, double*) =
        form == OFFSET_PARTED ? parse_decimal : parse_number;
    if (form == OFFSET_UNPARTED || parse(x_text, &x) != 0 || parse(y_text, &y) != 0 ||
        std::fabs(x) > OFFSET_LIMIT_MM || std::fabs(y) > OFFSET_LIMIT_MM) {
        *why = refusal("offset takes X,Y in millimetres, right and down, each at most 100 "
                       "(2.5,-1; with decimal commas 2,5;-1 or 2,5 -1)",
                       text);
        return 2;
    }
    o->offset_x_mm = x;
    o->offset_y_mm = y;
    return 0;
}

#ifdef _WIN32
#define HOME_UNSET "neither HOME nor USERPROFILE is set"
static int is_separator(char c) {
    return c == '/' || c == '\\';
}
#else
#define HOME_UNSET "HOME is not set"
static int is_separator(char c) {
    return c == '/';
}
#endif

// The user's home folder, "" when the environment names none.
static std::string home_folder(void) {
    const char* home = std::getenv("HOME");
#ifdef _WIN32
    if (home == NULL || *home == '\0')
        home = std::getenv("USERPROFILE");
#endif
    return home == NULL ? std::string() : std::string(home);
}

// "~" and "~/..." as a shell reads them; "~anna" and "a~" are names like any other.
static int set_archive(SpoolOptions* o, const std::string& value, std::string* why) {
#if defined(_WIN32) && !defined(ZV_PORTABLE_WIN32)
    // Windows prints through the printer's own driver, whose output in a file is no PDF.
    *why = "archive is made on Linux only, where the printers print PDF";
    return 2;
#endif
    if (value.empty()) {
        *why = "archive takes a folder";
        return 2;
    }
    if (value[0] != '~' || (value.size() > 1 && !is_separator(value[1]))) {
        o->archive = value;
        return 0;
    }
    std::string home = home_folder();
    if (home.empty()) {
        *why = "archive = " + visible(value) +
               ": ~ is the home folder, but " HOME_UNSET "; write the folder in full";
        return 2;
    }
    std::string rest = value.substr(1);
    if (!rest.empty() && is_separator(home.back()))
        rest.erase(0, 1);
    o->archive = home + rest;
    return 0;
}

static int set_printer(SpoolOptions* o, const std::string& value, std::string* why) {
    if (value.empty()) {
        *why = "printer takes the name of a print queue (lpstat -a lists them)";
        return 2;
    }
    o->printer = value;
    return 0;
}

static int set_whole(const std::string& value, long low, long high, int* field, const char* takes,
                     std::string* why) {
    int v = 0;
    if (parse_whole(value, low, high, &v) != 0) {
        *why = refusal(takes, value);
        return 2;
    }
    *field = v;
    return 0;
}

static int set_fit_columns(SpoolOptions* o, const std::string& value, std::string* why) {
    static const char TAKES[] =
        "fit-columns takes a number of 10-cpi columns from 10 to 400 (0: off)";
    int columns = 0;
    if (set_whole(value, 0, FIT_COLUMNS_LIMIT, &columns, TAKES, why) != 0)
        return 2;
    if (columns != 0 && columns < 10) {
        *why = refusal(TAKES, value);
        return 2;
    }
    o->fit_columns = columns;
    return 0;
}

static int set_alarm_after(SpoolOptions* o, const std::string& value, std::string* why) {
    double minutes = 0;
    if (parse_decimal(value, &minutes) != 0 || !(minutes * 60 >= 1) || minutes > 100000) {
        *why = refusal("alarm-after takes minutes, a second or more (0.5 or 0,5 is 30 s)", value);
        return 2;
    }
    o->alarm_seconds = (unsigned long)(minutes * 60 + 0.5);
    return 0;
}

static int set_seconds(const std::string& value, double low, double high, double* field,
                       const char* takes, std::string* why) {
    double seconds = 0;
    if (parse_decimal(value, &seconds) != 0 || seconds < low || seconds > high) {
        *why = refusal(takes, value);
        return 2;
    }
    *field = seconds;
    return 0;
}

static int set_render(SpoolOptions* o, const std::string& value, std::string* why) {
    if (value != "here" && value != "server") {
        *why = refusal("render takes here (zvspool renders the jobs) or server (the print server "
                       "renders them, with zvtopdf)",
                       value);
        return 2;
    }
#if defined(_WIN32) && !defined(ZV_PORTABLE_WIN32)
    // Windows' spooler takes documents of its own data types only: a job file would go raw.
    if (value == "server") {
        *why = "render = server is for CUPS print servers, from Linux: on Windows zvspool renders "
               "the jobs";
        return 2;
    }
#endif
    o->render_on_server = value == "server";
    return 0;
}

int set_spool_option(SpoolOptions* o, const std::string& key, const std::string& value,
                     std::string* why) {
    if (key == "render")
        return set_render(o, value, why);
    if (key == "printer")
        return set_printer(o, value, why);
    if (key == "archive")
        return set_archive(o, value, why);
    if (key == "archive-days")
        return set_whole(value, 0, ARCHIVE_DAYS_LIMIT, &o->archive_days,
                         "archive-days takes a whole number of days (0 keeps every copy)", why);
    if (key == "offset")
        return set_offset(o, value, why);
    if (key == "fit-columns")
        return set_fit_columns(o, value, why);
    if (key == "alarm-after")
        return set_alarm_after(o, value, why);
    if (key == "in-flight")
        return set_whole(value, 1, IN_FLIGHT_LIMIT, &o->in_flight,
                         "in-flight takes a number of jobs from 1 to 500", why);
    if (key == "quiet-seconds")
        return set_seconds(value, 0, QUIET_LIMIT_SECONDS, &o->quiet_seconds,
                           "quiet-seconds takes seconds from 0 to 3600 (2.5 or 2,5 is two and a "
                           "half)",
                           why);
    if (key == "poll-seconds")
        return set_seconds(value, 0.1, POLL_LIMIT_SECONDS, &o->poll_seconds,
                           "poll-seconds takes seconds from 0.1 to 3600 (by default 10)", why);
    *why = "unknown option " + visible(key);
    return 2;
}

// Where a comment starts in `line` at or after `from`, npos for none: a # at the start of the
// line or after a blank, so that "lab#2" keeps its #.
static size_t comment_start(const std::string& line, size_t from) {
    for (size_t i = from; i < line.size(); ++i)
        if (line[i] == '#' && (i == 0 || is_blank(line[i - 1])))
            return i;
    return std::string::npos;
}

// The value after the = at `from`: in quotes ("..." or '...') everything up to the closing quote,
// # and blanks too; else the text up to a comment, blanks around it left out. A quote inside an
// unquoted value is a character of it, as it always was ("Anna's"). 0, or 2 with `why`.
static int config_value(const std::string& line, size_t from, std::string* value,
                        std::string* why) {
    size_t start = line.find_first_not_of(" \t", from);
    if (start == std::string::npos) {
        value->clear();
        return 0;
    }
    char quote = line[start];
    if (quote != '"' && quote != '\'') {
        size_t comment = comment_start(line, start);
        *value =
            trimmed(line.substr(start, comment == std::string::npos ? comment : comment - start));
        return 0;
    }
    size_t close = line.find(quote, start + 1);
    if (close == std::string::npos) {
        *why = std::string("unmatched quote (") + quote + ") in: " + visible(line);
        return 2;
    }
    size_t rest = line.find_first_not_of(" \t", close + 1);
    if (rest != std::string::npos && (line[rest] != '#' || rest == close + 1)) {
        *why = "only a comment may follow the closing quote in: " + visible(line);
        return 2;
    }
    *value = line.substr(start + 1, close - start - 1);
    return 0;
}

// One line, its end trimmed: 0 with its key and value, 1 when it says nothing, 2 with `why`.
static int config_setting(const std::string& line, std::string* key, std::string* value,
                          std::string* why) {
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#')
        return 1;
    size_t equals = line.find('=', start);
    size_t comment = comment_start(line, start);
    if (equals == std::string::npos || comment < equals ||
        trimmed(line.substr(start, equals - start)).empty()) {
        *why =
            "\"" + visible(trimmed(line.substr(start, comment - start))) + "\" is not key = value";
        return 2;
    }
    *key = trimmed(line.substr(start, equals - start));
    return config_value(line, equals + 1, value, why) == 0 ? 0 : 2;
}

// One line with its end of line: 0, 1 at the end of the file, 2 when longer than the limit.
// NUL bytes are kept, to be told apart from the end of the line.
static int read_line(FILE* file, std::string* line) {
    line->clear();
    int c;
    while ((c = std::getc(file)) != EOF) {
        if (line->size() + 1 >= CONFIG_LINE_LIMIT)
            return 2;
        line->push_back((char)c);
        if (c == '\n')
            return 0;
    }
    return line->empty() ? 1 : 0;
}

// Notepad's "Unicode" is UTF-16, a NUL byte beside every ASCII one: no line of it reads as text.
static const char UTF16_ADVICE[] =
    "save it as plain text, UTF-8 or ANSI (Notepad: Save As, Encoding)";

// A line as the file holds it made one to read: 0, or 2 with `why` for a file no line of which
// can be read.
static int plain_text_line(int number, std::string* line, std::string* why) {
    if (number == 1 && line->compare(0, 3, "\xEF\xBB\xBF") == 0) {
        // Notepad starts UTF-8 with a byte-order mark.
        line->erase(0, 3);
    } else if (number == 1 &&
               (line->compare(0, 2, "\xFF\xFE") == 0 || line->compare(0, 2, "\xFE\xFF") == 0)) {
        *why = std::string("the file is UTF-16 (Unicode); ") + UTF16_ADVICE;
        return 2;
    }
    if (line->find('\0') != std::string::npos) {
        *why = std::string("holds a NUL byte, as a file saved as UTF-16 (Unicode) does; ") +
               UTF16_ADVICE;
        return 2;
    }
    size_t end = line->find_last_not_of(" \t\r\n");
    line->erase(end == std::string::npos ? 0 : end + 1);
    return 0;
}

// Line `number` of the file, as read: 0 once its setting is set, or when it says nothing; else 2
// with `why`.
static int apply_config_line(SpoolOptions* o, int number, std::string* line, std::string* why) {
    std::string key, value;
    if (plain_text_line(number, line, why) != 0)
        return 2;
    int said = config_setting(*line, &key, &value, why);
    if (said != 0)
        return said == 1 ? 0 : 2;
    return set_spool_option(o, key, value, why) == 0 ? 0 : 2;
}

// zvspool.conf: "key = value" lines; blank lines and comments say nothing.
static int read_config_file(SpoolOptions* o, std::string* why) {
    FILE* file = std::fopen(SPOOL_CONFIG_FILE_NAME, "rb");
    if (file == NULL) {
        if (errno == ENOENT)
            return 0;
        *why = std::string("cannot read " SPOOL_CONFIG_FILE_NAME ": ") + std::strerror(errno);
        return 2;
    }
    std::string line;
    int number = 0, result = 0, read = 0;
    while (result == 0 && (read = read_line(file, &line)) != 1) {
        ++number;
        std::string problem = "too long";
        if (read == 2 || apply_config_line(o, number, &line, &problem) != 0) {
            *why = SPOOL_CONFIG_FILE_NAME " line " + std::to_string(number) + ": " + problem;
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

std::string zv_job_datatype(const SpoolOptions& o) {
    std::string type = ZV_JOB_FORMAT;
    char text[96];
    // Dots and a comma, never read as a decimal comma; no semicolon, which parts parameters.
    if (o.offset_x_mm != 0 || o.offset_y_mm != 0) {
        std::snprintf(text, sizeof text, "; zv-offset=%.3f,%.3f", o.offset_x_mm, o.offset_y_mm);
        type += text;
    }
    if (o.fit_columns > 0)
        type += "; zv-fit-columns=" + std::to_string(o.fit_columns);
    return type;
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
    if (o.render_on_server) {
        out += out.empty() ? "" : "; ";
        out += "job files rendered by the print server";
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
