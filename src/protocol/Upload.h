// The paced queue of frames that a session sends to its instrument: queued
// commands (stream requests, sampling restarts, setting queries) and the
// files that operators and companion programs drop into the station's upload
// folder (UPLOAD_DIR + station label + "/").
//
// The folder. Files are taken one at a time, in name order, ".pkt" files
// before all others; a copy already sent (".sent.NN") is skipped and deleted
// after UPLOAD_SENT_KEEP_SECS; a file set aside (".bad") is skipped. A file is
// loaded only while the queue is empty, and gets its ".sent.NN" name when it
// is loaded; when the session ends before the file's last frame went out,
// restoreUnfinished() gives it its old name back, so the next session sends
// it again.
//
// ".pkt" files hold one frame per line: two hexadecimal digits of the
// message type, one flag character ("-", "l" or "L": inject the frame locally
// instead of sending it) and the body (see parsePkt). Any other file is sent
// as a START_SEND_FILE (size, CRC-32, "/" + name), FILE_PARTs of
// UPLOAD_PART_DATA bytes numbered from 1, and an end mark (the next number,
// no data). Files from outside are checked first: a binary ".pkt", an
// over-long line, too many lines, an empty or oversized file, an unusable name
// or a file that changed while it was read gets one log line and is set aside
// (renamed "<name>.bad"); nothing else in the folder is touched.
//
// Pacing: a frame is taken only when the instrument answered the previous
// one (or curWaitMs has passed), and never sooner than waitStepMs after it.
// A queued COMMAND "sleep " is a local pause of about a second and is never
// sent.
//
// Not shared: owned by one session and used only by that session's thread;
// the folder itself is shared through the file system only.
#ifndef VH_PROTOCOL_UPLOAD_H_
#define VH_PROTOCOL_UPLOAD_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "protocol/PacketList.h"
#include "util/DirScan.h"

constexpr int UPLOAD_COMMAND_WAIT_MS = 300;    // wait after an ordinary COMMAND
constexpr int UPLOAD_SLEEP_MS = 1000;          // pause of a queued "sleep " command
constexpr int UPLOAD_REBOOT_HOLD_MS = 3000;    // a "reboot" waits this much longer
constexpr int UPLOAD_COMMAND_PEEK_CHARS = 20;  // characters of a COMMAND examined
constexpr size_t UPLOAD_STATION_MIN = 2;       // station labels outside these lengths
constexpr size_t UPLOAD_STATION_MAX = 15;      // ... have no upload folder
constexpr size_t UPLOAD_SCAN_MAX = 999;        // names of the folder looked at
constexpr size_t UPLOAD_PATH_MAX = 256;        // characters of a file's path
constexpr size_t UPLOAD_NAME_MAX = 100;        // characters of a file's name
constexpr long UPLOAD_SENT_KEEP_SECS = 340;    // sent copies are deleted after this
constexpr long UPLOAD_OLD_FILE_SECS = 1800;    // files of the folder are deleted after this
constexpr long UPLOAD_TOUCH_AGO_SECS = 10;     // a loaded file's times are set this far back
constexpr int UPLOAD_REREAD_WAIT_MS = 500;     // a failed read is tried once more after this
constexpr size_t UPLOAD_PART_DATA = 510;       // file bytes per FILE_PART
constexpr long long UPLOAD_FILE_MAX = 16LL * 1024 * 1024;  // larger files are set aside
constexpr size_t PKT_MAX_LINES = 1000;                     // lines of one ".pkt" file
constexpr size_t PKT_LINE_MAX = 600;                       // characters of one ".pkt" line
constexpr size_t PKT_COMMAND_MAX = 512;                    // characters of a COMMAND body used
constexpr size_t PKT_BODY_SCAN_MAX = 100;                  // characters of another body scanned
constexpr size_t PKT_FLAG_AT = 2;                          // the local flag character
constexpr size_t PKT_BODY_AT = 3;                          // the body starts here
constexpr char UPLOAD_SENT_MARK[] = ".sent.";
constexpr char UPLOAD_ASIDE_SUFFIX[] = ".bad";
constexpr char FIRMWARE_NAME[] = "Selvoma.bin";

