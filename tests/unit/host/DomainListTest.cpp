#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "U_Settings.h"

namespace dravik {
namespace {

using Lines = std::vector<std::string>;

const std::string kServer(kServerHostName);

// ---------------------------------------------------------------------------------------------
// The ';' text form

struct TextFormCase {
  const char* text;
  Lines lines;
  const char* written;
};

class DomainTextFormTest : public ::testing::TestWithParam<TextFormCase> {};

TEST_P(DomainTextFormTest, SetDelimitedText_GivesLinesAndWritesCanonicalText) {
  const TextFormCase& c = GetParam();
  TBaseDomainList list;

  list.SetDelimitedText(c.text);

  EXPECT_EQ(list.Lines(), c.lines);
  EXPECT_EQ(list.DelimitedText(), c.written);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DomainTextFormTest,
    ::testing::Values(
        TextFormCase{"", {}, ""}, TextFormCase{"  \t ", {}, ""},
        TextFormCase{"a.example;b.example", {"a.example", "b.example"}, "a.example;b.example"},
        TextFormCase{"  a ; b  ", {"a", "b"}, "a;b"},
        TextFormCase{"a b", {"a", "b"}, "a;b"},                  // a blank splits an item
        TextFormCase{"a; ", {"a", ""}, "a;"},                    // blanks after a final ';'
        TextFormCase{";;", {"", "", ""}, ";;"},                  // empty items all around
        TextFormCase{"a; b;;c", {"a", "b", "", "c"}, "a;b;;c"},  // ";;" holds an empty line
        TextFormCase{"\"\"", {""}, "\"\""},                      // one empty line
        TextFormCase{"\"a b\";\"x;y\"", {"a b", "x;y"}, "\"a b\";\"x;y\""},
        TextFormCase{"\"say \"\"hi\"\"\"", {"say \"hi\""}, "\"say \"\"hi\"\"\""},
        TextFormCase{"\"tab\there\"", {"tab\there"}, "\"tab\there\""},
        TextFormCase{"\"open end", {"open end"}, "\"open end\""},
        TextFormCase{"\"a\"b", {"a", "b"}, "a;b"}));

TEST(DomainListTest, RebuildOrigins_AfterTextWithEmptyItem_DeletesEmptyLineAndMapsHosts) {
  TDomainList list;
  list.SetDelimitedText("A.example; b.example:8443;;https://c.example/path");
  ASSERT_EQ(list.Count(), 4);

  list.RebuildOrigins();

  EXPECT_EQ(list.Lines(), (Lines{"A.example", "b.example:8443", "https://c.example/path"}));
  EXPECT_EQ(list.DelimitedText(), "A.example;b.example:8443;https://c.example/path");
  EXPECT_EQ(list.Origins(), (Lines{kServer, "a.example", "b.example", "c.example"}));
}

TEST(DomainListTest, ResetOrigins_AfterRebuild_KeepsServerHostOnly) {
  TDomainList list;
  list.SetDelimitedText("a.example");
  list.RebuildOrigins();

  list.ResetOrigins();

  EXPECT_EQ(list.Origins(), Lines{kServer});
  EXPECT_EQ(list.Count(), 1);
}

TEST(DomainListTest, ReplaceDomains_SameTextOrDifferentText_ReplacesOnlyOnDifference) {
  TDomainList list;
  ASSERT_TRUE(list.ReplaceDomains("a.example;b.example"));
  list.Add("");  // an empty line the text form shows as a trailing ';'

  EXPECT_FALSE(list.ReplaceDomains("a.example;b.example;"));
  EXPECT_EQ(list.Count(), 3);

  EXPECT_TRUE(list.ReplaceDomains("a.example; b.example;"));
  EXPECT_EQ(list.Lines(), (Lines{"a.example", "b.example"}));
  EXPECT_EQ(list.Origins(), (Lines{kServer, "a.example", "b.example"}));
}

TEST(DomainListTest, ReplaceDomains_WithRequiredLines_PutsMissingOnesInFrontInReverse) {
  TDomainList list;

  list.ReplaceDomains("my.example;B.EXAMPLE", "a.example;b.example;c.example");

  EXPECT_EQ(list.Lines(), (Lines{"c.example", "a.example", "my.example", "B.EXAMPLE"}));
  EXPECT_EQ(list.Origins(), (Lines{kServer, "c.example", "a.example", "my.example", "b.example"}));
}

// ---------------------------------------------------------------------------------------------
// NormalizeDomain

struct NormalizeCase {
  const char* input;
  const char* host;
  const char* hostWithPort;
};

class NormalizeDomainTest : public ::testing::TestWithParam<NormalizeCase> {};

TEST_P(NormalizeDomainTest, Normalize_GivesHostWithAndWithoutPort) {
  const NormalizeCase& c = GetParam();

  EXPECT_EQ(NormalizeDomain(c.input), c.host);
  EXPECT_EQ(NormalizeDomain(c.input, true), c.hostWithPort);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NormalizeDomainTest,
    ::testing::Values(
        NormalizeCase{"", "", ""},
        NormalizeCase{" \t bank.example \r\n", "bank.example", "bank.example"},
        NormalizeCase{"HTTPS://Online.Bank.EXAMPLE:8443", "online.bank.example",
                      "online.bank.example:8443"},
        NormalizeCase{"http://bank.example:81/path/x?q=1#f", "bank.example", "bank.example:81"},
        NormalizeCase{"bank.example?x=1", "bank.example?x=1", "bank.example?x=1"},
        NormalizeCase{"bank.example#top", "bank.example#top", "bank.example#top"},
        NormalizeCase{"ftp://bank.example", "ftp", "ftp:"},         // other schemes are not known
        NormalizeCase{"http://http://a.example", "http", "http:"},  // only the first goes
        NormalizeCase{"https://http://a.example", "a.example", "a.example"},
        NormalizeCase{"xhttp://a.example", "xa.example", "xa.example"},
        NormalizeCase{"http://:8080/", "", ":8080"},
        NormalizeCase{"\xD0\x91\xD0\xB0\xD0\xBD\xD0\xBA.EXAMPLE",
                      "\xD0\x91\xD0\xB0\xD0\xBD\xD0\xBA.example",
                      "\xD0\x91\xD0\xB0\xD0\xBD\xD0\xBA.example"}));

// ---------------------------------------------------------------------------------------------
// The checks of TDomainList

class DomainListCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    list.SetDelimitedText("bank.example;Shop.Example:8080");
    list.RebuildOrigins();
  }
  TDomainList list;
};

