#include "platform/portable/winspool/cups/cups_job_fates.h"

#include "platform/portable/kernel32/errors.h"
#include "platform/portable/winspool/cups/cups_connection.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cups/cups.h>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <unistd.h>

namespace zvp {

namespace {

// How long a marker lives unless renewed, and how much of it may be left when a check of a job it
// vouches for renews it. Short, so that the markers of runs long gone (a --once run from cron
// every minute makes one for each run that hands jobs over) do not pile up on the scheduler,
// which keeps a hundred subscriptions by default; a marker that ran out tells nothing.
constexpr int kMarkerLeaseSeconds = 3600;
constexpr int kMarkerRenewBelowSeconds = 2400;
// A watch's events read this recently serve every job asked about (one reading a poll).
constexpr unsigned long long kEventsFreshMs = 2000;
// How long a scheduler that refused a watch (its subscriptions full) is not asked for one again.
constexpr unsigned long long kNoWatchBackoffMs = 600000;
// How long a question to the scheduler may take before it counts as unanswered.
constexpr int kConnectTimeoutMs = 5000;
constexpr double kAnswerTimeoutSeconds = 10;

long long now_seconds() {
    return static_cast<long long>(std::time(nullptr));
}

unsigned long long now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string key_of(const CupsServer& server) {
    return server.host + ":" + std::to_string(server.port);
}

// Words of a reference: spaces and percent signs escaped.
std::string word(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == ' ' || c == '%' || c == '\n')
            out += c == ' ' ? "%20" : c == '%' ? "%25" : "%0A";
        else
            out += c;
    }
    return out.empty() ? "-" : out;
}

std::string unword(const std::string& text) {
    if (text == "-")
        return {};
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

int give_up(http_t*, void*) {
    return 0;
}

HttpPtr connect_to(const CupsServer& server) {
    HttpPtr http(httpConnect2(server.host.c_str(), server.port, nullptr, AF_UNSPEC,
                              cupsEncryption(), 1, kConnectTimeoutMs, nullptr));
    if (http)
        httpSetTimeout(http.get(), kAnswerTimeoutSeconds, give_up, nullptr);
    else
        set_last_error_message(unreachable_words(where_of(server), cupsLastErrorString()));
    return http;
}

// The scheduler's own URI, for requests about all of it.
std::string server_uri(const CupsServer& server) {
    if (!server.host.empty() && server.host[0] == '/')
        return "ipp://localhost/";
    char uri[HTTP_MAX_URI];
    httpAssembleURI(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, server.host.c_str(),
                    server.port, "/");
    return uri;
}

IppPtr ask(http_t* http, ipp_t* request, const std::string& resource) {
    return IppPtr(cupsDoRequest(http, request, resource.c_str()));
}

ipp_t* new_request(ipp_op_t op, const std::string& uri) {
    ipp_t* request = ippNewRequest(op);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    return request;
}

std::string text_of(ipp_t* response, const char* name) {
    ipp_attribute_t* a = ippFindAttribute(response, name, IPP_TAG_ZERO);
    const char* value = a ? ippGetString(a, 0, nullptr) : nullptr;
    return value ? value : "";
}

int number_of(ipp_t* response, const char* name, int fallback) {
    ipp_attribute_t* a = ippFindAttribute(response, name, IPP_TAG_ZERO);
    return a ? ippGetInteger(a, 0) : fallback;
}

std::vector<std::string> strings_of(ipp_t* response, const char* name) {
    std::vector<std::string> out;
    if (ipp_attribute_t* a = ippFindAttribute(response, name, IPP_TAG_ZERO))
        for (int i = 0; i < ippGetCount(a); ++i)
            if (const char* s = ippGetString(a, i, nullptr))
                out.push_back(s);
    return out;
}

enum class Answer { yes, no, failed };

// What the scheduler says of the job under the reference's number.
Answer ask_job(http_t* http, const CupsReference& ref, CupsJobFacts& facts) {
    ipp_t* request = new_request(IPP_OP_GET_JOB_ATTRIBUTES, ref.printer_uri);
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", ref.id);
    static const char* const wanted[] = {
        "job-state", "job-state-reasons", "job-state-message",  "job-printer-state-message",
        "job-uuid",  "time-at-creation",  "time-at-processing", "number-of-documents"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  sizeof wanted / sizeof *wanted, nullptr, wanted);
    IppPtr response = ask(http, request, resource_of(ref.printer_uri));
    ipp_status_t status = cupsLastError();
    if (status == IPP_STATUS_ERROR_NOT_FOUND) {
        facts.found = false;
        return Answer::no;
    }
    if (!response || status >= IPP_STATUS_REDIRECTION_OTHER_SITE) {
        set_last_error_message("cannot ask the print system about CUPS job " +
                               std::to_string(ref.id) + ": " + ipp_error_words());
        return Answer::failed;
    }
    read_job_facts(response.get(), ref, facts);
    return Answer::yes;
}

bool alive(const CupsJobFacts& facts) {
    return facts.found && facts.ours && facts.state < IPP_JSTATE_CANCELED;
}

bool whole(const CupsJobFacts& facts) {
    return facts.documents > 0 || (facts.documents < 0 && facts.state >= IPP_JSTATE_PROCESSING);
}

// ---- The watch ---------------------------------------------------------------------------------
// One subscription of this spooler's own on each scheduler, for the job-completed events of all
// its queues: its events tell how each job ended, also one the scheduler's history no longer
// shows, and while it lasts the scheduler has not restarted (a restart takes every subscription
// with it). Its user data carries a random word, so that one another client got under the same
// number after a restart is not taken for it.

// What a subscription's user data says: this spooler's, with its word.
std::string watch_data(const std::string& nonce) {
    return "zvspool " + nonce;
}

std::string new_nonce() {
    static std::random_device seed;
    static std::mt19937_64 random(seed() ^ (uint64_t(getpid()) << 32) ^ uint64_t(now_ms()));
    char text[24];
    std::snprintf(text, sizeof text, "%016llx", (unsigned long long)random());
    return text;
}

// Whether the subscription `marker` is there, and this spooler's (its word `nonce`; "" for one
// made before the word was kept, taken as this spooler's when its data says zvspool's).
Answer marker_exists(http_t* http, const CupsServer& server, int marker, const std::string& nonce) {
    ipp_t* request = new_request(IPP_OP_GET_SUBSCRIPTION_ATTRIBUTES, server_uri(server));
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "notify-subscription-id", marker);
    IppPtr response = ask(http, request, "/");
    ipp_status_t status = cupsLastError();
    if (status == IPP_STATUS_ERROR_NOT_FOUND)
        return Answer::no;
    if (!response || status >= IPP_STATUS_REDIRECTION_OTHER_SITE)
        return Answer::failed;
    ipp_attribute_t* data = ippFindAttribute(response.get(), "notify-user-data", IPP_TAG_STRING);
    int length = 0;
    const char* bytes = data ? static_cast<const char*>(ippGetOctetString(data, 0, &length)) : "";
    std::string said(bytes ? bytes : "", bytes ? size_t(length) : 0);
    bool ours = nonce.empty() ? said.compare(0, 8, "zvspool ") == 0 : said == watch_data(nonce);
    return ours ? Answer::yes : Answer::no;
}

