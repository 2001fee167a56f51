// Client request files: small files that companion programs, scripts and
// other links drop into the shared request folder (transactions folder +
// "request/"), each holding protocol requests ("TT" or "TT value", see
// SelRequest) for one instrument, and the response folder beside it.
//
// A file is meant for a link when its name (at least REQUEST_NAME_MIN
// characters) holds "_<id8>." or "_<id8>_" with the link's instrument id,
// "_00000000." / "_00000000_" or "_0." / "_0_" (every instrument), or the
// station code followed by "." as a whole name part (at the start of the name
// or after a character other than a letter or digit), "xxxxxxxxxxxxxxx."
// while the station is unknown. A file meant for the link is read once it
// is REQUEST_SETTLE_SECS old and removed; one whose name holds ".log" only
// sets "log requested"; a file meant for no link is removed after
// REQUEST_STALE_SECS. A file that is too large, binary or has too many lines
// is logged and set aside ("<name>.bad", removed when stale).
//
// The folders are emptied once, at hub start (clearFolders), never by a
// session, so requests for stations not yet connected wait for them.
//
// Thread safety: one RequestFiles per link, used by its session thread only.
// The folder is shared by every link through the file system: a file goes to
// the first link that finds it meant for itself and removes it.
#ifndef VH_GAPS_REQUESTFILES_H_
#define VH_GAPS_REQUESTFILES_H_

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "protocol/SelRequest.h"
#include "protocol/SelvomaPacket.h"
#include "util/DirScan.h"

class Log;

constexpr size_t REQUEST_NAME_MIN = 7;               // shorter names are meant for no link
constexpr long REQUEST_SETTLE_SECS = 1;              // a file is read once this old
constexpr long REQUEST_STALE_SECS = 120;             // files for no link go after this
constexpr long long REQUEST_FILE_MAX_BYTES = 65536;  // larger files are set aside
constexpr size_t REQUEST_FILE_MAX_LINES = 64;        // files with more requests are set aside
constexpr size_t REQUEST_SCAN_MAX = 999;             // names of the folder looked at
constexpr size_t REQUEST_FOLDER_MAX = 219;           // characters of the folder paths
constexpr char REQUEST_UNKNOWN_STATION[] = "xxxxxxxxxxxxxxx";
constexpr char REQUEST_ASIDE_SUFFIX[] = ".bad";

// One parsed request file.
class RequestFile {
 public:
  // Reads path: lines shorter than 2 characters and "#" lines skipped, the
  // others parsed by SelRequest. False ("Error Opening File: %s" on the
  // console) when the file cannot be opened; false with the reason in error
  // for a file above REQUEST_FILE_MAX_BYTES, a binary file or more than
  // REQUEST_FILE_MAX_LINES requests.
  bool read(const std::string& path, std::string* error = nullptr);
  // Parses text as read() does.
  bool parse(const std::string& text, std::string* error = nullptr);
  // Writes one request per line ("Num Requests = %d" on the console).
  bool write(const std::string& path) const;
  // The requests' texts, each followed by " - ".
  std::string toString() const;
  void addRequest(const SelRequest& request) { requests_.push_back(request); }
  void clear() { requests_.clear(); }
  const std::vector<SelRequest>& requests() const { return requests_; }

 private:
  std::vector<SelRequest> requests_;
};

class RequestFiles {
 public:
  // transactionsDir: "%U" at its start stands for the home folder. Creates
  // the folder and its request and response folders (mode 0777).
  void init(const std::string& transactionsDir, Log* log);
  // Hub start: empties the request and response folders of transactionsDir.
  static void clearFolders(const std::string& transactionsDir);

  // True when a request folder entry of that name is meant for the link of
  // instrument id and station (empty: unknown).
  static bool isMeantFor(const std::string& name, uint32_t id, const std::string& station);
  // Adds the requests of the files in folder meant for this link, in name
  // order (until out
  // holds maxRequests; later files wait), removes what it read and what is
  // stale. Returns the number of requests in out.
  int readRequests(const std::string& folder, uint32_t id, const std::string& station,
                   std::vector<SelRequest>* out, size_t maxRequests);
  // The same from the request folder, each request as a new packet.
  int readRequests(uint32_t id, const std::string& station,
                   std::deque<std::unique_ptr<SelvomaPacket>>* out, size_t maxRequests);
  // Writes request folder + name + ".%08x" (id) holding the relay line
  // "86-<path>" ("86-/<path>" when path does not start with "/"); name is
  // made a single safe path element. Logged either way.
  bool makeRequestFileFile(const std::string& name, const std::string& filePath, uint32_t id);
  // True once after a ".log" request for this link was seen.
  bool getLogRequested();

  const std::string& requestFolder() const { return requestFolder_; }
  const std::string& responseFolder() const { return responseFolder_; }

 private:
  std::string requestFolder_, responseFolder_;
  bool logRequested_ = false;
  FolderStamp emptyFolder_;  // the folder when its last listing found it empty
  Log* log_ = nullptr;       // not owned
};

#endif  // VH_GAPS_REQUESTFILES_H_
