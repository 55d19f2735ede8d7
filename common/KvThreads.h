// The lockable base of the logger classes: one re-entrant lock per object.
#pragma once

#include <atomic>
#include <mutex>

#include "KvObject.h"

namespace dravik {

// Code about to wait on something slow (the user, another request, the plugin) calls
// BeforeBlockingWait first, so that a thread that also carries other work (the web server's
// event loops) can hand that work to another thread before it blocks. Without a hook set it
// does nothing.
using TBlockingHook = void (*)() noexcept;
inline constinit std::atomic<TBlockingHook> BlockingHook{nullptr};
inline void BeforeBlockingWait() noexcept {
  if (const TBlockingHook hook = BlockingHook.load(std::memory_order_acquire)) hook();
}
// Takes the lock, first announcing the wait when another thread holds it.
template <typename TMutex>
std::unique_lock<TMutex> LockAnnouncingWait(TMutex& mutex) {
  std::unique_lock<TMutex> lock(mutex, std::try_to_lock);
  if (!lock.owns_lock()) {
    BeforeBlockingWait();
    lock.lock();
  }
  return lock;
}

class TKvThreadSafetyClass : public TKvObject {
 public:
  TKvThreadSafetyClass() = default;
  TKvThreadSafetyClass(const TKvThreadSafetyClass&) = delete;
  TKvThreadSafetyClass& operator=(const TKvThreadSafetyClass&) = delete;
  ~TKvThreadSafetyClass() override = default;
  DRAVIK_CLASS_NAME(TKvThreadSafetyClass)

  // The same thread may lock again while it holds the lock.
  virtual void Lock() { mutex_.lock(); }
  virtual void Unlock() { mutex_.unlock(); }

  // BasicLockable, so that std::lock_guard and std::unique_lock work on the object.
  void lock() { Lock(); }
  void unlock() { Unlock(); }

 private:
  std::recursive_mutex mutex_;
};

}  // namespace dravik
