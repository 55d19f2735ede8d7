#include "U_AutoUpdate.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "DravikConfig.h"
#include "KvClock.h"
#include "RecordingLogSink.h"
#include "TempDir.h"
#include "U_AppHooks.h"
#include "U_LogFile.h"
#include "U_ThreadDialogs.h"
#include "VersionBlock.h"

namespace dravik {
namespace {

struct TShownBox {
  std::string caption, message;
  TMsgDlgType type;
  TMsgDlgButtons buttons;
};

class TRecordingPresenter final : public IDialogPresenter {
 public:
  explicit TRecordingPresenter(std::vector<TShownBox>& shown) : shown_(shown) {}
  TModalResult MessageBox(std::string_view caption, std::string_view message, TMsgDlgType type,
                          TMsgDlgButtons buttons) override {
    shown_.push_back({std::string(caption), std::string(message), type, buttons});
    return mrOk;
  }

 private:
  std::vector<TShownBox>& shown_;
};

class AutoUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetMainThread();
    previous_ = SetDialogPresenter(std::make_unique<TRecordingPresenter>(shown_));
    SetApplicationTitle("Dravik Plugin Host [ZRT]");
  }
  void TearDown() override {
    SetDialogPresenter(std::move(previous_));
    LastUpdateError.store(TAutoUpdateError::errNone);
    UpdateInProgress.store(false);
    ::unsetenv("DRAVIK_TEST_UPDATE_IN_PROGRESS");
    FinalizeAutoUpdateState();
  }

  std::vector<TShownBox> shown_;
  std::unique_ptr<IDialogPresenter> previous_;
};

TEST_F(AutoUpdateTest, WithoutErrorTheNoteIsShownWithTheInformationCaption) {
  TAutoUpdateState().ShowUpdateMessage();

  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0].caption, "Dravik Plugin Host [ZRT] - Информация");
  EXPECT_EQ(shown_[0].message,
            "Подождите, идет процесс обновления сервиса.\r\nЭто может занять несколько минут...");
  EXPECT_EQ(shown_[0].type, mtInformation);
  EXPECT_EQ(shown_[0].buttons, TMsgDlgButtons({mbOK}));
}

TEST_F(AutoUpdateTest, OnceAnErrorWasShownEveryLaterMessageShowsItAgain) {
  LastUpdateError.store(TAutoUpdateError::errGetInstaller);

  TAutoUpdateState().ShowUpdateMessage();
  TAutoUpdateState().ShowUpdateMessage();

  ASSERT_EQ(shown_.size(), 2u);
  for (const TShownBox& box : shown_) {
    EXPECT_EQ(box.caption, "Dravik Plugin Host [ZRT] - Ошибка");
    EXPECT_EQ(box.message,
              "Ошибка при попытке обновления крипто-плагина.\r\n"
              "Ошибки возникли при получении инсталлятора обновления.\r\n"
              "Исправьте ошибки и перезапустите крипто-плагин.");
    EXPECT_EQ(box.type, mtError);
  }
}

TEST_F(AutoUpdateTest, TheApiSeesTheFlagOnlyOnceTheStateIsRegistered) {
  UpdateInProgress.store(true);
  EXPECT_FALSE(IsUpdateInProgress());  // nothing registered: no update as far as the API knows

  InitAutoUpdateState();
  EXPECT_TRUE(IsUpdateInProgress());
  UpdateInProgress.store(false);
  EXPECT_FALSE(IsUpdateInProgress());

  ShowUpdateMessage();  // through the hook
  EXPECT_EQ(shown_.size(), 1u);
}

TEST_F(AutoUpdateTest, TestHookSwitchHoldsTheFlagSetInTestBuildsOnly) {
  ::setenv("DRAVIK_TEST_UPDATE_IN_PROGRESS", "1", 1);
  InitAutoUpdateState();
  EXPECT_EQ(IsUpdateInProgress(), DRAVIK_TEST_HOOKS == 1);
}

