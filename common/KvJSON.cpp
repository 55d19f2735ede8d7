#include "KvJSON.h"

namespace dravik {

void AppendJsonString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out.reserve(out.size() + text.size() + 2);
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += "\\u00";
          out += kHex[(c >> 4) & 0x0F];
          out += kHex[c & 0x0F];
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

std::string JsonQuoteString(std::string_view text) {
  std::string out;
  AppendJsonString(out, text);
  return out;
}

}  // namespace dravik
