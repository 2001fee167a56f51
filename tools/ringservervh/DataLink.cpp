#include "DataLink.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <sstream>
#include <utility>
#include <vector>

#include "util/Text.h"

namespace {

constexpr size_t DL_HEADER_MAX = 255;
constexpr size_t DL_FILL_SCAN_MAX = 20000;  // records looked at per fill
constexpr char DL_SERVER[] = "ID DataLink 127 (ringservervh) :: DLPROTO:1.0 PACKETSIZE:512";

std::vector<std::string> wordsOf(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

// A decimal number of at most 19 digits; false otherwise.
bool parseNumber(const std::string& text, uint64_t* out) {
  if (text.empty() || text.size() > 19 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  *out = std::stoull(text);
  return true;
}

}  // namespace

std::string dataLinkStreamId(const RecordHeader& h) {
  return h.network + "_" + h.station + "_" + h.location + "_" + h.channel + "/MSEED";
}

std::string dataLinkMessage(const std::string& header, const std::string& data) {
  std::string message = "DL";
  message.push_back(static_cast<char>(std::min(header.size(), DL_HEADER_MAX)));
  message.append(header, 0, DL_HEADER_MAX);
  return message + data;
}

DataLinkSession::DataLinkSession(const RecordStore& store, std::string serverId)
    : store_(store), serverId_(std::move(serverId)) {}

DataLinkSession::~DataLinkSession() {
  for (regex_t* r : {match_, reject_}) {
    if (r != nullptr) {
      regfree(r);
      delete r;
    }
  }
}

bool DataLinkSession::receive(const char* bytes, size_t length, std::string* out) {
  in_.append(bytes, length);
  while (in_.size() >= DL_PREAMBLE) {
    if (in_[0] != 'D' || in_[1] != 'L') {
      why_ = "not a DataLink message";
      return false;
    }
    const size_t headerLength = static_cast<uint8_t>(in_[2]);
    if (in_.size() < DL_PREAMBLE + headerLength) break;
    const std::string header = in_.substr(DL_PREAMBLE, headerLength);
    const std::vector<std::string> words = wordsOf(header);
    uint64_t dataLength = 0;
    if (words.size() == 2 && (words[0] == "MATCH" || words[0] == "REJECT" || words[0] == "WRITE")) {
      if (!parseNumber(words[1], &dataLength) || dataLength > DL_PATTERN_MAX) {
        why_ = "data too long";
        return false;
      }
    }
    if (in_.size() < DL_PREAMBLE + headerLength + dataLength) break;
    const std::string data = in_.substr(DL_PREAMBLE + headerLength, dataLength);
    in_.erase(0, DL_PREAMBLE + headerLength + dataLength);
    if (!handle(header, data, out)) return false;
  }
  if (in_.size() > DL_PREAMBLE + DL_HEADER_MAX + DL_PATTERN_MAX) {
    why_ = "message too long";
    return false;
  }
  return true;
}

void DataLinkSession::emit(std::string* out, const std::string& message) {
  out->append(message);
  endMessage(*out);
}

void DataLinkSession::reply(bool ok, int64_t value, const std::string& message, std::string* out) {
  if (!ok) ++errors_;
  emit(out, dataLinkMessage(sformat("%s %lld %zu", ok ? "OK" : "ERROR",
                                    static_cast<long long>(value), message.size()),
                            message));
}

bool DataLinkSession::setPattern(regex_t** slot, const std::string& pattern) {
  // Counted repetitions and back-references can make the regular-expression
  // engine take memory or time without bound; stream ids never need them.
  if (pattern.find('{') != std::string::npos || pattern.find('\0') != std::string::npos)
    return false;
  for (size_t i = 0; i + 1 < pattern.size(); ++i) {
    if (pattern[i] == '\\' && isdigit(static_cast<unsigned char>(pattern[i + 1]))) return false;
  }
  auto compiled = std::make_unique<regex_t>();
  if (regcomp(compiled.get(), pattern.c_str(), REG_EXTENDED | REG_NOSUB) != 0) return false;
  if (*slot != nullptr) {
    regfree(*slot);
    delete *slot;
  }
  *slot = compiled.release();
  return true;
}

bool DataLinkSession::handle(const std::string& header, const std::string& data, std::string* out) {
  const std::vector<std::string> w = wordsOf(header);
  const std::string command = w.empty() ? std::string() : w[0];
  if (command == "ID") {
    emit(out, dataLinkMessage(DL_SERVER));
  } else if (command == "POSITION" && w.size() >= 3 && w[1] == "SET") {
    uint64_t id = 0;
    if (w[2] == "EARLIEST") {
      id = store_.size() > 0 ? store_.at(0).seq : store_.nextSeq();
    } else if (w[2] == "LATEST") {
      id = store_.size() > 0 ? store_.at(store_.size() - 1).seq : store_.nextSeq();
    } else if (!parseNumber(w[2], &id) || store_.lowerBound(id) >= store_.size() ||
               store_.at(store_.lowerBound(id)).seq != id) {
      reply(false, 0, "Packet not found", out);
      return errors_ <= DL_ERRORS_MAX;
    }
    cursor_ = id;
    reply(true, static_cast<int64_t>(id), "Positioned", out);
  } else if (command == "POSITION" && w.size() == 3 && w[1] == "AFTER") {
    uint64_t t = 0;
    if (!parseNumber(w[2], &t)) {
      reply(false, 0, "Bad time", out);
    } else {
      size_t i = 0;
      while (i < store_.size() && store_.at(i).header.start <= static_cast<int64_t>(t)) ++i;
      cursor_ = i < store_.size() ? store_.at(i).seq : store_.nextSeq();
      reply(true, static_cast<int64_t>(cursor_), "Positioned", out);
    }
  } else if ((command == "MATCH" || command == "REJECT") && w.size() == 2) {
    const bool ok = setPattern(command == "MATCH" ? &match_ : &reject_, data);
    reply(ok, 0, ok ? "Pattern set" : "Bad pattern", out);
  } else if (command == "READ" && w.size() == 2) {
    uint64_t id = 0;
    const size_t i = parseNumber(w[1], &id) ? store_.lowerBound(id) : store_.size();
    if (i < store_.size() && store_.at(i).seq == id) {
      packet(store_.at(i), out);
    } else {
      reply(false, 0, "Packet not found", out);
    }
  } else if (command == "STREAM" && w.size() == 1) {
    streaming_ = true;
    if (cursor_ == 0) cursor_ = store_.nextSeq();
  } else if (command == "ENDSTREAM" && w.size() == 1) {
    streaming_ = false;
    emit(out, dataLinkMessage("ENDSTREAM"));
  } else if (command == "INFO" && w.size() >= 2 && (w[1] == "STATUS" || w[1] == "STREAMS")) {
    const std::string xml = infoXml(w[1]);
    emit(out, dataLinkMessage(sformat("INFO %s %zu", w[1].c_str(), xml.size()), xml));
  } else {
    reply(false, 0, "Unsupported command: " + bounded(header, 40), out);
  }
  return errors_ <= DL_ERRORS_MAX;
}

bool DataLinkSession::wants(const StoredRecord& record) const {
  if (match_ == nullptr && reject_ == nullptr) return true;
  const std::string id = dataLinkStreamId(record.header);
  if (match_ != nullptr && regexec(match_, id.c_str(), 0, nullptr, 0) != 0) return false;
  return reject_ == nullptr || regexec(reject_, id.c_str(), 0, nullptr, 0) != 0;
}

void DataLinkSession::packet(const StoredRecord& record, std::string* out) {
  const RecordHeader& h = record.header;
  emit(out, dataLinkMessage(
                sformat("PACKET %s %llu %lld %lld %lld %zu", dataLinkStreamId(h).c_str(),
                        static_cast<unsigned long long>(record.seq),
                        static_cast<long long>(h.start), static_cast<long long>(h.start),
                        static_cast<long long>(h.end), SL_RECORD_LENGTH),
                std::string(reinterpret_cast<const char*>(record.data.data()), SL_RECORD_LENGTH)));
  ++recordsSent_;
}

bool DataLinkSession::fill(std::string* out, size_t maxBytes) {
  if (!streaming_) return true;
  size_t index = store_.lowerBound(cursor_);
  for (size_t looked = 0;
       out->size() < maxBytes && looked < DL_FILL_SCAN_MAX && index < store_.size();
       ++looked, ++index) {
    const StoredRecord& record = store_.at(index);
    cursor_ = record.seq + 1;
    if (wants(record)) packet(record, out);
  }
  return true;
}

std::string DataLinkSession::infoXml(const std::string& type) const {
  const uint64_t first = store_.size() > 0 ? store_.at(0).seq : 0;
  const uint64_t last = store_.size() > 0 ? store_.at(store_.size() - 1).seq : 0;
  std::string xml = sformat(
      "<?xml version=\"1.0\"?>\n<DataLink Version=\"1.0\" ServerID=\"%s\">\n"
      "<Status RingVersion=\"1\" PacketSize=\"%zu\" TotalPackets=\"%zu\" "
      "EarliestPacketID=\"%llu\" LatestPacketID=\"%llu\"/>\n",
      escapeXml(serverId_).c_str(), SL_RECORD_LENGTH, store_.size(),
      static_cast<unsigned long long>(first), static_cast<unsigned long long>(last));
  if (type == "STREAMS") {
    std::map<std::string, std::pair<const StoredRecord*, const StoredRecord*>> streams;
    for (size_t i = 0; i < store_.size(); ++i) {
      auto& entry = streams[dataLinkStreamId(store_.at(i).header)];
      if (entry.first == nullptr) entry.first = &store_.at(i);
      entry.second = &store_.at(i);
    }
    xml += sformat("<StreamList TotalStreams=\"%zu\">\n", streams.size());
    for (const auto& s : streams) {
      xml += sformat(
          "<Stream Name=\"%s\" EarliestPacketID=\"%llu\" EarliestPacketDataStartTime=\"%lld\" "
          "LatestPacketID=\"%llu\" LatestPacketDataEndTime=\"%lld\"/>\n",
          escapeXml(s.first).c_str(), static_cast<unsigned long long>(s.second.first->seq),
          static_cast<long long>(s.second.first->header.start),
          static_cast<unsigned long long>(s.second.second->seq),
          static_cast<long long>(s.second.second->header.end));
    }
    xml += "</StreamList>\n";
  }
  return xml + "</DataLink>\n";
}