bool renew_marker(http_t* http, const CupsServer& server, int marker) {
    ipp_t* request = new_request(IPP_OP_RENEW_SUBSCRIPTION, server_uri(server));
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "notify-subscription-id", marker);
    ippAddInteger(request, IPP_TAG_SUBSCRIPTION, IPP_TAG_INTEGER, "notify-lease-duration",
                  kMarkerLeaseSeconds);
    IppPtr response = ask(http, request, "/");
    return response && cupsLastError() < IPP_STATUS_REDIRECTION_OTHER_SITE;
}

void cancel_marker(const CupsServer& server, int marker) {
    HttpPtr http = connect_to(server);
    if (!http)
        return;
    ipp_t* request = new_request(IPP_OP_CANCEL_SUBSCRIPTION, server_uri(server));
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "notify-subscription-id", marker);
    ask(http.get(), request, "/");
}

// Whether the scheduler keeps the jobs it finished, and the oldest it keeps.
// The scheduler lists its finished jobs newest first: the oldest is the least number among them.
Known ask_history(http_t* http, const CupsServer& server, int& oldest) {
    ipp_t* request = new_request(IPP_OP_GET_JOBS, server_uri(server));
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "completed");
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
                 "job-id");
    IppPtr response = ask(http, request, "/");
    if (!response || cupsLastError() >= IPP_STATUS_REDIRECTION_OTHER_SITE)
        return Known::unknown;
    oldest = 0;
    for (ipp_attribute_t* a = ippFindAttribute(response.get(), "job-id", IPP_TAG_INTEGER); a;
         a = ippFindNextAttribute(response.get(), "job-id", IPP_TAG_INTEGER))
        if (oldest == 0 || ippGetInteger(a, 0) < oldest)
            oldest = ippGetInteger(a, 0);
    return oldest > 0 ? Known::yes : Known::unknown;
}

