// The text form of one frame that a client asks the hub to send to an
// instrument: a message type of two hexadecimal digits and an optional value.
// Client request files hold one request per line, "TT" or "TT value" (one
// separator character, normally a blank, before the value); fillPacket turns
// a request into a frame.
//
// A plain value record: not shared, copied freely.
#ifndef VH_PROTOCOL_SELREQUEST_H_
#define VH_PROTOCOL_SELREQUEST_H_

#include <cstddef>
#include <cstdint>
#include <string>

class SelvomaPacket;

constexpr size_t SEL_REQUEST_KEY_MAX = 4;      // characters of the key
constexpr size_t SEL_REQUEST_VALUE_MAX = 299;  // characters of the value
constexpr size_t SEL_REQUEST_TEXT_MAX = 308;   // characters of toString
constexpr size_t SEL_REQUEST_LINE_MIN = 2;     // shorter lines are no request
constexpr size_t SEL_REQUEST_VALUE_START = 3;  // the value begins after type and separator

class SelRequest {
 public:
  // Key and value empty.
  SelRequest() = default;
  // Key "%02X" of type, value text (cut to SEL_REQUEST_VALUE_MAX).
  SelRequest(int type, const std::string& text);

  // The key read as a hexadecimal number (0 when it holds none).
  int getIntKey() const;
  // True when the request carries no value.
  bool isRequest() const { return value_.empty(); }
  const std::string& getKey() const { return key_; }
  const std::string& getValue() const { return value_; }

  void setSint32(int32_t v);
  int32_t getSint32() const;  // decimal
  void setUint32(uint32_t v);
  uint32_t getUint32() const;  // decimal, 0x hexadecimal or 0 octal
  void setUint8(uint8_t v) { setUint32(v); }
  uint8_t getUint8() const { return static_cast<uint8_t>(getUint32()); }
  void setFloat(float v);
  float getFloat() const;

  // A line shorter than SEL_REQUEST_LINE_MIN characters is refused (false,
  // nothing changed). Otherwise the first two characters are the key and the
  // line from its fourth character on is the value (empty for lines of 3
  // characters or fewer). Returns true.
  bool parse(const std::string& line);
  // "key" when the value is empty, else "key value".
  std::string toString() const;
  // Drops the packet's payload; type = getIntKey(); the value's characters
  // (no terminator) become the payload.
  void fillPacket(SelvomaPacket* packet) const;

 private:
  std::string key_;    // at most SEL_REQUEST_KEY_MAX characters
  std::string value_;  // at most SEL_REQUEST_VALUE_MAX characters
};

#endif  // VH_PROTOCOL_SELREQUEST_H_
