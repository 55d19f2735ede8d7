// The lockable base of the logger classes: one re-entrant lock per object.
#pragma once

#include <mutex>

#include "KvObject.h"

namespace dravik {

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
