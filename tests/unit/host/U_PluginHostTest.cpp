// The plugin host with the real plugin library: loading it, passing commands in two
// phases, the plain command channel POST "/" with its allowlist over real sockets, the
// listeners, the status text and the host's lifetime.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "DravikConfig.h"
#include "KvClock.h"
#include "KvCommonUtils.h"
#include "KvJSON.h"
#include "KvLibUtils.h"
#include "KvSysTools.h"
#include "LoopbackSocket.h"
#include "RecordingLogSink.h"
#include "TempDir.h"
#include "U_InitSSL.h"
#include "U_LogFile.h"
#include "U_PluginHost.h"
#include "U_Settings.h"
#include "U_WebServer.h"

namespace dravik {
namespace {

using dravik::testing::TempDir;
using dravik::testing::TRecordingSink;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr char kCrypto[] = "RIDazodoRodudaRodozuze";
constexpr char kTrustedOrigin[] = "https://online.dravik-bank.example";
constexpr char kRefusal[] =
    R"({ "code" : "100", "text" : "Пользователь отказал в доступе к ключам" })";
constexpr char kError500[] = R"({ "code" : "99", "text" : "Внутренняя ошибка сервера" })";

std::string FolderOf(const char* file) {
  return std::filesystem::path(file).parent_path().string();
}

// A command in the form the host's executors write.
std::string Command(std::string_view id, std::string_view plugin, std::string_view method,
                    const std::vector<std::pair<std::string, std::string>>& params = {}) {
  std::string text = "{ \"ID\" : " + JsonQuoteString(id) +
                     ", \"Plugin\" : " + JsonQuoteString(plugin) +
                     ", \"Method\" : " + JsonQuoteString(method) + ", \"Params\" : [";
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (i > 0) text += ", ";
    text +=
        "{ " + JsonQuoteString(params[i].first) + " : " + JsonQuoteString(params[i].second) + " }";
  }
  return text + "] }";
}

std::string InitCommand() {
  return Command("", kCrypto, "InitCryptoEngineByType", {{"sCryptoEngineType", "8"}});
}

std::string VersionCommand() { return Command("", "RURazur", "GetProperty", {{"Version", ""}}); }

std::string ReplyId(const std::string& reply) {
  const TJsonValue json = ParseJSON(reply);
  const TJsonValue* id = json.Find("ID");
  return id && id->IsString() ? id->StringValue() : std::string("<none>");
}

// Sets an environment variable for one test; the plugin reads its knobs when it is loaded.
class TScopedEnv {
 public:
  TScopedEnv(const char* name, const std::string& value) : name_(name) {
    ::setenv(name, value.c_str(), 1);
  }
  TScopedEnv(const TScopedEnv&) = delete;
  TScopedEnv& operator=(const TScopedEnv&) = delete;
  ~TScopedEnv() { ::unsetenv(name_); }

 private:
  const char* name_;
};

// ----- Raw HTTP client -----

using dravik::testing::FreePort;
using dravik::testing::Loopback;
using dravik::testing::TFd;

struct TResponse {
  int status = 0;  // 0 when the connection ended without a status line
  std::string body;
};

TResponse Post(int port, const std::string& body, const std::string& origin = kTrustedOrigin) {
  TFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in address = Loopback(port);
  if (::connect(client.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ADD_FAILURE() << "connect to port " << port << " failed";
    return {};
  }
  std::string request = "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: " + origin +
                        "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  for (std::string_view rest = request; !rest.empty();) {
    const ssize_t sent = ::send(client.Get(), rest.data(), rest.size(), MSG_NOSIGNAL);
    if (sent <= 0) break;
    rest.remove_prefix(static_cast<std::size_t>(sent));
  }
  std::string received;
  const auto deadline = Clock::now() + milliseconds(10000);
  for (;;) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    pollfd entry{client.Get(), POLLIN, 0};
    if (left <= 0 || ::poll(&entry, 1, static_cast<int>(left)) <= 0) break;
    char buffer[16384];
    const ssize_t count = ::recv(client.Get(), buffer, sizeof buffer, 0);
    if (count <= 0) break;
    received.append(buffer, static_cast<std::size_t>(count));
  }
  TResponse response;
  const std::size_t headEnd = received.find("\r\n\r\n");
  if (!received.starts_with("HTTP/1.0 ") || headEnd == std::string::npos) return response;
  response.status = std::stoi(received.substr(9, 3));
  response.body = received.substr(headEnd + 4);
  return response;
}

