#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "util/Dirs.h"

TempDir::TempDir() {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/vhtest.XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) abort();
  path_ = std::string(buf.data()) + "/";
}

TempDir::~TempDir() {
  std::string cmd = "rm -rf '" + path_ + "'";
  if (system(cmd.c_str()) != 0) {
    // Leaving a temporary folder behind is harmless.
  }
}

ScopedBaseDir::ScopedBaseDir(const std::string& base)
    : oldBase_(BASE_DIR), oldDownload_(DOWNLOAD_DIR), oldUpload_(UPLOAD_DIR) {
  BASE_DIR = base;
  DOWNLOAD_DIR = base + "download/";
  UPLOAD_DIR = base + "upload/";
}

ScopedBaseDir::~ScopedBaseDir() {
  BASE_DIR = oldBase_;
  DOWNLOAD_DIR = oldDownload_;
  UPLOAD_DIR = oldUpload_;
}

ScopedCwd::ScopedCwd(const std::string& folder) {
  char buf[4096];
  if (getcwd(buf, sizeof buf) == nullptr || chdir(folder.c_str()) != 0) abort();
  old_ = buf;
}

ScopedCwd::~ScopedCwd() {
  if (chdir(old_.c_str()) != 0) abort();
}

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

bool pathExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> listDir(const std::string& folder) {
  std::vector<std::string> names;
  DIR* d = opendir(folder.c_str());
  if (d == nullptr) return names;
  while (struct dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

int freeTcpPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

std::string testData(const std::string& name) { return std::string(VH_TESTDATA) + "/" + name; }

std::vector<std::string> testRecords(const std::string& name) {
  const std::string bytes = readText(testData(name));
  std::vector<std::string> records;
  for (size_t at = 0; at + TEST_RECORD_LENGTH <= bytes.size(); at += TEST_RECORD_LENGTH)
    records.push_back(bytes.substr(at, TEST_RECORD_LENGTH));
  return records;
}

std::string stationXmlSchema() { return VH_SCHEMA; }
