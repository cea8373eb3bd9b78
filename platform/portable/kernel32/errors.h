// Last-error codes for failures that the print system or the file system explains in its own
// words: each distinct text gets a code of its own, which FormatMessageA turns back into the text.
#pragma once

#include "platform/portable/include/windows.h"

#include <string>

namespace zvp {

// Sets the calling thread's last error to the code of `message` and returns the code. The same
// text keeps its code while it is among the most recent texts remembered.
DWORD set_last_error_message(const std::string& message);

// The last error for a failure said in `why`, or `otherwise` when there are no words for it.
void set_last_error_words(const std::string& why, DWORD otherwise);

// The text behind one of those codes, or "" for any other code (or one long forgotten).
std::string registered_message(DWORD code);

} // namespace zvp
