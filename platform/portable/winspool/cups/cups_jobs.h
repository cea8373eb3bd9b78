// The CUPS jobs this program created, in a small file that outlives the process. A job whose
// document was never sent whole (the program was killed while sending it) is cancelled when a
// program next starts; a job the scheduler no longer knows counts as lost only when the scheduler
// has restarted since the job was created (a scheduler that keeps no history forgets printed jobs
// at once).
#pragma once

#include <ctime>
#include <string>

namespace zvp {

struct CupsJob {
    std::string server;  // the scheduler, as cupsServer() and ippPort() name it
    std::string printer; // the queue
    int id = 0;
    std::string owner;     // "pid:start" of the process sending its document; "" once sent
    std::string scheduler; // the scheduler's "pid:start" when the job was created; "" unknown
    long long created = 0; // seconds since 1970
};

// The scheduler of this machine as "pid:start", which changes when it restarts; "" when the
// scheduler is another machine's or cannot be found.
std::string scheduler_instance();

void note_job_created(const std::string& printer, int id);
void note_job_sent(int id);
void forget_job(int id);
bool find_job(int id, CupsJob& job);

// Cancels the jobs whose sender died before it sent their document whole.
void cancel_abandoned_jobs();

} // namespace zvp
