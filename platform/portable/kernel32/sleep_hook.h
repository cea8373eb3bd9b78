// What tests see of the time: a hook called before the process sleeps, and an offset added to
// the forward-only clock (GetTickCount64), so that a test can let minutes pass at once. And of the
// disk: a hook asked before a file or folder is flushed, whose errno (0: none) fails the flush,
// as a disk fails that cannot keep what it was given.
#pragma once

#include "platform/portable/include/windows.h"

#include <functional>
#include <string>

namespace zvp {

std::function<void(DWORD)>& sleep_hook();
unsigned long long& tick_offset_ms();
std::function<int(const std::string& path)>& flush_hook();

} // namespace zvp
