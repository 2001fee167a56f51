// A mutex the compiler can check. Mutex wraps std::mutex as a Clang
// thread-safety capability and MutexLock holds one for a scope; members
// marked GUARDED_BY(mu) and functions marked REQUIRES(mu) (the "...Locked"
// helpers) are then checked by -Wthread-safety in the clang build, so a
// missed lock is a compiler warning there. Under other compilers the macros
// expand to nothing and Mutex is a plain std::mutex.
#ifndef VH_UTIL_MUTEX_H_
#define VH_UTIL_MUTEX_H_

#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define VH_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VH_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) VH_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY VH_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) VH_THREAD_ANNOTATION(guarded_by(x))
#define REQUIRES(...) VH_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) VH_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) VH_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VH_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ACQUIRED_BEFORE(...) VH_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }

  // Waits on cv, with this mutex held by the caller, until pred() is true;
  // the mutex is held again on return.
  template <typename Predicate>
  void wait(std::condition_variable& cv, Predicate pred) REQUIRES(this) {
    std::unique_lock<std::mutex> lock(mu_, std::adopt_lock);
    cv.wait(lock, pred);
    lock.release();  // the caller still holds the mutex
  }

  // Waits on cv, with this mutex held by the caller, until pred() is true or
  // the deadline has passed; the mutex is held again on return. Returns pred().
  template <typename TimePoint, typename Predicate>
  bool waitUntil(std::condition_variable& cv, const TimePoint& deadline, Predicate pred)
      REQUIRES(this) {
    std::unique_lock<std::mutex> lock(mu_, std::adopt_lock);
    bool result = cv.wait_until(lock, deadline, pred);
    lock.release();  // the caller still holds the mutex
    return result;
  }

 private:
  std::mutex mu_;
};

// Holds a Mutex from construction to the end of the scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~MutexLock() RELEASE() { mu_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mu_;
};

#endif  // VH_UTIL_MUTEX_H_
