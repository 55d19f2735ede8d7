// UTF-8 checks for what the library writes: no reply and no trace line may carry bytes that
// are not valid UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace dravik::plugin {

// Well-formed UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view text) noexcept;

// The text with every ill-formed sequence replaced by U+FFFD (one per maximal ill-formed
// subpart, as Unicode recommends); valid text comes back unchanged.
std::string SanitizeUtf8(std::string_view text);

}  // namespace dravik::plugin
