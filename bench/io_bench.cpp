// Figures of the instrument links:
//  - IdleLinkReadLoopCpu: processor time the read-loop thread of a connected,
//    idle TCP link uses per second of wall time (read from the kernel's
//    per-thread accounting of that thread);
//  - SocketIntoRing: raw bytes per second from a loopback peer through a
//    Socket's read loop into its ring, taken out by a consumer.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "io/Socket.h"

namespace {

// A listener, a raw peer connected to it and the accepted Socket.
struct Link {
  Link() {
    listener.init();
    for (uint16_t port = 42000; port < 43000; ++port) {
      if (listener.server(port) == 0) break;
    }
    peer = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(listener.getPort());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected = ::connect(peer, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                listener.accept(client);
  }
  ~Link() { ::close(peer); }
  Socket listener;
  Socket client;
  int peer = -1;
  bool connected = false;
};

// Processor time of thread tid in nanoseconds: schedstat when the kernel
// keeps it, else utime + stime of stat in clock ticks.
double threadCpuNs(pid_t tid) {
  std::string task = "/proc/self/task/" + std::to_string(tid);
  std::ifstream schedstat(task + "/schedstat");
  double ns = 0;
  if (schedstat >> ns) return ns;
  std::ifstream stat(task + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t end = text.rfind(')');
  if (end == std::string::npos) return 0;
  std::vector<std::string> fields;
  std::string field;
  for (size_t i = end + 2; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == ' ') {
      fields.push_back(field);
      field.clear();
    } else {
      field += text[i];
    }
  }
  // Fields after the name start at state (field 3); utime and stime are 14 and 15.
  double ticks = std::stod(fields.at(11)) + std::stod(fields.at(12));
  return ticks * 1e9 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void IdleLinkReadLoopCpu(benchmark::State& state) {
  Link link;
  if (!link.connected) {
    state.SkipWithError("no loopback link");
    return;
  }
  while (link.client.readLoopTid() == 0) std::this_thread::yield();
  pid_t tid = link.client.readLoopTid();
  double cpuNs = 0;
  double wallNs = 0;
  for (auto _ : state) {
    double cpu0 = threadCpuNs(tid);
    auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    cpuNs += threadCpuNs(tid) - cpu0;
    wallNs +=
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
  }
  state.counters["cpu_ms_per_s"] = cpuNs / wallNs * 1000.0;
  state.counters["cpu_percent"] = cpuNs / wallNs * 100.0;
}
BENCHMARK(IdleLinkReadLoopCpu)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

void SocketIntoRing(benchmark::State& state) {
  const size_t total = static_cast<size_t>(state.range(0));
  Link link;
  if (!link.connected) {
    state.SkipWithError("no loopback link");
    return;
  }
  std::vector<unsigned char> out(RING_CAPACITY);
  std::string data(total, '\x55');
  for (auto _ : state) {
    int peer = link.peer;
    std::thread sender([peer, &data] {
      size_t sent = 0;
      while (sent < data.size()) {
        ssize_t n = ::send(peer, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
    });
    size_t got = 0;
    while (got < total) {
      int n = link.client.readBuf(out.data(), static_cast<int>(out.size()));
      if (n > 0) {
        got += static_cast<size_t>(n);
      } else {
        std::this_thread::sleep_for(std::chrono::microseconds(500));
      }
    }
    sender.join();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(total));
}
BENCHMARK(SocketIntoRing)
    ->Arg(8 << 20)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
