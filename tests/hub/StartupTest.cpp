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

TEST(CommandLineTest, LastModeOptionWinsAndUnknownOptionsAreIgnored) {
  EXPECT_EQ(modeOf({}), MODE_DEFAULT);
  EXPECT_EQ(modeOf({"--pi", "--tidora"}), MODE_TIDORA);
  EXPECT_EQ(modeOf({"--tidora", "--bogus", "--pi"}), MODE_PI);
  EXPECT_EQ(modeOf({"--winservice"}), MODE_WINSERVICE);
  EXPECT_EQ(modeOf({"-x", "pi"}), MODE_DEFAULT);
}

TEST(CommandLineTest, VersionAndHistoryEndTheParseAtOnce) {
  CommandLineAction action;
  modeOf({"--tidora", "-v", "--pi"}, &action);
  EXPECT_EQ(action, CommandLineAction::kVersion);
  modeOf({"--version"}, &action);
  EXPECT_EQ(action, CommandLineAction::kVersion);
  modeOf({"--history", "-v"}, &action);
  EXPECT_EQ(action, CommandLineAction::kHistory);
  modeOf({"--pi"}, &action);
  EXPECT_EQ(action, CommandLineAction::kRun);
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

TEST_F(HomeDirTest, HomeVariableIsCutTo99Characters) {
  std::string longHome = "/" + std::string(150, 'h');
  setenv("HOME", longHome.c_str(), 1);
  EXPECT_EQ(getHomeDir(), longHome.substr(0, 99));
  EXPECT_EQ(HOMEDIR.size(), 99u);
  EXPECT_EQ(LUMETRAFILES, HOMEDIR + "/lumetrafiles");
}

TEST_F(HomeDirTest, WithoutHomeVariableThePasswordDatabaseDecides) {
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
