#include <dirent.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "support/TestSupport.h"
#include "util/Process.h"

namespace {
using std::chrono::milliseconds;

// Children of this process that have ended but were not reaped.
int countZombieChildren() {
  int zombies = 0;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return -1;
  pid_t self = getpid();
  while (struct dirent* e = readdir(proc)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 1));
    char state = 0;
    long ppid = 0;
    rest >> state >> ppid;
    if (ppid == self && state == 'Z') ++zombies;
  }
  closedir(proc);
  return zombies;
}

class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A script that exits with its first argument after sleeping the second.
    script_ = tmp_.file("exitwith.sh");
    writeText(script_, "#!/bin/sh\nsleep ${2:-0}\nexit $1\n");
    ASSERT_EQ(chmod(script_.c_str(), 0755), 0);
  }
  TempDir tmp_;
  std::string script_;
};
}  // namespace

// Exit statuses, a signal as 128 + its number, and commands cut at 127
// characters (the 128th character would make the status 12 instead of 1).
TEST_F(ProcessTest, WslSystemReturnsExitStatusAndLeavesNoZombie) {
  writeText(tmp_.file("killself.sh"), "#!/bin/sh\nkill -TERM $$\n");
  ASSERT_EQ(chmod(tmp_.file("killself.sh").c_str(), 0755), 0);
  const std::string cut = script_ + " ";
  const std::pair<std::string, int> cases[] = {
      {script_ + " 0", 0},
      {script_ + " 7", 7},
      {"  " + script_ + "\t 42  ", 42},
      {"false", 1},
      {"/no/such/program arg", 1},
      {"ls", -1},  // shorter than 3 characters: not run
      {"      ", -1},
      {tmp_.file("killself.sh"), 128 + SIGTERM},
      {cut + std::string(WSLSYSTEM_MAX - cut.size() - 1, ' ') + "12", 1}};
  // Called, like in the hub, from a thread that blocks SIGTERM and SIGINT:
  // the child must still be ended by them.
  sigset_t stops, old;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stops, &old);
  for (const auto& [command, status] : cases)
    EXPECT_EQ(wslSystem(command.c_str()), status) << command;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  EXPECT_EQ(wslSystem(nullptr), -1);
  EXPECT_EQ(countZombieChildren(), 0);
}

TEST_F(ProcessTest, ConcurrentCallsEachGetTheirOwnChildStatus) {
  std::atomic<int> wrong{0};
  auto run = [&](int code, const char* delay) {
    for (int i = 0; i < 5; ++i) {
      std::string cmd = script_ + " " + std::to_string(code) + " " + delay;
      if (wslSystem(cmd.c_str()) != code) ++wrong;
    }
  };
  std::thread a(run, 3, "0.05");
  std::thread b(run, 5, "0");
  std::thread c(run, 9, "0.02");
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(countZombieChildren(), 0);
}

namespace {
void* runLongCommand(void* arg) {
  wslSystem(static_cast<std::string*>(arg)->c_str());
  return nullptr;
}
}  // namespace

TEST_F(ProcessTest, ChildOfCancelledCallerIsReapedByNextCall) {
  std::string cmd = script_ + " 0 0.3";
  pthread_t t;
  ASSERT_EQ(pthread_create(&t, nullptr, runLongCommand, &cmd), 0);
  std::this_thread::sleep_for(milliseconds(100));  // the thread now waits for its child
  ASSERT_EQ(pthread_cancel(t), 0);
  ASSERT_EQ(pthread_join(t, nullptr), 0);
  ASSERT_TRUE(waitFor([] { return countZombieChildren() == 1; }, milliseconds(5000)));
  EXPECT_EQ(wslSystem("true"), 0);
  EXPECT_EQ(countZombieChildren(), 0);
}

namespace {
struct SetOnDestroy {
  std::atomic<bool>* flag;
  ~SetOnDestroy() { flag->store(true); }
};
}  // namespace

TEST(ClosePthreadTest, EndsThreadAndUnwindsItsStack) {
  static std::atomic<bool> destroyed{false};
  static std::atomic<bool> afterClose{false};
  pthread_t t;
  auto body = [](void*) -> void* {
    SetOnDestroy guard{&destroyed};
    closePthread();
    afterClose.store(true);  // never reached
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&t, nullptr, body, nullptr), 0);
  EXPECT_TRUE(waitFor([] { return destroyed.load(); }, milliseconds(5000)));
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_FALSE(afterClose.load());
}
