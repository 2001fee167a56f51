// Console output of the hub. Nothing reaches standard output unless the
// property "print" switched DOPRINTF on at start-up.
#ifndef VH_UTIL_CONSOLE_H_
#define VH_UTIL_CONSOLE_H_

#include <atomic>
#include <cstddef>

// Echo every log line and console message to standard output. Set once at
// start-up from the property "print"; read by every thread.
extern std::atomic<bool> DOPRINTF;

// printf to standard output, only when DOPRINTF is set.
void pprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Formats into at most SECPRINTF_MAX characters and pprintf's it as
// "%6.3f - [%s]\n" with the wall clock in seconds.
void secprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
constexpr size_t SECPRINTF_MAX = 199;

#endif  // VH_UTIL_CONSOLE_H_