// Whether the scheduler keeps the jobs it finished, learned without printing a sheet: a job of
// this spooler's own, made held and cancelled at once, looked for among the finished ones. For a
// scheduler that has finished no job yet (new, or its history just cleaned), whose history
// cannot be seen otherwise.
Known probe_history(http_t* http, const CupsReference& ref) {
    ipp_t* request = new_request(IPP_OP_CREATE_JOB, ref.printer_uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr,
                 "zvspool: does this print system keep its history?");
    ippAddString(request, IPP_TAG_JOB, IPP_TAG_KEYWORD, "job-hold-until", nullptr, "indefinite");
    IppPtr made = ask(http, request, resource_of(ref.printer_uri));
    int id = made && cupsLastError() < IPP_STATUS_REDIRECTION_OTHER_SITE
                 ? number_of(made.get(), "job-id", 0)
                 : 0;
    if (id <= 0)
        return Known::unknown;
    request = new_request(IPP_OP_CANCEL_JOB, ref.printer_uri);
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
    ask(http, request, resource_of(ref.printer_uri));
    if (cupsLastError() >= IPP_STATUS_REDIRECTION_OTHER_SITE)
        return Known::unknown;
    request = new_request(IPP_OP_GET_JOBS, server_uri(ref.server));
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "completed");
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
                 "job-id");
    IppPtr jobs = ask(http, request, "/");
    if (!jobs || cupsLastError() >= IPP_STATUS_REDIRECTION_OTHER_SITE)
        return Known::unknown;
    for (ipp_attribute_t* a = ippFindAttribute(jobs.get(), "job-id", IPP_TAG_INTEGER); a;
         a = ippFindNextAttribute(jobs.get(), "job-id", IPP_TAG_INTEGER))
        if (ippGetInteger(a, 0) == id)
            return Known::yes;
    return Known::no;
}

// Whether the job's queue has been stopped since before the job was made: its state stopped, and
// its last change of state no later than the job's making, both by the scheduler's clock and as
// the scheduler keeps them across its restarts.
bool stopped_since_made(http_t* http, const CupsReference& ref) {
    if (ref.created <= 0)
        return false;
    ipp_t* request = new_request(IPP_OP_GET_PRINTER_ATTRIBUTES, ref.printer_uri);
    static const char* const wanted[] = {"printer-state", "printer-state-change-time"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr,
                  wanted);
    IppPtr response = ask(http, request, resource_of(ref.printer_uri));
    if (!response || cupsLastError() >= IPP_STATUS_REDIRECTION_OTHER_SITE)
        return false;
    int changed = number_of(response.get(), "printer-state-change-time", 0);
    return number_of(response.get(), "printer-state", 0) == IPP_PSTATE_STOPPED && changed > 0 &&
           changed <= ref.created;
}

// What this process knows of each scheduler and of the jobs it asked about.
struct ServerState {
    CupsServer server;
    int watch = 0; // this process's subscription there; 0 while it has none
    std::string nonce;
    long long watch_expires = 0;           // by our clock
    int next_event = 1;                    // the next event to ask for
    unsigned long long events_read_ms = 0; // when its events were last read
    unsigned long long no_watch_until = 0; // a scheduler that refused one is not asked again before
    Known history = Known::unknown;
};

struct Fates {
    std::map<std::string, ServerState> servers;
    // Watches and the jobs (by uuid) each one vouches for: seen alive while it was there.
    std::map<std::pair<std::string, int>, std::set<std::string>> marked;
    std::map<int, std::string> references; // of jobs made by this process
    // How jobs ended, by the watch (its word) that heard it and the job's number: a job that
    // watch saw alive was that number's job until the event, whatever came after.
    std::map<std::pair<std::string, int>, int> ended;
    std::deque<std::pair<std::string, int>> ended_order; // the oldest first, to keep it bounded
};

Fates& fates() {
    static Fates f;
    return f;
}

std::string job_key(const CupsReference& ref) {
    return !ref.uuid.empty() ? ref.uuid : key_of(ref.server) + "/" + std::to_string(ref.id);
}

void vouch(const CupsReference& ref, bool on) {
    if (ref.marker == 0)
        return;
    auto& jobs = fates().marked[{key_of(ref.server), ref.marker}];
    if (on)
        jobs.insert(job_key(ref));
    else
        jobs.erase(job_key(ref));
}

// The events are of every job of the scheduler, others' too: the newest few thousand are kept,
// hours of a busy server's work, while a job of this spooler's is asked after within minutes.
constexpr size_t kEndsKept = 4096;

void note_ended(const std::string& nonce, int job, int state) {
    Fates& f = fates();
    if (f.ended.emplace(std::make_pair(nonce, job), state).second)
        f.ended_order.emplace_back(nonce, job);
    while (f.ended_order.size() > kEndsKept) {
        f.ended.erase(f.ended_order.front());
        f.ended_order.pop_front();
    }
}

// A watch found gone: the scheduler restarted. What it said goes with it.
void lose_watch(ServerState& server) {
    server.watch = 0;
    server.nonce.clear();
    server.next_event = 1;
}

