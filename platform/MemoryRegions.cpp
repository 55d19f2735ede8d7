#include "MemoryRegions.h"

#include <algorithm>
#include <charconv>
#include <string>

#include "Files.h"

namespace dravik::platform {
namespace {

// Parses a hexadecimal address at the front of text and drops it from text.
bool TakeAddress(std::string_view& text, std::uintptr_t& address) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), address, 16);
  if (error != std::errc() || end == text.data()) return false;
  text.remove_prefix(std::size_t(end - text.data()));
  return true;
}

bool TakeChar(std::string_view& text, char expected) {
  if (text.empty() || text.front() != expected) return false;
  text.remove_prefix(1);
  return true;
}

// One line: "start-end perms offset device inode [path]"; only the range and the
// permissions matter here, so the rest is not examined.
std::optional<MemoryRegion> ParseLine(std::string_view line) {
  std::uintptr_t start = 0;
  std::uintptr_t end = 0;
  if (!TakeAddress(line, start) || !TakeChar(line, '-') || !TakeAddress(line, end) ||
      !TakeChar(line, ' ') || start >= end || line.size() < 4)
    return std::nullopt;
  const std::string_view perms = line.substr(0, 4);
  if ((perms[0] != 'r' && perms[0] != '-') || (perms[1] != 'w' && perms[1] != '-') ||
      (perms[2] != 'x' && perms[2] != '-') || (perms[3] != 's' && perms[3] != 'p'))
    return std::nullopt;
  if (line.size() > 4 && line[4] != ' ') return std::nullopt;
  return MemoryRegion{start,           std::size_t(end - start), perms[0] == 'r',
                      perms[1] == 'w', perms[2] == 'x',          perms[3] == 's'};
}

}  // namespace

std::vector<MemoryRegion> ReadMemoryMap() {
  return ParseMemoryMap(ReadWholeFile("/proc/self/maps").value_or(std::string()));
}

std::vector<MemoryRegion> ParseMemoryMap(std::string_view mapsText) {
  std::vector<MemoryRegion> map;
  while (!mapsText.empty()) {
    const std::size_t lineEnd = mapsText.find('\n');
    if (auto region = ParseLine(mapsText.substr(0, lineEnd))) map.push_back(*region);
    mapsText.remove_prefix(lineEnd == std::string_view::npos ? mapsText.size() : lineEnd + 1);
  }
  const auto byBase = [](const MemoryRegion& a, const MemoryRegion& b) { return a.base < b.base; };
  if (!std::is_sorted(map.begin(), map.end(), byBase))
    std::stable_sort(map.begin(), map.end(), byBase);
  return map;
}

std::optional<MemoryRegion> FindMemoryRegion(const std::vector<MemoryRegion>& map,
                                             std::uintptr_t address) {
  // The last region that starts at or below the address is the only one that can hold it.
  auto after = std::upper_bound(
      map.begin(), map.end(), address,
      [](std::uintptr_t value, const MemoryRegion& region) { return value < region.base; });
  if (after == map.begin()) return std::nullopt;
  const MemoryRegion& region = *std::prev(after);
  if (address - region.base >= region.size) return std::nullopt;
  return region;
}

std::optional<MemoryRegion> QueryMemoryRegion(std::uintptr_t address) {
  return FindMemoryRegion(ReadMemoryMap(), address);
}

}  // namespace dravik::platform
