// The resources are the fixture files that tests/unit/platform/CMakeLists.txt registers.
#include "Resources.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace dravik::platform {
namespace {

std::string ReadFixture(const std::string& name) {
  std::ifstream file(std::string(DRAVIK_RESOURCE_FIXTURES) + "/" + name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string AsString(std::span<const unsigned char> bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

struct LookupCase {
  const char* name;
  const char* fixtureFile;
};

TEST(ResourcesTest, FindResource_RegisteredNameInAnyCase_GivesTheFileBytes) {
  const std::string mixed = ReadFixture("mixed-bytes.bin");
  // The comparison only means something if the checkout kept the bytes that need keeping.
  ASSERT_NE(mixed.find("\r\n"), std::string::npos);
  ASSERT_NE(mixed.find('\0'), std::string::npos);
  ASSERT_NE(mixed.find('\xFF'), std::string::npos);
  const LookupCase cases[] = {
      {"FIXTURE_BINARY", "mixed-bytes.bin"}, {"fixture_binary", "mixed-bytes.bin"},
      {"Fixture_Binary", "mixed-bytes.bin"}, {"Fixture_Empty", "empty.bin"},
      {"FIXTURE_EMPTY", "empty.bin"},        {"fixture_generated", "mixed-bytes.bin"},
  };

  for (const LookupCase& c : cases) {
    const auto bytes = FindResource(c.name);

    ASSERT_TRUE(bytes.has_value()) << c.name;
    EXPECT_EQ(AsString(*bytes), ReadFixture(c.fixtureFile)) << c.name;
    EXPECT_EQ(ResourceText(c.name), ReadFixture(c.fixtureFile)) << c.name;
  }
}

TEST(ResourcesTest, FindResource_UnregisteredName_IsAbsent) {
  const std::string_view names[] = {"",
                                    "FIXTURE",
                                    "FIXTURE_BINARY2",
                                    "FIXTURE_BINAR",
                                    std::string_view("FIXTURE_BINARY\0", 15),
                                    "FIXTURE-BINARY"};

  for (const std::string_view name : names) {
    EXPECT_FALSE(FindResource(name).has_value()) << name;
    EXPECT_EQ(ResourceText(name), "") << name;
  }
}

TEST(ResourcesTest, ResourceTable_ListsTheRegisteredNamesInOrder) {
  std::vector<std::string> names;

  for (const ResourceEntry& entry : ResourceTable()) names.emplace_back(entry.name);

  const std::vector<std::string> expected = {"FIXTURE_BINARY", "Fixture_Empty",
                                             "Fixture_Generated"};
  EXPECT_EQ(names, expected);
}

TEST(ResourcesTest, ResourceTable_BinaryWithoutResources_IsEmpty) {
  // The versioned fixture embeds nothing; it prints its FileVersion and then its table's size.
  const std::unique_ptr<FILE, int (*)(FILE*)> run(popen("'" DRAVIK_VERSIONED_FIXTURE "'", "r"),
                                                  pclose);
  ASSERT_NE(run, nullptr);
  char version[64] = {};
  char count[64] = {};

  ASSERT_NE(fgets(version, sizeof version, run.get()), nullptr);
  ASSERT_NE(fgets(count, sizeof count, run.get()), nullptr);

  EXPECT_STREQ(version, DRAVIK_PROJECT_VERSION "\n");
  EXPECT_STREQ(count, "0\n");
}

}  // namespace
}  // namespace dravik::platform
