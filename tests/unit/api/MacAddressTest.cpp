#include "U_MacAddress.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <regex>
#include <string>
#include <vector>

namespace dravik {
namespace {

using platform::Ipv4Route;
using platform::NetworkAdapter;
using platform::NetworkSnapshot;
using Bytes = std::vector<std::uint8_t>;

// 00-1A-2B-3C-4D-0n: a distinct address per number.
Bytes Mac(std::uint8_t n) { return {0x00, 0x1A, 0x2B, 0x3C, 0x4D, n}; }
std::string MacText(std::uint8_t n) { return MacAddressText(Mac(n)); }
Bytes Zeros() { return Bytes(6, 0); }

Ipv4Route DefaultRoute(std::string iface, std::uint32_t metric) {
  return {.interfaceName = std::move(iface), .gateway = 0x0100000A, .metric = metric};
}
Ipv4Route NetRoute(std::string iface, std::uint32_t metric) {
  return {.interfaceName = std::move(iface),
          .destination = 0x0000000A,
          .mask = 0x00FFFFFF,
          .metric = metric};
}

TEST(MacAddressTextTest, Bytes_GiveUpperCaseHexPairsJoinedByDashes) {
  const struct {
    Bytes bytes;
    std::string expected;
  } cases[] = {
      {{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, "00-1A-2B-3C-4D-5E"},
      {{0xff}, "FF"},
      {{}, ""},
      {{0x0a, 0xbc, 0xde, 0xf0, 0x01, 0x23, 0x45, 0x67}, "0A-BC-DE-F0-01-23-45-67"},
  };

  for (const auto& c : cases) EXPECT_EQ(MacAddressText(c.bytes), c.expected) << c.expected;
}

TEST(AdapterMacAddressTest, Snapshot_GivesTheFirstAddressInLookupOrder) {
  const Bytes infiniband(20, 0x11);
  const struct {
    const char* name;
    NetworkSnapshot snapshot;
    std::string expected;  // for the first adapter
  } cases[] = {
      {"permanent address before the current one",
       {.adapters = {{.name = "eth0", .address = Mac(2), .permanentAddress = Mac(1)}}},
       MacText(1)},
      {"all-zero permanent address counts as none",
       {.adapters = {{.name = "eth0", .address = Mac(2), .permanentAddress = Zeros()}}},
       MacText(2)},
      {"current address cut to eight bytes",
       {.adapters = {{.name = "ib0", .address = infiniband}}},
       "11-11-11-11-11-11-11-11"},
      {"no address anywhere", {.adapters = {{.name = "eth0", .address = Zeros()}}}, ""},
      {"VLAN without an address takes its lower device's",
       {.adapters = {{.name = "eth0.10", .lowerDevices = {"eth0"}},
                     {.name = "eth0", .address = Mac(3), .permanentAddress = Mac(4)}}},
       MacText(3)},
      {"PPP takes its lower device's before the default route's",
       {.adapters = {{.name = "ppp0", .lowerDevices = {"eth1"}},
                     {.name = "eth0", .address = Mac(1)},
                     {.name = "eth1", .address = Zeros(), .permanentAddress = Mac(5)}},
        .routes = {DefaultRoute("eth0", 0), DefaultRoute("ppp0", 0)}},
       MacText(5)},
      {"stacked devices followed down",
       {.adapters = {{.name = "bond0.7", .lowerDevices = {"bond0"}},
                     {.name = "bond0", .lowerDevices = {"eth8", "eth2"}},
                     {.name = "eth2", .address = Mac(6)}}},
       MacText(6)},
      {"a loop of lower links ends",
       {.adapters = {{.name = "a", .lowerDevices = {"b"}}, {.name = "b", .lowerDevices = {"a"}}}},
       ""},
      {"unlisted lower device falls through to the default route",
       {.adapters = {{.name = "ppp0", .lowerDevices = {"eth9"}},
                     {.name = "eth0", .address = Mac(1)}},
        .routes = {DefaultRoute("eth0", 0)}},
       MacText(1)},
      {"an adapter with the metric of the first own route lends its address",
       {.adapters = {{.name = "tun0"},
                     {.name = "tun1", .lowerDevices = {"tun0"}},
                     {.name = "eth0", .address = Mac(1)},
                     {.name = "eth1", .address = Mac(7)},
                     {.name = "eth2", .address = Mac(8)}},
        .routes = {DefaultRoute("eth0", 10), NetRoute("tun0", 50), NetRoute("tun0", 10),
                   NetRoute("eth1", 10), NetRoute("tun1", 50), NetRoute("eth2", 50)}},
       MacText(8)},
      {"no route of its own: the default route's adapter, not a metric-0 neighbour",
       {.adapters = {{.name = "tun0"},
                     {.name = "eth1", .address = Mac(7)},
                     {.name = "eth0", .address = Mac(1)}},
        .routes = {NetRoute("eth1", 0), DefaultRoute("eth0", 0)}},
       MacText(1)},
      {"kernel routes (metric 0) share nothing: a tunnel gets the default route's, not a bridge's",
       {.adapters = {{.name = "tun0"},
                     {.name = "docker0", .address = Mac(7)},
                     {.name = "eth0", .address = Mac(1)}},
        .routes = {DefaultRoute("eth0", 100), NetRoute("tun0", 0), NetRoute("docker0", 0),
                   NetRoute("eth0", 0)}},
       MacText(1)},
      {"lowest default metric wins, the first of equal ones",
       {.adapters = {{.name = "tun0"},
                     {.name = "eth0", .address = Mac(1)},
                     {.name = "eth1", .address = Mac(7)},
                     {.name = "eth2", .address = Zeros(), .permanentAddress = Mac(8)}},
        .routes = {DefaultRoute("eth1", 200), DefaultRoute("eth2", 100),
                   DefaultRoute("eth0", 100)}},
       MacText(8)},
      {"a route to 0 of any mask is a default route: a VPN's half route of lower metric wins",
       {.adapters = {{.name = "tun0"},
                     {.name = "va0", .address = Mac(1)},
                     {.name = "tap9", .address = Mac(9)}},
        .routes = {DefaultRoute("va0", 100),
                   {.interfaceName = "tap9", .mask = 0x00000080, .metric = 5}}},
       MacText(9)},
      {"default route through the adapter itself",
       {.adapters = {{.name = "ppp0"}, {.name = "eth0", .address = Mac(1)}},
        .routes = {DefaultRoute("ppp0", 0), NetRoute("eth0", 5)}},
       ""},
      {"loopback never lends its address",
       {.adapters = {{.name = "tun0", .lowerDevices = {"lo"}},
                     {.name = "lo", .loopback = true, .address = Mac(9)}},
        .routes = {NetRoute("tun0", 0), NetRoute("lo", 0), DefaultRoute("lo", 0)}},
       ""},
  };

  for (const auto& c : cases) EXPECT_EQ(AdapterMacAddress(c.snapshot, 0), c.expected) << c.name;
}

TEST(AdapterMacAddressTest, LoopbackOrOutOfRangePosition_GivesNoAddress) {
  const NetworkSnapshot snapshot{
      .adapters = {{.name = "lo", .loopback = true, .permanentAddress = Mac(9)}}};

  EXPECT_EQ(AdapterMacAddress(snapshot, 0), "");
  EXPECT_EQ(AdapterMacAddress(snapshot, 1), "");
}

// eth0 with two addresses, wlan0 without one, tun0 without a MAC address, and the loopback.
NetworkSnapshot ListingSnapshot() {
  return {.adapters = {{.name = "lo", .loopback = true, .ipv4Addresses = {"127.0.0.1"}},
                       {.name = "eth0",
                        .permanentAddress = Mac(1),
                        .ipv4Addresses = {"10.0.0.5", "10.0.0.6"}},
                       {.name = "wlan0", .address = Mac(2)},
                       {.name = "tun0", .ipv4Addresses = {"10.8.0.2"}}},
          .notes = {"route table line 3: bad metric"}};
}

TEST(GetAdaptersInfoListTest, Modes_GiveAddressLinesOrMacLines) {
  const std::string mac1 = MacText(1), mac2 = MacText(2);
  const struct {
    unsigned mode;
    std::string_view separator;
    std::vector<std::string> expected;
  } cases[] = {
      {kAdapterListAddressAndMac,
       "=",
       {"10.0.0.5=" + mac1, "10.0.0.6=" + mac1, "0.0.0.0=" + mac2, "10.8.0.2="}},
      {kAdapterListAddressAndMac,
       " | ",
       {"10.0.0.5 | " + mac1, "10.0.0.6 | " + mac1, "0.0.0.0 | " + mac2, "10.8.0.2 | "}},
      {kAdapterListAddressOnly, "=", {"10.0.0.5", "10.0.0.6", "0.0.0.0", "10.8.0.2"}},
      {kAdapterListMacOnly, "=", {mac1, mac2, ""}},
      {9, "=", {mac1, mac2, ""}},
  };

  for (const auto& c : cases) {
    TStringList list;
    list.Add("left over");

    GetAdaptersInfoList(list, c.mode, c.separator, nullptr, ListingSnapshot());

    EXPECT_EQ(list.Lines(), c.expected) << "mode " << c.mode << " separator " << c.separator;
  }
}

TEST(GetAdaptersInfoListTest, MessageList_ReceivesTheReadingNotes) {
  TStringList list, log;
  log.Add("earlier");

  GetAdaptersInfoList(list, kAdapterListAddressAndMac, "=", &log, ListingSnapshot());

  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"earlier", "route table line 3: bad metric"}));
  EXPECT_EQ(list.Count(), 4);
}

