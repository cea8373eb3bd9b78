// CUPS destinations as the printers' records say them, and the paper each queue prints on.
#include "platform/portable/winspool/cups/cups_destinations.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>

// The PPD interface is deprecated for clients, which are to ask the scheduler; a filter is given
// the PPD file, and the scheduler itself makes what it tells clients from it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <cups/ppd.h>
#pragma GCC diagnostic pop

namespace zvp {

PrinterEntry describe_dest(const cups_dest_t* dest) {
    PrinterEntry e;
    e.name = dest->name;
    if (dest->instance)
        e.name += std::string("/") + dest->instance;
    const char* port = cupsGetOption("device-uri", dest->num_options, dest->options);
    if (!port)
        port = cupsGetOption("printer-uri-supported", dest->num_options, dest->options);
    e.port = port ? port : "cups:" + e.name;
    const char* model = cupsGetOption("printer-make-and-model", dest->num_options, dest->options);
    e.driver = model ? model : "CUPS";
    const char* info = cupsGetOption("printer-info", dest->num_options, dest->options);
    e.comment = info ? info : "";
    // A scheduler reached over a socket is this computer's; one named by host is a print server,
    // and the queue's URIs are its own (ipp://localhost/... there), not where its documents go.
    const char* server = cupsServer();
    if (server && server[0] != '/') {
        e.server = server;
        if (!cupsGetOption("device-uri", dest->num_options, dest->options))
            e.port.clear();
    }
    return e;
}

std::string default_reason() {
    if (const char* variable = naming_variable())
        return std::string("named by ") + variable;
    if (!config_value(home_directory() + "/.cups/lpoptions", "Default").empty() ||
        !config_value("/etc/cups/lpoptions", "Default").empty())
        return "the default set with lpoptions";
    return "the print system's default printer";
}

namespace {

// A media size by any of its names: PWG ("na_letter_8.5x11in"), legacy ("letter") or, as
// lpoptions writes them for queues with a PPD, the PPD's ("Letter").
bool media_by_name(http_t* http, cups_dest_t* dest, cups_dinfo_t* info, const char* name,
                   cups_size_t& size) {
    if (cupsGetDestMediaByName(http, dest, info, name, CUPS_MEDIA_FLAGS_DEFAULT, &size))
        return true;
    pwg_media_t* pwg = pwgMediaForPPD(name);
    return pwg && pwg->pwg &&
           cupsGetDestMediaByName(http, dest, info, pwg->pwg, CUPS_MEDIA_FLAGS_DEFAULT, &size);
}

// The paper the queue itself prints on: the media the user chose for the destination
// (lpoptions -o media=...), else the queue's default media, and only then what
// cupsGetDestMediaDefault makes of it (which answers Letter for a queue without a media option).
bool queue_media(http_t* http, cups_dest_t* dest, cups_dinfo_t* info, cups_size_t& size) {
    for (const std::string& name :
         media_names(cupsGetOption("media", dest->num_options, dest->options)))
        if (media_by_name(http, dest, info, name.c_str(), size))
            return true;
    if (ipp_attribute_t* media = cupsFindDestDefault(http, dest, info, CUPS_MEDIA)) {
        const char* name = ippGetString(media, 0, nullptr);
        if (name && media_by_name(http, dest, info, name, size))
            return true;
    }
    return cupsGetDestMediaDefault(http, dest, info, CUPS_MEDIA_FLAGS_DEFAULT, &size) != 0;
}

} // namespace

bool paper_of_size(const cups_size_t& size, QueuePaper& paper) {
    if (size.width <= 0 || size.length <= 0)
        return false;
    // cups_size_t is in hundredths of a millimetre.
    PageSetup& page = paper.page;
    page.width_mm = size.width / 100.0;
    page.height_mm = size.length / 100.0;
    page.margin_left_mm = size.left / 100.0;
    page.margin_right_mm = size.right / 100.0;
    page.margin_top_mm = size.top / 100.0;
    page.margin_bottom_mm = size.bottom / 100.0;
    paper.media = size.media;
    return true;
}

std::vector<std::string> media_names(const char* chosen) {
    // Legacy values list media with trays and types ("A4,Tray1"); the size is one of them.
    std::vector<std::string> names;
    std::istringstream list(chosen ? chosen : "");
    std::string name;
    while (std::getline(list, name, ','))
        if (!name.empty())
            names.push_back(name);
    return names;
}

namespace {

// Points to hundredths of a millimetre, rounded as the scheduler rounds the PPD's sizes into the
// media it lists.
int hundredths_of_mm(double points) {
    return static_cast<int>((points * 2540.0 + 36.0) / 72.0);
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
bool ppd_paper(const char* path, int num_options, cups_option_t* options, QueuePaper& paper,
               std::string& why) {
    std::unique_ptr<ppd_file_t, void (*)(ppd_file_t*)> ppd(ppdOpenFile(path), ppdClose);
    if (!ppd) {
        int line = 0;
        ppd_status_t status = ppdLastError(&line);
        why = std::string("cannot read the PPD ") + path + ": " + ppdErrorString(status);
        return false;
    }
    ppdMarkDefaults(ppd.get());
    cupsMarkOptions(ppd.get(), num_options, options);
    ppd_size_t* size = ppdPageSize(ppd.get(), nullptr);
    if (!size || size->width <= 0 || size->length <= 0) {
        why = std::string("the PPD ") + path + " names no page size";
        return false;
    }
    cups_size_t pwg{};
    pwg.width = hundredths_of_mm(size->width);
    pwg.length = hundredths_of_mm(size->length);
    pwg.left = hundredths_of_mm(size->left);
    pwg.bottom = hundredths_of_mm(size->bottom);
    pwg.right = hundredths_of_mm(size->width - size->right);
    pwg.top = hundredths_of_mm(size->length - size->top);
    pwg_media_t* named = pwgMediaForPPD(size->name);
    std::snprintf(pwg.media, sizeof pwg.media, "%s", named && named->pwg ? named->pwg : size->name);
    return paper_of_size(pwg, paper);
}
#pragma GCC diagnostic pop

} // namespace

bool filter_paper(const char* ppd, int num_options, cups_option_t* options, QueuePaper& paper,
                  std::string& why) {
    if (ppd && *ppd)
        return ppd_paper(ppd, num_options, options, paper, why);
    const char* chosen = cupsGetOption("media", num_options, options);
    if (!chosen)
        chosen = cupsGetOption("PageSize", num_options, options);
    for (const std::string& name : media_names(chosen)) {
        pwg_media_t* media = pwgMediaForPWG(name.c_str());
        if (!media)
            media = pwgMediaForLegacy(name.c_str());
        if (!media)
            media = pwgMediaForPPD(name.c_str());
        if (media && media->width > 0 && media->length > 0) {
            cups_size_t size{};
            size.width = media->width;
            size.length = media->length;
            std::snprintf(size.media, sizeof size.media, "%s", media->pwg);
            return paper_of_size(size, paper);
        }
    }
    paper.page = a4_page(kPrinterDpi);
    paper.media = "iso_a4_210x297mm";
    return true;
}

QueuePaper paper_of(cups_dest_t* dest) {
    HttpPtr http;
    Patience patience;
    InfoPtr info = dest_info(dest, http, &patience);
    return info ? paper_of(http.get(), dest, info.get()) : QueuePaper();
}

QueuePaper paper_of(http_t* http, cups_dest_t* dest, cups_dinfo_t* info) {
    QueuePaper paper;
    cups_size_t size;
    if (queue_media(http, dest, info, size))
        paper_of_size(size, paper);
    return paper;
}

} // namespace zvp