// ----- Fixture -----

class PluginHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = HostLoger.exchange(&loger_);
    SetWebServerTimeouts({.IdleMs = 2000});
    InitWebServer();
    InitInitSSL();
    InitPluginHost();
    host_ = MakeHost(DRAVIK_TEST_PLUGIN_LIBRARY);
    SetPluginHost(host_);
  }

  void TearDown() override {
    host_->StopServers();
    CleanupServerThreads();
    for (int i = 0; i < 3 && host_->IsLibraryLoaded(); ++i) host_->UnloadPluginLibrary();
    host_.reset();
    FinalizePluginHost();
    FinalizeInitSSL();
    FinalizeWebServer();
    SetWebServerTimeouts({});
    HostLoger.store(previous_);
  }

  std::shared_ptr<TPluginHost> MakeHost(const char* library) {
    auto host = std::make_shared<TPluginHost>(dir_ / "DravikPluginHost.ini",
                                              std::vector<std::string>{FolderOf(library)});
    host->Settings().Server_RPC().SetPort(FreePort());
    host->Settings().Server_SSL().SetPort(FreePort());
    return host;
  }

  // Starts both listeners and waits until the HTTP one listens.
  void StartServers() {
    ASSERT_TRUE(host_->StartServers());
    for (int i = 0; i < 500; ++i) {
      TFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      const sockaddr_in address = Loopback(HttpPort());
      if (::connect(probe.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return;
      std::this_thread::sleep_for(milliseconds(10));
    }
    FAIL() << "the HTTP listener did not start";
  }

  int HttpPort() const { return host_->Settings().Server_RPC().Port(); }

  std::size_t CountRecords(std::string_view prefix) const { return sink_.Find(prefix).size(); }

  // The phases the plugin saw, from its trace file, one entry per call.
  std::vector<std::int64_t> TracedPhases() const {
    std::vector<std::int64_t> phases;
    std::ifstream in(traceFile_);
    for (std::string line; std::getline(in, line);) {
      if (!line.empty()) phases.push_back(ParseJSON(line).Find("phase")->AsInt32());
    }
    return phases;
  }

  TempDir dir_;
  std::string traceFile_ = dir_ / "plugin-trace.jsonl";
  TRecordingSink sink_;
  TSystemClock clock_;
  THostLoger loger_{sink_, clock_};
  THostLoger* previous_ = nullptr;
  std::shared_ptr<TPluginHost> host_;
};

// ----- Loading the library and passing commands -----

TEST_F(PluginHostTest, PostRootFromTrustedOriginReturnsLibraryReplyByteForByte) {
  ASSERT_TRUE(host_->LoadPluginLibrary());
  EXPECT_EQ(host_->LastConnect(), TDateTime());
  StartServers();
  std::string direct;
  ASSERT_TRUE(host_->ProcessCommand(VersionCommand(), direct, true));

  const TResponse response = Post(HttpPort(), VersionCommand());

  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, direct);
  EXPECT_NE(direct.find(DRAVIK_VERSION_TEXT), std::string::npos) << direct;
  EXPECT_GT(host_->LastConnect(), TDateTime());
  // The plain channel keeps the command and the reply texts out of the log; the executors'
  // calls put both in.
  const std::vector<testing::TRecord> processing = sink_.Find("Processing command...");
  ASSERT_EQ(processing.size(), 2u);
  EXPECT_NE(processing[0].details.find("RURazur"), std::string::npos);
  EXPECT_EQ(processing[1].details.find("RURazur"), std::string::npos);
  EXPECT_EQ(CountRecords("Library version: " DRAVIK_VERSION_TEXT), 1u);
}

TEST_F(PluginHostTest, PostRootWithoutLibraryAnswers500AndLogsNoExecutor) {
  StartServers();

  const TResponse response = Post(HttpPort(), VersionCommand());

  EXPECT_EQ(response.status, 500);
  EXPECT_EQ(response.body, kError500);
  EXPECT_EQ(CountRecords("No executor! Library not loaded?"), 1u);
}

