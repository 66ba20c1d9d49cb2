// A mutex and scoped lock that clang's thread-safety analysis understands, so that "guarded by"
// comments on the miner's shared data are checked by the compiler (-Wthread-safety) instead of
// trusted. The macros expand to nothing on compilers without the analysis. Mutex is a plain
// std::mutex underneath; it satisfies BasicLockable so std::condition_variable_any can wait on it.
// Threading: the usual mutex contract; a MutexLock belongs to the thread that made it.
#pragma once

#include <mutex>

#if defined(__clang__)
#define TAVO_TSA(x) __attribute__((x))
#else
#define TAVO_TSA(x)
#endif

#define TAVO_CAPABILITY(name) TAVO_TSA(capability(name))
#define TAVO_SCOPED_CAPABILITY TAVO_TSA(scoped_lockable)
#define TAVO_GUARDED_BY(m) TAVO_TSA(guarded_by(m))
#define TAVO_REQUIRES(...) TAVO_TSA(requires_capability(__VA_ARGS__))
#define TAVO_EXCLUDES(...) TAVO_TSA(locks_excluded(__VA_ARGS__))
#define TAVO_ACQUIRE(...) TAVO_TSA(acquire_capability(__VA_ARGS__))
#define TAVO_RELEASE(...) TAVO_TSA(release_capability(__VA_ARGS__))

namespace tavo {

class TAVO_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() TAVO_ACQUIRE() { m_.lock(); }
  void unlock() TAVO_RELEASE() { m_.unlock(); }

 private:
  std::mutex m_;
};

// Holds a Mutex for its scope; unlock() may end the hold early, and the destructor then does
// nothing.
class TAVO_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& m) TAVO_ACQUIRE(m) : m_(m) { m_.lock(); }
  ~MutexLock() TAVO_RELEASE() {
    if (held_) m_.unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void unlock() TAVO_RELEASE() {
    m_.unlock();
    held_ = false;
  }

 private:
  Mutex& m_;
  bool held_ = true;
};

}  // namespace tavo
