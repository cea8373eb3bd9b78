// The archive of what was printed: a PDF of every job handed to the printer whole, laid out as the
// printer got it (its paper, its printable area, the office's offset and fitting), named by the
// time, the folder that holds ZV and the job file (2026-12-08T10-15-03_biuro_zv0042.pdf; -2 and
// on for a name taken: two folders may share an archive), never over another file. The printer's
// own device writes it, so
// its text can be searched. Archiving never stops or repeats printing: a copy that cannot be made
// is a warning.
#pragma once

#include "platform/win32.h"
#include "spool/folder_printer.h"

#include <cstdio>
#include <ctime>
#include <string>

// What the archive of a running spooler remembers: the folder it made durable, and when it last
// removed old copies.
struct ArchiveState {
    std::string flushed;
    time_t pruned = 0;
    unsigned long written = 0; // copies begun, for their names while they are written
};

// Writes the archive's copy of the job `job` (read again from its start), named `name` in ZV,
// which began at the left margin `left_margin`, as `printer` lays it out, in the archive folder
// made durable. Nothing without an archive folder. Returns the copy's path, "" when none was
// made.
std::string archive_printed_job(ArchiveState* archive, FolderPrinter* printer, FILE* job,
                                const std::string& name, int32_t left_margin);

// Makes the archive folder the options name, if missing: 0, else 1 with `why`.
int make_archive_folder(std::string* why);

// Takes back the copy at `path`: its job was cancelled before it printed.
void withdraw_archive_copy(const std::string& path);

// Removes the copies older than the days the options keep them (none with 0).
void prune_archive(void);

// The archive's name of the job file `job_name` of the spool folder named `folder_name` (the
// folder that holds ZV) printed at `when`; `number` 2 and up for a name already taken.
std::string archive_name(const std::string& folder_name, const std::string& job_name, time_t when,
                         int number = 1);
