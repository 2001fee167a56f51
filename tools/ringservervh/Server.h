// The ringservervh server: one thread running a Boost.Asio event loop that
// scans the folder into the ring every SCAN_INTERVAL_MS and serves SeedLink
// clients (SeedLinkPort) and DataLink clients (DataLinkPort, when above 0)
// from it.
//
// The first bytes of a connection decide its transport. "GET " begins an
// HTTP request (read by Boost.Beast: at most MESSAGE_MAX bytes, and the
// upgrade done within UPGRADE_SECS), which becomes a WebSocket on the path
// "/seedlink" with the subprotocol "SeedLink3.1" on the SeedLink port and on
// "/datalink" with "DataLink1.0" on the DataLink port (a client that names
// no subprotocol is served too); any other request is answered with an HTTP
// error (404 for another path, 400 otherwise) and closed. Anything else is
// the port's protocol itself. A WebSocket message from the client carries
// command bytes (at most MESSAGE_MAX); each answer and each packet goes to
// the client as one binary message.
//
// Every client has a bounded input line, a bounded answer backlog (OUT_MAX)
// and is fed records only while less than OUT_LOW bytes wait for it. Writes
// never wait: a client that takes nothing for CLIENT_STALL_SECS while data
// wait for it, or sends a line that is too long, is dropped, and the others
// are served meanwhile. No more than the configured number of clients are
// served; later ones are closed at once. Each ended connection leaves a line
// in the day's transfer log.
//
// Everything belongs to the thread in run (the event loop); no lock.
#ifndef VH_TOOLS_RINGSERVERVH_SERVER_H_
#define VH_TOOLS_RINGSERVERVH_SERVER_H_

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "RecordStore.h"
#include "RingLog.h"
#include "ScanState.h"
#include "core/RingConf.h"

class RingServer {
 public:
  static constexpr size_t OUT_LOW = 64u << 10;
  static constexpr size_t OUT_MAX = 1u << 20;
  static constexpr time_t CLIENT_STALL_SECS = 60;
  static constexpr int SCAN_INTERVAL_MS = 200;
  static constexpr int SAVE_INTERVAL_MS = 1000;
  static constexpr int ACCEPT_RETRY_MS = 1000;  // pause after a failed accept (no descriptors)
  static constexpr int MAX_CLIENTS_LIMIT = 1000;
  static constexpr size_t READ_CHUNK = 4096;
  static constexpr size_t MESSAGE_MAX = 8192;  // bytes of an HTTP request or WebSocket message
  static constexpr int UPGRADE_SECS = 10;      // from "GET " to the WebSocket; its close too

  explicit RingServer(RingConf& conf);
  RingServer(const RingServer&) = delete;
  RingServer& operator=(const RingServer&) = delete;
  ~RingServer();

  // Opens the ring and the scan state and listens on the ports.
  // False (logged) when it cannot.
  bool start();
  // Serves until stop is set or (WatchParent) the parent process ended;
  // then saves the ring and the state. Called once, after start succeeded.
  void run(const std::atomic<bool>& stop);

 private:
  class Loop;        // the event loop, the listening sockets and the connections
  class Connection;  // one client, from its first bytes to its transfer line

  // Syncs the ring's journal, then writes the scan state (when it changed or
  // force), so a saved state never counts records the ring lost.
  void save(bool force);
  // Appends the line of one ended connection to the day's transfer log;
  // reason is "closed" or "dropped".
  void transferLine(const std::string& peer, time_t connected, uint64_t records,
                    const char* reason);

  RingConf& conf_;
  const std::string serverId_;
  const std::string logDir_;
  RecordStore store_;
  std::unique_ptr<ScanState> scan_;
  const int maxClients_;
  bool stateDirty_ = true;
  std::unique_ptr<Loop> loop_;  // declared last: its connections use the members above
};

#endif  // VH_TOOLS_RINGSERVERVH_SERVER_H_
