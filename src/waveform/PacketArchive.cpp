#include "waveform/PacketArchive.h"

#include "hub/Log.h"
#include "protocol/SelvomaPacket.h"
#include "util/Text.h"
#include "waveform/Miniseed.h"

PacketArchive::PacketArchive() = default;

PacketArchive::~PacketArchive() = default;

bool PacketArchive::addPacket(const SelvomaPacket& packet) {
  if (packet.payloadLen() == 0) return true;
  if (packet.type != SelvomaPacket::MINISEED) return true;
  std::string station, network, location, channel;
  bool haveHeader = packet.getMiniseedStation(&station, &network, &location);
  bool haveChannel = packet.getMiniseedChannel(&channel);
  float rate = static_cast<float>(packet.getMiniseedSampleRate());
  if (!haveHeader || !haveChannel || rate < ARCHIVE_RATE_MIN || rate > ARCHIVE_RATE_MAX ||
      packet.payloadLen() > ARCHIVE_PAYLOAD_MAX || channel.size() != Miniseed::CHANNEL_LEN) {
    if (log_ != nullptr) log_->add("Not sane packet. deleted");
    return false;
  }
  location_ = location.substr(0, ARCHIVE_LOCATION_LEN);
  if (station.substr(0, ARCHIVE_STATION_LEN) != station_ ||
      network.substr(0, ARCHIVE_NETWORK_LEN) != network_) {
    setNet(network);
    setStn(station);
  }
  lastChannel_ = channel;
  id_ = packet.sourceId;
  makeStationId();
  return true;
}

void PacketArchive::setStn(const std::string& stn) {
  if (stn.empty()) return;
  station_ = stn.substr(0, ARCHIVE_STATION_LEN);
}

bool PacketArchive::makeStationId() {
  std::string id = sformatBounded(ARCHIVE_STATION_ID_MAX, "%s.%08x", station_.c_str(), id_);
  bool same = id == stationId_;
  stationId_ = id;
  return same;
}
