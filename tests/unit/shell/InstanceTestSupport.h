// The shared fixture of the single-instance tests: a private runtime folder per test, the
// log captured, and raw peers that speak bytes to the server.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "KvClock.h"
#include "RecordingLogSink.h"
#include "TempDir.h"
#include "U_InstanceIPC.h"
#include "U_LogFile.h"

namespace dravik::testing {

class InstanceTestBase : public ::testing::Test {
 protected:
  void SetUp() override {
    SaveEnv("XDG_RUNTIME_DIR");
    SaveEnv("TMPDIR");
    runtime_ = dir_ / "run";
    ASSERT_EQ(::mkdir(runtime_.c_str(), 0700), 0);
    tmp_ = dir_ / "tmp";
    ASSERT_EQ(::mkdir(tmp_.c_str(), 0700), 0);
    ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
    ::setenv("TMPDIR", tmp_.c_str(), 1);
    previous_ = HostLoger.exchange(&loger_);
  }
  void TearDown() override {
    HostLoger.store(previous_);
    for (const auto& [name, value] : savedEnv_) {
      if (value)
        ::setenv(name.c_str(), value->c_str(), 1);
      else
        ::unsetenv(name.c_str());
    }
  }

  // The fallback folder the channel uses below TMPDIR.
  std::string FallbackDir() const { return tmp_ + "/dravik-" + std::to_string(::geteuid()); }

  // A connected raw peer of the socket at path; -1 when the connect failed.
  static TUniqueFd Connect(const std::string& path) {
    TUniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
      fd.Reset();
    return fd;
  }

  static void SendAll(int fd, const std::string& bytes) {
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }

  // A wire header with any values, also those the server must refuse.
  static std::string Header(std::uint32_t type, std::uint32_t length) {
    std::string bytes;
    for (std::uint32_t value : {type, length})
      for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    return bytes;
  }

  // True when the server closed the raw peer (it reads end of file, or the connection
  // was reset); waits up to two seconds.
  static bool PeerClosed(int fd) {
    timeval timeout{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    char byte = 0;
    const ssize_t n = ::recv(fd, &byte, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
  }

  // Polls until `count` messages arrived or two seconds passed.
  template <typename Server>
  static std::vector<TInstanceMessage> PollFor(Server& server, std::size_t count) {
    std::vector<TInstanceMessage> all;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (all.size() < count && std::chrono::steady_clock::now() < deadline) {
      for (TInstanceMessage& message : server.Poll()) all.push_back(std::move(message));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return all;
  }

  TempDir dir_;
  std::string runtime_;
  std::string tmp_;
  TRecordingSink sink_;
  TSystemClock clock_;
  THostLoger loger_{sink_, clock_};

 private:
  void SaveEnv(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    savedEnv_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
  }

  THostLoger* previous_ = nullptr;
  std::vector<std::pair<std::string, std::optional<std::string>>> savedEnv_;
};

}  // namespace dravik::testing
