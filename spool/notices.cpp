#include "spool/notices.h"

int notice_changed(Notice* notice, const std::string& now) {
    if (notice->said == now)
        return 0;
    notice->said = now;
    return 1;
}
