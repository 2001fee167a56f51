// slreadvh [-h host] [-p port] [-s STA[.NET]] [-n records] [-t seconds]: a
// small SeedLink client. It asks the server for the live records of one
// station (all stations without -s), prints one line per record (sequence
// number, stream, start time, sample count) and ends after n records or t
// seconds. Exit status 0 when n records came.
#include <arpa/inet.h>
#include <libmseed.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {
constexpr size_t PACKET = 8 + 512;
constexpr int RECV_WAIT_MS = 200;

int connectTo(const std::string& host, const std::string& port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return -1;
  int fd = socket(found->ai_family, found->ai_socktype, 0);
  if (fd >= 0 && connect(fd, found->ai_addr, found->ai_addrlen) != 0) {
    close(fd);
    fd = -1;
  }
  freeaddrinfo(found);
  return fd;
}

bool sendLine(int fd, const std::string& line) {
  const std::string text = line + "\r\n";
  return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}
}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1", port = "18000", station;
  long wanted = 10, seconds = 30;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "-h")
      host = argv[i + 1];
    else if (option == "-p")
      port = argv[i + 1];
    else if (option == "-s")
      station = argv[i + 1];
    else if (option == "-n")
      wanted = atol(argv[i + 1]);
    else if (option == "-t")
      seconds = atol(argv[i + 1]);
  }
  const int fd = connectTo(host, port);
  if (fd < 0) {
    fprintf(stderr, "slreadvh: cannot connect to %s:%s\n", host.c_str(), port.c_str());
    return 1;
  }
  timeval tv{0, RECV_WAIT_MS * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  // BATCH: no OK answers, so that everything after END is packets.
  bool sent = sendLine(fd, "BATCH");
  if (!station.empty()) {
    const size_t dot = station.find('.');
    sent =
        sent && sendLine(fd, "STATION " + station.substr(0, dot) +
                                 (dot == std::string::npos ? "" : " " + station.substr(dot + 1)));
    sent = sent && sendLine(fd, "DATA") && sendLine(fd, "END");
  } else {
    sent = sent && sendLine(fd, "DATA");
  }
  if (!sent) return 1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  std::string bytes;
  long got = 0;
  bool skippedOk = false;
  while (got < wanted && std::chrono::steady_clock::now() < deadline) {
    char buffer[8192];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n == 0) break;
    if (n < 0) continue;
    bytes.append(buffer, static_cast<size_t>(n));
    if (!skippedOk && bytes.size() >= 4) {
      if (bytes.compare(0, 4, "OK\r\n") == 0) bytes.erase(0, 4);  // the answer to BATCH
      skippedOk = true;
    }
    while (skippedOk && bytes.size() >= PACKET && got < wanted) {
      MSRecord* msr = nullptr;
      if (bytes.compare(0, 2, "SL") != 0 ||
          msr_parse(&bytes[8], 512, &msr, 512, 0, 0) != MS_NOERROR) {
        fprintf(stderr, "slreadvh: not a SeedLink data packet\n");
        msr_free(&msr);
        return 1;
      }
      char start[32];
      ms_hptime2isotimestr(msr->starttime, start, 1);
      printf("SL %s %s.%s.%s.%s %s %ld samples\n", bytes.substr(2, 6).c_str(), msr->network,
             msr->station, msr->location, msr->channel, start, static_cast<long>(msr->samplecnt));
      msr_free(&msr);
      bytes.erase(0, PACKET);
      ++got;
    }
  }
  sendLine(fd, "BYE");
  close(fd);
  printf("slreadvh: %ld of %ld records\n", got, wanted);
  return got == wanted ? 0 : 1;
}
