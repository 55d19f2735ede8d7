#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "DomainList.h"
#include "KvClock.h"
#include "RecordingLogSink.h"
#include "U_LogFile.h"

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
  std::string input;
  std::string host;
  std::string hostWithPort;
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
                      "\xD0\x91\xD0\xB0\xD0\xBD\xD0\xBA.example"},
        NormalizeCase{"null", "null", "null"},  // an ordinary text here; the lists bar it
        // A bracketed IPv6 literal is one host; its port follows the ']'.
        NormalizeCase{"http://[2001:DB8::1]", "[2001:db8::1]", "[2001:db8::1]"},
        NormalizeCase{"https://[2001:db8::1]:8443/p?q", "[2001:db8::1]", "[2001:db8::1]:8443"},
        NormalizeCase{"[::1]", "[::1]", "[::1]"},
        NormalizeCase{"http://[::ffff:203.0.113.9]:80", "[::ffff:203.0.113.9]",
                      "[::ffff:203.0.113.9]:80"},
        // No host name: more than one ':' outside brackets, stray or unclosed brackets.
        NormalizeCase{"http://2001:db8::1", "", ""}, NormalizeCase{"::1", "", ""},
        NormalizeCase{"a.example:80:81", "", ""}, NormalizeCase{"http://[::1]:80:81", "", ""},
        NormalizeCase{"http://[::1", "", ""}, NormalizeCase{"http://[::1]x", "", ""},
        NormalizeCase{"http://[]:80", "", ""}, NormalizeCase{"http://a.example]", "", ""},
        // A control byte inside the host part (the ends are trimmed).
        NormalizeCase{"http://a.exa\rmple", "", ""}, NormalizeCase{"http://a.exa\nmple:1", "", ""},
        NormalizeCase{"a.exa\tmple", "", ""}, NormalizeCase{std::string("a.exa\0mple", 10), "", ""},
        NormalizeCase{"a.example:8\x7F", "", ""},
        NormalizeCase{"http://a.example/p\rq", "a.example", "a.example"},  // only the host part
        NormalizeCase{"http://a.example\r/x", "", ""},  // trimming the host hides no control byte
        // The host is trimmed as the whole text is, also before its port.
        NormalizeCase{"https://evil.example /x", "evil.example", "evil.example"},
        NormalizeCase{"https:// a.example :8443/", "a.example", "a.example:8443"}));

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

