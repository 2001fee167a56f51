// The paced queue of frames that a session sends to its instrument: queued
// commands (stream requests, sampling restarts, setting queries). It paces
// the frames already in the queue; it does not read the station's upload
// folder.
//
// Pacing: a frame is taken only when the instrument answered the previous
// one (or curWaitMs has passed), and never sooner than waitStepMs after it.
// A queued COMMAND "sleep " is a local pause of about a second and is never
// sent.
//
// Not shared: owned by one session and used only by that session's thread.
#ifndef VH_PROTOCOL_UPLOAD_H_
#define VH_PROTOCOL_UPLOAD_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "protocol/PacketList.h"

constexpr int UPLOAD_COMMAND_WAIT_MS = 300;    // wait after an ordinary COMMAND
constexpr int UPLOAD_SLEEP_MS = 1000;          // pause of a queued "sleep " command
constexpr int UPLOAD_REBOOT_HOLD_MS = 3000;    // a "reboot" waits this much longer
constexpr int UPLOAD_COMMAND_PEEK_CHARS = 20;  // characters of a COMMAND examined

class Upload : public PacketList {
 public:
  Upload();
  ~Upload() override;

  // The next frame due, owned by the caller, with seqNo set and remembered as
  // ackSeqNo; null when nothing is due. station names the upload folder.
  std::unique_ptr<SelvomaPacket> getNextPacket(const std::string& station, uint8_t seqNo);
  // Removes and returns the first queued frame of type; null when none.
  std::unique_ptr<SelvomaPacket> nextPacketType(uint8_t type);
  // True when a FILE_PART is queued.
  bool hasFileParts() const;
  bool isInProgress() const { return inProgress_; }

  // Abandons the running file upload: when more than one frame is queued,
  // the last one becomes an end mark (its part number kept, no data) and the
  // queue holds only it, "sampling 1" and "sleep".
  void finishOff();

  // Replaces the millisecond clock (getMillisec).
  void TEST_setClock(std::function<int64_t()> clock) { clock_ = std::move(clock); }

 private:
  int64_t nowMs() const;

  bool inProgress_ = true;  // a file upload is running
  std::function<int64_t()> clock_;
};

#endif  // VH_PROTOCOL_UPLOAD_H_