TEST(GetAdaptersInfoListTest, AddressHeldTwice_NamesTheFirstListedAdapter) {
  const NetworkSnapshot snapshot{
      .adapters = {{.name = "eth0", .address = Mac(1), .ipv4Addresses = {"192.168.1.10"}},
                   {.name = "eth1", .address = Mac(2), .ipv4Addresses = {"192.168.1.10"}}}};
  TStringList list;

  GetAdaptersInfoList(list, kAdapterListAddressAndMac, "=", nullptr, snapshot);

  EXPECT_EQ(list.Value("192.168.1.10"), MacText(1));
  EXPECT_EQ(list.Value("192.168.1.99"), "");
}

class TFixedNetwork final : public platform::INetworkAdapters {
 public:
  NetworkSnapshot Read() const override { return ListingSnapshot(); }
};

TEST(GetAdaptersInfoListTest, Source_IsReadForTheListing) {
  TStringList fromSource, fromSnapshot;

  GetAdaptersInfoList(fromSource, kAdapterListAddressAndMac, "=", nullptr, TFixedNetwork());
  GetAdaptersInfoList(fromSnapshot, kAdapterListAddressAndMac, "=", nullptr, ListingSnapshot());

  EXPECT_EQ(fromSource, fromSnapshot);
}

TEST(GetAdaptersInfoListTest, ThisMachine_GivesDottedAddressesWithMacText) {
  TStringList list;

  GetAdaptersInfoList(list, kAdapterListAddressAndMac, "=", nullptr);

  const std::regex line(R"(\d{1,3}(\.\d{1,3}){3}=([0-9A-F]{2}(-[0-9A-F]{2})*)?)");
  for (const std::string& text : list) EXPECT_TRUE(std::regex_match(text, line)) << text;
  EXPECT_EQ(list.IndexOfName("127.0.0.1"), -1);
}

}  // namespace
}  // namespace dravik