TEST_F(DomainListCheckTest, IsListed_Table) {
  struct Case {
    std::string origin;
    bool listed;
  };
  const Case cases[] = {
      {"", true},
      {"https://" + kServer + ":11742", true},
      {"http://" + kServer, true},
      {"http://BANK.example", true},
      {"https://bank.example:1234", true},
      {"bank.example", true},
      {"http://shop.example", true},  // the line's port does not count
      {"http://sub.bank.example", false},
      {"http://bank.example.evil", false},
      {"http://bank.exampl", false},
      {"null", false},
      {"   ", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(list.IsListed(c.origin), c.listed) << c.origin;
  }
}

TEST_F(DomainListCheckTest, IsAllowed_Table) {
  struct Case {
    const char* origin;
    const char* referer;
    bool allowed;
  };
  const Case cases[] = {
      {"", "", true},
      {"http://bank.example", "", true},
      {"", "https://shop.example:8080/pay?x=1", true},
      {"http://bank.example", "http://shop.example/", true},
      {"", "http://evil.example/x", false},
      {"http://bank.example", "http://evil.example/", false},
      {"http://evil.example", "http://bank.example/p", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(list.IsAllowed(c.origin, c.referer), c.allowed) << c.origin << " / " << c.referer;
  }
}

TEST_F(DomainListCheckTest, GetAllowOrigin_Table) {
  struct Case {
    const char* origin;
    const char* answer;
  };
  const Case cases[] = {
      {"", "*"},
      {"HTTP://Bank.Example:8443", "HTTP://Bank.Example:8443"},
      {"http://evil.example", "null"},
      {"null", "null"},
      {"http://bank.example/\nSet-Cookie: x=1", "null"},  // never echoed into a header
  };
  for (const Case& c : cases) {
    EXPECT_EQ(list.GetAllowOrigin(c.origin), c.answer) << c.origin;
  }
}

TEST(DomainListTest, EmptyList_OriginsHoldServerHostWhichIsAllowed) {
  TDomainList list;

  EXPECT_EQ(list.Origins(), Lines{kServer});
  EXPECT_TRUE(list.IsAllowed("https://" + kServer + ":11742", "http://" + kServer + "/page"));
  EXPECT_FALSE(list.IsAllowed("http://bank.example", ""));
}

// ---------------------------------------------------------------------------------------------
// TDomainListPlus

// A list with a question handler that records its calls and answers `answer`.
class DomainListPlusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    list.SetDelimitedText("bank.example");
    list.RebuildOrigins();
    list.SetOnConfirmDomain([this](const std::string& page, const std::string& domain) {
      asked.push_back(page + " | " + domain);
      return answer;
    });
    list.SetOnNewDomain([this] { ++newDomains; });
  }

  TDomainListPlus list;
  std::vector<std::string> asked;
  bool answer = true;
  int newDomains = 0;
};

