#include "spool/standing.h"

#include "platform/win32.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

bool job_state_is_fine(const std::string& state) {
    return state == JOB_STATE_WAITING || state == JOB_STATE_TURN || state == JOB_STATE_PRINTING ||
           state == JOB_STATE_HANDED || state == JOB_STATE_PRINTED;
}

static std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text)
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default: out += c;
        }
    return out;
}

static std::string unescaped(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char c = text[++i];
        out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    }
    return out;
}

std::string standing_text(const Standing& s) {
    std::string text = "polled " + std::to_string(s.polled) + "\n";
    text += "printer " + escaped(s.printer) + "\n";
    text += "printer-state " + escaped(s.printer_state) + "\n";
    text += "printer-words " + escaped(s.printer_words) + "\n";
    text += "printer-reasons " + escaped(s.printer_reasons) + "\n";
    text += "last-printed " + escaped(s.last_printed) + "\n";
    text += "last-printed-at " + std::to_string(s.last_printed_at) + "\n";
    text += "test-sheet " + escaped(s.test_sheet) + "\n";
    for (const JobStanding& j : s.jobs)
        text += "job " + escaped(j.name) + "\t" + escaped(j.state) + "\t" +
                std::to_string(j.since) + "\t" + escaped(j.printer) + "\t" +
                std::to_string(j.job_id) + "\t" + escaped(j.why) + "\n";
    return text;
}

// The fields of a job line, split at its tabs.
static std::vector<std::string> fields_of(const std::string& line) {
    std::vector<std::string> fields;
    size_t from = 0;
    for (size_t tab; (tab = line.find('\t', from)) != std::string::npos; from = tab + 1)
        fields.push_back(unescaped(line.substr(from, tab - from)));
    fields.push_back(unescaped(line.substr(from)));
    return fields;
}

Standing standing_from_text(const std::string& text) {
    Standing s;
    size_t from = 0;
    while (from < text.size()) {
        size_t end = text.find('\n', from);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(from, end - from);
        from = end + 1;
        size_t space = line.find(' ');
        if (space == std::string::npos)
            continue;
        std::string key = line.substr(0, space), value = line.substr(space + 1);
        if (key == "polled")
            s.polled = std::atoll(value.c_str());
        else if (key == "printer")
            s.printer = unescaped(value);
        else if (key == "printer-state")
            s.printer_state = unescaped(value);
        else if (key == "printer-words")
            s.printer_words = unescaped(value);
        else if (key == "printer-reasons")
            s.printer_reasons = unescaped(value);
        else if (key == "last-printed")
            s.last_printed = unescaped(value);
        else if (key == "last-printed-at")
            s.last_printed_at = std::atoll(value.c_str());
        else if (key == "test-sheet")
            s.test_sheet = unescaped(value);
        else if (key == "job") {
            std::vector<std::string> f = fields_of(value);
            if (f.size() < 6)
                continue;
            JobStanding j;
            j.name = f[0];
            j.state = f[1];
            j.since = std::atoll(f[2].c_str());
            j.printer = f[3];
            j.job_id = std::strtoul(f[4].c_str(), NULL, 10);
            j.why = f[5];
            s.jobs.push_back(j);
        }
    }
    return s;
}

std::string standing_path(const std::string& journal_path) {
    const std::string suffix = ".journal";
    std::string base = journal_path;
    if (base.size() > suffix.size() &&
        base.compare(base.size() - suffix.size(), suffix.size(), suffix) == 0)
        base.resize(base.size() - suffix.size());
    return base + ".status";
}

int store_standing(const Standing& standing, const std::string& path) {
    std::string text = standing_text(standing);
    std::string temp = path + ".new";
    FILE* file = std::fopen(temp.c_str(), "wb");
    if (file == NULL)
        return 1;
    int written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (std::fclose(file) != 0 || !written ||
        !MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileA(temp.c_str());
        return 1;
    }
    return 0;
}

int load_standing(const std::string& path, Standing* standing) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == NULL)
        return 1;
    std::string text;
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        text.append(buffer, got);
    std::fclose(file);
    *standing = standing_from_text(text);
    return 0;
}
