#include "EngineTable.h"

#include <vector>

namespace dravik::plugin {

std::pair<std::string, std::shared_ptr<TCryptoEngine>> TEngineTable::Create() {
  auto engine = std::make_shared<TCryptoEngine>();
  const std::lock_guard lock(mutex_);
  if (engines_.size() >= kMaxEngines)
    throw EPluginError(TPluginError::TooManyEngines,
                       "Too many crypto engines: at most " + std::to_string(kMaxEngines));
  std::string id = std::to_string(++lastId_);
  engines_.emplace(id, engine);
  return {std::move(id), std::move(engine)};
}

std::shared_ptr<TCryptoEngine> TEngineTable::Find(std::string_view id) const {
  const std::lock_guard lock(mutex_);
  const auto found = engines_.find(id);
  return found == engines_.end() ? nullptr : found->second;
}

bool TEngineTable::Remove(std::string_view id) {
  std::shared_ptr<TCryptoEngine> removed;  // freed after the lock is let go
  const std::lock_guard lock(mutex_);
  const auto found = engines_.find(id);
  if (found == engines_.end()) return false;
  removed = std::move(found->second);
  engines_.erase(found);
  return true;
}

void TEngineTable::Clear() noexcept {
  decltype(engines_) removed;
  {
    const std::lock_guard lock(mutex_);
    removed.swap(engines_);
  }
}

}  // namespace dravik::plugin