// Reads the watch's new events: how the jobs of the scheduler ended. False when the watch is gone
// (the scheduler restarted, or gave its number to another's subscription) or cannot be read.
bool read_events(http_t* http, ServerState& server) {
    ipp_t* request = new_request(IPP_OP_GET_NOTIFICATIONS, server_uri(server.server));
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "notify-subscription-ids",
                  server.watch);
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "notify-sequence-numbers",
                  server.next_event);
    ippAddBoolean(request, IPP_TAG_OPERATION, "notify-wait", 0);
    IppPtr response = ask(http, request, "/");
    ipp_status_t status = cupsLastError();
    if (!response || status >= IPP_STATUS_REDIRECTION_OTHER_SITE) {
        if (status == IPP_STATUS_ERROR_NOT_FOUND)
            lose_watch(server);
        return false;
    }
    int sequence = 0, job = 0, state = 0;
    bool ours = true;
    auto take = [&]() {
        if (sequence >= server.next_event) {
            server.next_event = sequence + 1;
            if (job > 0 && state >= IPP_JSTATE_CANCELED)
                note_ended(server.nonce, job, state);
        }
        sequence = job = state = 0;
    };
    for (ipp_attribute_t* a = ippFirstAttribute(response.get()); a;
         a = ippNextAttribute(response.get())) {
        if (ippGetGroupTag(a) != IPP_TAG_EVENT_NOTIFICATION || !ippGetName(a)) {
            if (sequence)
                take();
            continue;
        }
        std::string name = ippGetName(a);
        if (name == "notify-sequence-number")
            sequence = ippGetInteger(a, 0);
        else if (name == "notify-job-id")
            job = ippGetInteger(a, 0);
        else if (name == "job-state")
            state = ippGetInteger(a, 0);
        else if (name == "notify-user-data") {
            int length = 0;
            const char* bytes = static_cast<const char*>(ippGetOctetString(a, 0, &length));
            ours = ours && std::string(bytes ? bytes : "", bytes ? size_t(length) : 0) ==
                               watch_data(server.nonce);
        }
    }
    if (sequence)
        take();
    if (!ours) {
        lose_watch(server);
        return false;
    }
    // A number another client now has answers with no events of ours: asked whose it is, now
    // and then.
    if (server.events_read_ms == 0 &&
        marker_exists(http, server.server, server.watch, server.nonce) != Answer::yes) {
        lose_watch(server);
        return false;
    }
    server.events_read_ms = now_ms();
    return true;
}

// The watch on the scheduler, made when missing, renewed as its lease runs down, its events read
// (once in a while: every job asked about in a poll shares one reading). 0 when there is none.
int watch_of(http_t* http, const CupsServer& where) {
    ServerState& server = fates().servers[key_of(where)];
    server.server = where;
    long long now = now_seconds();
    if (server.watch != 0) {
        if (now_ms() - server.events_read_ms < kEventsFreshMs)
            return server.watch;
        if (read_events(http, server)) {
            if (server.watch_expires - now < kMarkerRenewBelowSeconds &&
                renew_marker(http, where, server.watch))
                server.watch_expires = now + kMarkerLeaseSeconds;
            return server.watch;
        }
        if (server.watch != 0)
            return 0; // cannot be read now; the next look tries again
    }
    if (now_ms() < server.no_watch_until)
        return 0;
    std::string nonce = new_nonce();
    ipp_t* request = new_request(IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS, server_uri(where));
    ippAddString(request, IPP_TAG_SUBSCRIPTION, IPP_TAG_KEYWORD, "notify-pull-method", nullptr,
                 "ippget");
    ippAddString(request, IPP_TAG_SUBSCRIPTION, IPP_TAG_KEYWORD, "notify-events", nullptr,
                 "job-completed");
    ippAddInteger(request, IPP_TAG_SUBSCRIPTION, IPP_TAG_INTEGER, "notify-lease-duration",
                  kMarkerLeaseSeconds);
    std::string data = watch_data(nonce);
    ippAddOctetString(request, IPP_TAG_SUBSCRIPTION, "notify-user-data", data.data(),
                      static_cast<int>(data.size()));
    IppPtr response = ask(http, request, "/");
    int id = response && cupsLastError() < IPP_STATUS_REDIRECTION_OTHER_SITE
                 ? number_of(response.get(), "notify-subscription-id", 0)
                 : 0;
    if (id <= 0) {
        // A scheduler with no room for one more (its subscriptions are others' too) is left
        // alone a while: the jobs are followed by their state meanwhile.
        server.no_watch_until = now_ms() + kNoWatchBackoffMs;
        return 0;
    }
    server.watch = id;
    server.nonce = nonce;
    server.watch_expires = now + kMarkerLeaseSeconds;
    server.next_event = 1;
    server.events_read_ms = now_ms();
    return id;
}

