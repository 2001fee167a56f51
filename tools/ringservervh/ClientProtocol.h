// One client's conversation in a protocol of ringservervh, without sockets:
// the server hands it the bytes that arrived and asks it for what to send.
#ifndef VH_TOOLS_RINGSERVERVH_CLIENTPROTOCOL_H_
#define VH_TOOLS_RINGSERVERVH_CLIENTPROTOCOL_H_

#include <cstddef>
#include <cstdint>
#include <string>

class ClientProtocol {
 public:
  virtual ~ClientProtocol() = default;
  // Takes bytes from the client, appending answers to out. False when the
  // connection is to be closed (after out is sent); why then says why.
  virtual bool receive(const char* bytes, size_t length, std::string* out) = 0;
  // Appends records not yet sent, up to about maxBytes of out. False when
  // the conversation is over.
  virtual bool fill(std::string* out, size_t maxBytes) = 0;
  virtual bool streaming() const = 0;
  virtual uint64_t recordsSent() const = 0;
  const std::string& why() const { return why_; }

 protected:
  std::string why_;
};

#endif  // VH_TOOLS_RINGSERVERVH_CLIENTPROTOCOL_H_
