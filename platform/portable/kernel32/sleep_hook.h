// What tests see of the time: a hook called before the process sleeps, and an offset added to
// the forward-only clock (GetTickCount64), so that a test can let minutes pass at once.
#pragma once

#include "platform/portable/include/windows.h"

#include <functional>

namespace zvp {

std::function<void(DWORD)>& sleep_hook();
unsigned long long& tick_offset_ms();

} // namespace zvp
