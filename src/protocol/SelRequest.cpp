#include "protocol/SelRequest.h"

#include <algorithm>
#include <cstdlib>

#include "protocol/SelvomaPacket.h"
#include "util/Text.h"

SelRequest::SelRequest(int type, const std::string& text)
    : key_(bounded(sformat("%02X", type), SEL_REQUEST_KEY_MAX)),
      value_(bounded(text, SEL_REQUEST_VALUE_MAX)) {}

int SelRequest::getIntKey() const { return static_cast<int>(strtol(key_.c_str(), nullptr, 16)); }

void SelRequest::setSint32(int32_t v) { value_ = sformat("%d", v); }

int32_t SelRequest::getSint32() const {
  return static_cast<int32_t>(strtol(value_.c_str(), nullptr, 10));
}

void SelRequest::setUint32(uint32_t v) { value_ = sformat("%u", v); }

uint32_t SelRequest::getUint32() const {
  return static_cast<uint32_t>(strtoul(value_.c_str(), nullptr, 0));
}

void SelRequest::setFloat(float v) { value_ = sformat("%f", v); }

float SelRequest::getFloat() const { return strtof(value_.c_str(), nullptr); }

bool SelRequest::parse(const std::string& line) {
  if (line.size() < SEL_REQUEST_LINE_MIN) return false;
  key_ = line.substr(0, SEL_REQUEST_LINE_MIN);
  if (line.size() > SEL_REQUEST_VALUE_START) {
    value_ = bounded(line.substr(SEL_REQUEST_VALUE_START), SEL_REQUEST_VALUE_MAX);
  } else {
    value_.clear();
  }
  return true;
}

std::string SelRequest::toString() const {
  if (value_.empty()) return sformatBounded(SEL_REQUEST_TEXT_MAX, "%s", key_.c_str());
  return sformatBounded(SEL_REQUEST_TEXT_MAX, "%s %s", key_.c_str(), value_.c_str());
}

void SelRequest::fillPacket(SelvomaPacket* packet) const {
  packet->deletePayload();
  packet->type = static_cast<uint8_t>(getIntKey());
  if (!value_.empty()) {
    packet->newPayload(static_cast<int>(value_.size()));
    std::copy(value_.begin(), value_.end(), packet->payload());
  }
}