using namespace std::chrono_literals;

TEST(VersionToInt64Test, PacksFourSixteenBitFieldsFromTheHighestDown) {
  const std::pair<std::string_view, std::uint64_t> cases[] = {
      {"3.1.2.3", 0x0003'0001'0002'0003ull},
      {"3.1", 0x0003'0001'0000'0000ull},
      {"", 0},
      {"7", 0x0007'0000'0000'0000ull},
      {"3.x.2.1", 0x0003'0000'0002'0001ull},      // a part that is no number counts as 0
      {"3..2", 0x0003'0000'0002'0000ull},         // an empty part too
      {"65537.65535", 0x0001'FFFF'0000'0000ull},  // low 16 bits of each part
      {"-1.0", 0xFFFF'0000'0000'0000ull},
      {"99999999999.1", 0x0000'0001'0000'0000ull},  // beyond int32: no number
      {" 3.1", 0x0000'0001'0000'0000ull},
      {"3.1.2.3.4", 0},  // more than four parts is no version of this form
      {"3.0.0.0.0", 0},
  };
  for (const auto& [text, packed] : cases) EXPECT_EQ(VersionToInt64(text), packed) << text;
  EXPECT_LT(VersionToInt64("3.1"), VersionToInt64("3.1.0.1"));
  EXPECT_LT(VersionToInt64("3.9.9.9"), VersionToInt64("4"));
}

TEST(UpdateEndpointTest, TheEndpointsAddressesAndTheTestHookSwitches) {
  const TUpdateEndpoint endpoint = UpdateEndpointAt("https://updates.test:8443/");
  EXPECT_EQ(endpoint.ManifestUrl,
            "https://updates.test:8443/win-download/DravikPluginUpdateManifest.json");
  EXPECT_EQ(endpoint.InstallerUrl,
            "https://updates.test:8443/win-download/DravikPluginSetupZRT.exe");

  ::unsetenv("DRAVIK_TEST_UPDATE_URL");
  ::setenv("DRAVIK_TEST_UPDATE_CA", "/ca.pem", 1);
  const std::optional<TUpdateEndpoint> unset = ConfiguredUpdateEndpoint();
  ::setenv("DRAVIK_TEST_UPDATE_URL", "https://127.0.0.1:4443", 1);
  const std::optional<TUpdateEndpoint> set = ConfiguredUpdateEndpoint();
  ::unsetenv("DRAVIK_TEST_UPDATE_URL");
  ::unsetenv("DRAVIK_TEST_UPDATE_CA");

  if (DRAVIK_TEST_HOOKS) {
    EXPECT_EQ(unset, std::nullopt);  // a test run never checks by accident
    ASSERT_TRUE(set);
    EXPECT_EQ(set->ManifestUrl,
              "https://127.0.0.1:4443/win-download/DravikPluginUpdateManifest.json");
    EXPECT_EQ(set->CaFile, "/ca.pem");
  } else {
    ASSERT_TRUE(unset);
    EXPECT_TRUE(unset->ManifestUrl.starts_with("https://"));
    EXPECT_TRUE(unset->CaFile.empty());
  }
}

// The update endpoint's replies, scripted; code -1 stands for no exchange.
struct TReply {
  int code = 404;
  std::string body;
};

class TScriptedTransport final : public IUpdateTransport {
 public:
  bool HttpGetToString(const std::string& url, std::string& text, int& resultCode,
                       std::stop_token) override {
    Record(url);
    resultCode = manifest.code;
    const bool ok = manifest.code >= 100 && manifest.code <= 299;
    text = ok ? manifest.body : std::string();
    return ok;
  }
  bool HttpGetToFile(const std::string& url, int fd, int& resultCode, std::stop_token) override {
    Record(url);
    resultCode = installer.code;
    if (installer.code < 100 || installer.code > 299) return false;
    return ::write(fd, installer.body.data(), installer.body.size()) ==
           static_cast<ssize_t>(installer.body.size());
  }

  TReply manifest;
  TReply installer;
  std::function<void()> onRequest;
  std::vector<std::string> urls;
  std::vector<bool> flagDuringRequest;

 private:
  void Record(const std::string& url) {
    urls.push_back(url);
    flagDuringRequest.push_back(UpdateInProgress.load());
    if (onRequest) onRequest();
  }
};

class TRecordingLauncher final : public IInstallerLauncher {
 public:
  bool RunHidden(const std::string& fileName, const std::vector<std::string>& parameters,
                 std::string& cause) override {
    struct stat info {};
    mode = ::stat(fileName.c_str(), &info) == 0 ? (info.st_mode & 0777) : 0;
    runs.emplace_back(fileName, parameters);
    if (!result) cause = "Exception EOSError: not started";
    return result;
  }
  bool result = true;
  mode_t mode = 0;
  std::vector<std::pair<std::string, std::vector<std::string>>> runs;
};

// A script that carries a version block, as the installers in the tests do.
std::string Stamped(std::string_view fileVersion) {
  return "#!/bin/sh\nexit 0\n# " +
         platform::EncodeVersionBlock({{"FileVersion", std::string(fileVersion)}}) + "\n";
}

std::string Manifest(std::string_view version) {
  return R"({ "minimalDravikPluginVersion" : ")" + std::string(version) + R"(" })";
}

class UpdateThreadTest : public AutoUpdateTest {
 protected:
  void SetUp() override {
    AutoUpdateTest::SetUp();
    std::filesystem::create_directory(TempFolder());
    ownFile_ = dir_.Write("DravikPluginHost", Stamped("3.1.2.2"));
  }

  std::string TempFolder() const { return dir_ / "tmp"; }

  std::unique_ptr<TUpdateThread> MakeThread(const IClock& clock,
                                            IInstallerLauncher* launcher = nullptr) {
    TUpdateContext context;
    context.Clock = &clock;
    context.Transport = &transport_;
    context.Launcher = launcher ? launcher : &launcher_;
    context.Endpoint = UpdateEndpointAt("https://updates.test");
    context.OwnFile = ownFile_;
    context.TempDir = TempFolder();
    return std::make_unique<TUpdateThread>(std::move(context));
  }

  std::vector<std::string> TempFiles() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(TempFolder()))
      names.push_back(entry.path().filename().string());
    return names;
  }

  testing::TempDir dir_;
  std::string ownFile_;
  TManualClock clock_{EncodeDateTime(2024, 5, 1, 10)};
  TScriptedTransport transport_;
  TRecordingLauncher launcher_;
};

TEST_F(UpdateThreadTest, OneCheckDownloadsChecksAndStartsOnlyANewerMatchingInstaller) {
  const std::string newer = Manifest("3.1.2.3");
  struct TCase {
    const char* what;
    TReply manifest;
    TReply installer;
    bool launcherStarts;
    bool launched;
    TAutoUpdateError shown;  // errNone: nothing shown
    std::size_t requests;
    std::size_t filesLeft;
    std::string_view own = "3.1.2.2";
  } cases[] = {
      {"manifest 404", {404, "gone"}, {}, true, false, TAutoUpdateError::errNone, 1, 0},
      {"no exchange", {-1, ""}, {}, true, false, TAutoUpdateError::errNone, 1, 0},
      {"html page",
       {200, "<html>Service</html>"},
       {},
       true,
       false,
       TAutoUpdateError::errParseManifest,
       1,
       0},
      {"not an object", {200, "[1, 2]"}, {}, true, false, TAutoUpdateError::errParseManifest, 1, 0},
      {"cut short",
       {200, R"({ "minimalDravikPluginVersion" : "3.1)"},
       {},
       true,
       false,
       TAutoUpdateError::errParseManifest,
       1,
       0},
      {"member in other case",
       {200, R"({ "MinimalDravikPluginVersion" : "9.0" })"},
       {},
       true,
       false,
       TAutoUpdateError::errNone,
       1,
       0},
      {"equal version",
       {200, Manifest("3.1.2.2")},
       {},
       true,
       false,
       TAutoUpdateError::errNone,
       1,
       0},
      {"older version",
       {200, Manifest("3.1.2.1")},
       {},
       true,
       false,
       TAutoUpdateError::errNone,
       1,
       0},
      {"installer 500",
       {200, newer},
       {500, "error"},
       true,
       false,
       TAutoUpdateError::errGetInstaller,
       2,
       0},
      {"installer 3.1.2.3",
       {200, newer},
       {200, Stamped("3.1.2.3")},
       true,
       true,
       TAutoUpdateError::errNone,
       2,
       1},
      {"installer 1.2.3 read as 3.1.2.3",
       {200, newer},
       {200, Stamped("1.2.3")},
       true,
       true,
       TAutoUpdateError::errNone,
       2,
       1},
      {"installer 3.1.2.4",
       {200, newer},
       {200, Stamped("3.1.2.4")},
       true,
       false,
       TAutoUpdateError::errCheckInstaller,
       2,
       0},
      {"installer 1.2.3.4, five parts",
       {200, newer},
       {200, Stamped("1.2.3.4")},
       true,
       false,
       TAutoUpdateError::errCheckInstaller,
       2,
       0},
      {"installer without block",
       {200, newer},
       {200, "#!/bin/sh\n"},
       true,
       false,
       TAutoUpdateError::errCheckInstaller,
       2,
       0},
      {"installer with empty version",
       {200, Manifest("3")},
       {200, Stamped("")},
       true,
       false,
       TAutoUpdateError::errCheckInstaller,
       2,
       0,
       "2.9"},
      {"installer fails to start",
       {200, newer},
       {200, Stamped("3.1.2.3")},
       false,
       false,
       TAutoUpdateError::errRunInstaller,
       2,
       1},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(TempFolder());
    std::filesystem::create_directory(TempFolder());
    transport_ = TScriptedTransport();
    transport_.manifest = c.manifest;
    transport_.installer = c.installer;
    launcher_ = TRecordingLauncher();
    launcher_.result = c.launcherStarts;
    shown_.clear();
    LastUpdateError.store(TAutoUpdateError::errNone);
    UpdateInProgress.store(false);
    const auto thread = MakeThread(clock_);
    thread->OwnVersion = VersionToInt64(c.own);

    const bool launched = thread->CheckForUpdate({});

    EXPECT_EQ(launched, c.launched);
    EXPECT_EQ(UpdateInProgress.load(), c.launched);
    EXPECT_EQ(transport_.flagDuringRequest, std::vector<bool>(c.requests, true));
    EXPECT_EQ(transport_.urls.size(), c.requests);
    EXPECT_EQ(LastUpdateError.load(), c.shown);
    EXPECT_EQ(shown_.size(), c.shown == TAutoUpdateError::errNone ? 0u : 1u);
    EXPECT_EQ(TempFiles().size(), c.filesLeft);
    EXPECT_EQ(thread->LastCheck, clock_.Now());
  }
}

TEST_F(UpdateThreadTest, TheStartedInstallerIsAPrivateTempFileWithTheUnattendedParameters) {
  transport_.manifest = {200, Manifest("3.1.2.3")};
  transport_.installer = {200, Stamped("3.1.2.3")};
  // Taken names are skipped, whether files or folders.
  dir_.Write("tmp/DravikPluginSetupZRT00000.tmp", "");
  std::filesystem::create_directory(TempFolder() + "/DravikPluginSetupZRT00001.tmp");
  const auto thread = MakeThread(clock_);
  thread->OwnVersion = VersionToInt64("3.1.2.2");

  ASSERT_TRUE(thread->CheckForUpdate({}));

  ASSERT_EQ(launcher_.runs.size(), 1u);
  const std::string expected = TempFolder() + "/DravikPluginSetupZRT00002.tmp";
  EXPECT_EQ(launcher_.runs[0].first, expected);
  EXPECT_EQ(launcher_.runs[0].second,
            (std::vector<std::string>{"--mode", "unattended", "--unattendedmodeui", "none"}));
  EXPECT_EQ(launcher_.mode, 0700u);
  EXPECT_EQ(testing::ReadFileBytes(expected), Stamped("3.1.2.3"));
  EXPECT_EQ(
      transport_.urls,
      (std::vector<std::string>{"https://updates.test/win-download/DravikPluginUpdateManifest.json",
                                "https://updates.test/win-download/DravikPluginSetupZRT.exe"}));
}

TEST_F(UpdateThreadTest, AnInstallerThatCannotBeStartedGivesOneErrorRecordWithItsCause) {
  testing::TRecordingSink sink;
  THostLoger loger(sink, clock_);
  THostLoger* previous = HostLoger.exchange(&loger);
  transport_.manifest = {200, Manifest("3.1.2.3")};
  // The right version, but an interpreter that does not exist: the real launcher fails.
  transport_.installer = {200, "#!/nonexistent/interpreter\n# " +
                                   platform::EncodeVersionBlock({{"FileVersion", "3.1.2.3"}}) +
                                   "\n"};
  TSpawnLauncher spawn;
  const std::unique_ptr<TUpdateThread> thread = MakeThread(clock_, &spawn);
  thread->OwnVersion = VersionToInt64("3.1.2.2");

  EXPECT_FALSE(thread->CheckForUpdate({}));
  HostLoger.store(previous);

  const std::vector<testing::TRecord> errors = sink.Find("AutoUpdate: ");
  std::vector<std::string> errorTexts;
  for (const testing::TRecord& record : errors)
    if (record.firstLine.find("[DataID: Error]") != std::string::npos)
      errorTexts.push_back(record.details.substr(0, record.details.find("\r\n")));
  EXPECT_EQ(errorTexts, std::vector<std::string>{"Value: AutoUpdate: Error executing installer!"});
  const std::optional<std::string> details = sink.FirstDetails("AutoUpdate: Error executing");
  ASSERT_TRUE(details);
  EXPECT_NE(details->find("Exception "), std::string::npos) << *details;
  EXPECT_EQ(LastUpdateError.load(), TAutoUpdateError::errRunInstaller);
}

TEST_F(UpdateThreadTest, ConcurrentLoopChecksHourlyAndAtOnceAfterTheClockWentBack) {
  std::vector<std::int64_t> checkedAt;
  const auto thread = MakeThread(clock_);
  transport_.onRequest = [&] {
    checkedAt.push_back(clock_.MonotonicMs());
    if (checkedAt.size() == 2) clock_.SetNow(IncMilliseconds(clock_.Now(), -2 * 3600 * 1000));
    if (checkedAt.size() == 3) thread->Stop();
  };

  thread->Start();

  ASSERT_TRUE(thread->WaitFor(60'000));
  ASSERT_EQ(checkedAt.size(), 3u);
  EXPECT_EQ(checkedAt[0], 0);
  EXPECT_GE(checkedAt[1], TUpdateThread::kCheckIntervalMs - TUpdateThread::kPollMs);
  EXPECT_LE(checkedAt[1], TUpdateThread::kCheckIntervalMs + TUpdateThread::kPollMs);
  EXPECT_EQ(checkedAt[2], checkedAt[1]);
  EXPECT_EQ(thread->OwnVersion, VersionToInt64("3.1.2.2"));
  EXPECT_FALSE(UpdateInProgress.load());
  EXPECT_TRUE(shown_.empty());
}

TEST_F(UpdateThreadTest, ConcurrentErrorInTheLoopEndsTheThreadAndClearsTheFlag) {
  transport_.onRequest = [] { throw std::runtime_error("broken"); };
  const auto thread = MakeThread(clock_);

  thread->Start();

  EXPECT_TRUE(thread->WaitFor(10'000));
  EXPECT_EQ(transport_.urls.size(), 1u);
  EXPECT_FALSE(UpdateInProgress.load());
}

TEST_F(UpdateThreadTest, ConcurrentStopEndsTheHourlyWaitAtOnce) {
  const TSystemClock realClock;
  std::promise<void> checked;
  transport_.onRequest = [&] { checked.set_value(); };
  const auto thread = MakeThread(realClock);
  thread->Start();
  ASSERT_EQ(checked.get_future().wait_for(10s), std::future_status::ready);

  const auto stopAt = std::chrono::steady_clock::now();
  thread->Stop();

  EXPECT_TRUE(thread->WaitFor(5'000));
  EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 2s);
  EXPECT_FALSE(UpdateInProgress.load());
}

TEST_F(UpdateThreadTest, TheSeamStartsOneThreadOnceAndStopsIt) {
  const TSystemClock realClock;
  int made = 0;
  TAutoUpdate seam([&] {
    ++made;
    return MakeThread(realClock);
  });

  seam.StartAutoUpdate();
  seam.StartAutoUpdate();
  ASSERT_NE(seam.Thread(), nullptr);
  seam.StopAutoUpdate();

  EXPECT_EQ(made, 1);
  EXPECT_EQ(seam.Thread(), nullptr);
  seam.StartAutoUpdate();  // started once only, as the program does
  EXPECT_EQ(made, 1);

  TAutoUpdate off([] { return std::unique_ptr<TUpdateThread>(); });
  off.StartAutoUpdate();
  EXPECT_EQ(off.Thread(), nullptr);
  off.StopAutoUpdate();
}

// A plain HTTP server on a loopback port that answers each request with `reply` (or holds
// it unanswered when `reply` is empty) and counts the requests. With `atOnce` it answers
// before reading anything.
class TLoopbackServer {
 public:
  explicit TLoopbackServer(std::string reply, bool atOnce = false)
      : reply_(std::move(reply)), atOnce_(atOnce) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
      throw std::runtime_error("no loopback listener");
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~TLoopbackServer() {
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }

  std::string Url(std::string_view scheme = "http") const {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_) + "/file";
  }
  int Requests() const { return requests_.load(); }

 private:
  void Serve() {
    for (;;) {
      const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) return;
      std::string request;
      char buffer[4096];
      while (!atOnce_ && request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = ::read(client, buffer, sizeof buffer);
        if (n <= 0) break;
        request.append(buffer, static_cast<std::size_t>(n));
      }
      ++requests_;
      if (reply_.empty()) {
        // Held until the client gives up.
        while (::read(client, buffer, sizeof buffer) > 0) {
        }
      } else {
        [[maybe_unused]] const ssize_t sent =
            ::send(client, reply_.data(), reply_.size(), MSG_NOSIGNAL);
      }
      ::close(client);
    }
  }

  std::string reply_;
  bool atOnce_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<int> requests_{0};
  std::thread thread_;
};

std::string HttpReply(std::string_view status, std::string_view body, std::string_view extra = {}) {
  return "HTTP/1.1 " + std::string(status) + "\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n" + std::string(extra) + "\r\n" + std::string(body);
}

class CurlTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!DRAVIK_TEST_HOOKS) GTEST_SKIP() << "plain http to loopback exists in test builds only";
    endpoint_.AllowLoopbackHttp = true;
  }
  TUpdateEndpoint endpoint_;
};

TEST_F(CurlTransportTest, OnlyHttpsOrLoopbackHttpWhenAllowedIsFetched) {
  TUpdateEndpoint strict;
  const TCurlTransport loose(endpoint_);
  const TCurlTransport https(strict);
  struct TCase {
    std::string_view url;
    bool strictOk, looseOk;
  } cases[] = {
      {"https://updates.example/x", true, true},    {"HTTPS://updates.example/x", true, true},
      {"http://127.0.0.1:8080/x", false, true},     {"http://localhost/x", false, true},
      {"http://[::1]:8080/x", false, true},         {"http://updates.example/x", false, false},
      {"http://127.0.0.1.example/x", false, false}, {"ftp://127.0.0.1/x", false, false},
      {"file:///etc/passwd", false, false},         {"not a url", false, false},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(https.UrlAllowed(std::string(c.url)), c.strictOk) << c.url;
    EXPECT_EQ(loose.UrlAllowed(std::string(c.url)), c.looseOk) << c.url;
  }
}

TEST_F(CurlTransportTest, RepliesGiveTheirStatusAndOnlySuccessGivesTheBody) {
  struct TCase {
    std::string reply;
    bool ok;
    int code;
    std::string text;
  } cases[] = {
      {HttpReply("200 OK", "{ \"a\" : 1 }"), true, 200, "{ \"a\" : 1 }"},
      {HttpReply("204 No Content", ""), true, 204, ""},
      {HttpReply("404 Not Found", "<html>missing</html>"), false, 404, ""},
      {HttpReply("302 Found", "", "Location: http://127.0.0.1:1/\r\n"), false, 302, ""},
      {HttpReply("200 OK", std::string(TCurlTransport::kMaxManifestBytes + 1, 'x')), false, -1, ""},
      {"garbage\r\n\r\n", false, -1, ""},
  };
  TCurlTransport transport(endpoint_);
  for (const TCase& c : cases) {
    TLoopbackServer server(c.reply);
    std::string text = "left over";
    int code = 0;

    EXPECT_EQ(transport.HttpGetToString(server.Url(), text, code, {}), c.ok)
        << c.reply.substr(0, 40);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(text, c.text);
    EXPECT_EQ(server.Requests(), 1);
  }
}

TEST_F(CurlTransportTest, FilesGetTheBodyAndRefusedAddressesAreNeverContacted) {
  TLoopbackServer server(HttpReply("200 OK", "installer bytes"));
  testing::TempDir dir;
  const std::string name = dir / "file";
  const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  int code = 0;
  TCurlTransport strict{TUpdateEndpoint()};

  EXPECT_FALSE(strict.HttpGetToFile(server.Url(), fd, code, {}));
  EXPECT_EQ(code, -1);
  EXPECT_EQ(server.Requests(), 0);
  // https to a plain server fails in the handshake.
  TLoopbackServer plain(HttpReply("200 OK", "not encrypted"), true);
  EXPECT_FALSE(strict.HttpGetToFile(plain.Url("https"), fd, code, {}));
  EXPECT_EQ(code, -1);

  TCurlTransport transport(endpoint_);
  EXPECT_TRUE(transport.HttpGetToFile(server.Url(), fd, code, {}));
  ::close(fd);
  EXPECT_EQ(code, 200);
  EXPECT_EQ(testing::ReadFileBytes(name), "installer bytes");
}

TEST_F(CurlTransportTest, ConcurrentStopEndsAHangingDownloadAtOnce) {
  TLoopbackServer server("");
  TCurlTransport transport(endpoint_);
  std::stop_source stop;
  auto download = std::async(std::launch::async, [&] {
    std::string text;
    int code = 0;
    const bool ok = transport.HttpGetToString(server.Url(), text, code, stop.get_token());
    return std::make_pair(ok, code);
  });
  for (int i = 0; i < 500 && server.Requests() == 0; ++i) std::this_thread::sleep_for(10ms);

  const auto stopAt = std::chrono::steady_clock::now();
  stop.request_stop();

  ASSERT_EQ(download.wait_for(10s), std::future_status::ready);
  EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 3s);
  EXPECT_EQ(download.get(), std::make_pair(false, -1));
}

}  // namespace
}  // namespace dravik
