// Token paths of outside signing clients' configurations.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "U_TokenPath.h"

namespace dravik {
namespace {

TEST(IsTokenPath, RecognisesTokenPathsAndRejectsEverythingElse) {
  const struct {
    const char* path;
    const char* prefix;
    std::int32_t slot;
  } cases[] = {
      {"etoken:container", "ETOKEN", -1},
      {"eToken3:container", "ETOKEN", 3},
      {"RUTOKEN2:container", "RUTOKEN", 2},
      {"rutoken:", "RUTOKEN", -1},
      {"IKEY", "IKEY", -1},
      {"ikey", "IKEY", -1},
      {"IKEYS", "", -1},                // further letters without a colon
      {"RUTOKENAB:container", "", -1},  // a slot that is no number
      {"RUTOKEN 2:container", "", -1},
      {"RUTOKEN99999999999:c", "", -1},  // out of range
      {"TOKEN:container", "", -1},
      {"PKCS11:\\RTPKCS11ECP", "PKCS11:\\RTPKCS11ECP", -1},
      {"PKCS11:/RTPKCS11ECP", "PKCS11:\\RTPKCS11ECP", -1},
      {"pkcs11:\\rtpkcs11ecp\\key1", "PKCS11:\\RTPKCS11ECP", -1},
      {"PKCS11:/JCPKCS11", "PKCS11:\\JCPKCS11", -1},
      {"PKCS114:\\ETPKCS11G/key", "PKCS11:\\ETPKCS11G", 4},
      {"PKCS11:\\RTPKCS11ECPX\\key1", "", -1},  // a longer name is another library
      {"PKCS11:RTPKCS11ECP", "", -1},           // no separator after the colon
      {"PKCS11:\\OTHERLIB\\key", "", -1},
      {"PKCS11", "", -1},
      {"PKCS115:\\OTHERLIB", "", 5},  // the slot without a prefix: callers look at the prefix
      {"C:\\Keys\\cert.cer", "", -1},
      {"keys\\a.key", "", -1},
      {"/home/user/keys/a.key", "", -1},
      {"", "", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    std::int32_t slot = 77;
    std::string prefix = "left over";

    IsTokenPath(c.path, slot, prefix);

    EXPECT_EQ(prefix, c.prefix);
    EXPECT_EQ(slot, c.slot);
  }
}

TEST(MatchTokenPrefix, GivesThePartBeforeTheColonAndResetsOnFailure) {
  const struct {
    const char* path;
    bool match;
    const char* matched;
    std::int32_t slot;
  } cases[] = {
      {"RuToken12:a:b", true, "RuToken12", 12},
      {"RUTOKEN", true, "RUTOKEN", -1},
      {"RUTOKE", false, "", -1},
      {"RUTOKENX:a", false, "", -1},
      {"RUTOKEN-1:a", true, "RUTOKEN-1", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    std::string matched = "left over";
    std::int32_t slot = 77;

    EXPECT_EQ(MatchTokenPrefix(c.path, "RUTOKEN", matched, slot), c.match);

    EXPECT_EQ(matched, c.matched);
    EXPECT_EQ(slot, c.slot);
  }
}

}  // namespace
}  // namespace dravik
