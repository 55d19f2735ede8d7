#include "U_TokenPath.h"

namespace dravik {

bool MatchTokenPrefix(std::string_view path, std::string_view prefix, std::string& matched,
                      std::int32_t& slot) {
  slot = kNoTokenSlot;
  matched.clear();
  if (!StartsText(prefix, path)) return false;
  const std::size_t colon = path.find(':');
  if (colon == std::string_view::npos) {
    if (!SameText(path, prefix)) return false;
    matched = path;
    return true;
  }
  // The path begins with the prefix, which holds no colon, so the colon lies after it.
  const std::string_view slotText = path.substr(prefix.size(), colon - prefix.size());
  if (!slotText.empty() && !TryParseInt(slotText, slot)) {
    slot = kNoTokenSlot;
    return false;
  }
  matched = path.substr(0, colon);
  return true;
}

bool MatchPKCS11LibraryName(std::string_view comparisonText, std::string_view matched,
                            std::string_view library) {
  const std::string expected = LowerCase(matched) + ":/" + LowerCase(library) + "/";
  return comparisonText.starts_with(expected);
}

void MatchPKCS11Library(std::string_view path, std::string_view matched, std::string& tokenPrefix) {
  tokenPrefix.clear();
  std::string comparison = LowerCase(path);
  for (char& c : comparison) {
    if (c == '\\') c = '/';
  }
  comparison += '/';
  for (const std::string_view library : kPKCS11Libraries) {
    if (MatchPKCS11LibraryName(comparison, matched, library)) {
      tokenPrefix = std::string(kPKCS11Prefix) + ":\\" + std::string(library);
      return;
    }
  }
}

void IsTokenPath(std::string_view path, std::int32_t& tokenSlot, std::string& tokenPrefix) {
  tokenPrefix.clear();
  tokenSlot = kNoTokenSlot;
  std::string matched;
  for (const std::string_view prefix : kTokenPrefixes) {
    if (MatchTokenPrefix(path, prefix, matched, tokenSlot)) {
      tokenPrefix = prefix;
      return;
    }
  }
  if (MatchTokenPrefix(path, kPKCS11Prefix, matched, tokenSlot))
    MatchPKCS11Library(path, matched, tokenPrefix);
}

}  // namespace dravik
