// A program started by a test: its own working folder and environment, its
// standard output and error captured in a file, every wait bounded, and a
// kill at the end of the object's life if it still runs.
#ifndef VH_TESTS_SUPPORT_CHILDPROCESS_H_
#define VH_TESTS_SUPPORT_CHILDPROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

class ChildProcess {
 public:
  // args[0] is the program path. env entries are set (or, with an empty
  // value, unset) on top of the test's environment.
  ChildProcess(std::vector<std::string> args, std::string workDir,
               std::map<std::string, std::string> env = {});
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();  // SIGKILL and reap when still running

  bool start();
  // Waits up to timeout for the exit. Returns true when the program ended;
  // exitCode() then holds its status (128 + signal when killed by one).
  bool wait(std::chrono::milliseconds timeout);
  bool running();
  void signal(int sig);
  int exitCode() const { return exitCode_; }
  std::string output() const;  // everything written to stdout and stderr so far
  pid_t pid() const { return pid_; }

 private:
  std::vector<std::string> args_;
  std::string workDir_;
  std::map<std::string, std::string> env_;
  std::string outputPath_;
  pid_t pid_ = -1;
  int exitCode_ = -1;
};

// The path of a program built by this build tree (bin/<name>).
std::string builtProgram(const std::string& name);

#endif  // VH_TESTS_SUPPORT_CHILDPROCESS_H_
