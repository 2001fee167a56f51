#include "support/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "support/TestSupport.h"

#ifndef VH_BINARY_DIR
#define VH_BINARY_DIR "."
#endif

ChildProcess::ChildProcess(std::vector<std::string> args, std::string workDir,
                           std::map<std::string, std::string> env)
    : args_(std::move(args)), workDir_(std::move(workDir)), env_(std::move(env)) {
  static int counter = 0;
  const char* tmp = getenv("TMPDIR");
  outputPath_ = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/vhchild-" +
                std::to_string(getpid()) + "-" + std::to_string(++counter) + ".txt";
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && running()) {
    kill(pid_, SIGKILL);
    wait(std::chrono::seconds(5));
  }
  unlink(outputPath_.c_str());
}

bool ChildProcess::start() {
  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    if (chdir(workDir_.c_str()) != 0) _exit(126);
    for (const auto& kv : env_) {
      if (kv.second.empty())
        unsetenv(kv.first.c_str());
      else
        setenv(kv.first.c_str(), kv.second.c_str(), 1);
    }
    int fd = open(outputPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, STDOUT_FILENO);
      dup2(fd, STDERR_FILENO);
      close(fd);
    }
    // Signals blocked by the test runner would otherwise stay blocked in the child.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    std::vector<char*> argv;
    for (auto& a : args_) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return true;
}

bool ChildProcess::wait(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return true;
  if (exitCode_ >= 0) return true;
  auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return true;
    }
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool ChildProcess::running() { return !wait(std::chrono::milliseconds(0)); }

void ChildProcess::signal(int sig) {
  if (pid_ > 0 && exitCode_ < 0) kill(pid_, sig);
}

std::string ChildProcess::output() const { return readText(outputPath_); }

std::string builtProgram(const std::string& name) {
  return std::string(VH_BINARY_DIR) + "/bin/" + name;
}
