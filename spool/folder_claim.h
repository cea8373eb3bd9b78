// One spooler per spool folder, whoever and wherever it runs. The claim is a lock on a file in the
// folder that holds ZV, zvspool.lock: the lock is the folder's, so it holds for every user, every
// path the folder is reached by (links, bind mounts, a mapped drive) and every machine that shares
// the folder, and it goes with the process however that ends. The file carries the folder's id,
// by which the journal of its jobs is found, says who holds the claim, and whether the holder has
// jobs handed over and not yet printed: a spooler of another user or machine, whose journal is
// another, then knows it cannot account for the jobs it finds.
#pragma once

#include "platform/win32.h"

#include <string>

#define CLAIM_FILE_NAME "zvspool.lock"

enum ClaimResult {
    CLAIM_TAKEN = 0, // this process holds the folder
    CLAIM_HELD = 1,  // another spooler holds it; `holder` says who
    CLAIM_FAILED = 2 // it cannot be claimed; `holder` says why
};

// Claims the folder the program runs in. Repeated once taken, it only says so.
int claim_spool_folder(std::string* holder);
int spool_folder_claimed(void);
// Whether another spooler held the folder when this one last tried to claim it.
int spool_folder_was_held(void);
// Whether the spooler before this one, with a journal of its own, left jobs handed over and not
// yet known to be printed; cleared once the jobs found are seen to.
int spool_folder_inherits_jobs(void);
// Whether the claim file said, when this spooler claimed the folder, that jobs were handed over
// and not yet done with.
int spool_folder_said_handed(void);
void clear_inherited_jobs(void);
// Says durably in the claim file whether this spooler has jobs handed over and not yet done with
// (before the first is handed over, after the last is done). 0 when said (or nothing changed).
int note_handed_jobs(int any);
// Says in the claim file which printer the spooler prints on, for people who look.
void note_claim_printer(const char* printer);

// What the claim file of the folder the program runs in says, and whether a spooler holds the
// claim now (the look holds the lock for an instant, and never claims).
struct SpoolClaim {
    std::string folder_id;
    std::string holder; // "USER on HOST, pid N, since T": the holder, or the last one
    std::string printer;
    int handed = 0;
    int held = 0;
};
// 0 when the claim file could be read; 1 when not (the last error says why).
int read_spool_claim(SpoolClaim* claim);
// "USER on HOST" of a holder as the claim file says it, and of this program: a spooler of the
// same user on the same machine keeps its journal where this one looks.
std::string claim_holder_name(const std::string& holder);
std::string this_holder_name(void);

// The folder's id, once claimed: sixteen hexadecimal digits.
const char* spool_folder_id(void);
// Lets the folder go (the end of the process does it too).
void release_spool_folder(void);
