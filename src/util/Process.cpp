#include "util/Process.h"

#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "util/Console.h"
#include "util/Mutex.h"
#include "util/Text.h"

namespace {
constexpr size_t WSL_MIN_TEXT = 3;       // shorter texts and commands are ignored
constexpr int CHILD_EXEC_FAILED = 1;     // exit status of a child whose program cannot start
constexpr int SIGNAL_STATUS_BASE = 128;  // a child ended by signal s reports 128 + s

// Children whose waiting thread was cancelled before it reaped them (the ring
// server's supervisor is cancelled while its child runs). Any later
// wslSystem call reaps those that have ended, so none stays defunct.
// Only children started here are reaped: a blanket wait would steal the
// status of a child another thread is still waiting for.
Mutex orphansMu;
std::vector<pid_t> orphans GUARDED_BY(orphansMu);

// Reaps the ended orphans. Returns how many were reaped.
int reapOrphans() {
  MutexLock lock(orphansMu);
  int reaped = 0;
  for (auto it = orphans.begin(); it != orphans.end();) {
    int status;
    pid_t r = waitpid(*it, &status, WNOHANG);
    if (r == 0 || (r < 0 && errno == EINTR)) {
      ++it;
      continue;
    }
    if (r == *it) ++reaped;
    it = orphans.erase(it);  // reaped, or no longer a child of ours
  }
  return reaped;
}

// Owns a started child until it is reaped; a thread cancelled while waiting
// unwinds through the destructor, which hands the child to the orphans.
class ChildGuard {
 public:
  explicit ChildGuard(pid_t pid) : pid_(pid) {}
  ChildGuard(const ChildGuard&) = delete;
  ChildGuard& operator=(const ChildGuard&) = delete;
  ~ChildGuard() {
    if (pid_ <= 0) return;
    MutexLock lock(orphansMu);
    orphans.push_back(pid_);
  }
  void release() { pid_ = -1; }

 private:
  pid_t pid_;
};

bool isBlank(char c) { return c == ' ' || c == '\t'; }
}  // namespace

void wslStr(const std::string& text, std::string& destination, size_t size) {
  if (text.size() < WSL_MIN_TEXT || size == 0) return;
  destination = bounded(text, size - 1);
}

int wslSystem(const char* command) { return wslSystemWatched(command, nullptr, nullptr); }

int wslSystemWatched(const char* command, const std::function<void(pid_t)>& started,
                     const std::function<void()>& ended) {
  if (command == nullptr || strlen(command) < WSL_MIN_TEXT) return -1;
  // Everything the child needs is prepared before fork: between fork and exec
  // a child of a threaded process may not allocate.
  std::string text = bounded(command, WSLSYSTEM_MAX);
  std::vector<std::string> words;
  for (size_t i = 0; i < text.size();) {
    while (i < text.size() && isBlank(text[i])) ++i;
    size_t start = i;
    while (i < text.size() && !isBlank(text[i])) ++i;
    if (i > start) words.push_back(text.substr(start, i - start));
  }
  if (words.empty()) return -1;
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) {
    pprintf("*** ERROR: forking child process failed: %s\n", command);
    return -1;
  }
  if (pid == 0) {
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
    execvp(argv[0], argv.data());
    _exit(CHILD_EXEC_FAILED);
  }
  ChildGuard guard(pid);
  if (started) started(pid);
  if (ended) {
    siginfo_t info;
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    ended();
  }
  int status = 0;
  pid_t r;
  do {
    r = waitpid(pid, &status, 0);
  } while (r < 0 && errno == EINTR);
  guard.release();
  int others = reapOrphans();
  if (others > 0) pprintf("wait n=%i\n", others);
  if (r != pid) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return SIGNAL_STATUS_BASE + WTERMSIG(status);
  return -1;
}

void closePthread() {
  pthread_detach(pthread_self());
  pthread_exit(nullptr);
}
