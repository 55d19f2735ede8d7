#include "MemoryRegions.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace dravik::platform {
namespace {

std::uintptr_t AddressOf(const void* pointer) { return reinterpret_cast<std::uintptr_t>(pointer); }

void FunctionOfThisBinary() {}

// Five private pages laid out as read-write, execute-only, guard, hole, guard; the outer
// guard keeps the hole from being merged into or taken by a neighbouring mapping.
class MappedPagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    page_ = std::size_t(sysconf(_SC_PAGESIZE));
    void* pages = mmap(nullptr, 5 * page_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(pages, MAP_FAILED);
    base_ = AddressOf(pages);
    ASSERT_EQ(mprotect(Page(0), page_, PROT_READ | PROT_WRITE), 0);
    ASSERT_EQ(mprotect(Page(1), page_, PROT_EXEC), 0);
    ASSERT_EQ(munmap(Page(3), page_), 0);
  }

  void TearDown() override {
    if (base_ == 0) return;
    munmap(Page(0), 3 * page_);
    munmap(Page(4), page_);
  }

  void* Page(std::size_t index) const { return reinterpret_cast<void*>(PageAddress(index)); }
  std::uintptr_t PageAddress(std::size_t index) const { return base_ + index * page_; }

  std::size_t page_ = 0;
  std::uintptr_t base_ = 0;
};

TEST_F(MappedPagesTest, FindMemoryRegion_GivesEachPagesProtection) {
  const std::vector<MemoryRegion> map = ReadMemoryMap();
  const struct {
    std::size_t page;
    bool readable, writable, executable;
  } cases[] = {
      {0, true, true, false},
      {1, false, false, true},
      {2, false, false, false},
      {4, false, false, false},
  };

  for (const auto& c : cases) {
    const std::optional<MemoryRegion> region = FindMemoryRegion(map, PageAddress(c.page) + 1);
    ASSERT_TRUE(region.has_value()) << "page " << c.page;
    EXPECT_EQ(region->readable, c.readable) << "page " << c.page;
    EXPECT_EQ(region->writable, c.writable) << "page " << c.page;
    EXPECT_EQ(region->executable, c.executable) << "page " << c.page;
    EXPECT_FALSE(region->shared) << "page " << c.page;
  }
}

TEST_F(MappedPagesTest, FindMemoryRegion_AdjacentRegionsTouchAndHoleIsUnmapped) {
  const std::vector<MemoryRegion> map = ReadMemoryMap();

  const std::optional<MemoryRegion> first = FindMemoryRegion(map, PageAddress(0));
  const std::optional<MemoryRegion> lastByteOfFirst = FindMemoryRegion(map, PageAddress(1) - 1);
  const std::optional<MemoryRegion> second = FindMemoryRegion(map, PageAddress(1));
  const std::optional<MemoryRegion> guard = FindMemoryRegion(map, PageAddress(3) - 1);

  ASSERT_TRUE(first && second && guard);
  EXPECT_EQ(first->base + first->size, PageAddress(1));
  EXPECT_EQ(lastByteOfFirst, first);
  EXPECT_EQ(second->base, PageAddress(1));
  EXPECT_EQ(second->size, page_);
  EXPECT_EQ(guard->base + guard->size, PageAddress(3));
  EXPECT_EQ(FindMemoryRegion(map, PageAddress(3)), std::nullopt);
  EXPECT_EQ(FindMemoryRegion(map, PageAddress(4) - 1), std::nullopt);
  EXPECT_EQ(QueryMemoryRegion(PageAddress(3)), std::nullopt);
}

TEST(MemoryRegionsTest, QueryMemoryRegion_StackIsReadWriteAndCodeIsReadExecute) {
  int onStack = 0;

  const std::optional<MemoryRegion> stack = QueryMemoryRegion(AddressOf(&onStack));
  const std::optional<MemoryRegion> code =
      QueryMemoryRegion(AddressOf(reinterpret_cast<const void*>(&FunctionOfThisBinary)));

  ASSERT_TRUE(stack.has_value());
  EXPECT_TRUE(stack->readable && stack->writable);
  ASSERT_TRUE(code.has_value());
  EXPECT_TRUE(code->readable && code->executable);
  EXPECT_FALSE(code->writable);
}

TEST(MemoryRegionsTest, ParseMemoryMap_SkipsLinesThatDoNotParse) {
  const std::string_view text =
      "1000-2000 r-xp 00000000 08:01 42   /usr/bin/app\n"
      "2000-3000 rw-s 00000000 00:05 7    /dev/shm/x (deleted)\n"
      "3000-3000 r--p 00000000 00:00 0\n"  // empty range
      "5000-4000 r--p 00000000 00:00 0\n"  // reversed range
      "4000-5000 rwzp 00000000 00:00 0\n"  // unknown permission
      "4000-5000 r--pp 00000000 00:00 0\n"
      "4000 r--p 00000000 00:00 0\n"
      "-5000 r--p 00000000 00:00 0\n"
      "x4000-5000 r--p\n"
      "4000-5000\n"
      "10000000000000000-10000000000000001 r--p 0 0:0 0\n"  // beyond the address space
      "\n"
      "ffffffffff600000-ffffffffff601000 --xp 00000000 00:00 0   [vsyscall]";
  const std::vector<MemoryRegion> expected = {
      {0x1000, 0x1000, true, false, true, false},
      {0x2000, 0x1000, true, true, false, true},
      {0xffffffffff600000, 0x1000, false, false, true, false},
  };

  EXPECT_EQ(ParseMemoryMap(text), expected);
}

TEST(MemoryRegionsTest, FindMemoryRegion_BoundariesOfAHandMadeMap) {
  const std::vector<MemoryRegion> map = {
      {0x1000, 0x1000, true, false, false, false},
      {0x2000, 0x2000, true, true, false, false},
      {0x8000, 0x1000, false, false, false, false},
  };
  const struct {
    std::uintptr_t address;
    std::optional<std::uintptr_t> base;
  } cases[] = {
      {0x0, std::nullopt},    {0xfff, std::nullopt},
      {0x1000, 0x1000},       {0x1fff, 0x1000},
      {0x2000, 0x2000},       {0x3fff, 0x2000},
      {0x4000, std::nullopt}, {0x8fff, 0x8000},
      {0x9000, std::nullopt}, {UINTPTR_MAX, std::nullopt},
  };

  for (const auto& c : cases) {
    const std::optional<MemoryRegion> region = FindMemoryRegion(map, c.address);
    EXPECT_EQ(region ? std::optional(region->base) : std::nullopt, c.base) << c.address;
  }
  EXPECT_EQ(FindMemoryRegion({}, 0x1000), std::nullopt);
}

}  // namespace
}  // namespace dravik::platform
