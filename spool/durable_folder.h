// Names made durable. A file's data is on the disk once the file is flushed; a name made, removed
// or moved in a folder only once that folder is. A step that counts on a name waits for this.
#pragma once

#include "platform/win32.h"

#include <string>

// Flushes the folder `path` to the disk. 0 when done; 1 when not (the last error says why).
int flush_folder(const char* path);

// The folder part of `path` ("." for a bare name), by the platform's separators.
std::string folder_of(const std::string& path);
