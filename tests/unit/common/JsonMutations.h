// Byte-level mutations of JSON texts, for the tests that hold a quick reader to the full one.
#pragma once

#include <random>
#include <string>
#include <vector>

namespace dravik::testing {

// Each seed as it is, then `rounds` copies of it with one to three bytes replaced, inserted or
// removed (bytes that matter to a JSON reader), all handed to `check`. The same every run.
template <class Check>
void ForEachJsonMutation(const std::vector<std::string>& seeds, int rounds, Check check) {
  std::mt19937 random(20261211);
  const std::string specials =
      "\"\\{}[],:-0123456789.eE+ \t\r\nuntrufalse/\x01\x7f\x80\xbf\xc3\xed\xf0\xff";
  for (const std::string& seed : seeds) {
    check(seed);
    for (int round = 0; round < rounds; ++round) {
      std::string text = seed;
      for (int edits = 1 + static_cast<int>(random() % 3); edits > 0; --edits) {
        const std::size_t at = random() % (text.size() + 1);
        const char c = specials[random() % specials.size()];
        switch (random() % 3) {
          case 0:
            if (at < text.size()) text[at] = c;
            break;
          case 1:
            text.insert(at, 1, c);
            break;
          default:
            if (at < text.size()) text.erase(at, 1);
        }
      }
      check(text);
    }
  }
}

}  // namespace dravik::testing
