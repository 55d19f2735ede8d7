#include "U_RegistryMonitor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KvClock.h"
#include "KvSysTools.h"
#include "RecordingLogSink.h"
#include "Registry.h"
#include "TempDir.h"
#include "U_LogFile.h"
#include "U_ThreadDialogs.h"

namespace dravik {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kHost = "dravik.localhost";
constexpr std::string_view kAskAtStart = "Добавить криптоплагин в список исключений прокси?";
constexpr std::string_view kAskAfterChange =
    "Изменились настройки исключений прокси.\r\nДобавить криптоплагин в список исключений "
    "прокси?";

TEST(RootKeyToStringTest, NamesEveryRootKeyAndTheUnknown) {
  const std::pair<HKEY, std::string_view> cases[] = {
      {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT"},
      {HKEY_CURRENT_USER, "HKCU"},
      {HKEY_LOCAL_MACHINE, "HKLM"},
      {HKEY_USERS, "HKEY_USERS"},
      {HKEY_PERFORMANCE_DATA, "HKEY_PERFORMANCE_DATA"},
      {HKEY_CURRENT_CONFIG, "HKEY_CURRENT_CONFIG"},
      {HKEY_DYN_DATA, "HKEY_DYN_DATA"},
      {0x80000007, "UNKNOWN(2147483655)"},
      {0, "UNKNOWN(0)"},
  };
  for (const auto& [key, text] : cases) EXPECT_EQ(RootKeyToString(key), text);
}

TEST(AppendProxyOverrideTest, AddsTheHostBehindOneSeparator) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"", "dravik.localhost"},
      {"x", "x;dravik.localhost"},
      {"a;b;", "a;b;dravik.localhost"},
      {";", ";dravik.localhost"},
  };
  for (const auto& [value, expected] : cases)
    EXPECT_EQ(AppendProxyOverride(value, kHost), expected) << value;
}

// A store in a temporary folder and the Internet settings key in it.
class ProxyStoreTest : public ::testing::Test {
 protected:
  ProxyStoreTest() {
    TRegistry registry(Root());
    EXPECT_TRUE(registry.OpenKey(kInternetSettingsKey, true));
  }

  std::string Root() const { return dir_ / "registry"; }

  void Set(std::string_view name, std::int32_t value) {
    TRegistry registry(Root());
    ASSERT_TRUE(registry.OpenKey(kInternetSettingsKey, false));
    registry.WriteInteger(name, value);
  }
  void Set(std::string_view name, std::string_view value) {
    TRegistry registry(Root());
    ASSERT_TRUE(registry.OpenKey(kInternetSettingsKey, false));
    registry.WriteString(name, value);
  }
  std::string Overrides() const {
    TRegistry registry(Root());
    EXPECT_TRUE(registry.OpenKeyReadOnly(kInternetSettingsKey));
    return registry.ReadString("ProxyOverride");
  }

  testing::TempDir dir_;
};

TEST_F(ProxyStoreTest, TheKeyLivesInTheStoreFolderOfTheCurrentUser) {
  TRegistry registry(Root());
  ASSERT_TRUE(registry.OpenKeyReadOnly(kInternetSettingsKey));
  EXPECT_EQ(registry.KeyFolder(),
            Root() + "/HKCU/Software/Microsoft/Windows/CurrentVersion/Internet Settings");
  registry.RootKey = 0x1234;
  EXPECT_FALSE(registry.OpenKeyReadOnly(kInternetSettingsKey));
}

TEST_F(ProxyStoreTest, ReadsFailOnMissingNumbersAndOnValuesOfTheWrongType) {
  Set("Text", "1");
  Set("Number", 1);
  TRegistry registry(Root());
  ASSERT_TRUE(registry.OpenKeyReadOnly(kInternetSettingsKey));

  EXPECT_EQ(registry.ReadString("Missing"), "");
  EXPECT_EQ(registry.ReadInteger("Number"), 1);
  EXPECT_THROW(registry.ReadInteger("Missing"), ERegistryException);
  EXPECT_THROW(registry.ReadInteger("Text"), ERegistryException);
  EXPECT_THROW(registry.ReadString("Number"), ERegistryException);
  EXPECT_THROW(registry.WriteString("Text", "2"), ERegistryException);
}

// Waits until the watcher watches its key, so that a change made next is reported.
bool AwaitWatching(const TRegMonThread& monitor) {
  for (int i = 0; i < 1000 && !monitor.Watching(); ++i) std::this_thread::sleep_for(10ms);
  return monitor.Watching();
}

// Stands in for the main window, whose records the check writes.
class TWindow final : public TKvObject {
 public:
  DRAVIK_CLASS_NAME(TFmMain)
};

