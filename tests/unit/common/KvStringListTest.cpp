#include "KvStringList.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

namespace dravik {
namespace {

using Lines = std::vector<std::string>;

TStringList ListOf(Lines lines) {
  TStringList list;
  list.Assign(std::move(lines));
  return list;
}

TEST(TStringList, AddInsertDeleteKeepOrder) {
  TStringList list;

  EXPECT_EQ(list.Add("b"), 0);
  EXPECT_EQ(list.Add("d"), 1);
  list.Insert(0, "a");
  list.Insert(2, "c");
  list.Insert(list.Count(), "e");
  list.Delete(4);
  list.Set(3, "D");
  list[0] += "!";

  EXPECT_EQ(list.Lines(), (Lines{"a!", "b", "c", "D"}));
  EXPECT_EQ(list.Get(1), "b");
  EXPECT_EQ(Lines(list.begin(), list.end()), list.Lines());
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

TEST(TStringList, BadIndexThrowsListErrorNamingIndex) {
  TStringList list = ListOf({"a", "b"});
  const TStringList& constList = list;
  const struct {
    const char* what;
    std::function<void()> action;
    const char* message;
  } cases[] = {
      {"get", [&] { (void)constList[2]; }, "List index out of bounds (2)"},
      {"get negative", [&] { (void)list.Get(-1); }, "List index out of bounds (-1)"},
      {"mutable", [&] { (void)list[5]; }, "List index out of bounds (5)"},
      {"set", [&] { list.Set(2, "x"); }, "List index out of bounds (2)"},
      {"insert past end", [&] { list.Insert(3, "x"); }, "List index out of bounds (3)"},
      {"insert negative", [&] { list.Insert(-1, "x"); }, "List index out of bounds (-1)"},
      {"delete", [&] { list.Delete(2); }, "List index out of bounds (2)"},
      {"name", [&] { (void)list.Name(2); }, "List index out of bounds (2)"},
      {"value", [&] { (void)list.ValueFromIndex(-3); }, "List index out of bounds (-3)"},
  };
  for (const auto& c : cases) {
    try {
      c.action();
      ADD_FAILURE() << c.what << ": no exception";
    } catch (const EListError& e) {
      EXPECT_STREQ(e.what(), c.message) << c.what;
    }
  }
  EXPECT_EQ(list.Lines(), (Lines{"a", "b"}));
}

TEST(TStringList, IndexOfIgnoresAsciiCaseUnlessCaseSensitive) {
  TStringList list = ListOf({"alpha", "Beta", "beta"});

  EXPECT_EQ(list.IndexOf("BETA"), 1);
  EXPECT_EQ(list.IndexOf("bet"), -1);
  list.SetCaseSensitive(true);
  EXPECT_EQ(list.IndexOf("beta"), 2);
  EXPECT_EQ(list.IndexOf("BETA"), -1);
}

TEST(TStringList, TextEndsEveryLineWithTheLineBreak) {
  TStringList list = ListOf({"a", "", "b"});

  EXPECT_EQ(list.Text(), "a\r\n\r\nb\r\n");
  list.SetTrailingLineBreak(false);
  EXPECT_EQ(list.Text(), "a\r\n\r\nb");
  list.SetLineBreak("\n");
  EXPECT_EQ(list.Text(), "a\n\nb");
  EXPECT_EQ(TStringList().Text(), "");
}

TEST(TStringList, SetTextSplitsAtEveryLineBreakKind) {
  TStringList list = ListOf({"old"});

  list.SetText("a\r\nb\rc\nd\r\n");

  EXPECT_EQ(list.Lines(), (Lines{"a", "b", "c", "d"}));
}

TEST(TStringListDelimited, WritesQuotingWhereNeeded) {
  const struct {
    Lines lines;
    std::string text;
  } cases[] = {
      {{}, ""},
      {{""}, "\"\""},
      {{"", ""}, ","},
      {{"a", ""}, "a,"},
      {{"", "a"}, ",a"},
      {{"a", "b c", "d"}, "a,\"b c\",d"},
      {{"say \"hi\""}, "\"say \"\"hi\"\"\""},
      {{"a\"b"}, "\"a\"\"b\""},
      {{"x,y"}, "\"x,y\""},
      {{"tab\there"}, "\"tab\there\""},
      {{"\x01"}, "\"\x01\""},
      {{"\xD0\x9A\xD0\xA1"}, "\xD0\x9A\xD0\xA1"},  // bytes above 0x7F need no quotes
      {{"a;b"}, "a;b"},
  };
  for (const auto& c : cases) EXPECT_EQ(ListOf(c.lines).DelimitedText(), c.text) << c.text;
}

TEST(TStringListDelimited, ReadsItemsQuotesAndEmptyLines) {
  const struct {
    std::string text;
    Lines lines;
  } cases[] = {
      {"", {}},
      {"   ", {}},
      {"\"\"", {""}},
      {"a", {"a"}},
      {"a,b", {"a", "b"}},
      {" a , b ", {"a", "b"}},
      {"a,,b", {"a", "", "b"}},
      {",", {"", ""}},
      {",a", {"", "a"}},
      {"a,", {"a", ""}},
      {"a,  ", {"a", ""}},
      {"a b", {"a", "b"}},  // a blank ends an unquoted item
      {"a\tb,c", {"a", "b", "c"}},
      {"\"a b\",c", {"a b", "c"}},
      {"\"a\"\"b\"", {"a\"b"}},  // a doubled quote stands for one
      {"\"\"\"\"", {"\""}},
      {"\"a\"b", {"a", "b"}},  // reading goes on after the closing quote
      {"\"unterminated, still", {"unterminated, still"}},
      {"\"ends in doubled\"\"", {"ends in doubled\""}},
      {"a\"b", {"a\"b"}},  // a quote inside an unquoted item is plain
  };
  for (const auto& c : cases) {
    TStringList list = ListOf({"old"});
    list.SetDelimitedText(c.text);
    EXPECT_EQ(list.Lines(), c.lines) << c.text;
  }
}

TEST(TStringListDelimited, HonoursOtherDelimiterAndQuoteChar) {
  TStringList list;
  list.SetDelimiter(';');
  list.SetQuoteChar('\'');

  list.SetDelimitedText("a;;'b;c';'it''s'");

  EXPECT_EQ(list.Lines(), (Lines{"a", "", "b;c", "it's"}));
  EXPECT_EQ(list.DelimitedText(), "a;;'b;c';'it''s'");
}

TEST(TStringListDelimited, AwkwardLinesSurviveRoundTrip) {
  const Lines cases[] = {
      {""},
      {"", ""},
      {"", "", ""},
      {" leading", "trailing ", " "},
      {"\"", "\"\"", "\"quoted\""},
      {",", ",,", "a,b"},
      {"line\r\nbreak", "\t", std::string(1, '\0')},
      {"", "a", ""},
  };
  for (const Lines& lines : cases) {
    TStringList read;
    read.SetDelimitedText(ListOf(lines).DelimitedText());
    EXPECT_EQ(read.Lines(), lines) << ListOf(lines).DelimitedText();
  }
}

TEST(TStringListDelimited, RandomInputTerminatesAndRereadsTheSame) {
  constexpr char kAlphabet[] = {',', '"', ' ', '\t', 'a', 'b', ';', '\0', '\n', '\x80'};
  std::mt19937 random(20240611);
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kAlphabet - 1);
  std::uniform_int_distribution<int> length(0, 12);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    for (int i = length(random); i > 0; --i) text += kAlphabet[pick(random)];

    TStringList first;
    first.SetDelimitedText(text);
    TStringList second;
    second.SetDelimitedText(first.DelimitedText());

    ASSERT_EQ(second.Lines(), first.Lines()) << "input: " << text;
  }
}

TEST(TStringListNames, SplitsLinesAtFirstEquals) {
  const TStringList list = ListOf({"a=1", "B==2", "plain", "=empty name", "c="});
  const struct {
    int index;
    const char* name;
    const char* value;
  } cases[] = {
      {0, "a", "1"}, {1, "B", "=2"}, {2, "", ""}, {3, "", "empty name"}, {4, "c", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(list.Name(c.index), c.name) << c.index;
    EXPECT_EQ(list.ValueFromIndex(c.index), c.value) << c.index;
  }
  EXPECT_EQ(list.IndexOfName("b"), 1);
  EXPECT_EQ(list.IndexOfName(""), 3);  // "plain" has no name at all
  EXPECT_EQ(list.IndexOfName("plain"), -1);
  EXPECT_EQ(list.Value("A"), "1");
  EXPECT_EQ(list.Value("missing"), "");
}

TEST(TStringListNames, NameLookupFollowsCaseSensitivity) {
  TStringList list = ListOf({"Key=1", "key=2"});

  EXPECT_EQ(list.Value("KEY"), "1");
  list.SetCaseSensitive(true);
  EXPECT_EQ(list.Value("key"), "2");
  EXPECT_EQ(list.IndexOfName("KEY"), -1);
}

TEST(TStringListNames, SetValueReplacesAppendsOrDeletes) {
  TStringList list = ListOf({"Host=a", "x", "host=b", "Port=1"});

  list.SetValue("HOST", "c=d");
  list.SetValue("Proxy", "p");
  list.SetValue("port", "");
  list.SetValue("absent", "");

  EXPECT_EQ(list.Lines(), (Lines{"Host=c=d", "x", "host=b", "Proxy=p"}));
  EXPECT_THROW(list.SetValue("a=b", "c"), EConvertError);
  EXPECT_EQ(list.Count(), 4);
}

TEST(TStringList, CopiesCompareEqualByLinesOnly) {
  TStringList original = ListOf({"a", "b"});
  original.SetDelimiter(';');

  TStringList copy = original;
  copy.SetCaseSensitive(true);
  TStringList moved = std::move(copy);

  EXPECT_TRUE(moved == original);
  EXPECT_EQ(moved.Delimiter(), ';');
  moved.Set(1, "B");
  EXPECT_FALSE(moved == original);
  EXPECT_EQ(original.ClassName(), "TStringList");
}

}  // namespace
}  // namespace dravik
