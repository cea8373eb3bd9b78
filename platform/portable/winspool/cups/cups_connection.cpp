#include "platform/portable/winspool/cups/cups_connection.h"

#include "platform/portable/kernel32/errors.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <poll.h>
#include <pwd.h>
#include <sstream>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zvp {

namespace {

constexpr int kPatienceSeconds = 60;
// How long a connection attempt may take: to tell a scheduler out of reach, and to reach one.
constexpr int kProbeTimeoutMs = 5000;
constexpr int kConnectTimeoutMs = 30000;

int wait_or_give_up(http_t*, void* data) {
    auto* p = static_cast<Patience*>(data);
    if (p->keep_going && !p->keep_going())
        return 0;
    return ++p->waited < kPatienceSeconds;
}

std::string server_name() {
    std::string server = cupsServer();
    if (!server.empty() && server[0] != '/')
        server += ":" + std::to_string(ippPort());
    return server;
}

// Connects to `address` within `timeout_ms`; 0, or the errno of the failure.
int try_connect(const http_addr_t& address, int timeout_ms) {
    int fd = socket(httpAddrFamily(const_cast<http_addr_t*>(&address)),
                    SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return errno;
    int error = 0;
    if (connect(fd, &address.addr, httpAddrLength(&address)) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            socklen_t length = sizeof error;
            if (poll(&p, 1, timeout_ms) != 1)
                error = ETIMEDOUT;
            else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                error = errno;
        }
    }
    close(fd);
    return error;
}

} // namespace

std::string config_value(const std::string& path, const char* key) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string first, value;
        words >> first >> value;
        if (strcasecmp(first.c_str(), key) == 0)
            return value.empty() ? std::string("-") : value;
    }
    return {};
}

std::string home_directory() {
    const char* home = std::getenv("HOME");
    if (home && *home)
        return home;
    struct passwd* pw = getpwuid(getuid());
    return pw && pw->pw_dir ? pw->pw_dir : "/tmp";
}

const char* naming_variable() {
    for (const char* variable : {"LPDEST", "PRINTER"}) {
        const char* value = std::getenv(variable);
        if (value && *value)
            return variable;
    }
    return nullptr;
}

void be_patient(http_t* http, Patience* patience) {
    httpSetTimeout(http, 1.0, wait_or_give_up, patience);
}

HttpPtr connect_server(const CupsServer& server, Patience* patience) {
    HttpPtr http(httpConnect2(server.host.c_str(), server.port, nullptr, AF_UNSPEC,
                              cupsEncryption(), 1, kConnectTimeoutMs, nullptr));
    if (http)
        be_patient(http.get(), patience);
    return http;
}

HttpPtr connect_scheduler(Patience* patience) {
    return connect_server(scheduler_server(), patience);
}

bool scheduler_answers() {
    std::string port = std::to_string(ippPort());
    std::unique_ptr<http_addrlist_t, void (*)(http_addrlist_t*)> addresses(
        httpAddrGetList(cupsServer(), AF_UNSPEC, port.c_str()), httpAddrFreeList);
    int error = 0;
    for (http_addrlist_t* a = addresses.get(); a; a = a->next)
        if ((error = try_connect(a->addr, kProbeTimeoutMs)) == 0)
            return true;
    set_last_error_message(
        unreachable_words(server_name(), addresses ? std::strerror(error) : "no such host"));
    return false;
}

std::string where_of(const CupsServer& server) {
    return server.host[0] == '/' ? server.host : server.host + ":" + std::to_string(server.port);
}

std::string ipp_error_words() {
    return cupsLastError() < IPP_STATUS_REDIRECTION_OTHER_SITE ? "no answer"
                                                               : cupsLastErrorString();
}

std::string unreachable_words(const std::string& where, const std::string& system_words) {
    // libcups says "Host is down" when none of a server's addresses answered, the local socket's
    // too: the scheduler is not running there, or is restarting.
    struct Meaning {
        int error;
        const char* words;
    };
    static const Meaning meanings[] = {
        {ENOENT, "the scheduler is not running there, or is restarting"},
        {ECONNREFUSED, "the scheduler is not running there, or is restarting"},
        {EHOSTDOWN, "the scheduler is not running there, or is restarting"},
        {ETIMEDOUT, "no answer within 5 seconds"},
        {EHOSTUNREACH, "the server cannot be reached over the network"},
        {ENETUNREACH, "the server cannot be reached over the network"},
    };
    std::string said = "cannot reach the print system (" + where + "): ";
    for (const Meaning& m : meanings)
        if (system_words == std::strerror(m.error))
            return said + m.words + " (" + system_words + ")";
    return said + system_words;
}

DestPtr find_dest(const char* name) {
    std::string full = name ? name : "";
    std::string instance;
    size_t slash = full.find('/');
    if (slash != std::string::npos) {
        instance = full.substr(slash + 1);
        full.resize(slash);
    }
    return DestPtr(cupsGetNamedDest(CUPS_HTTP_DEFAULT, name ? full.c_str() : nullptr,
                                    instance.empty() ? nullptr : instance.c_str()));
}

Lookup missing_dest(const char* name) {
    if (!scheduler_answers())
        return Lookup::failed;
    if (!name) {
        if (const char* variable = naming_variable()) {
            set_last_error_message(std::string(variable) + " names " + std::getenv(variable) +
                                   ", which the print system does not know");
            return Lookup::failed;
        }
    }
    return Lookup::none;
}

CupsServer scheduler_server() {
    return CupsServer{cupsServer(), ippPort()};
}

CupsServer server_of_uri(const char* uri) {
    char scheme[32], user[256], host[256], resource[1024];
    int port = 0;
    if (!uri ||
        httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof scheme, user, sizeof user, host,
                        sizeof host, &port, resource, sizeof resource) < HTTP_URI_STATUS_OK)
        return scheduler_server();
    return CupsServer{host, port};
}

InfoPtr dest_info(cups_dest_t* dest, HttpPtr& http, Patience* patience, CupsServer* server) {
    http = connect_scheduler(patience);
    if (server)
        *server = scheduler_server();
    if (http)
        if (cups_dinfo_t* info = cupsCopyDestInfo(http.get(), dest))
            return InfoPtr(info);
    http.reset(cupsConnectDest(dest, CUPS_DEST_FLAGS_NONE, kConnectTimeoutMs, nullptr, nullptr, 0,
                               nullptr, nullptr));
    if (http) {
        if (server)
            *server = server_of_uri(
                cupsGetOption("printer-uri-supported", dest->num_options, dest->options));
        be_patient(http.get(), patience);
        if (cups_dinfo_t* info = cupsCopyDestInfo(http.get(), dest))
            return InfoPtr(info);
    }
    return nullptr;
}

std::string printer_uri_of(const cups_dest_t* dest) {
    if (const char* uri = cupsGetOption("printer-uri-supported", dest->num_options, dest->options))
        return uri;
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(),
                     "/printers/%s", dest->name);
    return uri;
}

std::string resource_of(const std::string& uri) {
    char scheme[32], user[256], host[256], resource[1024];
    int port = 0;
    if (httpSeparateURI(HTTP_URI_CODING_ALL, uri.c_str(), scheme, sizeof scheme, user, sizeof user,
                        host, sizeof host, &port, resource, sizeof resource) < HTTP_URI_STATUS_OK)
        return "/";
    return resource;
}

} // namespace zvp
