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

// The claim of the folder the program runs in, as this spooler holds it.
struct FolderClaim {
    HANDLE file = INVALID_HANDLE_VALUE; // holds the lock while the folder is claimed
    std::string folder_id;
    // Whether another spooler held the folder when this one last tried to claim it.
    int was_held = 0;
    // Whether the spooler before this one (another user, or on another machine: its journal is
    // not this one's) left jobs handed over and not yet printed, and whether this one has (-1:
    // not said yet).
    int inherited = 0;
    int handed = -1;
    int said_handed = 0;
    std::string holder_text;
    std::string printer_text;
    // Whether the claim file's name is known to be on the disk: a claim file made anew and lost
    // in a power cut would take with it its word that jobs were handed over.
    int flushed = 0;
};

// Claims the folder the program runs in. Repeated once taken, it only says so.
int claim_spool_folder(FolderClaim* claim, std::string* holder);
int spool_folder_claimed(const FolderClaim* claim);
// Whether another spooler held the folder when this one last tried to claim it.
int spool_folder_was_held(const FolderClaim* claim);
// Whether the spooler before this one, with a journal of its own, left jobs handed over and not
// yet known to be printed; cleared once the jobs found are seen to.
int spool_folder_inherits_jobs(const FolderClaim* claim);
// Whether the claim file said, when this spooler claimed the folder, that jobs were handed over
// and not yet done with.
int spool_folder_said_handed(const FolderClaim* claim);
void clear_inherited_jobs(FolderClaim* claim);
// Says durably in the claim file whether this spooler has jobs handed over and not yet done with
// (before the first is handed over, after the last is done). 0 when said (or nothing changed).
int note_handed_jobs(FolderClaim* claim, int any);
// Says in the claim file which printer the spooler prints on, for people who look.
void note_claim_printer(FolderClaim* claim, const char* printer);

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
const char* spool_folder_id(const FolderClaim* claim);
// Lets the folder go (the end of the process does it too), and forgets the claim.
void release_spool_folder(FolderClaim* claim);