// The monitor with a scripted answer and a record of the questions and of the log.
class ProxyMonitorTest : public ProxyStoreTest {
 protected:
  void SetUp() override { previousLoger_ = HostLoger.exchange(&loger_); }
  void TearDown() override { HostLoger.store(previousLoger_); }

  TProxyMonitor MakeMonitor(bool answer) {
    return TProxyMonitor(std::string(kHost), Root(), [this, answer](const std::string& question) {
      std::lock_guard lock(mutex_);
      questions_.push_back(question);
      asked_.notify_all();
      return answer;
    });
  }

  std::vector<std::string> Questions() {
    std::lock_guard lock(mutex_);
    return questions_;
  }
  bool AwaitQuestions(std::size_t count) {
    std::unique_lock lock(mutex_);
    return asked_.wait_for(lock, 10s, [&] { return questions_.size() >= count; });
  }

  // The senders of the records that start with `text`.
  std::vector<std::string> SendersOf(std::string_view text) const {
    std::vector<std::string> senders;
    for (const testing::TRecord& record : sink_.Find(text)) {
      const std::size_t at = record.firstLine.find("[TraceID: ");
      senders.push_back(
          at == std::string::npos
              ? std::string()
              : record.firstLine.substr(at + 10, record.firstLine.find(']', at) - at - 10));
    }
    return senders;
  }

  std::mutex mutex_;
  std::condition_variable asked_;
  std::vector<std::string> questions_;
  TWindow window_;
  testing::TRecordingSink sink_;
  TSystemClock clock_;
  THostLoger loger_{sink_, clock_};
  THostLoger* previousLoger_ = nullptr;
};

TEST_F(ProxyMonitorTest, CheckAsksOnlyWhenTheProxyIsOnAndTheHostIsMissing) {
  struct TCase {
    std::int32_t enable;
    std::string_view overrides;
    bool answer;
    bool asked;
    std::string_view after;
  } cases[] = {
      {1, "", true, true, "dravik.localhost"},
      {1, "x", true, true, "x;dravik.localhost"},
      {1, "a;b;", true, true, "a;b;dravik.localhost"},
      {1, "a;DRAVIK.LOCALHOST", true, true, "a;DRAVIK.LOCALHOST;dravik.localhost"},
      {1, "x", false, true, "x"},
      {1, "<local>;dravik.localhost;y", true, false, "<local>;dravik.localhost;y"},
      {0, "x", true, false, "x"},
      {2, "x", true, false, "x"},
  };
  for (const TCase& c : cases) {
    Set("ProxyEnable", c.enable);
    Set("ProxyOverride", c.overrides);
    questions_.clear();
    TProxyMonitor monitor = MakeMonitor(c.answer);

    monitor.CheckProxyOverride(nullptr);

    EXPECT_EQ(Questions().size(), c.asked ? 1u : 0u) << c.overrides;
    if (c.asked) {
      EXPECT_EQ(Questions()[0], kAskAtStart);
    }
    EXPECT_EQ(Overrides(), c.after) << c.overrides;
  }
}

TEST_F(ProxyMonitorTest, CheckAfterAChangeAsksWithThePrefixLine) {
  Set("ProxyEnable", 1);
  TProxyMonitor monitor = MakeMonitor(false);
  TRegMonThread sender(Root());

  monitor.CheckProxyOverride(&sender);

  ASSERT_EQ(Questions().size(), 1u);
  EXPECT_EQ(Questions()[0], kAskAfterChange);
}

TEST_F(ProxyMonitorTest, CheckDoesNothingWithoutTheKeyAndThrowsOnBadValues) {
  TProxyMonitor monitor = MakeMonitor(true);
  // The proxy switch is missing.
  EXPECT_THROW(monitor.CheckProxyOverride(nullptr), ERegistryException);
  Set("ProxyEnable", 1);
  {
    TRegistry registry(Root());
    ASSERT_TRUE(registry.OpenKey(kInternetSettingsKey, false));
    registry.WriteInteger("ProxyOverride", 5);
  }
  EXPECT_THROW(monitor.CheckProxyOverride(nullptr), ERegistryException);

  TProxyMonitor elsewhere(std::string(kHost), dir_ / "empty", [](const std::string&) {
    ADD_FAILURE() << "asked without a key";
    return true;
  });
  elsewhere.CheckProxyOverride(nullptr);
  EXPECT_TRUE(Questions().empty());
}

