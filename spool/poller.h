// The spool directory poller: every job file in ZV is printed as its own document and deleted,
// once, whatever stops this program or the print system on the way.
#pragma once

#include "spool/spooler.h"

// Prints and deletes every job file ZV\zv*.zv in name order. A job file is taken only once it has
// stayed the same for the quiet time, and deleted only once its whole document was printed; every
// step of its hand-over is in the journal before the next one starts. A job that could not be
// printed stays for the next poll, and the log says why (once for as long as the reason stays the
// same). Returns 0 when every job found was printed, is printing, or waits to be quiet (or none
// was found), 1 when a job had to be kept.
int poll_spool_directory(Spooler* spooler);

// Says in the log when ZV is missing or cannot be read, and when it can again.
void check_spool_directory(Spooler* spooler);
