// What the log says of a lasting condition (ZV missing, the journal not written, a printer that
// takes no jobs): said when it comes, when it changes and when it goes, never at every poll.
#pragma once

#include <string>

struct Notice {
    std::string said; // "" while all is well
};

// Whether `now` ("" for all well) is not what was said last; it is then what was said.
int notice_changed(Notice* notice, const std::string& now);