TEST_F(PluginHostTest, PostRootFromUntrustedOriginAnswers403WithoutReachingLibrary) {
  ASSERT_TRUE(host_->LoadPluginLibrary());
  StartServers();

  const TResponse response = Post(HttpPort(), VersionCommand(), "https://evil.example");

  EXPECT_EQ(response.status, 403);
  EXPECT_EQ(CountRecords("Processing command..."), 0u);
}

TEST_F(PluginHostTest, LoadLibraryLackingEntryPointFailsAndNeverCallsIt) {
  host_ = MakeHost(DRAVIK_TEST_LACKING_PLUGIN_LIBRARY);

  EXPECT_FALSE(host_->LoadPluginLibrary());

  EXPECT_EQ(CountRecords("Failed to load procedures from npDravikPluginZRT.so"), 1u);
  EXPECT_EQ(CountRecords("Library version: "), 0u);
  std::string reply;
  EXPECT_FALSE(host_->ProcessCommand(VersionCommand(), reply, false));
  EXPECT_EQ(reply, "");
  EXPECT_EQ(CountRecords("No executor! Library not loaded?"), 1u);
  // Still counted, so that the stop step's unload balances the load.
  EXPECT_TRUE(host_->IsLibraryLoaded());
  EXPECT_TRUE(host_->UnloadPluginLibrary());
  EXPECT_FALSE(host_->IsLibraryLoaded());
}

TEST_F(PluginHostTest, UnloadedLibraryLeavesNoExecutorAndNoVersion) {
  ASSERT_TRUE(host_->LoadPluginLibrary());
  ASSERT_NE(host_->GetLibraryVersion(), "");

  EXPECT_TRUE(host_->UnloadPluginLibrary());

  EXPECT_EQ(host_->GetLibraryPath(), "");
  EXPECT_EQ(host_->GetLibraryVersion(), "");
  std::string reply;
  EXPECT_FALSE(host_->ProcessCommand(VersionCommand(), reply, false));
  EXPECT_EQ(CountRecords("No executor! Library not loaded?"), 1u);
  EXPECT_EQ(CountRecords("Unloaded library npDravikPluginZRT.so"), 1u);
}

enum class TReplyShape { Empty, ZeroFilled, Version };

struct TProtocolCase {
  const char* fault;  // DRAVIK_PLUGIN_PROTOCOL_FAULT
  std::string command;
  bool result;
  const char* logged;  // the record ProcessCommand writes last
  std::vector<std::int64_t> phases;
  TReplyShape reply;
};

class PluginHostProtocolTest : public PluginHostTest,
                               public ::testing::WithParamInterface<TProtocolCase> {};

TEST_P(PluginHostProtocolTest, ProcessCommandFollowsThePhases) {
  const TProtocolCase& c = GetParam();
  TScopedEnv fault("DRAVIK_PLUGIN_PROTOCOL_FAULT", c.fault);
  TScopedEnv trace("DRAVIK_PLUGIN_TRACE", traceFile_);
  ASSERT_TRUE(host_->LoadPluginLibrary());

  std::string reply = "stale";
  const bool result = host_->ProcessCommand(c.command, reply, true);

  EXPECT_EQ(result, c.result);
  EXPECT_EQ(CountRecords(c.logged), 1u);
  EXPECT_EQ(TracedPhases(), c.phases);
  switch (c.reply) {
    case TReplyShape::Empty:
      EXPECT_EQ(reply, "");
      break;
    case TReplyShape::ZeroFilled:
      // Sized by phase 1; the library wrote nothing into it.
      EXPECT_FALSE(reply.empty());
      EXPECT_EQ(reply, std::string(reply.size(), '\0'));
      break;
    case TReplyShape::Version:
      EXPECT_NE(reply.find(DRAVIK_VERSION_TEXT), std::string::npos) << reply;
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, PluginHostProtocolTest,
    ::testing::Values(
        TProtocolCase{
            "", VersionCommand(), true, "Command processed.", {1, 2}, TReplyShape::Version},
        TProtocolCase{
            "empty", VersionCommand(), true, "Command processed.", {1}, TReplyShape::Empty},
        TProtocolCase{"phase1",
                      VersionCommand(),
                      false,
                      "ProcessCommand: Error preparing reply!",
                      {1},
                      TReplyShape::Empty},
        TProtocolCase{"phase2",
                      VersionCommand(),
                      false,
                      "ProcessCommand: Error receiving reply!",
                      {1, 2},
                      TReplyShape::ZeroFilled},
        // An empty command still reaches the library, as an empty zero-terminated text.
        TProtocolCase{
            "", "", false, "ProcessCommand: Error preparing reply!", {1}, TReplyShape::Empty}),
    [](const ::testing::TestParamInfo<TProtocolCase>& info) {
      return std::string(*info.param.fault ? info.param.fault : "none") +
             (info.param.command.empty() ? "_EmptyCommand" : "");
    });

TEST_F(PluginHostTest, PostRootWithEmptyReplyAnswers200WithEmptyBody) {
  TScopedEnv fault("DRAVIK_PLUGIN_PROTOCOL_FAULT", "empty");
  TScopedEnv trace("DRAVIK_PLUGIN_TRACE", traceFile_);
  ASSERT_TRUE(host_->LoadPluginLibrary());
  StartServers();

  const TResponse response = Post(HttpPort(), VersionCommand());

  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "");
  EXPECT_EQ(TracedPhases(), std::vector<std::int64_t>{1});
}

