#include "support/HubRun.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

HubRun::HubRun(const std::string& extraProps) : port_(freeTcpPort()) {
  mkdir(work_.file("settings").c_str(), 0777);
  writeText(
      work_.file("settings/vorlanhub.props"),
      "serialenabled=0\nport=" + std::to_string(port_) + "\n" + extraProps + "\nringenabled=0\n");
}

HubRun::~HubRun() = default;

bool HubRun::start() {
  hub_ = std::make_unique<ChildProcess>(std::vector<std::string>{builtProgram("vorlanhub")},
                                        work_.path(),
                                        std::map<std::string, std::string>{{"HOME", home_.path()}});
  if (!hub_->start()) return false;
  if (!waitForLog("\nbackfill=", std::chrono::seconds(10))) return false;
  // The listener binds after the configuration lines; the port is in use
  // (a plain bind fails) once it listens.
  return waitFor([this] { return portInUse(port_); }, std::chrono::seconds(10));
}

bool portInUse(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  bool inUse =
      bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && errno == EADDRINUSE;
  close(fd);
  return inUse;
}

bool HubRun::stopByShutdownFile(std::chrono::seconds bound) {
  writeText(work_.file("shutdown"), "");
  return hub_->wait(bound) && hub_->exitCode() == 1;
}

bool HubRun::stopBySignal(int sig, std::chrono::seconds bound) {
  hub_->signal(sig);
  return hub_->wait(bound) && hub_->exitCode() == 1;
}

std::unique_ptr<ChildProcess> HubRun::simulator(std::vector<std::string> args) {
  args.insert(args.begin(), {builtProgram("dremosim"), "--port", std::to_string(port_)});
  return std::make_unique<ChildProcess>(args, work_.path());
}

std::string HubRun::allLogs() const {
  std::string all;
  for (const auto& name : listDir(work_.file("log"))) {
    all += "=== " + name + "\n" + readText(work_.file("log/" + name));
  }
  return all;
}

std::string HubRun::log(const std::string& name) const {
  std::string all;
  for (const auto& file : listDir(work_.file("log"))) {
    if (file.size() > name.size() + 4 &&
        file.compare(file.size() - name.size() - 4, name.size() + 4, name + ".txt") == 0 &&
        file[file.size() - name.size() - 5] == '.')
      all += readText(work_.file("log/" + file));
  }
  return all;
}

bool HubRun::waitForLog(const std::string& text, std::chrono::milliseconds timeout) const {
  return waitFor([&] { return allLogs().find(text) != std::string::npos; }, timeout);
}

SimSummary simSummary(const std::string& output, const std::string& station) {
  SimSummary s;
  std::istringstream in(output);
  std::string line;
  std::string prefix = "summary " + station + " ";
  while (std::getline(in, line)) {
    if (line.compare(0, prefix.size(), prefix) != 0) continue;
    s.found = true;
    std::istringstream words(line.substr(prefix.size()));
    std::string word;
    while (words >> word) {
      size_t eq = word.find('=');
      if (eq == std::string::npos) continue;
      std::string key = word.substr(0, eq);
      long value = atol(word.c_str() + eq + 1);
      if (key == "frames") s.frames = value;
      if (key == "acks") s.acks = value;
      if (key == "nacks") s.nacks = value;
      if (key == "commands") s.commands = value;
      if (key == "requests") s.requests = value;
      if (key == "resent") s.resent = value;
      if (key == "bad") s.bad = value;
      if (key == "records") s.records = value;
    }
  }
  return s;
}

size_t countOf(const std::string& haystack, const std::string& text) {
  size_t n = 0;
  for (size_t pos = haystack.find(text); pos != std::string::npos;
       pos = haystack.find(text, pos + text.size()))
    ++n;
  return n;
}