// Leaves the watch on the job seen alive: while the watch lasts, the job was not lost in a
// restart since. A new watch is made when there is none; the job is then asked again, since it
// may have been lost before the watch came.
void mark(http_t* http, CupsReference& ref) {
    ServerState& before = fates().servers[key_of(ref.server)];
    int had = before.watch;
    int watch = watch_of(http, ref.server);
    if (watch == 0)
        return;
    if (watch != had) {
        CupsJobFacts again;
        if (ask_job(http, ref, again) != Answer::yes || !alive(again))
            return;
    }
    ServerState& server = fates().servers[key_of(ref.server)];
    if (ref.marker != watch) {
        vouch(ref, false);
        ref.marker = watch;
        ref.nonce = server.nonce;
    }
    ref.marker_expires = server.watch_expires;
    vouch(ref, true);
}

// Who cancelled a job: a person, when its reasons say so. CUPS before 2.4.8 gives every job that
// ends the one reason processing-to-stop-point, whoever cancelled it; then a job cancelled before
// it began to print was cancelled by a person (the print system cancels a job while it prints
// it), and one cancelled while it printed is taken as the print system's, which prints it again
// rather than lose it.
bool person_cancelled(const CupsJobFacts& facts) {
    bool said = false;
    for (const std::string& r : facts.reasons) {
        if (r == "job-canceled-by-user" || r == "job-canceled-by-operator")
            return true;
        said |= r == "canceled-at-device" || r == "job-canceled-at-device" ||
                r == "aborted-by-system" || r == "job-aborted-by-system";
    }
    return !said && !facts.processed;
}

std::string reasons_of(const CupsJobFacts& facts) {
    std::string out;
    for (const std::string& r : facts.reasons)
        if (r != "none")
            out += (out.empty() ? "" : ", ") + r;
    return out;
}

} // namespace

std::string format_reference(const CupsReference& r) {
    std::ostringstream out;
    out << "cups " << word(r.server.host) << " " << r.server.port << " " << word(r.printer_uri)
        << " " << r.id << " " << word(r.uuid) << " " << r.created << " " << r.marker << " "
        << r.marker_expires << " " << word(r.nonce);
    return out.str();
}

bool parse_reference(const std::string& text, CupsReference& r) {
    std::istringstream in(text);
    std::string kind, host, uri, uuid;
    if (!(in >> kind >> host >> r.server.port >> uri >> r.id >> uuid >> r.created >> r.marker >>
          r.marker_expires) ||
        kind != "cups")
        return false;
    r.server.host = unword(host);
    r.printer_uri = unword(uri);
    r.uuid = unword(uuid);
    // A reference written before the watch's word was kept has none.
    std::string nonce;
    r.nonce = in >> nonce ? unword(nonce) : std::string();
    return r.id > 0 && !r.server.host.empty();
}