// ----- The plain channel's allowlist -----

class PlainChannelTest : public PluginHostTest {
 protected:
  void SetUp() override {
    PluginHostTest::SetUp();
    ASSERT_TRUE(host_->LoadPluginLibrary());
    StartServers();
    const TResponse created = Post(HttpPort(), InitCommand());
    ASSERT_EQ(created.status, 200);
    channelEngine_ = ReplyId(created.body);
    std::string reply;
    ASSERT_TRUE(host_->ProcessCommand(InitCommand(), reply, true));
    hostEngine_ = ReplyId(reply);
    ASSERT_FALSE(channelEngine_.empty());
    ASSERT_FALSE(hostEngine_.empty());
    ASSERT_NE(channelEngine_, hostEngine_);
  }

  // Posts the command and checks that it was refused before the library saw it.
  void ExpectRefused(const std::string& command) {
    const std::size_t processed = CountRecords("Processing command...");
    const std::size_t refused = CountRecords("Plain command refused: ");
    const TResponse response = Post(HttpPort(), command);
    EXPECT_EQ(response.status, 401) << command;
    EXPECT_EQ(response.body, kRefusal) << command;
    EXPECT_EQ(CountRecords("Processing command..."), processed) << command;
    EXPECT_EQ(CountRecords("Plain command refused: "), refused + 1) << command;
  }

  std::string channelEngine_;
  std::string hostEngine_;
};

TEST_F(PlainChannelTest, KeyUseAndForeignEnginesAreRefused) {
  const std::string own = channelEngine_;
  const std::vector<std::string> commands = {
      // Using or creating a private key on the channel's own engine.
      Command(own, kCrypto, "ImportCryptoObject", {{"DataType", "13"}, {"Flags", "0"}}),
      Command(own, kCrypto, "ExportCryptoObject", {{"DataType", "61"}, {"Flags", "2"}}),
      Command(own, kCrypto, "ExportCryptoObject", {{"DataType", "42"}, {"Flags", "0"}}),
      Command(own, kCrypto, "ExportCryptoObject", {{"DataType", "11"}, {"Flags", "0"}}),
      Command(own, kCrypto, "ExportCryptoObject", {{"Flags", "0"}}),
      Command(own, kCrypto, "SomeOtherMethod"),
      // The host's own engine, a guessed one, none, and resetting one.
      Command(hostEngine_, kCrypto, "GetProperty", {{"LastErrorCode", ""}}),
      Command(hostEngine_, kCrypto, "Release"),
      Command(own + "0", kCrypto, "GetProperty", {{"LastErrorCode", ""}}),
      Command("", kCrypto, "GetProperty", {{"LastErrorCode", ""}}),
      Command(hostEngine_, kCrypto, "InitCryptoEngineByType", {{"sCryptoEngineType", "8"}}),
      Command("", "RURazur", "SomeOtherMethod"),
      Command("", "OtherPlugin", "GetProperty", {{"Version", ""}}),
  };
  for (const std::string& command : commands) ExpectRefused(command);
}

