#include "U_Settings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "DomainList.h"
#include "KvClock.h"
#include "RecordingLogSink.h"
#include "TempDir.h"
#include "U_LogFile.h"

namespace dravik {
namespace {

using Lines = std::vector<std::string>;
using testing::ReadFileBytes;
using testing::TempDir;

const std::string kBuiltIn(kBuiltInDomains);

Lines BuiltInLines() {
  TBaseDomainList list;
  list.SetDelimitedText(kBuiltIn);
  return list.Lines();
}

bool Exists(const std::string& name) { return std::filesystem::exists(name); }

// Settings on an ini file in a folder that does not exist yet.
class HostSettingsTest : public ::testing::Test {
 protected:
  std::string WriteIni(std::string_view text) const { return dir.Write("cfg/Host.ini", text); }

  TempDir dir;
  const std::string ini = dir / "cfg/Host.ini";
};

TEST(BuiltInDomainsTest, Text_IsCanonicalFiveDistinctExampleHosts) {
  TBaseDomainList list;
  list.SetDelimitedText(kBuiltIn);

  ASSERT_EQ(list.Count(), 5);
  EXPECT_EQ(list.DelimitedText(), kBuiltIn);
  for (int i = 0; i < list.Count(); ++i) {
    const std::string& host = list[i];
    EXPECT_EQ(list.IndexOf(host), i) << host;  // no duplicates
    EXPECT_EQ(NormalizeDomain(host), host);
    EXPECT_TRUE(host.ends_with(".example")) << host;
  }
}

TEST(SettingsGroupsTest, Bits_FollowGroupOrderAndEmptySelectsAll) {
  static_assert(TSettingsGroups(TSettingsGroup::sgServer).Bits() == 1);
  static_assert(TSettingsGroups(TSettingsGroup::sgServerRPC).Bits() == 2);
  static_assert(TSettingsGroups(TSettingsGroup::sgServerSSL).Bits() == 4);
  static_assert(TSettingsGroups(TSettingsGroup::sgHost).Bits() == 8);
  static_assert(TSettingsGroups{}.Selects(TSettingsGroup::sgHost));
  static_assert(!TSettingsGroups{TSettingsGroup::sgServer}.Selects(TSettingsGroup::sgHost));
  static_assert(TSettingsGroups{TSettingsGroup::sgServer, TSettingsGroup::sgHost}.Bits() == 9);
}

TEST(DaemonSettingsTest, SetDefaultThenPort_DescribesAndCountsModification) {
  TDaemonSettings daemon;
  daemon.SetDefault(11742);
  EXPECT_EQ(daemon.Describe(), "Port: 11742");
  EXPECT_FALSE(daemon.IsModified());

  daemon.SetPort(443);

  EXPECT_TRUE(daemon.IsModified());
  EXPECT_EQ(daemon.Describe(), "Port: 443");
  EXPECT_EQ(daemon.DefaultPort(), 11742);
}

TEST(DaemonSettingsTest, IsChangedIn_SectionWithoutPort_DiffersOnlyFromChangedPort) {
  TempDir dir;
  TKvIniFile ini(dir.Write("a.ini", "[Other]\nPort=1\n"));
  TDaemonSettings daemon;
  daemon.SetDefault(11741);
  EXPECT_FALSE(daemon.IsChangedIn(&ini, "Server_HTTP"));

  daemon.SetPort(8080);

  EXPECT_TRUE(daemon.IsChangedIn(&ini, "Server_HTTP"));
  daemon.Load(nullptr, "Server_HTTP");
  daemon.Save(nullptr, "Server_HTTP");
  EXPECT_EQ(daemon.Port(), 8080);
}

TEST(CommonSettingsTest, SetDomains_SameTextKeepsLinesOtherSpellingReplacesAndRebuilds) {
  TCommonSettings server;
  server.SetDomains("a.example;b.example");
  server.DomainList().Add("");
  ASSERT_EQ(server.Domains(), "a.example;b.example;");

  server.SetDomains("a.example;b.example;");
  EXPECT_EQ(server.DomainList().Count(), 3);

  server.SetDomains("a.example; b.example;");
  EXPECT_EQ(server.Domains(), "a.example;b.example");
  EXPECT_EQ(server.DomainList().Origins(),
            (Lines{std::string(kServerHostName), "a.example", "b.example"}));
  EXPECT_EQ(server.Describe(), "Domains: a.example;b.example");
  EXPECT_FALSE(server.IsModified());
}

TEST(CommonSettingsTest, LoadWithoutIni_PutsDefaultsBackAndTrustsThem) {
  TCommonSettings server;
  server.SetDefault("a.example;b.example");
  server.SetDomains("b.example;mine.example");

  server.Load(nullptr, "Server");

  EXPECT_EQ(server.Domains(), "a.example;b.example;mine.example");
  EXPECT_TRUE(server.DomainList().IsListed("https://a.example"));
}

TEST_F(HostSettingsTest, Create_SetsDefaultsAndDefaultConstructorUsesProgramIni) {
  THostSettings settings(ini);

  EXPECT_FALSE(settings.DevMode());
  EXPECT_EQ(settings.IdleTime(), 300);
  EXPECT_EQ(settings.LogFileName(), "");
  EXPECT_FALSE(settings.ProxyMonitor());
  EXPECT_EQ(settings.Server_RPC().Port(), 11741);
  EXPECT_EQ(settings.Server_SSL().Port(), 11742);
  EXPECT_EQ(settings.Server().Domains(), kBuiltIn);
  EXPECT_EQ(settings.Server().DomainList().Origins().front(), kServerHostName);
  EXPECT_EQ(THostSettings().IniFileName(), THostLoger::GetIniFileName());
}

TEST_F(HostSettingsTest, SaveOnDefaults_AnyGroups_LeavesNoFile) {
  THostSettings settings(ini);
  settings.Load();
  const TSettingsGroups choices[] = {{},
                                     TSettingsGroup::sgServer,
                                     TSettingsGroup::sgServerRPC,
                                     TSettingsGroup::sgServerSSL,
                                     TSettingsGroup::sgHost};

  for (const TSettingsGroups& groups : choices) settings.Save(groups);

  EXPECT_FALSE(settings.IsChangedInFile());
  EXPECT_FALSE(settings.IsModified());
  EXPECT_FALSE(Exists(ini));
  EXPECT_FALSE(Exists(dir / "cfg"));
}

TEST_F(HostSettingsTest, Save_FileSpellsDefaultsOut_WritesNothing) {
  const std::string text =
      "; kept\r\n[server]\r\nidletime = 300\r\nProxyMonitor=0\r\nDomains=" + kBuiltIn +
      "\r\n[Server_HTTP]\r\nPort=11741\r\n";
  WriteIni(text);
  THostSettings settings(ini);
  settings.Load();

  settings.Save();

  EXPECT_FALSE(settings.IsChangedInFile());
  EXPECT_EQ(ReadFileBytes(ini), text);
}

TEST_F(HostSettingsTest, Load_Table) {
  struct Case {
    const char* text;
    std::int32_t idleTime;
    bool proxyMonitor;
    std::int32_t httpPort;
    std::int32_t httpsPort;
  };
  const Case cases[] = {
      {"[Server]\nProxyMonitor=1\n", 300, true, 11741, 11742},
      {"[Server]\nProxyMonitor=1abc\n", 300, true, 11741, 11742},
      {"[Server]\nProxyMonitor=true\n", 300, false, 11741, 11742},
      {"[Server]\nProxyMonitor=yes\n", 300, false, 11741, 11742},
      {"[Server]\nProxyMonitor=\n", 300, false, 11741, 11742},
      {"[Server]\nIdleTime=abc\n", 300, false, 11741, 11742},
      {"[Server]\nIdleTime=12.5\n", 300, false, 11741, 11742},
      {"[SERVER]\nidletime= 45 \n", 45, false, 11741, 11742},
      {"[Server_HTTP]\nPort=abc\n[Server_HTTPS]\nPort=12.5\n", 300, false, 11741, 11742},
      {"[server_http]\nport=8080\n[Server_HTTPS]\nPORT=443\n", 300, false, 8080, 443},
  };
  for (const Case& c : cases) {
    WriteIni(c.text);
    THostSettings settings(ini);

    settings.Load();

    EXPECT_EQ(settings.IdleTime(), c.idleTime) << c.text;
    EXPECT_EQ(settings.ProxyMonitor(), c.proxyMonitor) << c.text;
    EXPECT_EQ(settings.Server_RPC().Port(), c.httpPort) << c.text;
    EXPECT_EQ(settings.Server_SSL().Port(), c.httpsPort) << c.text;
  }
}

TEST_F(HostSettingsTest, SaveAll_ChangedValues_RoundTripThroughNewFolder) {
  THostSettings settings(ini);
  settings.Load();
  settings.SetIdleTime(60);
  settings.SetProxyMonitor(true);
  settings.SetLogFileName("/var/tmp/dravik.log");
  settings.Server_RPC().SetPort(8080);
  settings.Server_SSL().SetPort(8443);
  settings.Server().SetDomains("mine.example;" + kBuiltIn);

  settings.Save();

  THostSettings reread(ini);
  reread.Load();
  EXPECT_EQ(reread.IdleTime(), 60);
  EXPECT_TRUE(reread.ProxyMonitor());
  EXPECT_EQ(reread.LogFileName(), "/var/tmp/dravik.log");
  EXPECT_EQ(reread.Server_RPC().Port(), 8080);
  EXPECT_EQ(reread.Server_SSL().Port(), 8443);
  EXPECT_EQ(reread.Server().Domains(), "mine.example;" + kBuiltIn);
  EXPECT_NE(ReadFileBytes(ini).find("ProxyMonitor=1"), std::string::npos);
  EXPECT_FALSE(reread.IsChangedInFile());

  reread.SetProxyMonitor(false);
  reread.Save(TSettingsGroup::sgHost);
  EXPECT_NE(ReadFileBytes(ini).find("ProxyMonitor=0"), std::string::npos);
}

TEST_F(HostSettingsTest, SaveServerOnly_IdleTimeChanged_RewritesOnlyDomains) {
  WriteIni("[Server]\nIdleTime=120\n");
  THostSettings settings(ini);
  settings.Load();
  settings.SetIdleTime(60);

  settings.Save(TSettingsGroup::sgServer);

  EXPECT_EQ(ReadFileBytes(ini), "[Server]\nIdleTime=120\nDomains=" + kBuiltIn + "\n");
  EXPECT_EQ(settings.IdleTime(), 60);
  EXPECT_TRUE(settings.IsChangedInFile());
}

TEST_F(HostSettingsTest, DevModeInFile_IsReadNeverWrittenAndNotCounted) {
  WriteIni("[Server]\nDevMode=1\n");
  THostSettings settings(ini);
  settings.Load();
  EXPECT_TRUE(settings.DevMode());
  EXPECT_FALSE(settings.IsModified());

  settings.SetDefaults();  // DevMode off in memory only: a difference, so Save writes
  settings.Save();

  const std::string text = ReadFileBytes(ini);
  EXPECT_NE(text.find("DevMode=1"), std::string::npos);
  EXPECT_NE(text.find("IdleTime=300"), std::string::npos);
  THostSettings reread(ini);
  reread.Load();
  EXPECT_TRUE(reread.DevMode());
}

TEST_F(HostSettingsTest, IsModified_EachCountedValueAloneCountsOthersDoNot) {
  struct Case {
    const char* what;
    std::function<void(THostSettings&)> change;
    bool modified;
  };
  const Case cases[] = {
      {"idle time", [](THostSettings& s) { s.SetIdleTime(301); }, true},
      {"proxy monitor", [](THostSettings& s) { s.SetProxyMonitor(true); }, true},
      {"HTTP port", [](THostSettings& s) { s.Server_RPC().SetPort(1); }, true},
      {"HTTPS port", [](THostSettings& s) { s.Server_SSL().SetPort(1); }, true},
      {"log file", [](THostSettings& s) { s.SetLogFileName("x.log"); }, false},
      {"domains", [](THostSettings& s) { s.Server().SetDomains("x.example"); }, false},
  };
  for (const Case& c : cases) {
    THostSettings settings(ini);
    c.change(settings);

    EXPECT_EQ(settings.IsModified(), c.modified) << c.what;
    EXPECT_TRUE(settings.IsChangedInFile()) << c.what;
  }
}

TEST_F(HostSettingsTest, Load_DomainsLackTwoBuiltIns_PutsThemFirstTrustedAndSavesThem) {
  const Lines b = BuiltInLines();
  WriteIni("[Server]\nDomains=mine.example;" + b[0] + ";" + b[2] + ";" + b[4] + "\n");
  THostSettings settings(ini);

  settings.Load();

  const Lines expected{b[3], b[1], "mine.example", b[0], b[2], b[4]};
  EXPECT_EQ(settings.Server().DomainList().Lines(), expected);
  const Lines origins = settings.Server().DomainList().Origins();
  EXPECT_EQ(origins,
            (Lines{std::string(kServerHostName), b[3], b[1], "mine.example", b[0], b[2], b[4]}));
  settings.Save(TSettingsGroup::sgServer);
  THostSettings reread(ini);
  reread.Load();
  EXPECT_EQ(reread.Server().DomainList().Lines(), expected);
}

// A line that a save could not write (a control byte) or that names "null" leaves the list on
// its way in, from the ini or from the editor, so no save can fail on it; a line that names no
// host name is the user's and is saved back as it was, trusting nothing.
TEST_F(HostSettingsTest, DomainLines_FromIniOrEditor_OnlyUnwritableAndNullDropped) {
  WriteIni("[Server]\nDomains=" + kBuiltIn +
           ";null;mine.example;\"a\tb.example\";2001:db8::1;host[1];[2001:db8::1\n");
  THostSettings settings(ini);
  settings.Load();
  const std::string kept = kBuiltIn + ";mine.example;2001:db8::1;host[1];[2001:db8::1";
  EXPECT_EQ(settings.Server().Domains(), kept);
  EXPECT_FALSE(settings.Server().DomainList().IsListed("null"));
  EXPECT_FALSE(settings.Server().DomainList().IsListed("http://2001:db8::1"));

  settings.Server().SetDomains(kept + ";\"x\ny.example\";\"tab\t\";NULL;[::1];a.example:1:2");
  EXPECT_NO_THROW(settings.Save(TSettingsGroup::sgServer));

  THostSettings reread(ini);
  reread.Load();
  EXPECT_EQ(reread.Server().Domains(), kept + ";[::1];a.example:1:2");
  EXPECT_FALSE(reread.IsChangedInFile());
}

TEST_F(HostSettingsTest, Save_FolderCannotBeCreated_ThrowsKeepsValuesAndRetriesLater) {
  const std::string blocker = dir.Write("blocker", "a file where a folder should be");
  THostSettings settings(blocker + "/Host.ini");
  settings.SetIdleTime(60);

  EXPECT_THROW(settings.Save(), Exception);
  EXPECT_EQ(settings.IdleTime(), 60);

  std::filesystem::remove(blocker);
  settings.Save(TSettingsGroup::sgServer);
  EXPECT_NE(ReadFileBytes(blocker + "/Host.ini").find("IdleTime=60"), std::string::npos);
}

TEST_F(HostSettingsTest, SettingsSummary_DefaultsAndAllOptionalLines) {
  const std::string head = "HTTP Port: 11741\r\nHTTPS Port: 11742\r\nDomains: " + kBuiltIn +
                           "\r\nIdle time: 300 сек.\r\nProxy Monitor: ";
  THostSettings defaults(ini);
  EXPECT_EQ(defaults.SettingsSummary(), head + "False");

  WriteIni("[Server]\nDevMode=1\nProxyMonitor=1\n[Log]\nFileName=/var/tmp/d.log\n");
  THostSettings loaded(ini);
  loaded.Load();

  EXPECT_EQ(loaded.SettingsSummary(),
            head + "True\r\nLog File Name: /var/tmp/d.log\r\nDeveloper mode ON!");
  loaded.LogSettings();  // without a logger this writes nothing and must not fail
}

TEST_F(HostSettingsTest, LogSettings_WritesTheSummaryAsOneMessageRecordOfTheSettings) {
  testing::TRecordingSink sink;
  TManualClock clock;
  THostLoger loger(sink, clock);
  THostLoger* const previous = HostLoger.exchange(&loger);
  THostSettings settings(ini);

  settings.LogSettings();

  HostLoger.store(previous);
  const std::vector<testing::TRecord> records = sink.Find("Current settings");
  ASSERT_EQ(records.size(), 1u);
  // Kind 2 is a message record, sent by the settings object.
  EXPECT_NE(records[0].firstLine.find("[TraceID: THostSettings(0x"), std::string::npos)
      << records[0].firstLine;
  EXPECT_NE(records[0].firstLine.find("[DataID: Message][ObjectInfo: Object=\"THostSettings(0x"),
            std::string::npos)
      << records[0].firstLine;
  // The summary is the record's one parameter name, each line indented, without a value.
  const std::string block = " HTTP Port: 11741\r\n HTTPS Port: 11742\r\n Domains: " + kBuiltIn +
                            "\r\n Idle time: 300 сек.\r\n Proxy Monitor: False: \r\n";
  EXPECT_EQ(records[0].details, "Value: Current settings\r\nParams:#1\\" +
                                    std::to_string(block.size()) + "\r\n" + block);
}

TEST_F(HostSettingsTest, Save_ConcurrentNewDomainSavesAndMainThreadChanges_StayConsistent) {
  THostSettings settings(ini);
  settings.Load();
  TDomainListPlus& list = settings.Server().DomainList();
  list.SetOnConfirmDomain([](const std::string&, const std::string&) { return true; });
  list.SetOnNewDomain([&] { settings.Save(TSettingsGroup::sgServer); });
  std::atomic<bool> stop{false};

  std::thread asker([&] {
    for (int i = 0; i < 20; ++i) list.IsAllowed("http://site" + std::to_string(i) + ".example", "");
    stop = true;
  });
  for (int i = 0; !stop.load(); ++i) {
    settings.SetIdleTime(100 + i % 7);
    settings.Server_RPC().SetPort(9000 + i % 3);
    settings.IsModified();
    settings.SettingsSummary();
    if (i % 50 == 0) settings.Save(TSettingsGroup::sgHost);
  }
  asker.join();
  settings.Save();

  THostSettings reread(ini);
  reread.Load();
  EXPECT_EQ(reread.Server().DomainList().Count(), 25);
  EXPECT_TRUE(reread.Server().DomainList().IsListed("http://site19.example"));
  EXPECT_EQ(reread.IdleTime(), settings.IdleTime());
}

}  // namespace
}  // namespace dravik