JobFate decide_fate(const CupsJobFacts& f, int stage, int id) {
    JobFate out;
    bool sent = stage == JOB_STAGE_SENT;
    bool held = stage == JOB_STAGE_HELD;
    std::string job = "CUPS job " + std::to_string(id);
    std::string why = reasons_of(f);
    auto said = [&](std::string words, int fate) {
        // A job still waiting says why, in the scheduler's words (job-state-reasons).
        std::string detail = fate == JOB_FATE_WAITING ? why : "";
        if (!f.message.empty())
            detail += (detail.empty() ? "" : ": ") + f.message;
        if (!detail.empty())
            words += " (" + detail + ")";
        out.words = words;
        out.fate = fate;
        return out;
    };
    if (f.found && f.ours) {
        bool document = whole(f);
        switch (f.state) {
        case IPP_JSTATE_PENDING:
        case IPP_JSTATE_HELD:
            if (!sent && f.documents <= 0)
                return said(job + " never got its whole document", JOB_FATE_INCOMPLETE);
            return said(job + (f.state == IPP_JSTATE_HELD ? " held" : " pending"),
                        JOB_FATE_WAITING);
        case IPP_JSTATE_PROCESSING: return said(job + " printing", JOB_FATE_WAITING);
        case IPP_JSTATE_STOPPED:
            // Stopped because its filters failed (a job file the server's zvtopdf finds damaged,
            // say): it would wait there for a person for ever, holding its place in flight.
            for (const std::string& r : f.reasons)
                if (r == "job-completed-with-errors")
                    return said(job + " stopped by the print system (" + why + ")",
                                JOB_FATE_FAILED);
            return said(job + " stopped", JOB_FATE_WAITING);
        case IPP_JSTATE_COMPLETED:
            // Done, but the print system says it went wrong on the way: not printed whole.
            for (const std::string& r : f.reasons)
                if (r == "job-completed-with-errors")
                    return said(job + " completed with errors", JOB_FATE_FAILED);
            if (document)
                return said(job + " completed", JOB_FATE_PRINTED);
            return said(job + " completed without a document",
                        sent ? JOB_FATE_FAILED : JOB_FATE_INCOMPLETE);
        case IPP_JSTATE_CANCELED:
            if (!sent && !document)
                return said(job + " cancelled before its document was whole", JOB_FATE_INCOMPLETE);
            if (person_cancelled(f))
                return said(job + " cancelled by a person", JOB_FATE_CANCELLED);
            return said(job + " cancelled by the print system" +
                            (why.empty() ? "" : " (" + why + ")"),
                        JOB_FATE_FAILED);
        case IPP_JSTATE_ABORTED:
            return said(job + " aborted by the print system" +
                            (why.empty() ? "" : " (" + why + ")"),
                        JOB_FATE_FAILED);
        default: return said(job + " in an unknown state", JOB_FATE_WAITING);
        }
    }
    std::string gone = f.found ? job + " is now another job" : job + " is no longer known";
    // How it ended, heard as it ended: a restart since changes nothing of it.
    if (f.ended == IPP_JSTATE_COMPLETED)
        return said(gone + ": it completed (the print system said so as it ended)",
                    JOB_FATE_PRINTED);
    if (f.ended == IPP_JSTATE_ABORTED)
        return said(gone + ": the print system aborted it (it said so as it ended)",
                    JOB_FATE_FAILED);
    if (f.ended == IPP_JSTATE_CANCELED)
        return said(gone + ": it was cancelled, and whether by a person cannot be told",
                    JOB_FATE_UNKNOWN);
    if (f.restarted == Known::no) {
        // No restart since it came whole: it ended, and went. A print system that keeps no
        // history lets every job go as it ends, printed or not (a failure it would have shown,
        // had it been asked in between); one that keeps a history let this one go for room,
        // however it ended. A job still held can only have gone by a person's hand.
        if (f.history != Known::yes && sent)
            return said(gone + " to the print system, which keeps no history of it: printed",
                        JOB_FATE_PRINTED);
        if (f.history != Known::yes)
            return said(gone + (held ? " to the print system while it was held: whether a person "
                                       "released or cancelled it cannot be told"
                                     : " to the print system; whether its document arrived "
                                       "whole cannot be told"),
                        JOB_FATE_UNKNOWN);
        return said(gone + ": it left the print system's history before it was seen to end, so "
                           "whether it printed cannot be told",
                    JOB_FATE_UNKNOWN);
    }
    // The scheduler restarted (or may have) and lost the job: what it lost may include the
    // record that the job printed, so its history proves nothing. The job is printed again only
    // where it cannot have printed: it was still held, or its queue has been stopped since
    // before it was made.
    std::string restart = f.restarted == Known::yes ? " (the print system restarted and lost it)"
                                                    : " (the print system may have restarted)";
    if (held)
        return said(gone + restart + "; it was held and never released, so it did not print",
                    JOB_FATE_LOST);
    if (f.stopped_since_made)
        return said(gone + restart +
                        "; its queue has been stopped since before it was made, so "
                        "it did not print",
                    JOB_FATE_LOST);
    // The server's administrator can end this: the hint goes with it.
    return said(gone + restart +
                    ": whether it printed before cannot be told (a print server that writes "
                    "its jobs down at once, DirtyCleanInterval 0, loses none)",
                JOB_FATE_UNKNOWN);
}

bool reference_new_job(http_t* http, const CupsServer& server, const std::string& printer_uri,
                       int id, CupsReference& ref) {
    ref = CupsReference{};
    ref.server = server;
    ref.printer_uri = printer_uri;
    ref.id = id;
    ipp_t* request = new_request(IPP_OP_GET_JOB_ATTRIBUTES, printer_uri);
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
    static const char* const wanted[] = {"job-uuid", "time-at-creation"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr,
                  wanted);
    IppPtr response = ask(http, request, resource_of(printer_uri));
    if (!response || cupsLastError() >= IPP_STATUS_REDIRECTION_OTHER_SITE) {
        set_last_error_message("cannot ask the print system about its new CUPS job " +
                               std::to_string(id) + ": " + ipp_error_words());
        return false;
    }
    ref.uuid = text_of(response.get(), "job-uuid");
    ref.created = number_of(response.get(), "time-at-creation", 0);
    return true;
}

void remember_reference(int id, const std::string& reference) {
    auto& refs = fates().references;
    refs[id] = reference;
    while (refs.size() > 64)
        refs.erase(refs.begin());
}

std::string remembered_reference(int id) {
    auto it = fates().references.find(id);
    return it == fates().references.end() ? std::string() : it->second;
}

