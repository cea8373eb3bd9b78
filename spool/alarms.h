// Alarms: a job kept, or handed over and not printed, for longer than the alarm time is said to
// be stuck in the log, again at growing intervals, and as one line for the window; the desktop is
// told when their count grows.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>

struct Alarms {
    struct Stuck {
        unsigned long long since; // on the forward-only clock
        int alarms;               // how often the alarm has been given for it
    };
    std::map<std::string, Stuck> stuck; // by job file, while it waits
    std::string line;                   // for the window: "" while no job is stuck
    int given = 0;                      // alarms the log has given
};

// When a stuck job is said again, `alarms` given so far: after the alarm time, three times it,
// twelve times it, then every twelve times it (by default 5, 15 and 60 minutes, then hourly).
unsigned long long alarm_due_ms(int alarms, unsigned long alarm_seconds);

// Warns of every job of `waiting` that has waited longer than the alarm time and is due, and
// makes the window's line. `why` says why a job waits ("" when it turns out not to); it is asked
// only of the jobs said. Without a stuck job the line is `standing` (a fault of the folder).
void sound_alarms(Alarms* alarms, const std::set<std::string>& waiting, unsigned long alarm_seconds,
                  unsigned long long now, const std::function<std::string(const std::string&)>& why,
                  const std::string& standing);

// The job `name` printed: said when it had been stuck, and no longer watched.
void note_printed_after_alarm(Alarms* alarms, const std::string& name, unsigned long long now);