TEST_F(PlainChannelTest, DisguisedCommandsAreRefused) {
  const std::string id = JsonQuoteString(channelEngine_);
  const std::string head =
      R"({"ID": )" + id +
      R"(, "Plugin": "RIDazodoRodudaRodozuze", "Method": "ExportCryptoObject", )";
  const std::vector<std::string> commands = {
      head + R"("Params": [{"DataType": 14}, {"sParamData": ""}, {"Flags": "0"}]})",
      head + R"("Params": [{"DataType": "014"}, {"sParamData": ""}, {"Flags": "0"}]})",
      head + R"("Params": [{"DataType": "061"}, {"sParamData": ""}, {"Flags": "2"}]})",
      head + R"("Params": [{"DataType": " 14"}, {"sParamData": ""}, {"Flags": "0"}]})",
      head + R"("Params": [{"DataType": "14", "Flags": "0"}, {"sParamData": ""}]})",
      head + R"("Params": [{"DataType": "14"}, {"DataType": "61"}, {"Flags": "2"}]})",
      head + R"("Params": [{"DataType": "14", "DataType": "61"}, {"Flags": "2"}]})",
      R"({"ID": )" + id + R"(, "ID": "1", "Plugin": "RIDazodoRodudaRodozuze", )" +
          R"("Method": "ClearCash", "Params": []})",
      head + R"("Params": [{"DataType": "14"}, {"sParamData": ""}, {"Flags": "0"}]} {})",
      head + R"("Params": [{"DataType": "14"}, {"sParamData": ""}, {"Flags": "0"}])",
      "not a command",
      "",
  };
  for (const std::string& command : commands) ExpectRefused(command);
}

TEST_F(PlainChannelTest, ChannelEngineCanBeUsedUntilReleased) {
  const std::string own = channelEngine_;
  const std::vector<std::string> commands = {
      Command(own, kCrypto, "SetCryptoParamValue",
              {{"ParamName", "Hash Algorithm"}, {"Value", ""}}),
      Command(own, kCrypto, "GetProperty", {{"LastErrorCode", ""}}),
      Command(own, kCrypto, "ImportCryptoObject",
              {{"DataType", "11"}, {"Flags", "1"}, {"sData", ""}}),
      Command(own, kCrypto, "ImportCryptoObject",
              {{"DataType", "12"}, {"Flags", "1"}, {"sData", ""}}),
      Command(own, kCrypto, "ImportCryptoObject",
              {{"DataType", "23"}, {"Flags", "0"}, {"sData", ""}}),
      Command(own, kCrypto, "ExportCryptoObject",
              {{"DataType", "45"}, {"sParamData", ""}, {"Flags", "100"}}),
      Command(own, kCrypto, "ExportCryptoObject",
              {{"DataType", "14"}, {"sParamData", "not a certificate"}, {"Flags", "0"}}),
      Command(own, kCrypto, "ClearCash"),
  };
  for (const std::string& command : commands) {
    const TResponse response = Post(HttpPort(), command);
    EXPECT_EQ(response.status, 200) << command;
    EXPECT_EQ(ReplyId(response.body), own) << command << " -> " << response.body;
  }

  EXPECT_EQ(Post(HttpPort(), Command(own, kCrypto, "Release")).status, 200);

  ExpectRefused(Command(own, kCrypto, "GetProperty", {{"LastErrorCode", ""}}));
  EXPECT_FALSE(host_->PlainCommandGuard().OwnsEngine(own));
}

TEST_F(PlainChannelTest, UnloadForgetsChannelEngines) {
  ASSERT_TRUE(host_->PlainCommandGuard().OwnsEngine(channelEngine_));

  host_->UnloadPluginLibrary();

  EXPECT_FALSE(host_->PlainCommandGuard().OwnsEngine(channelEngine_));
}

TEST(PlainCommandGuardTest, KeepsOnlyLiveEnginesOfTheLoadedLibraryUpToTheLimit) {
  TPlainCommandGuard guard(2);
  const auto create = [&](const std::string& reply) {
    const TPlainCommandGuard::TAdmission admission = guard.Admit(InitCommand());
    if (admission.Allowed) guard.CommandEnded(admission, reply);
    return admission.Allowed;
  };
  ASSERT_TRUE(create(R"({"ID": "1"})"));
  ASSERT_TRUE(create(R"({"ID": "2"})"));

  EXPECT_FALSE(create(R"({"ID": "3"})"));
  EXPECT_TRUE(guard.Admit(Command("1", kCrypto, "Release")).Allowed);
  EXPECT_TRUE(create(R"({"ID": 4})"));  // an ID that is no string names no engine
  EXPECT_FALSE(guard.OwnsEngine("4"));
  // The library is unloaded while an engine is being created: its reply is stale.
  const TPlainCommandGuard::TAdmission pending = guard.Admit(InitCommand());
  guard.Clear();
  guard.CommandEnded(pending, R"({"ID": "5"})");

  EXPECT_FALSE(guard.OwnsEngine("1"));
  EXPECT_FALSE(guard.OwnsEngine("2"));
  EXPECT_FALSE(guard.OwnsEngine("5"));
}

