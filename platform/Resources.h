// Files embedded byte for byte in the binary at build time (dravik_add_resources in
// cmake/DravikResources.cmake), found by name regardless of ASCII letter case.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace dravik::platform {

// One embedded file: its name as registered and its exact bytes.
struct ResourceEntry {
  const char* name;
  const unsigned char* data;
  std::size_t size;
};

// Every resource of this binary in the order registered; empty for a binary without resources.
std::span<const ResourceEntry> ResourceTable() noexcept;

// The bytes of the resource whose name equals the name regardless of ASCII case ("SSL_CERTCA"
// finds "ssl_certca"); nullopt when there is none. An empty resource gives an empty span.
std::optional<std::span<const unsigned char>> FindResource(std::string_view name) noexcept;

// The resource's bytes as a string (NUL bytes included); "" when it is absent.
std::string ResourceText(std::string_view name);

namespace detail {

// Defined by the source that dravik_add_resources generates into the binary; a weak default
// gives an empty table. Hidden, so that a shared library and the program it is loaded into
// never see each other's table.
__attribute__((visibility("hidden"))) std::span<const ResourceEntry>
EmbeddedResourceTable() noexcept;

}  // namespace detail

}  // namespace dravik::platform
