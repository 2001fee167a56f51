// The ringservervh server: one thread that scans the folder into the ring
// and serves SeedLink clients (SeedLinkPort) and DataLink clients
// (DataLinkPort, when above 0) from it, waiting in poll() on the listening
// sockets and the clients. Every client has a bounded input line, a bounded
// answer backlog (OUT_MAX) and is fed records only while less than OUT_LOW
// bytes wait for it; a client that takes nothing for CLIENT_STALL_SECS while
// data wait for it, or sends a line that is too long, is dropped. No more
// than the configured number of clients are served; later ones are closed at
// once. Each ended connection leaves a line in the day's transfer log.
//
// Everything belongs to the one server thread; no lock.
#ifndef VH_TOOLS_RINGSERVERVH_SERVER_H_
#define VH_TOOLS_RINGSERVERVH_SERVER_H_

#include <atomic>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "ClientProtocol.h"
#include "RecordStore.h"
#include "RingLog.h"
#include "ScanState.h"
#include "SeedLink.h"
#include "core/RingConf.h"

class RingServer {
 public:
  static constexpr size_t OUT_LOW = 64u << 10;
  static constexpr size_t OUT_MAX = 1u << 20;
  static constexpr time_t CLIENT_STALL_SECS = 60;
  static constexpr int SCAN_INTERVAL_MS = 200;
  static constexpr int SAVE_INTERVAL_MS = 1000;
  static constexpr int MAX_CLIENTS_LIMIT = 1000;
  static constexpr size_t READ_CHUNK = 4096;
  static constexpr int WRITE_ROUNDS_MAX = 16;  // fill-and-send turns per client and loop

  explicit RingServer(RingConf& conf);
  RingServer(const RingServer&) = delete;
  RingServer& operator=(const RingServer&) = delete;
  ~RingServer();

  // Opens the ring and the scan state and listens on the ports.
  // False (logged) when it cannot.
  bool start();
  // Serves until stop is set or (WatchParent) the parent process ended;
  // then saves the ring and the state.
  void run(const std::atomic<bool>& stop);

 private:
  struct Client {
    int fd = -1;
    std::string peer;
    std::string in;
    std::string out;
    size_t outPos = 0;
    time_t connected = 0;
    time_t lastProgress = 0;
    bool ending = false;               // close once out is sent
    const char* endReason = "closed";  // for the transfer log: "closed" or "dropped"
    std::unique_ptr<ClientProtocol> session;
  };
  // A listening socket on port of every address; -1 (logged) when it fails.
  static int listenOn(int port, const char* protocol);
  void acceptClients(int listenFd, bool dataLink);
  // False when the client is to be dropped.
  bool readClient(Client* client);
  bool writeClient(Client* client, time_t now);
  // Closes the connection (fd becomes -1) and writes its transfer line.
  void closeClient(Client* client);
  // Syncs the ring's journal, then writes the scan state (when it changed or
  // force), so a saved state never counts records the ring lost.
  void save(bool force);

  RingConf& conf_;
  std::string serverId_;
  std::string logDir_;
  RecordStore store_;
  std::unique_ptr<ScanState> scan_;
  int seedLinkFd_ = -1;
  int dataLinkFd_ = -1;
  int maxClients_;
  std::vector<std::unique_ptr<Client>> clients_;
  bool stateDirty_ = true;
  bool moreToSend_ = false;  // a client had more to send than its turns took
};

#endif  // VH_TOOLS_RINGSERVERVH_SERVER_H_
