// The bytes of a large request body as they arrive: blocks mapped one at a time, so that the
// memory a body holds follows what was received rather than what was announced, then moved
// into one string with each block unmapped as soon as it is copied. Owned by one connection
// and touched only by the thread that reads or serves it.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dravik {

class TBodyBlocks {
 public:
  // `length` is the body's announced length, which the blocks never pass.
  explicit TBodyBlocks(std::size_t length) noexcept : length_(length) {}
  TBodyBlocks(const TBodyBlocks&) = delete;
  TBodyBlocks& operator=(const TBodyBlocks&) = delete;
  ~TBodyBlocks();

  // Room for the next bytes, mapping a new block when the last one is full; empty when the
  // body is complete or no block could be mapped.
  std::span<char> Room() noexcept;
  // `count` bytes of the room were filled.
  void Commit(std::size_t count) noexcept { size_ += count, used_ += count; }
  // Copies the bytes in; false when no block could be mapped.
  bool Append(std::string_view bytes) noexcept;
  std::size_t Size() const noexcept { return size_; }
  // Appends every byte to `out`, reserved for them first, unmapping each block once copied.
  void MoveTo(std::string& out);

 private:
  struct TBlock {
    char* data;
    std::size_t size;
  };
  void Unmap() noexcept;

  std::size_t length_;
  std::size_t size_ = 0;
  std::size_t used_ = 0;  // bytes of the last block filled
  std::vector<TBlock> blocks_;
};

}  // namespace dravik
