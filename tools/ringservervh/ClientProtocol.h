// One client's conversation in a protocol of ringservervh, without sockets:
// the server hands it the bytes that arrived and asks it for what to send.
// The conversation also marks where each answer or packet it appends ends,
// for the WebSocket transport, which sends each as one message.
#ifndef VH_TOOLS_RINGSERVERVH_CLIENTPROTOCOL_H_
#define VH_TOOLS_RINGSERVERVH_CLIENTPROTOCOL_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class ClientProtocol {
 public:
  virtual ~ClientProtocol() = default;
  // Takes bytes from the client, appending answers to out. False when the
  // connection is to be closed (after out is sent); why then says why.
  virtual bool receive(const char* bytes, size_t length, std::string* out) = 0;
  // Takes one whole WebSocket message (as receive, for protocols whose
  // messages need no more than their bytes).
  virtual bool receiveMessage(const char* bytes, size_t length, std::string* out) {
    return receive(bytes, length, out);
  }
  // Appends records not yet sent, up to about maxBytes of out. False when
  // the conversation is over.
  virtual bool fill(std::string* out, size_t maxBytes) = 0;
  virtual bool streaming() const = 0;
  virtual uint64_t recordsSent() const = 0;
  const std::string& why() const { return why_; }
  // Moves into *ends the offsets in out at which the answers and packets
  // appended since the last call end, in order (the last one is out's size
  // then). The server calls it after every receive and fill, so that the
  // offsets refer to the out it passed.
  void takeMessageEnds(std::vector<size_t>* ends) {
    ends->swap(messageEnds_);
    messageEnds_.clear();
  }

 protected:
  // Called after each whole answer or packet is appended to out.
  void endMessage(const std::string& out) { messageEnds_.push_back(out.size()); }

  std::string why_;

 private:
  std::vector<size_t> messageEnds_;
};

#endif  // VH_TOOLS_RINGSERVERVH_CLIENTPROTOCOL_H_
