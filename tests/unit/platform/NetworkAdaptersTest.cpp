#include "NetworkAdapters.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "TempDir.h"

namespace dravik::platform {

void PrintTo(const Ipv4Route& route, std::ostream* out) {
  *out << route.interfaceName << " dest " << Ipv4Text(route.destination) << " gw "
       << Ipv4Text(route.gateway) << " mask " << Ipv4Text(route.mask) << " metric " << route.metric
       << " flags " << route.flags;
}

namespace {

constexpr std::string_view kRouteHeader =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT   \n";

// A route row as the kernel prints it: the in_addr values as host integers with "%08X".
std::string RouteRow(std::string_view iface, std::uint32_t destination, std::uint32_t gateway,
                     std::uint32_t mask, std::string_view metric) {
  char row[160];
  std::snprintf(row, sizeof row, "%.*s\t%08X\t%08X\t0003\t0\t0\t%.*s\t%08X\t0\t0\t0   \n",
                int(iface.size()), iface.data(), destination, gateway, int(metric.size()),
                metric.data(), mask);
  return row;
}

Ipv4Route Route(std::string iface, std::uint32_t destination, std::uint32_t gateway,
                std::uint32_t mask, std::uint32_t metric, unsigned flags = 3) {
  return Ipv4Route{std::move(iface), destination, gateway, mask, metric, flags};
}

// The default route over ppp0 that the damaged tables below carry among their bad rows.
Ipv4Route PppDefault() { return Route("ppp0", 0, 0, 0, 0xFFFFFFFF, 1); }

TEST(ParseRouteTableTest, KernelText_GivesRowsWithDottedGatewayAndDefaultMark) {
  const std::uint32_t gateway = htonl(0xC0000201);  // 192.0.2.1
  const std::uint32_t net = htonl(0xC0000200), mask = htonl(0xFFFFFF00);
  const std::string text = std::string(kRouteHeader) + RouteRow("eth0", 0, gateway, 0, "100") +
                           RouteRow("eth0", net, 0, mask, "0");
  std::vector<std::string> notes;

  const std::vector<Ipv4Route> routes = ParseRouteTable(text, &notes);

  ASSERT_EQ(routes.size(), 2u);
  EXPECT_EQ(routes[0], Route("eth0", 0, gateway, 0, 100));
  EXPECT_EQ(routes[1], Route("eth0", net, 0, mask, 0));
  EXPECT_TRUE(routes[0].IsDefault());
  EXPECT_FALSE(routes[1].IsDefault());
  EXPECT_EQ(Ipv4Text(routes[0].gateway), "192.0.2.1");
  EXPECT_EQ(Ipv4Text(routes[1].destination), "192.0.2.0");
  EXPECT_TRUE(notes.empty());
}

TEST(ParseRouteTableTest, DamagedText_SkipsBadRowsWithANoteEach) {
  const std::string header(kRouteHeader);
  const std::string good = "ppp0\t00000000\t00000000\t0001\t0\t0\t-1\t00000000\t0\t0\t0\n";
  const struct {
    const char* name;
    std::string text;
    std::vector<Ipv4Route> expected;
    std::size_t notes;
  } cases[] = {
      {"empty text", "", {}, 0},
      {"header only", header, {}, 0},
      {"negative metric wraps", header + good, {PppDefault()}, 0},
      {"CR LF and blank lines", header + "\r\n  \r\n" + good, {PppDefault()}, 0},
      {"no final line break", header + good.substr(0, good.size() - 1), {PppDefault()}, 0},
      {"no header", good + good, {}, 1},
      {"short row", header + "eth0\t00000000\t00000000\n" + good, {PppDefault()}, 1},
      {"bad hex, long hex, bad metric, bad name",
       header + "eth0\t0000ZZ00\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n" +
           "eth0\t000000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n" +
           "eth0\t00000000\t00000000\t0001\t0\t0\t1e3\t00000000\t0\t0\t0\n" +
           "a/b\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n" +
           "averyveryverylong\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n" + good,
       {PppDefault()},
       5},
  };

  for (const auto& c : cases) {
    std::vector<std::string> notes;

    const std::vector<Ipv4Route> routes = ParseRouteTable(c.text, &notes);

    EXPECT_EQ(routes.size(), c.expected.size()) << c.name;
    if (routes.size() == c.expected.size()) {
      for (std::size_t i = 0; i < routes.size(); ++i)
        EXPECT_EQ(routes[i], c.expected[i]) << c.name << " row " << i;
    }
    EXPECT_EQ(notes.size(), c.notes) << c.name;
    EXPECT_EQ(ParseRouteTable(c.text, nullptr).size(), c.expected.size()) << c.name;
  }
}

using Bytes = std::vector<std::uint8_t>;

void AppendBytes(Bytes& out, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  out.insert(out.end(), bytes, bytes + size);
  out.resize((out.size() + 3) & ~std::size_t(3));  // the 4-byte alignment of netlink
}

Bytes Attribute(unsigned short type, const void* value, std::size_t size) {
  const rtattr header{static_cast<unsigned short>(RTA_LENGTH(size)), type};
  Bytes out;
  AppendBytes(out, &header, sizeof header);
  out.resize(sizeof header);
  AppendBytes(out, value, size);
  return out;
}

Bytes Ipv4Attribute(unsigned short type, const char* dotted) {
  in_addr address{};
  inet_pton(AF_INET, dotted, &address);
  return Attribute(type, &address.s_addr, sizeof address.s_addr);
}

Bytes Message(unsigned short type, std::uint32_t sequence, const Bytes& payload,
              unsigned short flags = NLM_F_MULTI) {
  const nlmsghdr header{std::uint32_t(NLMSG_LENGTH(payload.size())), type, flags, sequence, 0};
  Bytes out;
  AppendBytes(out, &header, sizeof header);
  AppendBytes(out, payload.data(), payload.size());
  return out;
}

Bytes AddressMessage(std::uint32_t sequence, unsigned index, std::vector<Bytes> attributes,
                     unsigned char family = AF_INET) {
  const ifaddrmsg info{family, 24, 0, RT_SCOPE_UNIVERSE, index};
  Bytes payload;
  AppendBytes(payload, &info, sizeof info);
  for (const Bytes& attribute : attributes)
    payload.insert(payload.end(), attribute.begin(), attribute.end());
  return Message(RTM_NEWADDR, sequence, payload);
}

Bytes IntPayload(int value) {
  Bytes out;
  AppendBytes(out, &value, sizeof value);
  return out;
}

Bytes Joined(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

InterfaceIpv4Address At(int index, const char* dotted) {
  in_addr address{};
  inet_pton(AF_INET, dotted, &address);
  return {index, address.s_addr};
}

TEST(ParseAddressDumpTest, Datagrams_GiveEachAddressWithItsInterfaceIndex) {
  constexpr std::uint32_t kSeq = 7;
  const char label[] = "eth0br:1";  // 9 bytes with the NUL: its attribute needs padding
  const Bytes labelled = AddressMessage(
      kSeq, 3,
      {Ipv4Attribute(IFA_ADDRESS, "10.8.0.1"), Attribute(IFA_LABEL, label, sizeof label),
       Ipv4Attribute(IFA_LOCAL, "10.8.0.2")});
  const Bytes plain = AddressMessage(kSeq, 5, {Ipv4Attribute(IFA_ADDRESS, "192.168.1.4")});
  const Bytes done = Message(NLMSG_DONE, kSeq, IntPayload(0));
  Bytes truncatedAttribute = plain;
  truncatedAttribute[NLMSG_HDRLEN + sizeof(ifaddrmsg)] = 0x40;  // rta_len beyond the message
  Bytes longMessage = plain;
  longMessage[0] = std::uint8_t(plain.size() + 4);  // nlmsg_len beyond the datagram
  const std::uint8_t wide[16] = {};
  const struct {
    const char* name;
    Bytes datagram;
    AddressDumpStatus status;
    std::vector<InterfaceIpv4Address> addresses;
    bool interrupted = false;
  } cases[] = {
      {"own address before the peer's, in order, then the end",
       Joined({labelled, plain, done}),
       AddressDumpStatus::kDone,
       {At(3, "10.8.0.2"), At(5, "192.168.1.4")}},
      {"other families, other requests and unknown types skipped",
       Joined({AddressMessage(kSeq, 4, {Ipv4Attribute(IFA_ADDRESS, "1.2.3.4")}, AF_INET6),
               AddressMessage(kSeq + 1, 4, {Ipv4Attribute(IFA_ADDRESS, "1.2.3.5")}),
               Message(NLMSG_DONE, kSeq + 1, IntPayload(0)), Message(RTM_NEWLINK, kSeq, {}),
               plain}),
       AddressDumpStatus::kMore,
       {At(5, "192.168.1.4")}},
      {"an address attribute of another size is no IPv4 address",
       AddressMessage(kSeq, 6, {Attribute(IFA_LOCAL, wide, sizeof wide)}),
       AddressDumpStatus::kMore,
       {}},
      {"a dump changed while read is marked",
       Joined({Message(RTM_NEWADDR, kSeq, Bytes(plain.begin() + NLMSG_HDRLEN, plain.end()),
                       NLM_F_MULTI | NLM_F_DUMP_INTR),
               done}),
       AddressDumpStatus::kDone,
       {At(5, "192.168.1.4")},
       true},
      {"an acknowledgement is no error",
       Joined({Message(NLMSG_ERROR, kSeq, IntPayload(0)), plain}),
       AddressDumpStatus::kMore,
       {At(5, "192.168.1.4")}},
      {"error answer",
       Message(NLMSG_ERROR, kSeq, IntPayload(-EPERM)),
       AddressDumpStatus::kFailed,
       {}},
      {"end carrying an error",
       Joined({plain, Message(NLMSG_DONE, kSeq, IntPayload(-EINTR))}),
       AddressDumpStatus::kFailed,
       {At(5, "192.168.1.4")}},
      {"attribute longer than its message", truncatedAttribute, AddressDumpStatus::kFailed, {}},
      {"message longer than the datagram", longMessage, AddressDumpStatus::kFailed, {}},
      {"bytes after the last message too few for a header",
       Joined({plain, Bytes(8, 0)}),
       AddressDumpStatus::kFailed,
       {At(5, "192.168.1.4")}},
      {"address message too short for its header",
       Message(RTM_NEWADDR, kSeq, Bytes(4, 0)),
       AddressDumpStatus::kFailed,
       {}},
  };

  for (const auto& c : cases) {
    std::vector<InterfaceIpv4Address> addresses;
    bool interrupted = false;

    const AddressDumpStatus status = ParseAddressDump(c.datagram, kSeq, addresses, interrupted);

    EXPECT_EQ(status, c.status) << c.name;
    EXPECT_EQ(addresses, c.addresses) << c.name;
    EXPECT_EQ(interrupted, c.interrupted) << c.name;
  }
}

TEST(ParsePppoeDevicesTest, SessionTable_GivesDistinctValidDevicesInOrder) {
  const std::string header = "Id       Address              Device\n";
  const struct {
    const char* name;
    std::string text;
    std::vector<std::string> expected;
  } cases[] = {
      {"no file", "", {}},
      {"header only", header, {}},
      {"two sessions on one device",
       header + "00001A2B 00:1a:2b:3c:4d:5e     eth0\n00001A2C 00:1a:2b:3c:4d:5f     eth0\n",
       {"eth0"}},
      {"two devices",
       header + "00000001 00:1a:2b:3c:4d:5e     eth1\n" + "00000002 00:1a:2b:3c:4d:5f     eth0\n",
       {"eth1", "eth0"}},
      {"unknown lines and bad names skipped",
       header + "garbage\n00000001 00:1a:2b:3c:4d:5e a/b\nXYZ 00:1a eth2\n"
                "00000003 00:1a:2b:3c:4d:5e enp3s0 extra\n",
       {}},
  };

  for (const auto& c : cases) EXPECT_EQ(ParsePppoeDevices(c.text), c.expected) << c.name;
}

TEST(SysfsValueTest, AttributeText_GivesTrimmedFirstLine) {
  const struct {
    std::string_view text, expected;
  } cases[] = {
      {"office uplink\n", "office uplink"},
      {"  8021q \r\nsecond line\n", "8021q"},
      {"\n", ""},
      {"", ""},
  };

  for (const auto& c : cases) EXPECT_EQ(SysfsValue(c.text), c.expected) << c.text;
}

TEST(IsValidInterfaceNameTest, Names_AcceptKernelNamesOnly) {
  for (std::string_view name : {"eth0", "eth0.10", "ppp0", "br-1a2b", "abcdefghijklmno"})
    EXPECT_TRUE(IsValidInterfaceName(name)) << name;
  for (std::string_view name : {"", ".", "..", "a/b", "eth0:1", "a b", "abcdefghijklmnop"})
    EXPECT_FALSE(IsValidInterfaceName(name)) << name;
}

TEST(ReadLowerDevicesTest, DeviceFolder_GivesSortedLowerLinksOnly) {
  const testing::TempDir dir;
  for (const char* entry :
       {"lower_eth1", "lower_bond0", "upper_br0", "lower_", "lower_a:b", "address", "lowerx"})
    dir.Write(std::string("vlan/") + entry, "");
  std::filesystem::create_symlink("../eth9", dir / "vlan/lower_eth9");

  EXPECT_EQ(ReadLowerDevices(dir / "vlan"), (std::vector<std::string>{"bond0", "eth1", "eth9"}));
  EXPECT_TRUE(ReadLowerDevices(dir / "missing").empty());
}

// The interfaces `ip -o link` lists, by name, with the text after "link/ether" where there is
// one; empty when the tool is missing.
std::map<std::string, std::string> IpLinkInterfaces() {
  std::map<std::string, std::string> names;
  FILE* pipe = popen("ip -o link 2>/dev/null", "re");
  if (!pipe) return names;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe)) {
    const std::string text = line;
    const std::size_t start = text.find(": ");
    if (start == std::string::npos) continue;
    const std::size_t end = text.find_first_of("@:", start + 2);
    const std::string name = text.substr(start + 2, end - start - 2);
    const std::size_t ether = text.find("link/ether ");
    names[name] = ether == std::string::npos ? "" : text.substr(ether + 11, 17);
  }
  pclose(pipe);
  return names;
}

std::string ColonText(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  for (const std::uint8_t b : bytes) {
    char part[4];
    std::snprintf(part, sizeof part, text.empty() ? "%02x" : ":%02x", b);
    text += part;
  }
  return text;
}

TEST(SystemNetworkAdaptersTest, Read_ListsWhatIpLinkShowsExceptLoopback) {
  const std::map<std::string, std::string> expected = IpLinkInterfaces();
  if (expected.empty()) GTEST_SKIP() << "`ip -o link` is not available";

  const NetworkSnapshot snapshot = SystemNetworkAdapters().Read();

  for (const auto& [name, ether] : expected) {
    const auto found = std::find_if(snapshot.adapters.begin(), snapshot.adapters.end(),
                                    [&name](const NetworkAdapter& a) { return a.name == name; });
    if (name == "lo") {
      EXPECT_EQ(found, snapshot.adapters.end());
      continue;
    }
    ASSERT_NE(found, snapshot.adapters.end()) << name;
    EXPECT_GT(found->index, 0) << name;
    if (!ether.empty()) {
      EXPECT_EQ(ColonText(found->address), ether) << name;
    }
  }
  for (const NetworkAdapter& adapter : snapshot.adapters) {
    EXPECT_FALSE(adapter.loopback) << adapter.name;
    EXPECT_NE(adapter.linkType, kLinkTypeLoopback) << adapter.name;
  }
  EXPECT_TRUE(std::is_sorted(
      snapshot.adapters.begin(), snapshot.adapters.end(),
      [](const NetworkAdapter& a, const NetworkAdapter& b) { return a.index < b.index; }));
}

TEST(SystemNetworkAdaptersTest, Read_WithEveryIoctlRefused_StillListsTheAdapters) {
  std::vector<std::string> expected;
  for (const NetworkAdapter& adapter : SystemNetworkAdapters().Read().adapters)
    expected.push_back(adapter.name);
  enum : int { kSame = 0, kDifferent = 1, kPermanentSeen = 2, kNoFilter = 3 };

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Answers every ioctl, and so every ethtool query, with EPERM.
    sock_filter filter[] = {
        {BPF_LD | BPF_W | BPF_ABS, 0, 0, offsetof(seccomp_data, nr)},
        {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, SYS_ioctl},
        {BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)},
        {BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ALLOW},
    };
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
      _exit(kNoFilter);
    const NetworkSnapshot snapshot = SystemNetworkAdapters().Read();
    std::vector<std::string> names;
    for (const NetworkAdapter& adapter : snapshot.adapters) {
      if (!adapter.permanentAddress.empty()) _exit(kPermanentSeen);
      names.push_back(adapter.name);
    }
    _exit(names == expected ? kSame : kDifferent);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);

  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == kNoFilter) GTEST_SKIP() << "no seccomp filter can be installed";
  EXPECT_EQ(WEXITSTATUS(status), kSame);
}

