// Reaching CUPS: the scheduler lp talks to, destinations by name, their capabilities, and
// connections that give up on a silent scheduler. Shared by the destinations, the document sink
// and the job fates.
#pragma once

#include "platform/portable/winspool/cups/cups_job_fates.h"
#include "platform/portable/winspool/printer_system.h"

#include <cups/cups.h>
#include <functional>
#include <memory>
#include <string>

namespace zvp {

struct DestDeleter {
    void operator()(cups_dest_t* d) const { cupsFreeDests(1, d); }
};
using DestPtr = std::unique_ptr<cups_dest_t, DestDeleter>;
struct HttpDeleter {
    void operator()(http_t* h) const { httpClose(h); }
};
using HttpPtr = std::unique_ptr<http_t, HttpDeleter>;
struct InfoDeleter {
    void operator()(cups_dinfo_t* i) const { cupsFreeDestInfo(i); }
};
using InfoPtr = std::unique_ptr<cups_dinfo_t, InfoDeleter>;
struct IppDeleter {
    void operator()(ipp_t* i) const { ippDelete(i); }
};
using IppPtr = std::unique_ptr<ipp_t, IppDeleter>;

// How long a connection waits on a silent scheduler: a minute, or until the program is asked to
// end (the printer's abort procedure says stop). CUPS asks every second while nothing moves.
struct Patience {
    std::function<bool()> keep_going;
    int waited = 0;
};
void be_patient(http_t* http, Patience* patience);

// A connection to the scheduler (the one lp talks to) that gives up on a silent scheduler.
HttpPtr connect_scheduler(Patience* patience);
// The same to another server (one a job was made on).
HttpPtr connect_server(const CupsServer& server, Patience* patience);
CupsServer scheduler_server();
// The server a URI names (the scheduler's, for none).
CupsServer server_of_uri(const char* uri);
// The path part of a URI ("/printers/office"), "/" when it has none.
std::string resource_of(const std::string& uri);

// Whether the scheduler can be reached; when not, the last error says why (unreachable_words).
bool scheduler_answers();
// Why the print system at `where` cannot be reached, from the system's words for the failed
// connection (strerror's, as libcups gives them), in words a person can act on with the system's
// after them.
std::string unreachable_words(const std::string& where, const std::string& system_words);
// How the server is named in those words: its socket, or host and port.
std::string where_of(const CupsServer& server);
// Why the last request failed, in libcups's words; "no answer" for one that got none while
// libcups's status still says all is well (a connection closed mid-request says "Success").
std::string ipp_error_words();

// A destination by name ("queue" or "queue/instance"); the default one for null.
DestPtr find_dest(const char* name);
// Why a destination was not found: the scheduler is out of reach (failed), or there is no such
// destination (none, or failed with the reason when a variable names one that does not exist).
Lookup missing_dest(const char* name);
// The destination's URI on the server its jobs go to.
std::string printer_uri_of(const cups_dest_t* dest);

// The destination's capabilities, asked of the scheduler first (which knows every queue, also
// when it is reached by address) and then over the destination's own connection (printers found
// on the network). `http` receives the connection the answer came over, `server` whom it is to.
InfoPtr dest_info(cups_dest_t* dest, HttpPtr& http, Patience* patience,
                  CupsServer* server = nullptr);

// The variable that names the destination, as every CUPS program reads them (LPDEST, PRINTER),
// or null.
const char* naming_variable();
// The first word of a line that starts with `key` in a CUPS configuration file, or "".
std::string config_value(const std::string& path, const char* key);
std::string home_directory();

} // namespace zvp
