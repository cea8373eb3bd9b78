// The spool directory poller: every job file in ZV is printed as its own document and deleted,
// once, whatever stops this program or the print system on the way.
#pragma once

#include "platform/win32.h"

#include <string>

// Prints and deletes every job file ZV\zv*.zv in name order. A job file is taken only once it has
// stayed the same for a while (see spool_quiet_ms), and deleted only once its whole document was
// printed; every step of its hand-over is in the journal before the next one starts. A job that
// could not be printed stays for the next poll, and the log says why (once for as long as the
// reason stays the same). Returns 0 when every job found was printed, is printing, or waits to
// be quiet (or none was found), 1 when a job had to be kept. The window is not used.
int poll_spool_directory(HWND window);

// Makes the spooler ready to poll: the folder claimed (a spooler standing by tries again and says
// so when it takes over) and the journal opened. 1 when it may poll.
int spool_folder_ready(void);

// Checks, before the first poll, that the journal can be kept where it is to be kept. Returns 1
// when the place is refused (another user's, or open to others; the log says why): the program
// must not run. A journal that cannot be written now is not a refusal: jobs wait for it.
int check_spool_state(void);

// Says in the log when ZV is missing or cannot be read, and when it can again.
void check_spool_directory(void);

// Lets the folder and the journal go, and forgets what the polls remembered (the program's end;
// tests start afresh with it).
void end_spooling(void);

// Asks the spooler to stop: the job in print is abandoned (kept for the next start) and no other
// job is started. For the end of the session, which does not wait for the poll to end.
void stop_spooling(void);

// How long (milliseconds on a clock that only goes forward) a job file must stay the same before
// it is taken: a producer that closes and reopens its file between writes is not printed in
// pieces. 2000; tests set less.
extern unsigned long spool_quiet_ms;

// How long (seconds) a job may be kept, or handed over and not printed, before it is said to be
// stuck: the log warns, and zvspool --status counts it. 300; --alarm-after sets it.
extern unsigned long spool_alarm_seconds;

// How many jobs may be with the printer and not yet printed at once: a print server shared by
// many spoolers keeps room for the history of the jobs it finished (which tells what printed).
// 5; --in-flight sets it.
extern unsigned long spool_in_flight;

// A printer that refuses jobs in a row (too many active jobs, not accepting) is offered none for
// twice this, then twice as long again, up to a minute (milliseconds): 10000. Tests set 0.
extern unsigned long spool_refusal_backoff_ms;

// The alarm of the last poll as one line for the window ("2 jobs waiting: ..."): "" while no job
// is stuck.
const char* spool_alarm(void);
// How many alarms the log has given: the desktop is told when it grows.
int spool_alarm_count(void);

// What an entry of ZV is when it is no job file: "a folder", "a link", or what is read as no file
// is ("a FIFO, socket or device"). NULL for a file.
const char* not_a_file(const WIN32_FIND_DATAA* found);

// What the print system says of the job `r` handed to it, and of its printer ("" when that
// cannot be asked), in its own words. 1 when the job is printed.
struct JobRecord;
int ask_handed_job(const JobRecord& r, std::string* job, std::string* printer);

// The folder the program runs in, absolute, and the separator of the platform's paths.
std::string current_folder(void);
extern const char PATH_SEPARATOR;