// Whole IPv6 literals are trusted one by one; what can never be trusted is refused, also
// where a prefix of it is listed.
TEST(DomainListTest, IsListed_LiteralsAndBarredValues_Table) {
  TDomainList list;
  list.SetDelimitedText("bank.example;[2001:db8::1]:8443;[::1];null.example");
  list.RebuildOrigins();
  ASSERT_EQ(list.Origins(),
            (Lines{kServer, "bank.example", "[2001:db8::1]", "[::1]", "null.example"}));
  const struct {
    std::string origin;
    bool listed;
  } cases[] = {
      {"http://[2001:db8::1]", true},
      {"https://[2001:DB8::1]:9000", true},
      {"http://[::1]:8080", true},
      {"http://[2001:db8::2]", false},
      {"http://[2001", false},
      {"http://[::ffff:cb00:7109]", false},  // any IPv4 host, through a mapped literal
      {"http://[::1]x", false},
      {"http://2001:db8::1", false},
      {"http://bank.example:80:81", false},
      {"http://null.example", true},
      {"null", false},
      {"NULL", false},
      {"https://Null:443", false},
      {"http://", false},
      {"http://bank.example\r", false},
      {"http://bank\n.example", false},
      {"http://bank.example/\tpath", false},
      {std::string("http://bank.example\0", 20), false},
      {"http://bank.example/\x7F", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(list.IsListed(c.origin), c.listed) << c.origin;
    EXPECT_EQ(list.GetAllowOrigin(c.origin), c.listed ? c.origin : "null") << c.origin;
  }
}

// Whichever way a line comes, one holding a control byte or naming "null" is dropped; the rest
// keep their order, those without a host name included (they give no origin).
TEST(DomainListTest, Lines_EveryWayIn_OnlyControlBytesAndNullDropped) {
  const std::string text =
      "a.example;null;\"b\tc.example\";\"x\ny\";2001:db8::1;HTTP://NULL:80;[::1];"
      "\"d.example\x7F\";[::2;\"e\r\";host[1];http://";
  const Lines kept{"a.example", "2001:db8::1", "[::1]", "[::2", "host[1]", "http://"};
  const Lines origins{kServer, "a.example", "[::1]"};

  TDomainList byText;
  byText.SetDelimitedText(text);
  TDomainList byReplacement;
  byReplacement.ReplaceDomains(text);
  TDomainList byLines;
  byLines.SetText(
      "a.example\r\nnull\r\nb\tc\r\n2001:db8::1\r\n[::1]\r\n[::2\r\nhost[1]\r\nhttp://");
  TDomainList byAdd;
  for (const std::string line :
       {"a.example", "null", "b\tc", "x\ny", "2001:db8::1", "[::1]", "[::2", "host[1]", "http://"})
    byAdd.Add(line);
  byAdd.Insert(0, "NULL");

  for (TDomainList* list : {&byText, &byReplacement, &byLines, &byAdd}) {
    list->RebuildOrigins();
    EXPECT_EQ(list->Lines(), kept);
    EXPECT_EQ(list->Origins(), origins);
    for (const char* page : {"http://2001:db8::1", "http://[::2", "http://host[1]"})
      EXPECT_FALSE(list->IsListed(page)) << page;
  }
  EXPECT_EQ(byAdd.Add("a\tb"), -1);
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
      // Opaque pages send "null": never asked about, whatever the other value says.
      {"null", "", false},
      {" NuLL ", "", false},
      {"null", "https://bank.example/page", false},
      {"", "null", false},
      {"http://null", "", false},
      // No host name, or a control byte anywhere in the value.
      {"http://2001:db8::1", "", false},
      {"http://[::1", "", false},
      {"http://new\rexample", "", false},
      {"http://new.example\nSet-Cookie: a=1", "", false},
      {"", "https://new.example/pa\tth", false},
      {"https://bank.example", "https://bank.example/\x7F", false},
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

TEST_F(DomainListPlusTest, IsAllowed_YesToOneLiteral_TrustsThatLiteralOnly) {
  EXPECT_TRUE(list.IsAllowed("http://[::1]:8080", ""));
  answer = false;

  EXPECT_TRUE(list.IsAllowed("https://[::1]", ""));
  EXPECT_FALSE(list.IsAllowed("http://[::ffff:cb00:7109]", ""));
  EXPECT_FALSE(list.IsAllowed("http://[::2]", ""));

  EXPECT_EQ(asked,
            (Lines{"http://[::1]:8080 | [::1]:8080",
                   "http://[::ffff:cb00:7109] | [::ffff:cb00:7109]", "http://[::2] | [::2]"}));
  EXPECT_EQ(list.Lines(), (Lines{"bank.example", "[::1]:8080"}));
  EXPECT_EQ(list.Origins(), (Lines{kServer, "bank.example", "[::1]"}));
}

// The question, the line and the origin all name the host without the blank, so the yes
// trusts the page that was asked about: it is asked once and added once.
TEST_F(DomainListPlusTest, IsAllowed_HostEndingInABlank_AskedOnceAndAddedTrimmed) {
  EXPECT_TRUE(list.IsAllowed("https://evil.example /x", ""));
  EXPECT_TRUE(list.IsAllowed("https://evil.example /x", ""));

  EXPECT_EQ(asked, Lines{"https://evil.example /x | evil.example"});
  EXPECT_EQ(list.Lines(), (Lines{"bank.example", "evil.example"}));
  EXPECT_EQ(list.Origins(), (Lines{kServer, "bank.example", "evil.example"}));
  EXPECT_EQ(newDomains, 1);
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

// A refusal answers every request for its domain that was read before it, without a question;
// one read after it, and one for another domain, are asked about.
TEST_F(DomainListPlusTest, IsAllowed_RequestReadBeforeARefusal_TakesItWithoutAQuestion) {
  answer = false;
  const std::uint64_t readBefore = NextRequestReadOrder();
  const std::uint64_t otherReadBefore = NextRequestReadOrder();
  TRequestInDispatch& request = RequestInDispatch();

  request = {NextRequestReadOrder(), false};
  const bool asker = list.IsAllowed("http://evil.example", "");
  request = {readBefore, false};
  const bool readBeforeRefusal = list.IsAllowed("", "https://EVIL.example/page");
  request = {otherReadBefore, false};
  const bool otherDomain = list.IsAllowed("http://other.example", "");
  answer = true;
  request = {NextRequestReadOrder(), false};
  const bool readAfterRefusal = list.IsAllowed("http://evil.example", "");
  request = {};

  EXPECT_FALSE(asker);
  EXPECT_FALSE(readBeforeRefusal);
  EXPECT_FALSE(otherDomain);
  EXPECT_TRUE(readAfterRefusal);
  EXPECT_EQ(asked,
            (Lines{"http://evil.example | evil.example", "http://other.example | other.example",
                   "http://evil.example | evil.example"}));
}

std::atomic<int> gAnswerHookCalls{0};

// A request that may await the answer leaves, with the count of answers given while the
// question was open, in place of waiting; the end of the question counts one more answer and
// then calls the hook, for the web server to dispatch the request again.
TEST_F(DomainListPlusTest, IsAllowed_OpenQuestionRequestMayAwait_LeavesAndTheEndCallsTheHook) {
  SetAnswerHook([]() noexcept { ++gAnswerHookCalls; });
  list.MarkAsking("new.example");
  TRequestInDispatch& request = RequestInDispatch();
  request = {NextRequestReadOrder(), true};
  std::optional<std::uint64_t> awaited;
  try {
    list.IsAllowed("http://new.example", "");
  } catch (const TAwaitingAnswer& awaiting) {
    awaited = awaiting.Answers;
  }
  request = {};
  const std::uint64_t answersWhileOpen = AnswersGiven();
  const int hookCallsWhileOpen = gAnswerHookCalls.load();

  list.UnmarkAsking("new.example");
  SetAnswerHook(nullptr);

  EXPECT_EQ(awaited, answersWhileOpen);
  EXPECT_EQ(hookCallsWhileOpen, 0);
  EXPECT_EQ(AnswersGiven(), answersWhileOpen + 1);
  EXPECT_EQ(gAnswerHookCalls.load(), 1);
  EXPECT_TRUE(asked.empty());
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

TEST_F(DomainListPlusTest, ConfirmDomain_EmptyOrBarredDomain_NeverAsks) {
  EXPECT_FALSE(list.ConfirmDomain("http:///x", ""));
  EXPECT_FALSE(list.ConfirmDomain("http://:1/", ":1"));
  EXPECT_FALSE(list.ConfirmDomain("null", "null"));
  EXPECT_FALSE(list.ConfirmDomain("http://a.example", "a.example:1\t"));
  EXPECT_FALSE(list.ConfirmDomain("http://a.example", "a.exa\nmple"));
  EXPECT_FALSE(list.ConfirmDomain("http://2001:db8::1", "2001:db8::1"));

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

// While one question is open, a request about another new domain is refused at once and
// logged as canceled, and no other question starts; it is asked on a later request.
TEST(DomainListPlusConcurrentTest, IsAllowed_OtherDomainWhileAsking_RefusedAtOnceAskedLater) {
  testing::TRecordingSink sink;
  TSystemClock clock;
  THostLoger loger{sink, clock};
  THostLoger* const previous = HostLoger.exchange(&loger);
  TDomainListPlus list;
  std::mutex askedLock;
  Lines asked;
  std::promise<void> questionOpen;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  list.SetOnConfirmDomain([&](const std::string&, const std::string& domain) {
    bool first = false;
    {
      std::lock_guard lock(askedLock);
      asked.push_back(domain);
      first = asked.size() == 1;
    }
    if (first) {
      questionOpen.set_value();
      released.wait();
    }
    return true;
  });

  auto open =
      std::async(std::launch::async, [&] { return list.IsAllowed("http://a.example", ""); });
  questionOpen.get_future().wait();
  const bool other = list.IsAllowed("", "https://B.example:444/page");
  const bool direct = list.ConfirmDomain("http://c.example", "c.example");
  release.set_value();
  const bool first = open.get();
  const bool later = list.IsAllowed("", "https://B.example:444/page");
  HostLoger.store(previous);

  EXPECT_TRUE(first);
  EXPECT_FALSE(other);
  EXPECT_FALSE(direct);
  EXPECT_TRUE(later);
  EXPECT_EQ(asked, (Lines{"a.example", "b.example:444"}));
  EXPECT_EQ(list.Lines(), (Lines{"a.example", "b.example:444"}));
  EXPECT_EQ(sink.Find("Trusted domain CANCELED: b.example:444").size(), 1u);
  EXPECT_EQ(sink.Find("Trusted domain ADDED: b.example:444").size(), 1u);
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
