// The live engines of the library by their IDs.
//
// IDs are the decimal numbers 1, 2, 3, ... in the order of creation and are never handed out
// twice while the library is loaded, also not after Clear. The table is guarded by its own
// lock, held only for the table operation itself; engines are handed out by shared
// ownership, so removing one while another thread uses it is safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "CryptoEngine.h"

namespace dravik::plugin {

class TEngineTable {
 public:
  // Raw commands could otherwise make engines without end.
  static constexpr std::size_t kMaxEngines = 4096;

  // A new engine and its ID; EPluginError code 12 when kMaxEngines are live.
  std::pair<std::string, std::shared_ptr<TCryptoEngine>> Create();
  // The engine of exactly that ID; null when none is live.
  std::shared_ptr<TCryptoEngine> Find(std::string_view id) const;
  // Whether an engine of that ID was live (and is now gone from the table).
  bool Remove(std::string_view id);
  // Removes every engine; each is freed when its last user lets go.
  void Clear() noexcept;

 private:
  struct TTextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept {
      return std::hash<std::string_view>()(text);
    }
  };

  mutable std::mutex mutex_;
  std::unordered_map<std::string, std::shared_ptr<TCryptoEngine>, TTextHash, std::equal_to<>>
      engines_;
  std::uint64_t lastId_ = 0;
};

}  // namespace dravik::plugin
