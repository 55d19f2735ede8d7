#include "U_InstanceIPC.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "InstanceTestSupport.h"
#include "KvClock.h"

namespace dravik {
namespace {

using testing::InstanceTestBase;

class InstanceServerTest : public InstanceTestBase {
 protected:
  std::string SocketPath() const { return runtime_ + "/tuniqueinstance_test"; }
};

TEST(InstanceServerIdTest, MakeInstanceServerId_EmptyOrGivenIdentifier_PrefixesNameOrIdentifier) {
  EXPECT_EQ(MakeInstanceServerId(""), "tuniqueinstance_dravik_shell_tests");
  EXPECT_EQ(MakeInstanceServerId("Other.Name"), "tuniqueinstance_Other.Name");
}

TEST_F(InstanceServerTest, Construct_FreshPath_SocketIsPrivateAndCloseOnExec) {
  TInstanceServer server(SocketPath(), clock_);

  struct stat st {};
  ASSERT_EQ(::lstat(SocketPath().c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_NE(::fcntl(server.Fd(), F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_NE(::fcntl(server.Fd(), F_GETFL) & O_NONBLOCK, 0);
}

TEST_F(InstanceServerTest, Poll_PeerBreakingTheBounds_DropsItAndServesTheNext) {
  struct TCase {
    const char* name;
    std::uint32_t type;
    std::uint32_t length;
    bool accepted;
  };
  const TCase cases[] = {
      {"largest count and text", 1024, 64 * 1024, true},
      {"count above 1024", 1025, 0, false},
      {"negative count", 0xFFFFFFFFu, 0, false},
      {"text above 64 KiB", 1, 64 * 1024 + 1, false},
  };
  TInstanceServer server(SocketPath(), clock_);
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TUniqueFd peer = Connect(SocketPath());
    ASSERT_TRUE(peer.Valid());
    SendAll(peer.Get(), Header(c.type, c.length));
    if (c.accepted) SendAll(peer.Get(), std::string(c.length, 'x'));
    TUniqueFd next = Connect(SocketPath());
    SendAll(next.Get(), EncodeInstanceMessage({1, "next\r"}));

    const std::vector<TInstanceMessage> got = PollFor(server, c.accepted ? 2 : 1);

    std::vector<TInstanceMessage> expected;
    if (c.accepted)
      expected.push_back({static_cast<std::int32_t>(c.type), std::string(c.length, 'x')});
    expected.push_back({1, "next\r"});
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(PeerClosed(peer.Get()));
  }
  EXPECT_EQ(sink_.Find("Instance message beyond the bounds: peer dropped").size(), 3u);
}

TEST_F(InstanceServerTest, Poll_SenderStallsMidMessage_DroppedAfterTimeoutWhileOthersServed) {
  TManualClock clock;
  TInstanceServer server(SocketPath(), clock);
  TUniqueFd stalled = Connect(SocketPath());
  SendAll(stalled.Get(), Header(2, 10).substr(0, 5));
  ASSERT_TRUE(server.Poll().empty());

  TUniqueFd other = Connect(SocketPath());
  SendAll(other.Get(), EncodeInstanceMessage({0, ""}));
  clock.AdvanceMs(InstancePeerTimeoutMs - 1);
  const std::vector<TInstanceMessage> served = PollFor(server, 1);
  EXPECT_EQ(served, (std::vector<TInstanceMessage>{{0, ""}}));
  EXPECT_TRUE(sink_.Find("Instance message not completed in time").empty());

  clock.AdvanceMs(1);
  EXPECT_TRUE(server.Poll().empty());
  EXPECT_TRUE(PeerClosed(stalled.Get()));
  EXPECT_EQ(sink_.Find("Instance message not completed in time: peer dropped").size(), 1u);
}

TEST_F(InstanceServerTest, Poll_PeerClosesBeforeItsMessageEnds_NothingDelivered) {
  TInstanceServer server(SocketPath(), clock_);
  {
    TUniqueFd peer = Connect(SocketPath());
    SendAll(peer.Get(), EncodeInstanceMessage({1, "cut\r"}).substr(0, 10));
  }
  TUniqueFd next = Connect(SocketPath());
  SendAll(next.Get(), EncodeInstanceMessage({1, "whole\r"}));

  EXPECT_EQ(PollFor(server, 1), (std::vector<TInstanceMessage>{{1, "whole\r"}}));
}

TEST_F(InstanceServerTest, Destroy_SocketReplacedMeanwhile_LeavesTheNewOneInPlace) {
  auto server = std::make_unique<TInstanceServer>(SocketPath(), clock_);
  ASSERT_EQ(::unlink(SocketPath().c_str()), 0);
  TInstanceServer successor(SocketPath(), clock_);

  server.reset();

  struct stat st {};
  EXPECT_EQ(::lstat(SocketPath().c_str(), &st), 0);
}

TEST_F(InstanceServerTest, InstanceChannelDir_RuntimeFolderVariants_UsesOnlyAPrivateOne) {
  struct TCase {
    const char* name;
    std::optional<std::string> runtime;  // nullopt: unset
    mode_t mode;
    uid_t owner;
    bool used;
  };
  const uid_t me = ::geteuid();
  const std::string xdg = dir_ / "xdg";
  const TCase cases[] = {
      {"private folder", xdg, 0700, me, true},
      {"open to the group", xdg, 0750, me, false},
      {"owned by another user", xdg, 0700, me + 4242, false},
      {"relative path", std::string("run"), 0700, me, false},
      {"unset", std::nullopt, 0700, me, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.owner != me && me != 0) GTEST_SKIP() << "needs root to give a folder away";
    ASSERT_EQ(::mkdir(xdg.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(xdg.c_str(), c.mode), 0);
    ASSERT_EQ(::chown(xdg.c_str(), c.owner, static_cast<gid_t>(-1)), 0);
    if (c.runtime)
      ::setenv("XDG_RUNTIME_DIR", c.runtime->c_str(), 1);
    else
      ::unsetenv("XDG_RUNTIME_DIR");

    EXPECT_EQ(InstanceChannelDir(), c.used ? xdg : FallbackDir());
    ASSERT_EQ(::rmdir(xdg.c_str()), 0);
  }
  struct stat st {};
  ASSERT_EQ(::lstat(FallbackDir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(InstanceServerTest, InstanceChannelDir_FallbackNotOursAlone_Throws) {
  struct TCase {
    const char* name;
    bool link;
    mode_t mode;
    uid_t owner;
  };
  const uid_t me = ::geteuid();
  const TCase cases[] = {
      {"owned by another user", false, 0700, me + 4242},
      {"open to others", false, 0755, me},
      {"a link to a private folder", true, 0700, me},
  };
  ::unsetenv("XDG_RUNTIME_DIR");
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.owner != me && me != 0) GTEST_SKIP() << "needs root to give a folder away";
    if (c.link) {
      ASSERT_EQ(::symlink(runtime_.c_str(), FallbackDir().c_str()), 0);
    } else {
      ASSERT_EQ(::mkdir(FallbackDir().c_str(), 0700), 0);
      ASSERT_EQ(::chmod(FallbackDir().c_str(), c.mode), 0);
      ASSERT_EQ(::chown(FallbackDir().c_str(), c.owner, static_cast<gid_t>(-1)), 0);
    }

    EXPECT_THROW(InstanceChannelDir(), EOSError);
    ASSERT_EQ(c.link ? ::unlink(FallbackDir().c_str()) : ::rmdir(FallbackDir().c_str()), 0);
  }
}

}  // namespace
}  // namespace dravik
