// The store of an instrument's memory card, kept in a folder of the host.
//
// Layout (paths as the instrument names them, relative to the card folder):
//   /data/YYYY/MM/DD/HH/YYYY-MM-DD HHMM 00 STA.ms   one minute of records of all channels
//   /settings.ss                                     the settings file
//   /histogram/YYYY-MM-DD.csv                        daily state-of-health files
// The minute file of a record is chosen by the record's start time (UTC).
//
// Paths that a hub asks for are resolved inside the card folder only: a path
// with a ".." component, a NUL or a backslash is refused.
//
// Not shared: owned and used by one instrument thread.
#ifndef VH_TOOLS_DREMOSIM_CARD_H_
#define VH_TOOLS_DREMOSIM_CARD_H_

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

constexpr size_t CARD_FILE_MAX = 16 * 1024 * 1024;  // largest file served from a card
constexpr size_t CARD_PATH_MAX = 255;               // characters of an instrument path

class Card {
 public:
  // root: the card folder (created when missing).
  explicit Card(std::string root);
  Card(const Card&) = delete;
  Card& operator=(const Card&) = delete;

  // The instrument's name of the minute file holding time t:
  // "/data/%Y/%m/%d/%H/%Y-%m-%d %H%M 00 <station>.ms".
  static std::string minutePath(time_t t, const std::string& station);
  // The instrument's name of the daily histogram file of the UTC day of t.
  static std::string histogramPath(time_t t);

  // True when the card folder exists or could be created.
  bool ready() const;
  // Appends a record to the minute file of its start time. False on a
  // write failure.
  bool appendRecord(const std::string& station, const uint8_t* record, size_t length, time_t start);
  // Writes a whole file at an instrument path. False when the path is
  // refused or the file cannot be written.
  bool writeFile(const std::string& instrumentPath, const std::string& content);
  // Reads a file at an instrument path into data. False when the path is
  // refused, the file is missing, or larger than CARD_FILE_MAX.
  bool readFile(const std::string& instrumentPath, std::vector<uint8_t>* data);
  bool exists(const std::string& instrumentPath) const;
  // Deletes a file at an instrument path; true when it was removed.
  bool removeFile(const std::string& instrumentPath);
  // The host path of an instrument path; empty when the path is refused.
  std::string hostPath(const std::string& instrumentPath) const;
  const std::string& root() const { return root_; }

 private:
  struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
  };
  // Closes the minute file kept open for appending.
  void closeOpenFile();

  std::string root_;                        // ends without "/"
  std::unique_ptr<FILE, FileCloser> open_;  // the minute file being appended to
  std::string openPath_;                    // its host path
};

#endif  // VH_TOOLS_DREMOSIM_CARD_H_