TEST_F(DomainListPlusTest, IsAllowed_NoQuestionCases_AnswerWithoutAsking) {
  struct Case {
    const char* origin;
    const char* referer;
    bool allowed;
  };
  const Case cases[] = {
      {"", "", false},                     // both empty: refused
      {"http://bank.example", "", true},   // listed
      {"", "http:///only-a-path", false},  // the page has no host
      {"", "http://:8080/", false},        // a port alone is no host either
      {"   ", "", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(list.IsAllowed(c.origin, c.referer), c.allowed) << c.origin << " / " << c.referer;
  }
  EXPECT_TRUE(asked.empty());
  EXPECT_EQ(list.Count(), 1);
}

TEST_F(DomainListPlusTest, IsAllowed_UnlistedPage_AsksWithPageAndDomainWithPort) {
  struct Case {
    const char* origin;
    const char* referer;
    const char* question;
  };
  const Case cases[] = {
      {"null", "", "null | null"},  // "null" is an ordinary unlisted value
      {"https://a.example", "https://B.example:444/p?q",
       "https://B.example:444/p?q | b.example:444"},
      {"HTTP://C.Example:81", "", "HTTP://C.Example:81 | c.example:81"},
  };
  answer = false;
  for (const Case& c : cases) {
    asked.clear();

    EXPECT_FALSE(list.IsAllowed(c.origin, c.referer));

    EXPECT_EQ(asked, Lines{c.question}) << c.origin << " / " << c.referer;
  }
}

TEST_F(DomainListPlusTest, IsAllowed_ConfirmedPageWithPort_AddsHostPortLineAndHostOrigin) {
  const std::string referer = "https://New.Example:8443/login?x=1";

  EXPECT_TRUE(list.IsAllowed("https://new.example:8443", referer));

  EXPECT_EQ(list.Lines(), (Lines{"bank.example", "new.example:8443"}));
  EXPECT_EQ(list.Origins(), (Lines{kServer, "bank.example", "new.example"}));
  EXPECT_EQ(newDomains, 1);
  EXPECT_EQ(list.AskingIndex("new.example:8443"), -1);
  EXPECT_TRUE(list.IsAllowed("http://new.example", ""));  // no second question
  EXPECT_EQ(asked.size(), 1u);
}

TEST_F(DomainListPlusTest, IsAllowed_Refused_AddsNothingAndAsksAgainNextTime) {
  answer = false;

  EXPECT_FALSE(list.IsAllowed("http://evil.example", ""));
  EXPECT_FALSE(list.IsAllowed("http://evil.example", ""));

  EXPECT_EQ(asked.size(), 2u);
  EXPECT_EQ(list.Count(), 1);
  EXPECT_EQ(list.Origins(), (Lines{kServer, "bank.example"}));
  EXPECT_EQ(newDomains, 0);
}

TEST_F(DomainListPlusTest, IsAllowed_WithoutQuestionHandler_RefusesUnlisted) {
  list.SetOnConfirmDomain(nullptr);

  EXPECT_FALSE(list.IsAllowed("http://evil.example", ""));
  EXPECT_TRUE(list.IsAllowed("http://bank.example", ""));
}

TEST_F(DomainListPlusTest, IsAllowed_QuestionThrows_EndsQuestionAddsNothingAndPassesOn) {
  list.SetOnConfirmDomain([](const std::string&, const std::string&) -> bool {
    throw std::runtime_error("dialog failed");
  });

  EXPECT_THROW(list.IsAllowed("http://evil.example", ""), std::runtime_error);

  EXPECT_EQ(list.AskingIndex("evil.example"), -1);
  EXPECT_EQ(list.Count(), 1);
}

TEST_F(DomainListPlusTest, IsAllowed_NewDomainEventThrows_KeepsDomainEndsQuestionAndPassesOn) {
  list.SetOnNewDomain([] { throw std::runtime_error("save failed"); });

  EXPECT_THROW(list.IsAllowed("http://new.example", ""), std::runtime_error);

  EXPECT_EQ(list.AskingIndex("new.example"), -1);
  EXPECT_TRUE(list.IsListed("http://new.example"));
}

TEST_F(DomainListPlusTest, ConfirmDomain_EmptyDomain_NeverAsks) {
  EXPECT_FALSE(list.ConfirmDomain("http:///x", ""));
  EXPECT_FALSE(list.ConfirmDomain("http://:1/", ":1"));

  EXPECT_TRUE(asked.empty());
  EXPECT_EQ(list.Count(), 1);
}

TEST_F(DomainListPlusTest, MarkAsking_TwiceThenUnmark_CountsEachMarkCaseInsensitively) {
  list.MarkAsking("A.example:1");
  list.MarkAsking("a.example:1");

  list.UnmarkAsking("a.EXAMPLE:1");
  EXPECT_EQ(list.AskingIndex("a.example:1"), 0);
  EXPECT_EQ(list.AskingIndex("a.example"), -1);  // the port is part of the domain
  list.UnmarkAsking("a.example:1");

  EXPECT_EQ(list.AskingIndex("a.example:1"), -1);
  EXPECT_TRUE(list.WaitWhileAsking("a.example:1"));
}

TEST_F(DomainListPlusTest, WaitWhileAsking_OpenQuestion_WaitsUntilUnmarked) {
  list.MarkAsking("x.example");
  auto waiter =
      std::async(std::launch::async, [this] { return list.WaitWhileAsking("X.example"); });
  ASSERT_EQ(waiter.wait_for(std::chrono::milliseconds(250)), std::future_status::timeout);

  list.UnmarkAsking("x.example");

  EXPECT_FALSE(waiter.get());
}

TEST(DomainListPlusConcurrentTest, IsAllowed_ConcurrentSameDomain_AsksOnceSecondAnsweredByList) {
  TDomainListPlus list;
  std::atomic<int> questions{0};
  std::promise<void> questionOpen;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  list.SetOnConfirmDomain([&](const std::string&, const std::string&) {
    if (questions.fetch_add(1) == 0) questionOpen.set_value();
    released.wait();
    return true;
  });

  auto first =
      std::async(std::launch::async, [&] { return list.IsAllowed("http://new.example", ""); });
  questionOpen.get_future().wait();
  auto second = std::async(std::launch::async,
                           [&] { return list.IsAllowed("", "https://NEW.example/page"); });
  const bool secondWaited =
      second.wait_for(std::chrono::milliseconds(300)) == std::future_status::timeout;
  release.set_value();

  EXPECT_TRUE(first.get());
  EXPECT_TRUE(second.get());
  EXPECT_TRUE(secondWaited);
  EXPECT_EQ(questions.load(), 1);
  EXPECT_EQ(list.Lines(), Lines{"new.example"});
}

TEST(DomainListPlusConcurrentTest, Readers_ConcurrentWithLineReplacement_SeeWholeStatesOnly) {
  TDomainListPlus list;
  const std::string textA = "a.example;b.example";
  const std::string textB = "c.example";
  const Lines originsA{kServer, "a.example", "b.example"};
  const Lines originsB{kServer, "c.example"};
  list.ReplaceDomains(textA);
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};

  std::vector<std::thread> readers;
  for (int r = 0; r < 4; ++r) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        const Lines origins = list.Origins();
        if (origins != originsA && origins != originsB) ++torn;
        const std::string text = list.DelimitedText();
        if (text != textA && text != textB) ++torn;
        if (!list.IsAllowed("https://" + kServer + ":11742", "")) ++torn;
        if (list.GetAllowOrigin("http://evil.example") != "null") ++torn;
        list.IsListed("http://a.example");
        list.Count();
      }
    });
  }
  for (int i = 0; i < 2000; ++i) list.ReplaceDomains(i % 2 ? textA : textB);
  stop = true;
  for (std::thread& t : readers) t.join();

  EXPECT_EQ(torn.load(), 0);
}

}  // namespace
}  // namespace dravik