// Creations in flight hold their slots: the limit holds before any of them is answered, and a
// slot comes back when the reply names no engine or the library went meanwhile.
TEST(PlainCommandGuardTest, CreationsInFlightHoldTheirSlotsUntilTheyEnd) {
  TPlainCommandGuard guard(2);
  const TPlainCommandGuard::TAdmission first = guard.Admit(InitCommand());
  const TPlainCommandGuard::TAdmission second = guard.Admit(InitCommand());
  ASSERT_TRUE(first.Allowed && second.Allowed);
  EXPECT_EQ(guard.Admit(InitCommand()).Reason, "too many engines");

  TPlainCommandGuard::TAdmission inFlight = second;
  for (const std::string_view failed : {"", R"({"ID": ""})", "not JSON"}) {
    guard.CommandEnded(inFlight, failed);
    inFlight = guard.Admit(InitCommand());
    EXPECT_TRUE(inFlight.Allowed) << failed;
    EXPECT_FALSE(guard.Admit(InitCommand()).Allowed) << failed;
  }
  // Unloading drops the slots held; the stale ends then give back nothing that is not theirs.
  guard.Clear();
  guard.CommandEnded(first, R"({"ID": "1"})");
  guard.CommandEnded(inFlight, "");
  const TPlainCommandGuard::TAdmission a = guard.Admit(InitCommand());
  const TPlainCommandGuard::TAdmission b = guard.Admit(InitCommand());
  EXPECT_TRUE(a.Allowed && b.Allowed);
  EXPECT_FALSE(guard.Admit(InitCommand()).Allowed);
  EXPECT_FALSE(guard.OwnsEngine("1"));
}

// ----- Listeners and status -----

TEST_F(PluginHostTest, StartServersTwiceStartsNothingTheSecondTime) {
  StartServers();
  const std::size_t started = CountRecords("Starting HTTP/HTTPS server...");

  EXPECT_FALSE(host_->StartServers());

  EXPECT_EQ(CountRecords("Starting HTTP/HTTPS server..."), started);
  EXPECT_TRUE(host_->IsServerRunning());
  host_->StopServers();
  EXPECT_FALSE(host_->IsServerRunning());
  EXPECT_EQ(CountRecords("HTTP/HTTPS server stopped!"), 1u);
}

std::string StatusTail(const std::string& logLine) {
  return "\r\n" + GetServerHostNameReport() + "\r\n" + GetOpenSSLReport() + "\r\n" + logLine;
}

TEST_F(PluginHostTest, StatusTextWithoutLibraryListenersOrLog) {
  HostLoger.store(nullptr);
  const std::string exe = GetExePath();

  const std::string text = host_->GetStatusText();

  HostLoger.store(&loger_);
  EXPECT_EQ(text, "Путь к хост-приложению: " + exe + "\r\nВерсия хост-приложения: " +
                      GetFileVersion(exe) + "\r\nСервер не запущен!\r\nБиблиотека не загружена!" +
                      StatusTail("Журнал не ведется!"));
}