TEST_F(ProxyMonitorTest, ConcurrentChangeOfAnyValueAsksAgainAfterANo) {
  Set("ProxyEnable", 1);
  std::atomic<int> calls{0};
  TProxyMonitor monitor(std::string(kHost), Root(), [&](const std::string& question) {
    std::lock_guard lock(mutex_);
    questions_.push_back(question);
    asked_.notify_all();
    return ++calls > 1;  // No at start, Yes after the change
  });
  monitor.StartProxyMonitor(window_);
  ASSERT_NE(monitor.RegMonitor(), nullptr);
  ASSERT_TRUE(AwaitWatching(*monitor.RegMonitor()));

  Set("Unrelated", "x");

  ASSERT_TRUE(AwaitQuestions(2));
  // The yes is acted on by the watcher after the question returns: the stop comes after it,
  // as a stop clears the window the records name.
  for (int i = 0; i < 1000 && Overrides() != "dravik.localhost"; ++i)
    std::this_thread::sleep_for(10ms);
  monitor.StopProxyMonitor();
  EXPECT_EQ(monitor.RegMonitor(), nullptr);
  EXPECT_EQ(Questions(),
            (std::vector<std::string>{std::string(kAskAtStart), std::string(kAskAfterChange)}));
  EXPECT_EQ(Overrides(), "dravik.localhost");
  // The check's records are the window's, at start and on the watcher's thread alike.
  const std::string window = "TFmMain(0x" + AddressToHex(&window_) + ")";
  EXPECT_EQ(SendersOf("Domain not found in proxy overrides!"),
            (std::vector<std::string>{window, window}));
  EXPECT_EQ(SendersOf("Adding domain to proxy overrides..."), std::vector<std::string>{window});
}

TEST_F(ProxyMonitorTest, ConcurrentWriteOfTheHandlerItselfIsNotReported) {
  TRegMonThread monitor(Root());
  monitor.Key = std::string(kInternetSettingsKey);
  std::atomic<int> changes{0};
  std::atomic<bool> handled{false};
  monitor.OnChange = [&](TRegMonThread&) {
    if (++changes == 1) Set("ProxyOverride", "written by the handler");
    handled = true;
  };
  monitor.Start();
  ASSERT_TRUE(AwaitWatching(monitor));

  Set("Other", 1);
  for (int i = 0; i < 1000 && !handled; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(handled);
  ASSERT_TRUE(AwaitWatching(monitor));
  // Time for a report of the handler's write to arrive, were there one.
  std::this_thread::sleep_for(300ms);
  monitor.Stop();

  EXPECT_TRUE(monitor.WaitFor(10'000));
  EXPECT_EQ(changes, 1);
}

TEST_F(ProxyMonitorTest, StartWithoutTheKeyKeepsTheEndedWatcherAndBadValuesStartNone) {
  TProxyMonitor missing(std::string(kHost), dir_ / "empty",
                        [](const std::string&) { return true; });
  missing.StartProxyMonitor(window_);
  TRegMonThread* ended = missing.RegMonitor();
  ASSERT_NE(ended, nullptr);
  EXPECT_TRUE(ended->WaitFor(10'000));
  missing.StartProxyMonitor(window_);
  EXPECT_EQ(missing.RegMonitor(), ended);

  TProxyMonitor monitor = MakeMonitor(true);  // the proxy switch is missing
  monitor.StartProxyMonitor(window_);
  EXPECT_EQ(monitor.RegMonitor(), nullptr);
}

// A presenter on the main thread's bridge that records the questions and answers No.
class TNoPresenter final : public IDialogPresenter {
 public:
  explicit TNoPresenter(std::atomic<int>& shown) : shown_(shown) {}
  TModalResult MessageBox(std::string_view, std::string_view, TMsgDlgType,
                          TMsgDlgButtons) override {
    ++shown_;
    return mrNo;
  }

 private:
  std::atomic<int>& shown_;
};

TEST_F(ProxyStoreTest, ConcurrentStopWhileTheWatchersQuestionWaitsForTheMainThreadEnds) {
  SetMainThread();
  std::atomic<int> shown{0};
  auto previous = SetDialogPresenter(std::make_unique<TNoPresenter>(shown));
  Set("ProxyEnable", 0);
  TProxyMonitor monitor(std::string(kHost), Root());
  const TWindow window;
  monitor.StartProxyMonitor(window);
  ASSERT_TRUE(AwaitWatching(*monitor.RegMonitor()));
  Set("ProxyEnable", 1);
  // The question is queued for the main thread, which has not served it.
  for (int i = 0; i < 500 && !WaitForDialogsOrTimeout(10); ++i) {
  }

  const auto started = std::chrono::steady_clock::now();
  monitor.StopProxyMonitor();

  EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
  EXPECT_EQ(monitor.RegMonitor(), nullptr);
  EXPECT_EQ(shown, 1);
  EXPECT_EQ(Overrides(), "");
  SetDialogPresenter(std::move(previous));
}

}  // namespace
}  // namespace dravik
