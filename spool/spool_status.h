// zvspool --status: what is waiting in ZV, what was handed to the printer and what is kept, and
// why, for a person or a monitoring script. It only reads: the claim file, the journal and the
// print system; it never prints, deletes or claims.
#pragma once

// Writes the state of the spool folder the program runs in to standard output: whether a spooler
// holds it, its printer, and every job in ZV with its state. As JSON when `json`. Returns 0 when
// every job is on its way to paper, 1 when one cannot print (kept, held, stuck, waiting on a
// printer that cannot take it, no spooler), 2 when there is no folder ZV.
int report_spool_status(int json);