// Runs `body` in a child process in a network namespace of its own; the child's exit status,
// or -1 when no namespace can be made here.
template <typename F>
int InOwnNetworkNamespace(F&& body) {
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    if (unshare(CLONE_NEWNET) != 0) _exit(125);
    _exit(body());
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status) == 125 ? -1 : WEXITSTATUS(status);
}

TEST(SystemNetworkAdaptersTest, LabelledAddresses_ListedUnderTheirOwnInterface) {
  // A label is free text that need only begin with the interface's name: "lab0x:1" on lab0
  // names the other interface lab0x.
  enum : int { kRight = 0, kWrong = 1, kNoTool = 2 };
  const int status = InOwnNetworkNamespace([] {
    if (std::system("ip link add lab0 type veth peer name lab0x 2>/dev/null &&"
                    " ip addr add 10.20.0.1/24 dev lab0 &&"
                    " ip addr add 10.20.0.2/24 dev lab0 label lab0:1 &&"
                    " ip addr add 10.30.0.1/24 dev lab0 label lab0x:1 &&"
                    " ip addr add 10.40.0.1/24 dev lab0x") != 0)
      return int(kNoTool);
    std::map<std::string, std::vector<std::string>> listed;
    for (const NetworkAdapter& adapter : SystemNetworkAdapters().Read().adapters)
      listed[adapter.name] = adapter.ipv4Addresses;
    const std::map<std::string, std::vector<std::string>> expected = {
        {"lab0", {"10.20.0.1", "10.30.0.1", "10.20.0.2"}}, {"lab0x", {"10.40.0.1"}}};
    if (listed == expected) return int(kRight);
    for (const auto& [name, addresses] : listed) {
      std::fprintf(stderr, "%s:", name.c_str());
      for (const std::string& address : addresses) std::fprintf(stderr, " %s", address.c_str());
      std::fprintf(stderr, "\n");
    }
    return int(kWrong);
  });

  if (status < 0) GTEST_SKIP() << "no network namespace can be made here";
  if (status == kNoTool) GTEST_SKIP() << "`ip` cannot make a veth pair here";
  EXPECT_EQ(status, kRight) << "the child's listing is on stderr";
}

