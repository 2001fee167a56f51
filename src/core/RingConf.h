// The ring server's configuration file ("settings/ring.conf"), read with the
// property-file rules of PropertyFile. The hub's ring server outlet writes
// and reads it; the ring server program (tools/ringservervh) runs by it.
//
// Two of its lines do not fit the key/value rules and are taken apart here:
//   MSeedScan <folder> StateFile=<file> InitCurrentState=y|n
//     (the property rules split it at its first "="; the words are put back
//     together and read as the folder followed by options)
//   WatchParent
//     (a line of one word, which the property rules skip; a second pass
//     collects such words as flags)
// Keys outside KNOWN_KEYS and unknown flags are listed by unknownKeys() so
// that the reader can log and ignore them.
//
// Not shared between threads: each user owns its object.
#ifndef VH_CORE_RINGCONF_H_
#define VH_CORE_RINGCONF_H_

#include <string>
#include <vector>

#include "core/PropertyFile.h"

constexpr char RING_DEFAULT_SERVER_ID[] = "Tidora Server";
constexpr char RING_DEFAULT_DIRECTORY[] = "ring/data";
constexpr char RING_DEFAULT_LOG_DIRECTORY[] = "ring/log";
constexpr char RING_DEFAULT_SCAN[] = "ring/scan";
constexpr long RING_DEFAULT_SIZE = 100000000;
constexpr int RING_DEFAULT_SEEDLINK_PORT = 18000;
constexpr int RING_DEFAULT_DATALINK_PORT = 16000;
constexpr int RING_DEFAULT_MAX_CLIENTS = 100;

struct RingScan {
  std::string folder;     // empty: no MSeedScan line
  std::string stateFile;  // empty: the scan state is not kept
  bool initCurrentState = false;
};

class RingConf {
 public:
  // False when the file cannot be opened (every value is then its default).
  bool read(const std::string& path);

  std::string serverId() { return props_.get("ServerID", RING_DEFAULT_SERVER_ID); }
  std::string ringDirectory() { return props_.getPath("RingDirectory", RING_DEFAULT_DIRECTORY); }
  std::string transferLogDirectory() {
    return props_.getPath("TransferLogDirectory", RING_DEFAULT_LOG_DIRECTORY);
  }
  long ringSize() { return props_.getLong("RingSize", RING_DEFAULT_SIZE); }
  int seedLinkPort() { return props_.getInt("SeedLinkPort", RING_DEFAULT_SEEDLINK_PORT); }
  // 0 (no DataLink) without the key.
  int dataLinkPort() { return props_.getInt("DataLinkPort", 0); }
  int maxClients() { return props_.getInt("MaxClients", RING_DEFAULT_MAX_CLIENTS); }
  const RingScan& scan() const { return scan_; }
  // The MSeedScan folder, or RING_DEFAULT_SCAN without that line.
  std::string scanFolder() const;
  bool watchParent() const { return watchParent_; }
  const std::vector<std::string>& unknownKeys() const { return unknown_; }

  // Parses the words after "MSeedScan". False when no folder is named.
  static bool parseScan(const std::string& words, RingScan* scan);

 private:
  PropertyFile props_;
  RingScan scan_;
  bool watchParent_ = false;
  std::vector<std::string> unknown_;
};

#endif  // VH_CORE_RINGCONF_H_
