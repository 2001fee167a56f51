// Figures of ringservervh (run in this process on loopback, with its own
// scan folder, ring and port):
//  - records per second from new files in the scan folder to each of 10
//    connected SeedLink clients, for a burst of records;
//  - the delay from a record's scan file being written to its arrival at a
//    client (median and 99th percentile), for records written one by one.
//   ring_bench [--clients N] [--burst RECORDS] [--paced RECORDS]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Server.h"
#include "core/RingConf.h"

namespace {

using Clock = std::chrono::steady_clock;

int freePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

// One SeedLink client streaming everything new; notes when each sequence
// number arrived.
struct Reader {
  void run(int port, size_t expected) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return;
    send(fd, "DATA\r\n", 6, 0);
    ready = true;
    std::string bytes;
    char buffer[65536];
    while (arrivals.size() < expected) {
      const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      bytes.append(buffer, static_cast<size_t>(n));
      size_t at = 0;
      for (; at + 520 <= bytes.size(); at += 520) {
        arrivals.push_back(
            {std::strtoul(bytes.substr(at + 2, 6).c_str(), nullptr, 16), Clock::now()});
      }
      bytes.erase(0, at);
    }
    close(fd);
  }
  std::atomic<bool> ready{false};
  std::vector<std::pair<unsigned long, Clock::time_point>> arrivals;
};

}  // namespace

int main(int argc, char** argv) {
  size_t clients = 10, burst = 20000, paced = 300;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--clients") clients = std::strtoul(argv[i + 1], nullptr, 10);
    if (option == "--burst") burst = std::strtoul(argv[i + 1], nullptr, 10);
    if (option == "--paced") paced = std::strtoul(argv[i + 1], nullptr, 10);
  }
  std::ifstream recordFile(VH_TESTDATA "/CO.JSC.00.HHZ.100sps.steim2.mseed", std::ios::binary);
  const std::string records((std::istreambuf_iterator<char>(recordFile)), {});
  char pattern[] = "/tmp/ring_bench.XXXXXX";
  const std::string dir = mkdtemp(pattern);
  const int port = freePort();
  std::ofstream(dir + "/ring.conf")
      << "RingDirectory " << dir << "/data\nSeedLinkPort " << port << "\nTransferLogDirectory "
      << dir << "/log\nMSeedScan " << dir << "/scan/ InitCurrentState=y\nRingSize 268435456\n";
  system(("mkdir -p " + dir + "/scan").c_str());
  RingConf conf;
  conf.read(dir + "/ring.conf");
  RingServer server(conf);
  if (!server.start()) return 1;
  std::atomic<bool> stop{false};
  std::thread serving([&] { server.run(stop); });

  std::vector<std::unique_ptr<Reader>> readers;
  std::vector<std::thread> threads;
  for (size_t i = 0; i < clients; ++i) {
    readers.push_back(std::make_unique<Reader>());
    threads.emplace_back([&, i] { readers[i]->run(port, paced + burst); });
  }
  while (!std::all_of(readers.begin(), readers.end(), [](auto& r) { return r->ready.load(); })) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  // Paced: one record per file, every 10 ms, its write time noted.
  std::vector<Clock::time_point> written;
  for (size_t i = 0; i < paced; ++i) {
    std::ofstream(dir + "/scan/p" + std::to_string(i) + ".ms", std::ios::binary)
        << records.substr((i % 14) * 512, 512);
    written.push_back(Clock::now());
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // Burst: 100 records per file, as fast as the files can be written.
  const auto burstStart = Clock::now();
  for (size_t i = 0; i < burst; i += 100) {
    std::string bytes;
    for (size_t k = i; k < std::min(burst, i + 100); ++k)
      bytes += records.substr((k % 14) * 512, 512);
    std::ofstream(dir + "/scan/b" + std::to_string(i) + ".ms", std::ios::binary) << bytes;
  }
  for (auto& t : threads) t.join();
  const auto burstEnd =
      std::max_element(
          readers.begin(), readers.end(),
          [](auto& a, auto& b) { return a->arrivals.back().second < b->arrivals.back().second; })
          ->get()
          ->arrivals.back()
          .second;
  stop = true;
  serving.join();

  std::vector<double> delays;
  for (auto& r : readers) {
    for (size_t i = 0; i < paced && i < r->arrivals.size(); ++i) {
      delays.push_back(
          std::chrono::duration<double, std::milli>(r->arrivals[i].second - written[i]).count());
    }
  }
  std::sort(delays.begin(), delays.end());
  const double seconds = std::chrono::duration<double>(burstEnd - burstStart).count();
  printf("clients: %zu\n", clients);
  printf(
      "burst: %zu records to every client in %.3f s: %.0f records/s per client, %.0f records/s in "
      "all\n",
      burst, seconds, burst / seconds, burst * clients / seconds);
  if (!delays.empty()) {
    printf(
        "delay from scan file to client (%zu records x %zu clients): median %.1f ms, p99 %.1f ms\n",
        paced, clients, delays[delays.size() / 2], delays[delays.size() * 99 / 100]);
  }
  system(("rm -rf " + dir).c_str());
  return 0;
}