Lookup cups_job_fate(const std::string& text, int stage, JobFate& fate) {
    bool sent = stage == JOB_STAGE_SENT;
    CupsReference ref;
    if (!parse_reference(text, ref)) {
        fate.fate = JOB_FATE_UNKNOWN;
        fate.words = "the print system's name of the job cannot be read";
        return Lookup::found;
    }
    HttpPtr http = connect_to(ref.server);
    if (!http)
        return Lookup::failed;
    CupsJobFacts facts;
    if (ask_job(http.get(), ref, facts) == Answer::failed)
        return Lookup::failed;
    ServerState& server = fates().servers[key_of(ref.server)];
    if (alive(facts) && (sent || whole(facts))) {
        mark(http.get(), ref);
    } else if (facts.found && facts.ours) {
        if (facts.state >= IPP_JSTATE_CANCELED)
            server.history = Known::yes;
    } else {
        facts.restarted = facts.found ? Known::yes : Known::unknown;
        if (!facts.found && ref.marker != 0 && ref.marker_expires > now_seconds()) {
            Answer exists = marker_exists(http.get(), ref.server, ref.marker, ref.nonce);
            facts.restarted = exists == Answer::yes  ? Known::no
                              : exists == Answer::no ? Known::yes
                                                     : Known::unknown;
        }
        // How it ended, as the watch that saw it alive heard (its events read first): a watch
        // hears only while it lasts, so the number was still the job's.
        if (ref.marker != 0 && !ref.nonce.empty()) {
            watch_of(http.get(), ref.server);
            auto ended = fates().ended.find({ref.nonce, ref.id});
            if (ended != fates().ended.end())
                facts.ended = ended->second;
        }
        int oldest = 0;
        Known asked = ask_history(http.get(), ref.server, oldest);
        if (asked == Known::yes)
            server.history = Known::yes;
        else if (server.history == Known::unknown && facts.restarted == Known::no)
            server.history = probe_history(http.get(), ref);
        facts.history = server.history;
        facts.purged = oldest > ref.id;
        if (facts.restarted != Known::no && stage != JOB_STAGE_HELD)
            facts.stopped_since_made = stopped_since_made(http.get(), ref);
    }
    fate = decide_fate(facts, stage, ref.id);
    if (fate.fate != JOB_FATE_WAITING)
        vouch(ref, false);
    fate.reference = format_reference(ref);
    return Lookup::found;
}

PrinterState describe_printer_state(int state, const std::vector<std::string>& reasons,
                                    const std::string& message, bool accepting) {
    PrinterState out;
    out.stopped = state == IPP_PSTATE_STOPPED;
    out.accepting = accepting;
    out.words = state == IPP_PSTATE_STOPPED      ? "stopped"
                : state == IPP_PSTATE_PROCESSING ? "printing"
                                                 : "idle";
    std::string why;
    for (const std::string& r : reasons) {
        if (r == "none")
            continue;
        why += (why.empty() ? "" : ", ") + r;
        out.reasons += (out.reasons.empty() ? "" : ",") + r;
        // A printer that says it cannot go on stops its queue in all but name.
        if (r.size() > 6 && r.compare(r.size() - 6, 6, "-error") == 0)
            out.stopped = true;
    }
    if (!why.empty())
        out.words += " (" + why + ")";
    if (!accepting)
        out.words += ", not accepting jobs";
    if (!message.empty())
        out.words += ": " + message;
    return out;
}

void read_job_facts(ipp_t* response, const CupsReference& ref, CupsJobFacts& facts) {
    facts.found = true;
    std::string uuid = text_of(response, "job-uuid");
    int created = number_of(response, "time-at-creation", 0);
    // A scheduler that lost jobs in a crash gives their numbers out again.
    facts.ours = !ref.uuid.empty() ? uuid == ref.uuid
                                   : ref.created == 0 || created == 0 || created == ref.created;
    facts.state = number_of(response, "job-state", 0);
    facts.documents = number_of(response, "number-of-documents", -1);
    facts.message = text_of(response, "job-state-message");
    if (facts.message.empty())
        facts.message = text_of(response, "job-printer-state-message");
    facts.processed = number_of(response, "time-at-processing", 0) > 0;
    facts.reasons = strings_of(response, "job-state-reasons");
}

PrinterState printer_state_of(ipp_t* response) {
    ipp_attribute_t* accepting =
        ippFindAttribute(response, "printer-is-accepting-jobs", IPP_TAG_BOOLEAN);
    return describe_printer_state(number_of(response, "printer-state", IPP_PSTATE_IDLE),
                                  strings_of(response, "printer-state-reasons"),
                                  text_of(response, "printer-state-message"),
                                  !accepting || ippGetBoolean(accepting, 0));
}

Lookup cups_printer_state(const CupsReference& ref, PrinterState& state) {
    HttpPtr http = connect_to(ref.server);
    if (!http)
        return Lookup::failed;
    ipp_t* request = new_request(IPP_OP_GET_PRINTER_ATTRIBUTES, ref.printer_uri);
    static const char* const wanted[] = {"printer-state", "printer-state-reasons",
                                         "printer-state-message", "printer-is-accepting-jobs"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 4, nullptr,
                  wanted);
    IppPtr response = ask(http.get(), request, resource_of(ref.printer_uri));
    if (!response || cupsLastError() >= IPP_STATUS_REDIRECTION_OTHER_SITE) {
        set_last_error_message(std::string("cannot ask the print system about the printer: ") +
                               ipp_error_words());
        return Lookup::failed;
    }
    state = printer_state_of(response.get());
    return Lookup::found;
}

