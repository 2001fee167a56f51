// The DataLink 1.0 side of ringservervh for reading clients, without
// sockets. Every message in both directions is "DL", one byte of header
// length and the header text, followed by as many data bytes as the header
// names (for MATCH, REJECT and the server's answers).
//
// Commands: ID <client id>; POSITION SET EARLIEST|LATEST|<packet id>
// [<time>]; POSITION AFTER <time>; MATCH <size> and REJECT <size> with an
// extended regular expression on the stream ids ("NET_STA_LOC_CHA/MSEED")
// as data (without counted repetitions "{m,n}" or back-references, which
// could make matching unbounded); READ <packet id>; STREAM and ENDSTREAM; INFO STATUS|STREAMS.
// Answers are "OK <value> <size>" or "ERROR <value> <size>" with a message
// as data, "PACKET <stream id> <packet id> <time> <start> <end> <size>" with
// the 512-byte record, "INFO <type> <size>" with XML, and "ENDSTREAM". Times
// are microseconds since 1970. WRITE is refused: the ring is filled from the
// scan folder only.
//
// Owned by the server thread; no lock.
#ifndef VH_TOOLS_RINGSERVERVH_DATALINK_H_
#define VH_TOOLS_RINGSERVERVH_DATALINK_H_

#include <regex.h>

#include <cstdint>
#include <memory>
#include <string>

#include "ClientProtocol.h"
#include "RecordStore.h"

constexpr size_t DL_PREAMBLE = 3;        // "DL" + header length
constexpr size_t DL_PATTERN_MAX = 4096;  // bytes of a MATCH or REJECT expression
constexpr int DL_ERRORS_MAX = 20;        // ERROR answers before the client is dropped

// The stream id of a record: "NET_STA_LOC_CHA/MSEED".
std::string dataLinkStreamId(const RecordHeader& header);

class DataLinkSession : public ClientProtocol {
 public:
  DataLinkSession(const RecordStore& store, std::string serverId);
  ~DataLinkSession() override;

  bool receive(const char* bytes, size_t length, std::string* out) override;
  bool fill(std::string* out, size_t maxBytes) override;
  bool streaming() const override { return streaming_; }
  uint64_t recordsSent() const override { return recordsSent_; }

 private:
  // Handles one whole message; false to close.
  bool handle(const std::string& header, const std::string& data, std::string* out);
  // Appends one whole message to out.
  void emit(std::string* out, const std::string& message);
  void reply(bool ok, int64_t value, const std::string& message, std::string* out);
  bool setPattern(regex_t** slot, const std::string& pattern);
  bool wants(const StoredRecord& record) const;
  void packet(const StoredRecord& record, std::string* out);
  std::string infoXml(const std::string& type) const;

  const RecordStore& store_;
  std::string serverId_;
  std::string in_;
  regex_t* match_ = nullptr;   // owned; null: every stream
  regex_t* reject_ = nullptr;  // owned; null: none
  uint64_t cursor_ = 0;        // next packet id to look at; 0: from the next new one
  bool streaming_ = false;
  uint64_t recordsSent_ = 0;
  int errors_ = 0;
};

// Frames one message: "DL", the header length, the header, the data.
std::string dataLinkMessage(const std::string& header, const std::string& data = "");

#endif  // VH_TOOLS_RINGSERVERVH_DATALINK_H_
