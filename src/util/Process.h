// Running external commands and ending threads.
#ifndef VH_UTIL_PROCESS_H_
#define VH_UTIL_PROCESS_H_

#include <cstddef>
#include <string>

constexpr size_t WSLSYSTEM_MAX = 127;

// Copies text when it has at least 3 characters, bounded by size - 1.
void wslStr(const std::string& text, std::string& destination, size_t size);

// Runs command (split at blanks, searched on PATH) in a child process and
// waits for it, reaping other ended children on the way. Commands shorter
// than 3 characters are ignored. Returns the child's exit status, -1 when
// nothing was run.
int wslSystem(const char* command);

// Detaches the calling thread and ends it.
[[noreturn]] void closePthread();

#endif  // VH_UTIL_PROCESS_H_