bool cancel_cups_job(const std::string& text) {
    CupsReference ref;
    if (!parse_reference(text, ref))
        return false;
    HttpPtr http = connect_to(ref.server);
    if (!http)
        return false;
    CupsJobFacts facts;
    Answer answer = ask_job(http.get(), ref, facts);
    if (answer == Answer::failed)
        return false;
    if (!alive(facts))
        return true; // gone, another's, or done: nothing of ours to cancel
    ipp_t* request = new_request(IPP_OP_CANCEL_JOB, ref.printer_uri);
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", ref.id);
    IppPtr response = ask(http.get(), request, resource_of(ref.printer_uri));
    ipp_status_t status = cupsLastError();
    if (status == IPP_STATUS_OK || status == IPP_STATUS_ERROR_NOT_FOUND ||
        status == IPP_STATUS_ERROR_NOT_POSSIBLE) {
        vouch(ref, false);
        return true;
    }
    set_last_error_message("cannot cancel CUPS job " + std::to_string(ref.id) + ": " +
                           ipp_error_words());
    return false;
}

namespace {

// Hold-Job or Release-Job on the job a reference names, if it is still that job.
bool control_cups_job(const std::string& text, ipp_op_t op, const char* what) {
    CupsReference ref;
    if (!parse_reference(text, ref)) {
        set_last_error_message("the print system's name of the job cannot be read");
        return false;
    }
    HttpPtr http = connect_to(ref.server);
    if (!http)
        return false;
    CupsJobFacts facts;
    if (ask_job(http.get(), ref, facts) == Answer::failed)
        return false;
    if (!alive(facts)) {
        // A job found gone before any release was asked was never released by this spooler.
        if (op == IPP_OP_RELEASE_JOB)
            SetLastError(ERROR_NOT_FOUND);
        else
            set_last_error_message("cannot " + std::string(what) + " CUPS job " +
                                   std::to_string(ref.id) + ": the print system no longer has it");
        return false;
    }
    // Released already (a release asked for before this program stopped): nothing to do.
    if (op == IPP_OP_RELEASE_JOB && facts.state != IPP_JSTATE_HELD)
        return true;
    ipp_t* request = new_request(op, ref.printer_uri);
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", ref.id);
    IppPtr response = ask(http.get(), request, resource_of(ref.printer_uri));
    if (!response || cupsLastError() >= IPP_STATUS_REDIRECTION_OTHER_SITE) {
        set_last_error_message("cannot " + std::string(what) + " CUPS job " +
                               std::to_string(ref.id) + ": " + ipp_error_words());
        return false;
    }
    return true;
}

} // namespace

bool hold_cups_job(const std::string& reference) {
    return control_cups_job(reference, IPP_OP_HOLD_JOB, "hold");
}

bool release_cups_job(const std::string& reference) {
    return control_cups_job(reference, IPP_OP_RELEASE_JOB, "release");
}

void retire_markers(bool all) {
    if (!all)
        return;
    // At the end, a watch no job of this spooler still counts on is taken away; one they count on
    // stays for the next start, until its lease runs out.
    for (auto& [key, server] : fates().servers) {
        if (server.watch == 0)
            continue;
        auto vouched = fates().marked.find({key, server.watch});
        if (vouched == fates().marked.end() || vouched->second.empty())
            cancel_marker(server.server, server.watch);
        server.watch = 0;
    }
}

DWORD job_status_of(int fate) {
    static const DWORD status[] = {0,
                                   JOB_STATUS_PRINTED | JOB_STATUS_COMPLETE,
                                   JOB_STATUS_DELETED,
                                   JOB_STATUS_ERROR,
                                   JOB_STATUS_ERROR | JOB_STATUS_RESTART,
                                   JOB_STATUS_ERROR,
                                   JOB_STATUS_ERROR};
    return fate >= 0 && fate < int(sizeof status / sizeof *status) ? status[fate]
                                                                   : JOB_STATUS_ERROR;
}

Lookup cups_job(int id, JobEntry& job) {
    std::string reference = remembered_reference(id);
    if (reference.empty())
        return Lookup::none;
    JobFate fate;
    if (cups_job_fate(reference, JOB_STAGE_SENT, fate) == Lookup::failed)
        return Lookup::failed;
    job.status = job_status_of(fate.fate);
    job.status_text = fate.words;
    job.document = "";
    return Lookup::found;
}

} // namespace zvp
