// What tests see of Sleep: a hook called before the process sleeps.
#pragma once

#include "platform/portable/include/windows.h"

#include <functional>

namespace zvp {

std::function<void(DWORD)>& sleep_hook();

} // namespace zvp
