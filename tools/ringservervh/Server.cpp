#include "Server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "DataLink.h"
#include "RingLog.h"
#include "util/FileUtil.h"
#include "util/TimeUtil.h"

namespace {
constexpr int LISTEN_BACKLOG = 32;
constexpr size_t LISTENERS = 2;  // the first poll entries: SeedLink, DataLink

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

RingServer::RingServer(RingConf& conf)
    : conf_(conf),
      serverId_(conf.serverId()),
      logDir_(conf.transferLogDirectory()),
      store_(conf.ringSize()),
      maxClients_(std::clamp(conf.maxClients(), 1, MAX_CLIENTS_LIMIT)) {}

RingServer::~RingServer() {
  for (auto& client : clients_) close(client->fd);
  if (seedLinkFd_ >= 0) close(seedLinkFd_);
  if (dataLinkFd_ >= 0) close(dataLinkFd_);
}

bool RingServer::start() {
  for (const std::string& key : conf_.unknownKeys()) {
    ringLog("unknown configuration key ignored: %s", key.c_str());
  }
  const RingScan& scan = conf_.scan();
  if (scan.folder.empty()) ringLog("no MSeedScan folder configured: nothing is scanned");
  scan_ = std::make_unique<ScanState>(scan, [this](const uint8_t* record) {
    RecordHeader header;
    if (readRecordHeader(record, SL_RECORD_LENGTH, &header)) store_.add(record, header);
  });
  const bool haveState = scan_->load();
  if (!store_.open(conf_.ringDirectory(), haveState ? scan_->savedNextSeq() : 0)) {
    ringLog("cannot write the ring in %s", conf_.ringDirectory().c_str());
    return false;
  }
  ringLog("ring of %zu records, next sequence %llu", store_.size(),
          static_cast<unsigned long long>(store_.nextSeq()));
  mkdirs(logDir_, true);

  seedLinkFd_ = listenOn(conf_.seedLinkPort(), "SeedLink");
  if (seedLinkFd_ < 0) return false;
  // Without its DataLink port the server still serves SeedLink.
  if (conf_.dataLinkPort() > 0) dataLinkFd_ = listenOn(conf_.dataLinkPort(), "DataLink");
  ringLog("at most %d clients", maxClients_);
  return true;
}

int RingServer::listenOn(int port, const char* protocol) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int one = 1;
  if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (fd < 0 || port <= 0 || port > 65535 ||
      bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(fd, LISTEN_BACKLOG) != 0) {
    ringLog("cannot listen on %s port %d: %s", protocol, port, strerror(errno));
    if (fd >= 0) close(fd);
    return -1;
  }
  ringLog("%s on port %d", protocol, port);
  return fd;
}

void RingServer::acceptClients(int listenFd, bool dataLink) {
  for (;;) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    const int fd =
        accept4(listenFd, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    char host[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &addr.sin_addr, host, sizeof host);
    const std::string peer = std::string(host) + ":" + std::to_string(ntohs(addr.sin_port));
    if (static_cast<int>(clients_.size()) >= maxClients_) {
      ringLog("%s refused: %d clients already", peer.c_str(), maxClients_);
      close(fd);
      continue;
    }
    auto client = std::make_unique<Client>();
    client->fd = fd;
    client->peer = peer;
    client->connected = client->lastProgress = time(nullptr);
    if (dataLink) {
      client->session = std::make_unique<DataLinkSession>(store_, serverId_);
    } else {
      client->session = std::make_unique<SeedLinkSession>(store_, serverId_);
    }
    clients_.push_back(std::move(client));
  }
}

bool RingServer::readClient(Client* client) {
  char buffer[READ_CHUNK];
  const ssize_t n = recv(client->fd, buffer, sizeof buffer, 0);
  if (n == 0) return false;
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  if (!client->ending && !client->session->receive(buffer, static_cast<size_t>(n), &client->out)) {
    client->ending = true;
    if (client->session->why() != "ended") {
      ringLog("%s dropped: %s", client->peer.c_str(), client->session->why().c_str());
      client->endReason = "dropped";
      return false;
    }
  }
  if (client->out.size() - client->outPos > OUT_MAX) {
    ringLog("%s dropped: more than %zu bytes of answers wait", client->peer.c_str(), OUT_MAX);
    client->endReason = "dropped";
    return false;
  }
  return true;
}

