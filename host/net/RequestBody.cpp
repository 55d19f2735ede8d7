// The blocks of a large request body; touches only its own mappings.
#include "net/RequestBody.h"

#include <sys/mman.h>

#include <algorithm>

namespace dravik {

namespace {

// Mapped memory becomes resident only as it is written, and goes back to the system at once
// when unmapped, whatever the allocator would keep.
constexpr std::size_t kBlockSize = 1024 * 1024;

}  // namespace

TBodyBlocks::~TBodyBlocks() { Unmap(); }

void TBodyBlocks::Unmap() noexcept {
  for (const TBlock& block : blocks_) ::munmap(block.data, block.size);
  blocks_.clear();
}

std::span<char> TBodyBlocks::Room() noexcept {
  if (size_ >= length_) return {};
  if (blocks_.empty() || used_ == blocks_.back().size) {
    const std::size_t size = std::min(kBlockSize, length_ - size_);
    void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (data == MAP_FAILED) return {};
    try {
      blocks_.push_back({static_cast<char*>(data), size});
    } catch (...) {
      ::munmap(data, size);
      return {};
    }
    used_ = 0;
  }
  const TBlock& last = blocks_.back();
  return {last.data + used_, last.size - used_};
}

bool TBodyBlocks::Append(std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    const std::span<char> room = Room();
    if (room.empty()) return false;
    const std::size_t count = std::min(room.size(), bytes.size());
    std::copy_n(bytes.data(), count, room.data());
    Commit(count);
    bytes.remove_prefix(count);
  }
  return true;
}

void TBodyBlocks::MoveTo(std::string& out) {
  out.reserve(out.size() + size_);
  std::size_t left = size_;
  for (TBlock& block : blocks_) {
    const std::size_t count = std::min(left, block.size);
    out.append(block.data, count);
    left -= count;
    ::munmap(block.data, block.size);
    block.size = 0;
  }
  blocks_.clear();
  size_ = used_ = 0;
}

}  // namespace dravik
