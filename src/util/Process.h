// Running external commands and ending threads.
#ifndef VH_UTIL_PROCESS_H_
#define VH_UTIL_PROCESS_H_

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>

constexpr size_t WSLSYSTEM_MAX = 127;

// Copies text when it has at least 3 characters, bounded by size - 1.
void wslStr(const std::string& text, std::string& destination, size_t size);

// Runs command (its first WSLSYSTEM_MAX characters, split at blanks, the
// program searched on PATH) in a child process and waits for it; on the way
// it reaps the ended children of earlier calls whose thread was cancelled
// while waiting, printing "wait n=%i\n" with their number. Commands shorter
// than 3 characters are ignored. Returns the child's exit status (1 when the
// program cannot be started, 128 + the signal when a signal ended it), -1
// when nothing was run or the child could not be started ("*** ERROR:
// forking child process failed: %s\n" on the console; the hub goes on).
// Safe to call from several threads at once: each call reaps only its own
// child. The child starts with no signal blocked: the hub blocks SIGTERM and
// SIGINT in its threads (the signal thread takes them), and a program it
// runs must still be stoppable by them.
int wslSystem(const char* command);

// wslSystem that tells the caller about its child: started(pid) right after
// the fork, ended() once the child has ended but before it is reaped, so
// that a pid known between the two calls always names this child (an
// unreaped child's pid is not given to another process).
int wslSystemWatched(const char* command, const std::function<void(pid_t)>& started,
                     const std::function<void()>& ended);

// Detaches the calling thread and ends it (objects on its stack are
// destroyed on the way out).
[[noreturn]] void closePthread();

#endif  // VH_UTIL_PROCESS_H_
