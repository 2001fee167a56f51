#include <gtest/gtest.h>
#include <libmseed.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/Log.h"
#include "hub/Startup.h"
#include "support/TestSupport.h"
#include "util/Dirs.h"

namespace {

int modeOf(std::vector<std::string> args, CommandLineAction* action = nullptr) {
  args.insert(args.begin(), "vorlanhub");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  int mode = -1;
  CommandLineAction a = parseCommandLine(static_cast<int>(argv.size()), argv.data(), &mode);
  if (action != nullptr) *action = a;
  return mode;
}

// The last mode option wins, unknown ones are ignored, and -v, --version or
// --history end the parse at once.
TEST(CommandLineTest, ModesAndActions) {
  using A = CommandLineAction;
  const struct {
    std::vector<std::string> args;
    int mode;
    A action;
  } cases[] = {{{}, MODE_DEFAULT, A::kRun},
               {{"--pi", "--tidora"}, MODE_TIDORA, A::kRun},
               {{"--tidora", "--bogus", "--pi"}, MODE_PI, A::kRun},
               {{"--winservice"}, MODE_WINSERVICE, A::kRun},
               {{"-x", "pi"}, MODE_DEFAULT, A::kRun},
               {{"--tidora", "-v", "--pi"}, MODE_TIDORA, A::kVersion},
               {{"--version"}, MODE_DEFAULT, A::kVersion},
               {{"--history", "-v"}, MODE_DEFAULT, A::kHistory}};
  for (const auto& c : cases) {
    CommandLineAction action;
    const int mode = modeOf(c.args, &action);
    EXPECT_EQ(action, c.action) << c.args.size();
    EXPECT_TRUE(c.action != A::kRun || mode == c.mode) << c.args.size();
  }
}

class HomeDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* h = getenv("HOME");
    hadHome_ = h != nullptr;
    if (hadHome_) oldHome_ = h;
  }
  void TearDown() override {
    if (hadHome_)
      setenv("HOME", oldHome_.c_str(), 1);
    else
      unsetenv("HOME");
    getHomeDir();
  }
  bool hadHome_ = false;
  std::string oldHome_;
};

// HOME is cut to 99 characters; without it the password database decides.
TEST_F(HomeDirTest, HomeVariableIsCutTo99CharactersOrThePasswordDatabaseDecides) {
  std::string longHome = "/" + std::string(150, 'h');
  setenv("HOME", longHome.c_str(), 1);
  EXPECT_EQ(getHomeDir(), longHome.substr(0, 99));
  EXPECT_EQ(HOMEDIR.size(), 99u);
  EXPECT_EQ(LUMETRAFILES, HOMEDIR + "/lumetrafiles");
  unsetenv("HOME");
  std::string home = getHomeDir();
  EXPECT_FALSE(home.empty());
  EXPECT_EQ(LUMETRAFILES, home + "/lumetrafiles");
}

TEST(MiniseedLogTest, LibraryMessagesReachTheMiniseedLog) {
  TempDir dir;
  ScopedBaseDir base(dir.path());
  _miniseedLog.init("miniseed");
  ms_loginit(logMiniseed, "ms", logMiniseed, "ms err");
  ms_log(1, "diagnostic %d\n", 7);
  ms_log(2, "broken record\n");
  std::string text = readText(_miniseedLog.getPath());
  EXPECT_NE(text.find("ms"), std::string::npos) << text;
  EXPECT_NE(text.find("diagnostic 7\n"), std::string::npos) << text;
  EXPECT_NE(text.find("ms err"), std::string::npos) << text;
  EXPECT_NE(text.find("broken record\n"), std::string::npos) << text;
  // One line per message: the library's own newline is not doubled.
  EXPECT_EQ(text.find("\n\n"), std::string::npos) << text;
  ms_loginit(nullptr, nullptr, nullptr, nullptr);
}

}  // namespace
