// The queue of frames a session intends to send to its instrument, with the
// bookkeeping that uploads and firmware flashing share: whether the
// instrument has answered the last frame taken from the list, the pacing
// waits between file parts, the per-station upload folder and the renaming
// of files that have been handed to the instrument.
//
// Not shared: owned by one session and used only by that session's thread.
#ifndef VH_PROTOCOL_PACKETLIST_H_
#define VH_PROTOCOL_PACKETLIST_H_

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "protocol/SelvomaPacket.h"

class Log;

constexpr int PACKETLIST_MAX_WAIT_MS = 300;   // default longest wait between file parts
constexpr int PACKETLIST_WAIT_STEP_MS = 200;  // largest step of that wait
constexpr int COMMAND_MATCH_CHARS = 39;       // printable characters compared by containsCommand
constexpr size_t UPLOAD_DIR_PATH_MAX = 198;   // characters of an upload folder path
constexpr size_t LATEST_SENT_MAX = 268;       // characters of a sent file's new name
constexpr int MAX_SEND_RETRIES = 10;          // copies ".sent.00" .. ".sent.09" of one name
constexpr int UPLOAD_DIR_TOUCH_CALLS = 1000;  // getUploadDir calls between touches of the folder

class PacketList {
 public:
  // Empty, acked, default waits, no log, build number unknown.
  PacketList();
  PacketList(const PacketList&) = delete;
  PacketList& operator=(const PacketList&) = delete;
  virtual ~PacketList();

  // The log is not owned and must outlive the list (null: none).
  void setLog(Log* log) { log_ = log; }
  // The instrument's build number as its settings report it (-1: unknown).
  void setBuildNo(int buildNo) { buildNo_ = buildNo; }

  // Appends packet; the list owns it. A null packet is ignored.
  void addPacket(std::unique_ptr<SelvomaPacket> packet);
  // Appends a COMMAND frame (seqNo 0) whose payload is text without terminator.
  void addCommand(const std::string& text);
  // True when a queued COMMAND's payload, shown as at most
  // COMMAND_MATCH_CHARS printable characters, equals text.
  bool containsCommand(const std::string& text) const;
  void clearPackets() { packets_.clear(); }
  int numPackets() const { return static_cast<int>(packets_.size()); }
  bool hasPackets() const { return !packets_.empty(); }
  // The front frame, null when the list is empty (the list keeps it).
  const SelvomaPacket* front() const { return packets_.empty() ? nullptr : packets_.front().get(); }

  // An acknowledgement of seqNo answers the frame last taken from the list
  // when seqNo is ackSeqNo or ackSeqNo + 1 (mod 256).
  void setAckSeqNo(uint8_t seqNo);
  // Any COMMAND from the instrument counts as an answer.
  void receivedCommand() { acked_ = true; }
  bool isAcked() const { return acked_; }
  uint8_t getAckSeqNo() const { return ackSeqNo_; }

  // maxWaitMs = ms; waitStepMs = PACKETLIST_WAIT_STEP_MS for ms of that or
  // more, else ms.
  void setMaxWait(int ms);
  int getMaxWaitMs() const { return maxWaitMs_; }
  int getWaitStepMs() const { return waitStepMs_; }
  int getCurWaitMs() const { return curWaitMs_; }
  int getBuildNo() const { return buildNo_; }

  // UPLOAD_DIR + station + "/". Every call is counted; the folder's times
  // are set to now on the call after the count passes UPLOAD_DIR_TOUCH_CALLS
  // (the first time on the third call), and the count restarts from 0.
  std::string getUploadDir(const std::string& station);
  // Creates the upload folder of station with its parents, mode 0777, times now.
  // Returns the folder.
  std::string makeUploadDir(const std::string& station);

  // Renames a file that has been handed to the instrument to the next free
  // "<path>.sent.NN" (00 .. 09); when copy 09 exists the file is deleted
  // instead ("MAX_SEND_RETRIES reached.  Giving up.  %s" on the console). A
  // failed rename deletes the file. Copy 09 is deleted in every case.
  void markSent(const std::string& path);
  const std::string& getLatestSent() const { return latestSent_; }

 protected:
  Log* log_ = nullptr;                                  // not owned
  std::deque<std::unique_ptr<SelvomaPacket>> packets_;  // front: next to send
  int64_t lastSendMs_ = 0;  // when the last frame was taken from the list
  int buildNo_ = -1;        // the instrument's build number
  uint8_t ackSeqNo_ = 0;    // seqNo of the last frame taken from the list
  bool acked_ = true;       // the instrument answered the last frame
  int maxWaitMs_ = PACKETLIST_MAX_WAIT_MS;
  int waitStepMs_ = PACKETLIST_WAIT_STEP_MS;
  int curWaitMs_ = PACKETLIST_MAX_WAIT_MS;  // wait that applies to the next frame
  std::string uploadDir_;
  int touchCounter_ = UPLOAD_DIR_TOUCH_CALLS - 1;
  std::string latestSent_;
};

#endif  // VH_PROTOCOL_PACKETLIST_H_
