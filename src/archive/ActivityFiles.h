// Progress texts of the downloads of one instrument link, for an outside
// viewer that does not read logs.
//
// Activity texts: one small file per fetched file in the station's activity
// folder (DOWNLOAD_DIR/<station id>/activity/) holding the latest state of
// that download ("Start", "Request", "<n>kB", "Finish", "Fail"). The files
// get strictly increasing modification times so that a reader can order
// them. Backfill markers: a file named like the archive minute being fetched
// with the extension ".backfill.txt" in the extract archive, holding the
// latest progress text, removed when the minute has arrived.
//
// Names come from the instrument: only their last path component, made safe
// by safePathCode, is used, so a text never lands outside the activity
// folder.
//
// Ownership and threads: owned by one session and used on its thread only;
// no lock. The archive is not owned and must outlive this object.
#ifndef VH_ARCHIVE_ACTIVITYFILES_H_
#define VH_ARCHIVE_ACTIVITYFILES_H_

#include <ctime>
#include <string>

class PacketArchive;

class ActivityFiles {
 public:
  static constexpr size_t FOLDER_MAX = 139;  // characters of the activity folder
  static constexpr size_t MARKER_MAX = 199;  // characters of a marker path
  static constexpr size_t TEXT_MAX = 198;    // characters of a progress text
  static constexpr size_t FOLDER_MIN = 6;    // deleteOld works on folders this long at least
  static constexpr long OLD_SECS = 1200;     // activity files older than this go
  static constexpr char DEFAULT_NAME[] = "activity";
  static constexpr char MARKER_EXTENSION[] = ".backfill.txt";

  // Keeps the archive and builds the activity folder from its station id.
  void init(PacketArchive* archive);
  // Writes text (replacing the file) to the activity file name; nothing for
  // an unknown station or one holding "nil". Its times become now, or the
  // last time given + 1 when now is not later.
  void write(const std::string& name, const std::string& text);
  void write(const std::string& text) { write(DEFAULT_NAME, text); }
  // The backfill marker of the minute of t (t > 0, known station): the
  // whole of text, mode 0666, folders created.
  void writeDownload(time_t t, const std::string& text);
  // Removes the marker of the minute of t.
  void deleteDownload(time_t t);
  // Removes activity files older than OLD_SECS.
  void deleteOld();

  const std::string& getFolder() const { return folder_; }
  // The marker path of t ("" when there is none); folders created with mkdirs.
  std::string markerPath(time_t t, bool mkdirs) const;

 private:
  bool stationKnown() const;

  PacketArchive* archive_ = nullptr;  // not owned
  std::string folder_;
  std::string text_;     // the last progress text
  time_t lastTime_ = 0;  // times given to the last activity file
};

#endif  // VH_ARCHIVE_ACTIVITYFILES_H_
