// Many threads in WS_ExecuteEx at once, as the host's connection threads call it.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "PluginUnderTest.h"

namespace dravik::testing {
namespace {

class PluginConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override { Plugin().initialize(); }
  void TearDown() override { Plugin().shutdown(); }
};

TEST_F(PluginConcurrencyTest, ExecuteEx_ConcurrentThreads_EachGetOwnReplies) {
  const TScopedPluginEnvironment environment({{"DRAVIK_PLUGIN_DELAY_MS", "1"}});
  constexpr int kThreads = 16;
  constexpr int kRounds = 10;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;

  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&failures, t] {
      try {
        for (int round = 0; round < kRounds; ++round) {
          const std::string id = NewEngine();
          const std::string name = "Thread " + std::to_string(t);
          const bool ok =
              Crypto(id, "SetCryptoParamValue", {{"ParamName", name}, {"Value", id}}).id == id &&
              Crypto(id, "GetProperty", {{"LastErrorCode", ""}}).id == id &&
              Crypto(id, "Sign").result == "1" && Property(id, "LastErrorCode") == "1" &&
              Call(id, kService, "GetProperty", {{"Version", ""}}).id == "" &&
              Crypto(id, "Release").id == "";
          if (!ok) ++failures;
        }
      } catch (const std::exception&) {
        ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(failures.load(), 0);
}

TEST_F(PluginConcurrencyTest, Release_ConcurrentWithCallsOnTheSameEngine_IsSafe) {
  const TScopedPluginEnvironment environment({{"DRAVIK_PLUGIN_DELAY_MS", "1"}});
  const std::string id = NewEngine();
  std::atomic<int> failures{0};
  std::atomic<bool> released{false};
  std::vector<std::thread> users;

  for (int t = 0; t < 4; ++t) {
    users.emplace_back([&] {
      try {
        while (!released.load()) {
          const TReplyFields reply =
              Crypto(id, "SetCryptoParamValue", {{"ParamName", "A"}, {"Value", "1"}});
          if (reply.id != id || (reply.result != "0" && reply.result != "3")) ++failures;
        }
        if (Crypto(id, "ClearCash").result != "3") ++failures;
      } catch (const std::exception&) {
        ++failures;
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const TReplyFields release = Crypto(id, "Release");
  released = true;
  for (std::thread& user : users) user.join();

  EXPECT_EQ(release.id, "");
  EXPECT_EQ(release.result, "0");
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace dravik::testing