class Upload : public PacketList {
 public:
  Upload();
  ~Upload() override;

  // Property "flash": a firmware image in the folder is written with the
  // text flash procedure (Fwu) instead of being uploaded as a file.
  void setTextFlash(bool on) { textFlash_ = on; }

  // The next frame due, owned by the caller, with seqNo set and remembered as
  // ackSeqNo; null when nothing is due. station names the upload folder,
  // whose next file is loaded when the queue is empty.
  std::unique_ptr<SelvomaPacket> getNextPacket(const std::string& station, uint8_t seqNo);
  // Removes and returns the first queued frame of type; null when none.
  std::unique_ptr<SelvomaPacket> nextPacketType(uint8_t type);
  // True when a FILE_PART is queued.
  bool hasFileParts() const;
  // Queue size and queue not empty, after loading the station's next file
  // when the queue is empty.
  int numPackets(const std::string& station);
  bool hasPackets(const std::string& station);
  using PacketList::hasPackets;
  using PacketList::numPackets;
  // Empties the queue; a file being sent keeps its ".sent" name.
  void clearPackets();
  bool isInProgress() const { return inProgress_; }

  // The path of the station's next file to send (the folder's rules above);
  // false when there is none. A folder that held nothing to send is listed
  // again only when it can have changed (FolderStamp).
  bool getFilePath(const std::string& station, std::string* path);
  // Loads the station's next file into the queue; false when none was queued.
  bool getFile(const std::string& station);
  // Turns one file of the station's folder into queued frames; false (the
  // file set aside) when it is refused.
  bool makePendingPackets(const std::string& path, const std::string& station);
  // Parses ".pkt" text and appends its frames. False, with the reason in
  // error and nothing queued, for binary text, a line longer than
  // PKT_LINE_MAX or more than PKT_MAX_LINES lines.
  bool addPktString(const std::string& text, std::string* error);
  // One ".pkt" line to one frame, or null (a line of fewer than 2
  // characters). A type without a display name reads the whole line as a
  // COMMAND. A COMMAND body "?key" becomes the query ? "ey" (the character
  // after "?" is skipped), a body "key=value" gets its key quoted; other
  // bodies are scanned for "text" and [hex] tokens of 2, 4 or 8 digits
  // (little-endian), and a body without tokens is sent as it stands.
  static std::unique_ptr<SelvomaPacket> parsePkt(const std::string& line);

  // Abandons the running file upload: when more than one frame is queued,
  // the last one becomes an end mark (its part number kept, no data) and the
  // queue holds only it, "sampling 1" and "sleep".
  void finishOff();
  // At the end of a session: a file whose frames are still queued gets its
  // old name back (logged), so the next session sends it whole. Empties the
  // queue.
  void restoreUnfinished();
  // The name of the file being sent ("/" + name), empty when none.
  const std::string& currentName() const { return currentName_; }

  // Replaces the millisecond clock (getMillisec).
  void TEST_setClock(std::function<int64_t()> clock) { clock_ = std::move(clock); }

 private:
  int64_t nowMs() const;
  // Renames path to path + UPLOAD_ASIDE_SUFFIX with the log line "Upload
  // set aside [%s]: reason".
  void setAside(const std::string& path, const std::string& reason);
  // The queue lost packet: the file's tracking ends when it was its last frame.
  void taken(const SelvomaPacket* packet);

  bool inProgress_ = true;     // a file upload is running
  FolderStamp nothingToSend_;  // the station's folder when its listing found nothing to send
  bool textFlash_ = false;     // property "flash"
  std::function<int64_t()> clock_;
  // The file whose frames are queued: its original and its ".sent" path and
  // its last queued frame (owned by the queue); empty and null when none.
  std::string loadedPath_, sentPath_, currentName_;
  const SelvomaPacket* fileLast_ = nullptr;
};

#endif  // VH_PROTOCOL_UPLOAD_H_