bool RingServer::writeClient(Client* client, time_t now) {
  // Fill and send in turns until the socket takes no more, the client has
  // everything, or WRITE_ROUNDS_MAX turns (then the others' turn first).
  for (int round = 0;; ++round) {
    if (round == WRITE_ROUNDS_MAX) {
      moreToSend_ = true;
      break;
    }
    const size_t before = client->out.size();
    if (!client->ending && client->session->streaming() &&
        client->out.size() - client->outPos < OUT_LOW) {
      if (!client->session->fill(&client->out, client->out.size() + OUT_LOW)) client->ending = true;
    }
    const bool filled = client->out.size() > before;
    bool blocked = false;
    while (client->outPos < client->out.size()) {
      const ssize_t n = send(client->fd, client->out.data() + client->outPos,
                             client->out.size() - client->outPos, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
        blocked = true;
        break;
      }
      client->outPos += static_cast<size_t>(n);
      client->lastProgress = now;
    }
    if (client->outPos == client->out.size()) {
      client->out.clear();
      client->outPos = 0;
      client->lastProgress = now;
      if (client->ending) return false;
      if (!filled) return true;
    } else if (blocked) {
      break;
    }
  }
  if (client->outPos > OUT_LOW) {
    client->out.erase(0, client->outPos);
    client->outPos = 0;
  }
  if (now - client->lastProgress > CLIENT_STALL_SECS) {
    ringLog("%s dropped: took nothing for %ld s", client->peer.c_str(),
            static_cast<long>(CLIENT_STALL_SECS));
    client->endReason = "dropped";
    return false;
  }
  return true;
}

void RingServer::closeClient(Client* client) {
  const time_t now = time(nullptr);
  const std::string path = gluePath(logDir_, "seedlink." + formatUtc(now, "%Y%m%d") + ".log");
  FILE* file = fopen(path.c_str(), "a");
  if (file != nullptr) {
    fprintf(file, "%s %s %lds %llu records %s\n", formatUtc(now, "%Y-%m-%d %H:%M:%S").c_str(),
            client->peer.c_str(), static_cast<long>(now - client->connected),
            static_cast<unsigned long long>(client->session->recordsSent()), client->endReason);
    fclose(file);
  }
  close(client->fd);
  client->fd = -1;
}

void RingServer::save(bool force) {
  if (!stateDirty_ && !force) return;
  store_.sync();
  if (scan_->save(store_.nextSeq())) stateDirty_ = false;
}

void RingServer::run(const std::atomic<bool>& stop) {
  const pid_t parent = getppid();
  const bool watchParent = conf_.watchParent();
  int64_t nextScan = 0, nextSave = 0;
  std::vector<pollfd> fds;
  while (!stop.load()) {
    if (watchParent && getppid() != parent) {
      ringLog("parent process ended");
      break;
    }
    const int64_t now = nowMs();
    if (now >= nextScan) {
      nextScan = now + SCAN_INTERVAL_MS;
      if (scan_->scan() > 0) stateDirty_ = true;
    }
    if (now >= nextSave) {
      nextSave = now + SAVE_INTERVAL_MS;
      save(false);
    }
    const time_t wall = time(nullptr);
    moreToSend_ = false;
    for (auto& client : clients_) {
      if (client->fd >= 0 && !writeClient(client.get(), wall)) closeClient(client.get());
    }
    clients_.erase(std::remove_if(clients_.begin(), clients_.end(),
                                  [](const std::unique_ptr<Client>& c) { return c->fd < 0; }),
                   clients_.end());
    fds.clear();
    fds.push_back({seedLinkFd_, POLLIN, 0});
    fds.push_back({dataLinkFd_, POLLIN, 0});  // a negative descriptor is skipped
    for (auto& client : clients_) {
      short events = POLLIN;
      if (client->outPos < client->out.size()) events |= POLLOUT;
      fds.push_back({client->fd, events, 0});
    }
    const int wait = moreToSend_ ? 0 : static_cast<int>(std::max<int64_t>(0, nextScan - nowMs()));
    if (poll(fds.data(), fds.size(), wait) < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) acceptClients(seedLinkFd_, false);
    if (fds[1].revents & POLLIN) acceptClients(dataLinkFd_, true);
    for (size_t i = LISTENERS; i < fds.size(); ++i) {
      Client* client = clients_[i - LISTENERS].get();
      if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) && !readClient(client)) {
        closeClient(client);
      }
    }
  }
  if (scan_->scan() > 0) stateDirty_ = true;
  save(true);
  ringLog("stopped; ring saved with next sequence %llu",
          static_cast<unsigned long long>(store_.nextSeq()));
}
