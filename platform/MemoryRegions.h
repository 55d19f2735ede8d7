// The mapped regions of this process's address space, from /proc/self/maps.
//
// Regions follow each other without a gap where mappings touch (base + size == next.base),
// and a guard page mapped PROT_NONE is a region that is neither readable, writable nor
// executable; a range check must walk the regions rather than trust the first one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace dravik::platform {

struct MemoryRegion {
  std::uintptr_t base = 0;
  std::size_t size = 0;
  bool readable = false;
  bool writable = false;
  bool executable = false;
  bool shared = false;

  bool operator==(const MemoryRegion&) const = default;
};

// Every region of /proc/self/maps, in ascending address order; empty when it is unreadable.
std::vector<MemoryRegion> ReadMemoryMap();

// The regions of text in the form of /proc/<pid>/maps, ascending; a line that does not
// parse is skipped.
std::vector<MemoryRegion> ParseMemoryMap(std::string_view mapsText);

// The region of a map (ascending, as the functions above give it) that contains the address;
// nullopt when the address is not mapped.
std::optional<MemoryRegion> FindMemoryRegion(const std::vector<MemoryRegion>& map,
                                             std::uintptr_t address);

// FindMemoryRegion(ReadMemoryMap(), address).
std::optional<MemoryRegion> QueryMemoryRegion(std::uintptr_t address);

}  // namespace dravik::platform