TEST(ReadNetworkSnapshotTest, GivenPaths_TakeRoutesAliasAndLowerDevicesFromThem) {
  const std::vector<NetworkAdapter> system = SystemNetworkAdapters().Read().adapters;
  if (system.empty()) GTEST_SKIP() << "this machine has no adapter besides the loopback";
  const std::string& name = system.front().name;
  const testing::TempDir dir;
  NetworkPaths paths;
  paths.routeTable =
      dir.Write("route", std::string(kRouteHeader) + RouteRow(name, 0, htonl(0x0A000001), 0, "5"));
  paths.pppoeSessions = dir / "no-pppoe";
  paths.sysClassNet = dir / "net";
  dir.Write("net/" + name + "/ifalias", "Office uplink\n");
  dir.Write("net/" + name + "/lower_bond7", "");

  const NetworkSnapshot snapshot = ReadNetworkSnapshot(paths);

  ASSERT_FALSE(snapshot.adapters.empty());
  EXPECT_EQ(snapshot.adapters.front().name, name);
  EXPECT_EQ(snapshot.adapters.front().description, "Office uplink");
  EXPECT_EQ(snapshot.adapters.front().lowerDevices, std::vector<std::string>{"bond7"});
  ASSERT_EQ(snapshot.routes.size(), 1u);
  EXPECT_EQ(Ipv4Text(snapshot.routes[0].gateway), "10.0.0.1");
  EXPECT_TRUE(snapshot.notes.empty());
}

TEST(ReadNetworkSnapshotTest, OversizedRouteTable_KeepsWholeRowsWithinTheBoundAndNotesIt) {
  const testing::TempDir dir;
  const std::string row = RouteRow("eth0", 0, 0, 0, "0");
  std::string text(kRouteHeader);
  while (text.size() <= (std::size_t(1) << 20)) text += row;
  NetworkPaths paths;
  paths.routeTable = dir.Write("route", text);
  paths.sysClassNet = dir / "net";
  const std::size_t wholeRows = ((std::size_t(1) << 20) - kRouteHeader.size()) / row.size();

  const NetworkSnapshot snapshot = ReadNetworkSnapshot(paths);

  EXPECT_EQ(snapshot.routes.size(), wholeRows);
  ASSERT_EQ(snapshot.notes.size(), 1u);
  EXPECT_NE(snapshot.notes[0].find("1048576"), std::string::npos) << snapshot.notes[0];
}

}  // namespace
}  // namespace dravik::platform
