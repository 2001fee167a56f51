// The hand-over of one minute file between the archive that appends to it
// (and reopens it from its zip when late records come) and the zip job that
// places its zip and removes it. Each side holds the minute's lock for those
// steps: a record is never appended between the zip's size check and the
// minute's removal, and an extraction never runs between the zip's placement
// and the removal.
//
// Locks: one process-wide table of the minute paths held now, guarded by its
// own mutex (mu_ in MinuteLock.cpp); a lock of another path never waits. A
// holder keeps it for file operations on that one minute only and takes no
// other MinuteLock meanwhile.
#ifndef VH_ARCHIVE_MINUTELOCK_H_
#define VH_ARCHIVE_MINUTELOCK_H_

#include <string>

class MinuteLock {
 public:
  // Waits while another thread holds minutePath, then holds it.
  explicit MinuteLock(const std::string& minutePath);
  MinuteLock(const MinuteLock&) = delete;
  MinuteLock& operator=(const MinuteLock&) = delete;
  ~MinuteLock();  // releases the path

 private:
  std::string path_;
};

#endif  // VH_ARCHIVE_MINUTELOCK_H_
