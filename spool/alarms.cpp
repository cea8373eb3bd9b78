#include "spool/alarms.h"

#include "spool/event_log.h"
#include "spool/job_files.h"

#include <cstdio>

unsigned long long alarm_due_ms(int alarms, unsigned long alarm_seconds) {
    static const int steps[] = {1, 3, 12};
    unsigned long long unit = (unsigned long long)alarm_seconds * 1000ULL;
    return unit * (alarms < 3 ? steps[alarms] : 12ULL * (alarms - 1));
}

static std::string waited(unsigned long long ms) {
    char text[48];
    describe_duration(ms / 1000, text, sizeof text);
    return text;
}

void sound_alarms(Alarms* alarms, const std::set<std::string>& waiting, unsigned long alarm_seconds,
                  unsigned long long now, const std::function<std::string(const std::string&)>& why,
                  const std::string& standing) {
    for (auto it = alarms->stuck.begin(); it != alarms->stuck.end();)
        it = waiting.count(it->first) ? std::next(it) : alarms->stuck.erase(it);
    int stuck = 0;
    std::string first_reason;
    for (const std::string& name : waiting) {
        Alarms::Stuck& s = alarms->stuck.emplace(name, Alarms::Stuck{now, 0}).first->second;
        if (now - s.since < alarm_due_ms(0, alarm_seconds))
            continue;
        ++stuck;
        int due = now - s.since >= alarm_due_ms(s.alarms, alarm_seconds);
        if (!due && !first_reason.empty())
            continue;
        std::string reason = why(name);
        if (first_reason.empty())
            first_reason = reason;
        if (!due || reason.empty())
            continue;
        ++s.alarms;
        ++alarms->given;
        log_event(EVENT_WARNING, "%s has waited %s: %s", shown_name(name).c_str(),
                  waited(now - s.since).c_str(), reason.c_str());
    }
    char line[2400] = "";
    if (stuck > 0)
        std::snprintf(line, sizeof line, "%d job%s waiting: %s", stuck, stuck == 1 ? "" : "s",
                      first_reason.c_str());
    else
        std::snprintf(line, sizeof line, "%s", standing.c_str());
    alarms->line = line;
}

void note_printed_after_alarm(Alarms* alarms, const std::string& name, unsigned long long now) {
    auto it = alarms->stuck.find(name);
    if (it == alarms->stuck.end())
        return;
    if (it->second.alarms > 0)
        log_event(EVENT_INFO, "%s is printed after it waited %s", shown_name(name).c_str(),
                  waited(now - it->second.since).c_str());
    alarms->stuck.erase(it);
}
