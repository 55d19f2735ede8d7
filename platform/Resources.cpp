#include "Resources.h"

#include "Ascii.h"

namespace dravik::platform {

// The default for binaries without resources. A weak function rather than a weak variable: the
// compiler may neither inline it nor fold its empty result into the callers below.
__attribute__((weak)) std::span<const ResourceEntry> detail::EmbeddedResourceTable() noexcept {
  return {};
}

std::span<const ResourceEntry> ResourceTable() noexcept { return detail::EmbeddedResourceTable(); }

std::optional<std::span<const unsigned char>> FindResource(std::string_view name) noexcept {
  for (const ResourceEntry& entry : ResourceTable()) {
    if (AsciiEqualNoCase(entry.name, name))
      return std::span<const unsigned char>(entry.data, entry.size);
  }
  return std::nullopt;
}

std::string ResourceText(std::string_view name) {
  const auto bytes = FindResource(name);
  if (!bytes) return {};
  return std::string(reinterpret_cast<const char*>(bytes->data()), bytes->size());
}

}  // namespace dravik::platform
