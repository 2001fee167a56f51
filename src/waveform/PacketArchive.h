// The per-link store for waveform data, one per instrument session.
//
// This version stores nothing yet: records handed to addPacket are checked
// and teach the archive the identity of the station the link serves
// (network, location, station, instrument id) and the last channel seen,
// but no record is buffered or written to any file; minute files, zipping,
// time files, gap records, trigger files, the monitor folder and the ring
// server come with the archive of a later version.
//
// Not shared: owned by one session and used only by that session's thread.
#ifndef VH_WAVEFORM_PACKETARCHIVE_H_
#define VH_WAVEFORM_PACKETARCHIVE_H_

#include <cstdint>
#include <string>

class Log;
class SelvomaPacket;

constexpr size_t ARCHIVE_NETWORK_LEN = 2;
constexpr size_t ARCHIVE_LOCATION_LEN = 2;
constexpr size_t ARCHIVE_STATION_LEN = 5;
constexpr size_t ARCHIVE_STATION_ID_MAX = 18;  // characters of "%s.%08x"
constexpr float ARCHIVE_RATE_MIN = 10.0f;      // sane sample rates, inclusive
constexpr float ARCHIVE_RATE_MAX = 10000.0f;
constexpr int ARCHIVE_PAYLOAD_MAX = 1024;  // payload bytes of a sane record

class PacketArchive {
 public:
  PacketArchive();
  PacketArchive(const PacketArchive&) = delete;
  PacketArchive& operator=(const PacketArchive&) = delete;
  virtual ~PacketArchive();

  // The log is not owned (null: none).
  void setLog(Log* log) { log_ = log; }

  // Checks a frame. MINISEED: the record must have a sample rate of
  // ARCHIVE_RATE_MIN..MAX, a payload of at most ARCHIVE_PAYLOAD_MAX bytes and
  // a 3-character channel, else "Not sane packet. deleted" is logged and the
  // result is false; a sane record sets network, location and station from
  // its header and the id from the frame's sourceId. Frames without payload
  // and of other types: true. Nothing is stored.
  bool addPacket(const SelvomaPacket& packet);

  void setNet(const std::string& net) { network_ = net.substr(0, ARCHIVE_NETWORK_LEN); }
  void setLoc(const std::string& loc) { location_ = loc.substr(0, ARCHIVE_LOCATION_LEN); }
  // An empty station is ignored; at most ARCHIVE_STATION_LEN characters.
  void setStn(const std::string& stn);
  void setId(uint32_t id) { id_ = id; }
  // Rebuilds the station id "%s.%08x"; true when it did not change.
  bool makeStationId();

  const std::string& getStation() const { return station_; }
  const std::string& getNetwork() const { return network_; }
  const std::string& getLocation() const { return location_; }
  uint32_t getId() const { return id_; }
  const std::string& getStationWithId() const { return stationId_; }
  const std::string& getLastChannel() const { return lastChannel_; }

 private:
  Log* log_ = nullptr;  // not owned
  std::string network_, location_, station_;
  uint32_t id_ = 0;
  std::string stationId_;
  std::string lastChannel_;
};

#endif  // VH_WAVEFORM_PACKETARCHIVE_H_
