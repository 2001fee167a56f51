// A lock-free single-producer single-consumer ring of RING_SLOTS elements,
// the receive buffer of every instrument link.
//
// Thread safety. Exactly two threads use one ring:
//  - the producer, the link's read-loop thread (IO::readLoop), calls push()
//    and freeSpace(); it is the only writer of head_;
//  - the consumer, the session thread (through IO::readBuf, IO::read and
//    IO::clear), calls pop() and clear(); it is the only writer of tail_.
// available() may be called by either side; it is exact for the consumer
// (bytes can only grow under it) and a lower bound of free space for the
// producer. No lock is taken.
//
// Memory orders:
//  - head_ is stored with release by the producer after the elements are
//    copied in, and loaded with acquire by the consumer, so the consumer
//    sees the elements before it sees the new head.
//  - tail_ is stored with release by the consumer after the elements are
//    copied out (or, in clear(), after the decision to drop them), and
//    loaded with acquire by the producer, so the producer never overwrites
//    slots the consumer is still copying.
//  - Each side loads its own index relaxed: only it writes that index.
//
// One slot always stays free to tell a full ring from an empty one, so at
// most RING_CAPACITY elements are held.
#ifndef VH_IO_RINGBUFFER_H_
#define VH_IO_RINGBUFFER_H_

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>

constexpr uint32_t RING_SLOTS = 16385;              // storage slots of one ring
constexpr uint32_t RING_CAPACITY = RING_SLOTS - 1;  // elements held at most

template <typename T>
class RingBuffer {
  static_assert(std::is_trivially_copyable<T>::value, "ring elements are copied with memcpy");

 public:
  // Storage of RING_SLOTS elements, zero-filled; empty.
  RingBuffer() : buffer_(std::make_unique<T[]>(RING_SLOTS)) {}
  RingBuffer(const RingBuffer&) = delete;
  RingBuffer& operator=(const RingBuffer&) = delete;

  // Elements waiting to be popped. Either side.
  uint32_t available() const {
    uint32_t head = head_.load(std::memory_order_acquire);
    uint32_t tail = tail_.load(std::memory_order_acquire);
    return head >= tail ? head - tail : head + RING_SLOTS - tail;
  }

  // Slots the producer may fill now. Producer only.
  uint32_t freeSpace() const {
    uint32_t head = head_.load(std::memory_order_relaxed);
    uint32_t tail = tail_.load(std::memory_order_acquire);
    return head >= tail ? tail + RING_SLOTS - 1 - head : tail - 1 - head;
  }

  // Copies up to count elements in, wrapping at the end of the storage, and
  // publishes them. Producer only. Returns the number copied (less than count
  // when the ring fills).
  uint32_t push(const T* data, uint32_t count) {
    uint32_t head = head_.load(std::memory_order_relaxed);
    uint32_t n = std::min(count, freeSpace());
    uint32_t first = std::min(n, RING_SLOTS - head);
    std::memcpy(buffer_.get() + head, data, first * sizeof(T));
    std::memcpy(buffer_.get(), data + first, (n - first) * sizeof(T));
    head += n;
    if (head >= RING_SLOTS) head -= RING_SLOTS;
    head_.store(head, std::memory_order_release);
    return n;
  }

  // Copies up to count elements out, wrapping at the end of the storage, and
  // frees their slots. Consumer only. Returns the number copied.
  uint32_t pop(T* data, uint32_t count) {
    uint32_t tail = tail_.load(std::memory_order_relaxed);
    uint32_t n = std::min(count, available());
    uint32_t first = std::min(n, RING_SLOTS - tail);
    std::memcpy(data, buffer_.get() + tail, first * sizeof(T));
    std::memcpy(data + first, buffer_.get(), (n - first) * sizeof(T));
    tail += n;
    if (tail >= RING_SLOTS) tail -= RING_SLOTS;
    tail_.store(tail, std::memory_order_release);
    return n;
  }

  // Drops every element published so far by moving tail to head. Consumer
  // only; safe while the producer pushes (head is never written here).
  void clear() { tail_.store(head_.load(std::memory_order_acquire), std::memory_order_release); }

  // Index of the next push and the next pop, for tests of the wrap.
  uint32_t TEST_head() const { return head_.load(std::memory_order_acquire); }
  uint32_t TEST_tail() const { return tail_.load(std::memory_order_acquire); }

 private:
  const std::unique_ptr<T[]> buffer_;  // RING_SLOTS elements
  std::atomic<uint32_t> head_{0};      // next slot to fill; written by the producer only
  std::atomic<uint32_t> tail_{0};      // next slot to empty; written by the consumer only
};

#endif  // VH_IO_RINGBUFFER_H_
