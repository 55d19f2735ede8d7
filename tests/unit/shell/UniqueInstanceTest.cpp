#include "UniqueInstance.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <barrier>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "InstanceTestSupport.h"

namespace dravik {
namespace {

using testing::InstanceTestBase;
using TParams = std::vector<std::string>;

// Leaves a socket file at path whose server is gone, as a killed instance leaves it.
void LeaveStaleSocket(const std::string& path) {
  TUniqueFd dead(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  ASSERT_EQ(::bind(dead.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(::listen(dead.Get(), 1), 0);
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

class UniqueInstanceTest : public InstanceTestBase {};

TEST_F(UniqueInstanceTest, CheckOtherInstance_SecondStart_FirstReceivesExactlyItsParameters) {
  struct TCase {
    TParams params;
    TInstanceMessage expected;
  };
  const TCase cases[] = {
      {{}, {0, ""}},
      {{"exit", "now"}, {2, "exit\rnow\r"}},
      {{"", "exit"}, {2, "\rexit\r"}},
      {{"a b", "\xD0\xAF"}, {2, "a b\r\xD0\xAF\r"}},
  };
  TUniqueInstance first;
  ASSERT_EQ(first.CheckOtherInstance({}), TInstanceCheck::kServerStarted);
  EXPECT_EQ(first.SocketPath(), runtime_ + "/tuniqueinstance_dravik_shell_tests");
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.expected.Text);
    TUniqueInstance later;

    EXPECT_EQ(later.CheckOtherInstance(c.params), TInstanceCheck::kAnotherInstance);

    EXPECT_FALSE(later.IsServerRunning());
    EXPECT_EQ(PollFor(first, 1), std::vector<TInstanceMessage>{c.expected});
  }
}

TEST_F(UniqueInstanceTest, CheckOtherInstance_OtherIdentifier_StartsItsOwnServer) {
  TUniqueInstance first;
  TUniqueInstance renamed("DravikPluginHost.copy");
  ASSERT_EQ(first.CheckOtherInstance({}), TInstanceCheck::kServerStarted);

  EXPECT_EQ(renamed.CheckOtherInstance({}), TInstanceCheck::kServerStarted);
}

TEST(InstanceMessageParamsTest, InstanceMessageParams_Texts_GiveCountEntriesOfWords) {
  struct TCase {
    TInstanceMessage message;
    TParams params;
    bool exit;
  };
  const TCase cases[] = {
      {{0, ""}, {}, false},
      {{2, "exit\rnow\r"}, {"exit", "now"}, true},
      {{2, "\rexit\r"}, {"exit", ""}, true},  // the empty first parameter is lost
      {{1, "Exit\r"}, {"Exit"}, false},
      {{1, "exit \r"}, {"exit "}, false},
      {{3, "a\r\r\rb\r"}, {"a", "b", ""}, false},
      {{1, "a\rb\r"}, {"a"}, false},
      {{2, "a\rb"}, {"a", "b"}, false},
      {{-1, "exit\r"}, {}, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.message.Text);

    const TParams params = InstanceMessageParams(c.message);

    EXPECT_EQ(params, c.params);
    EXPECT_EQ(IsExitRequest(params), c.exit);
  }
}

TEST_F(UniqueInstanceTest, CheckOtherInstance_StaleSocketOfAKilledInstance_StartsTheServer) {
  LeaveStaleSocket(runtime_ + "/" + MakeInstanceServerId(""));
  TUniqueInstance first;

  ASSERT_EQ(first.CheckOtherInstance({}), TInstanceCheck::kServerStarted);

  TUniqueInstance later;
  EXPECT_EQ(later.CheckOtherInstance({"x"}), TInstanceCheck::kAnotherInstance);
  EXPECT_EQ(PollFor(first, 1), (std::vector<TInstanceMessage>{{1, "x\r"}}));
}

TEST_F(UniqueInstanceTest, StopServer_RunningServer_RemovesItsFilesAndTheNextStartServes) {
  TUniqueInstance first;
  ASSERT_EQ(first.CheckOtherInstance({}), TInstanceCheck::kServerStarted);
  const std::string path = first.SocketPath();

  first.FreeInstanceServer();

  EXPECT_FALSE(FileExists(path));
  EXPECT_FALSE(FileExists(path + ".lock"));
  EXPECT_EQ(first.Fd(), -1);
  EXPECT_TRUE(first.Poll().empty());
  TUniqueInstance next;
  EXPECT_EQ(next.CheckOtherInstance({}), TInstanceCheck::kServerStarted);
}

TEST_F(UniqueInstanceTest, CheckOtherInstance_ParametersBeyondTheBounds_SendsNothing) {
  TUniqueInstance first;
  ASSERT_EQ(first.CheckOtherInstance({}), TInstanceCheck::kServerStarted);
  TUniqueInstance later;

  EXPECT_EQ(later.CheckOtherInstance(TParams(1025, "p")), TInstanceCheck::kAnotherInstance);

  TUniqueInstance next;
  ASSERT_EQ(next.CheckOtherInstance({"next"}), TInstanceCheck::kAnotherInstance);
  EXPECT_EQ(PollFor(first, 1), (std::vector<TInstanceMessage>{{1, "next\r"}}));
  EXPECT_EQ(sink_.Find("Sending the parameters to the running instance: Exception").size(), 1u);
}

TEST_F(UniqueInstanceTest, CheckOtherInstance_ChannelFolderRefused_RunsOnWithoutChannel) {
  ::unsetenv("XDG_RUNTIME_DIR");
  ASSERT_EQ(::mkdir(FallbackDir().c_str(), 0777), 0);
  ASSERT_EQ(::chmod(FallbackDir().c_str(), 0777), 0);
  TUniqueInstance guard;

  EXPECT_EQ(guard.CheckOtherInstance({}), TInstanceCheck::kNoChannel);

  EXPECT_FALSE(guard.IsServerRunning());
  EXPECT_EQ(sink_.Find("Single-instance server not started: Exception EOSError").size(), 1u);
  EXPECT_FALSE(FileExists(FallbackDir() + "/" + MakeInstanceServerId("")));
}

TEST_F(UniqueInstanceTest, CheckOtherInstance_ConcurrentStarts_EndWithExactlyOneServer) {
  constexpr int kStarts = 6;
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE(round);
    // A stale socket makes every start remove it before binding: only the lock keeps a
    // later start from removing the socket the winner has just bound.
    LeaveStaleSocket(runtime_ + "/" + MakeInstanceServerId(""));
    std::vector<std::unique_ptr<TUniqueInstance>> guards;
    for (int i = 0; i < kStarts; ++i) guards.push_back(std::make_unique<TUniqueInstance>());
    std::vector<TInstanceCheck> results(kStarts);
    std::barrier start(kStarts);
    std::vector<std::thread> threads;
    for (int i = 0; i < kStarts; ++i) {
      threads.emplace_back([&, i] {
        start.arrive_and_wait();
        results[i] = guards[i]->CheckOtherInstance({std::to_string(i)});
      });
    }
    for (std::thread& thread : threads) thread.join();

    int servers = 0;
    TUniqueInstance* server = nullptr;
    for (int i = 0; i < kStarts; ++i) {
      if (results[i] == TInstanceCheck::kServerStarted) {
        ++servers;
        server = guards[i].get();
      } else {
        EXPECT_EQ(results[i], TInstanceCheck::kAnotherInstance);
      }
    }
    ASSERT_EQ(servers, 1);
    EXPECT_EQ(PollFor(*server, kStarts - 1).size(), static_cast<std::size_t>(kStarts - 1));
  }
}

TEST_F(UniqueInstanceTest,
       CheckOtherInstance_ConcurrentStartBetweenCheckAndBind_WaitsForTheServer) {
  LeaveStaleSocket(runtime_ + "/" + MakeInstanceServerId(""));
  TUniqueInstance first;
  ASSERT_FALSE(first.IsAnotherInstanceRunning());

  std::future<TInstanceCheck> later = std::async(std::launch::async, [] {
    TUniqueInstance guard;
    return guard.CheckOtherInstance({"x"});
  });
  EXPECT_EQ(later.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  first.StartInstanceServer();

  EXPECT_EQ(later.get(), TInstanceCheck::kAnotherInstance);
  EXPECT_EQ(PollFor(first, 1), (std::vector<TInstanceMessage>{{1, "x\r"}}));
}

}  // namespace
}  // namespace dravik