TEST_F(PluginHostTest, StatusTextWithLibraryAndListenersEvenWhenHttpPortIsTaken) {
  TFd taken(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in address = Loopback(HttpPort());
  ASSERT_EQ(::bind(taken.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(taken.Get(), 1), 0);
  ASSERT_TRUE(host_->LoadPluginLibrary());
  const std::string exe = GetExePath();

  EXPECT_TRUE(host_->StartServers());
  const std::string text = host_->GetStatusText();

  EXPECT_EQ(text, "Путь к хост-приложению: " + exe +
                      "\r\nВерсия хост-приложения: " + GetFileVersion(exe) +
                      "\r\nРежим: HTTP/HTTPS\r\nПорты: " + std::to_string(HttpPort()) + " / " +
                      std::to_string(host_->Settings().Server_SSL().Port()) +
                      "\r\nБиблиотека: " + FolderOf(DRAVIK_TEST_PLUGIN_LIBRARY) +
                      "/npDravikPluginZRT.so\r\nВерсия библиотеки: " DRAVIK_VERSION_TEXT +
                      StatusTail("Файл журнала: " + loger_.GetCurrentLogFile()));
}

TEST(PluginHostNamesTest, ChangeExeFileExtReplacesOrDropsTheExtension) {
  const std::string folder = FolderOf(GetExePath().c_str());
  struct TCase {
    const char* extension;
    bool withFolder;
    std::string expected;
  };
  const TCase cases[] = {
      {"ini", false, "dravik_host_tests.ini"},
      {".log", false, "dravik_host_tests.log"},
      {"", false, "dravik_host_tests"},
      {"ini", true, folder + "/dravik_host_tests.ini"},
  };
  ASSERT_EQ(GetExeName(), "dravik_host_tests");
  for (const TCase& c : cases) {
    EXPECT_EQ(ChangeExeFileExt(c.extension, c.withFolder), c.expected) << c.extension;
  }
}

// ----- Lifetime -----

TEST_F(PluginHostTest, PostRootWithoutPluginHostEndsConnectionWithoutReply) {
  ASSERT_TRUE(host_->LoadPluginLibrary());
  StartServers();
  SetPluginHost(nullptr);

  const TResponse response = Post(HttpPort(), VersionCommand());

  EXPECT_EQ(response.status, 0);
  EXPECT_EQ(sink_.WaitFor("ThttpThread.Execute").size(), 1u);
  EXPECT_EQ(CountRecords("Processing command..."), 0u);
}

TEST_F(PluginHostTest, FinalizeEmptiesGlobalAndStopsServersOfHeldHost) {
  StartServers();
  ASSERT_EQ(PluginHost(), host_);

  FinalizePluginHost();

  EXPECT_EQ(PluginHost(), nullptr);
  EXPECT_FALSE(host_->IsServerRunning());
  EXPECT_EQ(ServerDomainList(), nullptr);
}

TEST_F(PluginHostTest, FreedHostWithLibraryLoadedIsNeverWrittenByManager) {
  auto first = MakeHost(DRAVIK_TEST_PLUGIN_LIBRARY);
  ASSERT_TRUE(first->LoadPluginLibrary());
  ASSERT_TRUE(host_->LoadPluginLibrary());

  first.reset();
  // The last use goes with the second host: the manager clears the bound tables then, and
  // the first host's table must no longer be among them.
  EXPECT_TRUE(UnloadDynLibrary("npDravikPluginZRT.so"));
  EXPECT_TRUE(host_->UnloadPluginLibrary());

  EXPECT_FALSE(host_->IsLibraryLoaded());
  std::string reply;
  EXPECT_FALSE(host_->ProcessCommand(VersionCommand(), reply, false));
}

// ----- Concurrency -----

TEST_F(PluginHostTest, ConcurrentCommandsEachGetTheirOwnReply) {
  TScopedEnv delay("DRAVIK_PLUGIN_DELAY_MS", "2");
  ASSERT_TRUE(host_->LoadPluginLibrary());
  constexpr int kThreads = 12;
  constexpr int kRounds = 8;
  std::vector<std::vector<std::string>> engines(kThreads);
  std::vector<int> mismatches(kThreads, 0);

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        std::string reply;
        if (!host_->ProcessCommand(InitCommand(), reply, false)) {
          ++mismatches[t];
          continue;
        }
        const std::string id = ReplyId(reply);
        engines[t].push_back(id);
        for (const std::string& command :
             {Command(id, kCrypto, "GetProperty", {{"LastErrorCode", ""}}),
              Command(id, kCrypto, "ClearCash")}) {
          if (!host_->ProcessCommand(command, reply, true) || ReplyId(reply) != id) ++mismatches[t];
        }
        if (!host_->ProcessCommand(Command(id, kCrypto, "Release"), reply, false)) ++mismatches[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::set<std::string> distinct;
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(mismatches[t], 0) << "thread " << t;
    distinct.insert(engines[t].begin(), engines[t].end());
  }
  EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kThreads * kRounds));
}

}  // namespace
}  // namespace dravik
