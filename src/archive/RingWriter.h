// The writers of the ring server's scan files. Links hand each record on
// (offer) and go on; RING_WRITERS threads of the process ("ring-writer-N")
// append the records to their scan files, each file always by the same
// writer, in the order offered (creating files is what a slow file system
// charges most for, and several writers overlap that work). Hundreds of links whose
// records start in the same second create their new scan files in the one
// folder at once; written by the links themselves, those creations queued
// up behind the folder's lock and held each link's acknowledgements back.
//
// The queues are bounded (RING_QUEUE_MAX records in all): a link that finds its queue full
// waits at most RING_QUEUE_WAIT_MS for room and then writes the record itself,
// so every record is still offered and memory stays bounded. drain() waits
// (bounded) until everything offered is written; a link's end calls it.
//
// Process-wide and never destroyed: the writer threads are detached and wait
// on their queues until the process ends. Each queue has its own mutex; a
// writer holds no lock while it writes.
#ifndef VH_ARCHIVE_RINGWRITER_H_
#define VH_ARCHIVE_RINGWRITER_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace RingWriter {

constexpr size_t RING_WRITERS = 4;         // writer threads, each with its own queue
constexpr size_t RING_QUEUE_MAX = 4096;    // records waiting for the writers in all
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
