// Platform services the library needs from its host: the debug-output
// channel, the executable's folder, the current directory and the folders
// named by our environment variables. Windows builds call the real API.
#pragma once

#include <cstddef>
#include <string>

namespace morvik::platform {

// Default debug-output channel: OutputDebugStringA on Windows; elsewhere
// stderr when MORVIK_LOG is set, else nothing.
void debug_output(const char* text);

// Path separator of module folders: '\\' on Windows, '/' elsewhere.
char path_separator();

// Folder of the running executable, ending with a separator ("" if unknown).
std::string executable_dir();

// Host folder of the debug-information dump: MORVIK_HOST_DIR when set,
// else executable_dir(). Always ends with a separator when not empty.
std::string host_dir();

// Folder of the inspection files: MORVIK_INSPECT_DIR when set (with a
// separator added), else "c:\\" on Windows and "" (the current directory)
// elsewhere.
std::string inspect_dir();

// Make `dir` the process's current directory; false when that fails.
bool set_current_dir(const std::string& dir);

// Value of an environment variable, or nullptr.
const char* env(const char* name);

// Working memory of a large calculation: one block of at least `bytes`
// bytes, aligned to 2 MiB where the system offers huge pages (Linux: the
// kernel is asked to back it by them, so a first touch faults once per 2 MiB
// rather than once per 4 KiB). nullptr when no memory is to be had.
//
// Release it with release_working_memory, passing the size asked for: one
// released block of 2 MiB or more is then kept (the largest seen) and serves
// the next request it is large enough for, so that a run of calls on images
// of one size does not have the system clear fresh pages for every call. The
// kept block goes back to the system when the library unloads. A release
// without the size frees the block at once.
void* allocate_working_memory(std::size_t bytes);
void release_working_memory(void* block, std::size_t bytes = 0);

}  // namespace morvik::platform
