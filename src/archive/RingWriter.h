// The writer of the ring server's scan files. Links hand each record on
// (offer) and go on; one thread of the process ("ring-writer") appends the
// records to their scan files in the order offered. Hundreds of links whose
// records start in the same second create their new scan files in the one
// folder at once; written by the links themselves, those creations queued
// up behind the folder's lock and held each link's acknowledgements back.
//
// The queue is bounded (RING_QUEUE_MAX records): a link that finds it full
// waits at most RING_QUEUE_WAIT_MS for room and then writes the record itself,
// so every record is still offered and memory stays bounded. drain() waits
// (bounded) until everything offered is written; a link's end calls it.
//
// Process-wide and never destroyed: the writer thread is detached and waits
// on it until the process ends. Its own mutex guards the queue; the writer
// holds no lock while it writes.
#ifndef VH_ARCHIVE_RINGWRITER_H_
#define VH_ARCHIVE_RINGWRITER_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace RingWriter {

constexpr size_t RING_QUEUE_MAX = 4096;    // records waiting for the writer
constexpr long RING_QUEUE_WAIT_MS = 1000;  // a link waits this long for room

// Appends length bytes to path later, on the writer thread (now, on the
// caller's thread, when the queue stays full or the thread cannot start).
void offer(const std::string& path, const uint8_t* bytes, size_t length);
// Waits at most timeoutMs until every record offered is written. True then.
bool drain(long timeoutMs);
// Appends one record to path, creating the file with mode 0666; a record cut
// short by a failed write is taken back out. Failures are not reported (the
// archive holds the record). Any thread.
void appendRecord(const std::string& path, const uint8_t* bytes, size_t length);

}  // namespace RingWriter

#endif  // VH_ARCHIVE_RINGWRITER_H_
