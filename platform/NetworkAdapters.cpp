#include "NetworkAdapters.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/ethtool.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>

#include "UniqueFd.h"

namespace dravik::platform {

static_assert(kLinkTypeLoopback == ARPHRD_LOOPBACK && kLinkTypePpp == ARPHRD_PPP);

namespace {

constexpr std::size_t kRouteTableLimit = std::size_t(1) << 20;
constexpr std::size_t kPppoeTableLimit = std::size_t(256) << 10;
constexpr std::size_t kSysfsAttributeLimit = 4096;
constexpr std::size_t kMaxLowerDevices = 64;
// MAX_ADDR_LEN of the kernel: the largest hardware address a device can have.
constexpr std::size_t kMaxHardwareAddress = 32;
// The address dump: the most bytes read, how often a dump that changed while it was read is
// read again, the datagram buffer (the kernel's dump messages fit in 32 KiB), and how long one
// datagram may take.
constexpr std::size_t kAddressDumpLimit = std::size_t(16) << 20;
constexpr int kAddressDumpTries = 3;
constexpr std::size_t kNetlinkDatagram = std::size_t(32) << 10;
constexpr time_t kNetlinkGuardSeconds = 5;

bool IsBlank(char c) noexcept { return static_cast<unsigned char>(c) <= 0x20; }

std::string_view TrimBlanks(std::string_view s) noexcept {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// The fields of one line, split at runs of bytes <= 0x20.
std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    const std::size_t start = i;
    while (i < line.size() && !IsBlank(line[i])) ++i;
    if (i > start) fields.push_back(line.substr(start, i - start));
  }
  return fields;
}

// Calls `onLine(number, line)` for each LF-ended line (the last one may lack its LF), counting
// from 1; a CR before the LF is part of the blanks the fields drop.
template <typename F>
void ForEachLine(std::string_view text, F&& onLine) {
  int number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    onLine(++number, text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

bool ParseHex32(std::string_view text, std::uint32_t& value) noexcept {
  if (text.empty() || text.size() > 8) return false;
  std::uint32_t result = 0;
  for (const char c : text) {
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = unsigned(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      digit = unsigned(c - 'A' + 10);
    } else if (c >= 'a' && c <= 'f') {
      digit = unsigned(c - 'a' + 10);
    } else {
      return false;
    }
    result = (result << 4) | digit;
  }
  value = result;
  return true;
}

// The kernel prints a route's 32-bit priority with "%d", so large ones come out negative.
bool ParseMetric(std::string_view text, std::uint32_t& value) noexcept {
  const bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  if (text.empty() || text.size() > 10) return false;
  std::uint64_t magnitude = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    magnitude = magnitude * 10 + unsigned(c - '0');
  }
  if (negative ? magnitude > (std::uint64_t(1) << 31) : magnitude > 0xFFFFFFFFu) return false;
  value = negative ? std::uint32_t(0u - std::uint32_t(magnitude)) : std::uint32_t(magnitude);
  return true;
}

bool ParseDecimalInt(std::string_view text, int& value) noexcept {
  text = TrimBlanks(text);
  if (text.empty() || text.size() > 9) return false;
  int result = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    result = result * 10 + (c - '0');
  }
  value = result;
  return true;
}

// At most `limit` bytes of a file; `truncated` tells whether there was more. nullopt when the
// file cannot be opened or read.
std::optional<std::string> ReadBounded(const std::string& path, std::size_t limit,
                                       bool& truncated) {
  truncated = false;
  const TUniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) return std::nullopt;
  std::string text(limit + 1, '\0');
  std::size_t used = 0;
  while (used < text.size()) {
    const ssize_t count = read(fd.get(), text.data() + used, text.size() - used);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return std::nullopt;
    if (count == 0) break;
    used += std::size_t(count);
  }
  truncated = used > limit;
  text.resize(std::min(used, limit));
  return text;
}

// A bounded kernel table; a cut-off text loses its partial last line and leaves a note.
std::string ReadTable(const std::string& path, std::size_t limit, std::vector<std::string>& notes) {
  bool truncated = false;
  std::optional<std::string> text = ReadBounded(path, limit, truncated);
  if (!text) return {};
  if (truncated) {
    const std::size_t lastBreak = text->rfind('\n');
    text->resize(lastBreak == std::string::npos ? 0 : lastBreak + 1);
    notes.push_back(path + " is longer than " + std::to_string(limit) +
                    " bytes; the rest is ignored");
  }
  return std::move(*text);
}

std::string ReadSysfsAttribute(const std::string& path) {
  bool truncated = false;
  const std::optional<std::string> text = ReadBounded(path, kSysfsAttributeLimit, truncated);
  return text ? SysfsValue(*text) : std::string();
}

// A socket for the interface ioctls; AF_UNIX where IPv4 sockets are not allowed, since the
// kernel passes interface ioctls of any family through.
int OpenIoctlSocket() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd >= 0) return fd;
  return socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

bool EthtoolRequest(int fd, const std::string& name, void* request) {
  if (fd < 0 || name.size() >= IFNAMSIZ) return false;
  ifreq ifr{};
  std::memcpy(ifr.ifr_name, name.data(), name.size());
  ifr.ifr_data = static_cast<char*>(request);
  return ioctl(fd, SIOCETHTOOL, &ifr) == 0;
}

// The permanent hardware address; empty when the device or the kernel does not tell.
std::vector<std::uint8_t> QueryPermanentAddress(int fd, const std::string& name) {
  // struct ethtool_perm_addr ends in a flexible array: lay it out in an aligned buffer.
  alignas(ethtool_perm_addr)
      std::array<std::uint8_t, sizeof(ethtool_perm_addr) + kMaxHardwareAddress>
          buffer{};
  ethtool_perm_addr header{};
  header.cmd = ETHTOOL_GPERMADDR;
  header.size = kMaxHardwareAddress;
  std::memcpy(buffer.data(), &header, sizeof header);
  if (!EthtoolRequest(fd, name, buffer.data())) return {};
  std::memcpy(&header, buffer.data(), sizeof header);
  const std::size_t size = std::min<std::size_t>(header.size, kMaxHardwareAddress);
  const std::uint8_t* data = buffer.data() + sizeof header;
  return std::vector<std::uint8_t>(data, data + size);
}

std::string QueryDriverName(int fd, const std::string& name) {
  ethtool_drvinfo info{};
  info.cmd = ETHTOOL_GDRVINFO;
  if (!EthtoolRequest(fd, name, &info)) return {};
  return std::string(
      TrimBlanks(std::string_view(info.driver, strnlen(info.driver, sizeof info.driver))));
}

NetworkAdapter* FindByName(std::vector<NetworkAdapter>& adapters, std::string_view name) {
  for (NetworkAdapter& adapter : adapters)
    if (adapter.name == name) return &adapter;
  return nullptr;
}

// A link entry of getifaddrs: an AF_PACKET address, or none for a device without a hardware
// address (PPP, TUN), whose index and type then come from sysfs.
void AddLink(std::vector<NetworkAdapter>& adapters, const ifaddrs& entry,
             const NetworkPaths& paths) {
  const std::string name = entry.ifa_name ? entry.ifa_name : "";
  if (!IsValidInterfaceName(name) || FindByName(adapters, name)) return;
  NetworkAdapter adapter;
  adapter.name = name;
  adapter.loopback = (entry.ifa_flags & IFF_LOOPBACK) != 0;
  if (entry.ifa_addr) {
    sockaddr_ll link{};
    std::memcpy(&link, entry.ifa_addr, sizeof link);
    adapter.index = link.sll_ifindex;
    adapter.linkType = link.sll_hatype;
    const std::size_t length =
        std::min<std::size_t>({link.sll_halen, sizeof link.sll_addr, kMaxAdapterAddressLength});
    adapter.address.assign(link.sll_addr, link.sll_addr + length);
  } else {
    const std::string folder = paths.sysClassNet + "/" + name;
    int value = 0;
    if (ParseDecimalInt(ReadSysfsAttribute(folder + "/ifindex"), value)) adapter.index = value;
    if (ParseDecimalInt(ReadSysfsAttribute(folder + "/type"), value))
      adapter.linkType = unsigned(value);
    if (adapter.index == 0) adapter.index = int(if_nametoindex(name.c_str()));
  }
  if (adapter.linkType == kLinkTypeLoopback) adapter.loopback = true;
  if (adapter.loopback) return;
  adapters.push_back(std::move(adapter));
}

template <typename T>
T LoadAt(std::span<const std::uint8_t> bytes, std::size_t at) noexcept {
  T value;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}

// The address of one RTM_NEWADDR message's payload; false when its lengths do not fit.
bool ReadAddressMessage(std::span<const std::uint8_t> payload,
                        std::vector<InterfaceIpv4Address>& addresses) {
  if (payload.size() < sizeof(ifaddrmsg)) return false;
  const auto info = LoadAt<ifaddrmsg>(payload, 0);
  if (info.ifa_family != AF_INET) return true;
  std::optional<std::uint32_t> local, address;
  std::size_t at = NLMSG_ALIGN(sizeof(ifaddrmsg));
  while (at < payload.size()) {
    if (payload.size() - at < sizeof(rtattr)) return false;
    const auto attribute = LoadAt<rtattr>(payload, at);
    if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > payload.size() - at) return false;
    if (attribute.rta_len == RTA_LENGTH(sizeof(std::uint32_t))) {
      const auto value = LoadAt<std::uint32_t>(payload, at + RTA_LENGTH(0));
      if (attribute.rta_type == IFA_LOCAL) local = value;
      if (attribute.rta_type == IFA_ADDRESS) address = value;
    }
    at += std::min<std::size_t>(RTA_ALIGN(attribute.rta_len), payload.size() - at);
  }
  // On a point-to-point link IFA_ADDRESS is the peer's; IFA_LOCAL is the interface's own.
  if (!local) local = address;
  if (local && info.ifa_index > 0 && info.ifa_index <= unsigned(std::numeric_limits<int>::max()))
    addresses.push_back({int(info.ifa_index), *local});
  return true;
}

// The untranslated text of an errno value; unlike strerror, safe from any thread.
std::string ErrnoText(int error) {
  const char* text = strerrordesc_np(error);
  return text ? text : "error " + std::to_string(error);
}

// One dump of every interface's IPv4 addresses; nullopt, with a note, when the kernel's answer
// cannot be had.
std::optional<std::vector<InterfaceIpv4Address>> DumpIpv4AddressesOnce(
    int fd, std::uint32_t sequence, bool& interrupted, std::vector<std::string>& notes) {
  const auto fail = [&notes](const std::string& why) {
    notes.push_back("the IPv4 addresses cannot be read: " + why);
    return std::nullopt;
  };
  struct {
    nlmsghdr header;
    ifaddrmsg body;
  } request{};
  request.header.nlmsg_len = NLMSG_LENGTH(sizeof request.body);
  request.header.nlmsg_type = RTM_GETADDR;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = sequence;
  request.body.ifa_family = AF_INET;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(fd, &request, request.header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
             sizeof kernel) != ssize_t(request.header.nlmsg_len))
    return fail("the request was not sent: " + ErrnoText(errno));

  std::vector<InterfaceIpv4Address> addresses;
  std::vector<std::uint8_t> buffer(kNetlinkDatagram);
  std::size_t total = 0;
  interrupted = false;
  for (;;) {
    sockaddr_nl from{};
    iovec part{buffer.data(), buffer.size()};
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    const ssize_t count = recvmsg(fd, &message, 0);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return fail("no answer: " + ErrnoText(errno));
    if (count == 0 || (message.msg_flags & MSG_TRUNC)) return fail("a cut-off answer");
    if (from.nl_pid != 0) continue;  // only the kernel answers this socket's requests
    total += std::size_t(count);
    if (total > kAddressDumpLimit)
      return fail("the answer is longer than " + std::to_string(kAddressDumpLimit) + " bytes");
    switch (ParseAddressDump(std::span(buffer.data(), std::size_t(count)), sequence, addresses,
                             interrupted)) {
      case AddressDumpStatus::kMore:
        break;
      case AddressDumpStatus::kDone:
        return addresses;
      case AddressDumpStatus::kFailed:
        return fail("the kernel refused the request or answered malformed messages");
    }
  }
}

// Every interface's IPv4 addresses in the kernel's order; empty, with a note, when they cannot
// be read. A dump that the kernel marks as changed while it was read is read again.
std::vector<InterfaceIpv4Address> DumpIpv4Addresses(std::vector<std::string>& notes) {
  const TUniqueFd fd(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (fd.get() < 0) {
    notes.push_back("the IPv4 addresses cannot be read: no rtnetlink socket: " + ErrnoText(errno));
    return {};
  }
  // A guard only: the kernel answers at once.
  const timeval guard{kNetlinkGuardSeconds, 0};
  setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof guard);
  for (int attempt = 1;; ++attempt) {
    bool interrupted = false;
    std::optional<std::vector<InterfaceIpv4Address>> addresses =
        DumpIpv4AddressesOnce(fd.get(), std::uint32_t(attempt), interrupted, notes);
    if (!addresses) return {};
    if (!interrupted) return std::move(*addresses);
    if (attempt == kAddressDumpTries) {
      notes.push_back("the IPv4 addresses changed during each of " +
                      std::to_string(kAddressDumpTries) + " readings; the last one is used");
      return std::move(*addresses);
    }
  }
}

std::vector<NetworkAdapter> ListAdapters(const NetworkPaths& paths,
                                         std::vector<std::string>& notes) {
  ifaddrs* raw = nullptr;
  if (getifaddrs(&raw) != 0) return {};
  const std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> list(raw, &freeifaddrs);
  std::vector<NetworkAdapter> adapters;
  for (const ifaddrs* p = list.get(); p; p = p->ifa_next)
    if (!p->ifa_addr || p->ifa_addr->sa_family == AF_PACKET) AddLink(adapters, *p, paths);
  std::stable_sort(
      adapters.begin(), adapters.end(),
      [](const NetworkAdapter& a, const NetworkAdapter& b) { return a.index < b.index; });
  for (const InterfaceIpv4Address& entry : DumpIpv4Addresses(notes)) {
    const auto adapter =
        std::find_if(adapters.begin(), adapters.end(),
                     [&entry](const NetworkAdapter& a) { return a.index == entry.index; });
    if (adapter != adapters.end()) adapter->ipv4Addresses.push_back(Ipv4Text(entry.address));
  }
  return adapters;
}

// A PPP link shows no lower device in sysfs; when the PPPoE sessions all run over one
// Ethernet device, that device is the one under every PPP link without a lower device.
void AddDeviceFacts(std::vector<NetworkAdapter>& adapters, const NetworkPaths& paths,
                    std::vector<std::string>& notes) {
  const TUniqueFd fd(OpenIoctlSocket());
  std::optional<std::vector<std::string>> pppoeDevices;
  for (NetworkAdapter& adapter : adapters) {
    const std::string folder = paths.sysClassNet + "/" + adapter.name;
    adapter.permanentAddress = QueryPermanentAddress(fd.get(), adapter.name);
    adapter.description = ReadSysfsAttribute(folder + "/ifalias");
    if (adapter.description.empty()) adapter.description = QueryDriverName(fd.get(), adapter.name);
    adapter.lowerDevices = ReadLowerDevices(folder);
    if (adapter.linkType != kLinkTypePpp || !adapter.lowerDevices.empty()) continue;
    if (!pppoeDevices)
      pppoeDevices = ParsePppoeDevices(ReadTable(paths.pppoeSessions, kPppoeTableLimit, notes));
    if (pppoeDevices->size() == 1) adapter.lowerDevices = *pppoeDevices;
  }
}

struct DirCloser {
  void operator()(DIR* folder) const noexcept { closedir(folder); }
};

class TSystemNetworkAdapters final : public INetworkAdapters {
 public:
  NetworkSnapshot Read() const override { return ReadNetworkSnapshot(NetworkPaths{}); }
};

}  // namespace

const INetworkAdapters& SystemNetworkAdapters() noexcept {
  static const TSystemNetworkAdapters system;
  return system;
}

NetworkSnapshot ReadNetworkSnapshot(const NetworkPaths& paths) {
  NetworkSnapshot snapshot;
  snapshot.adapters = ListAdapters(paths, snapshot.notes);
  AddDeviceFacts(snapshot.adapters, paths, snapshot.notes);
  snapshot.routes = ParseRouteTable(ReadTable(paths.routeTable, kRouteTableLimit, snapshot.notes),
                                    &snapshot.notes);
  return snapshot;
}

AddressDumpStatus ParseAddressDump(std::span<const std::uint8_t> datagram, std::uint32_t sequence,
                                   std::vector<InterfaceIpv4Address>& addresses,
                                   bool& interrupted) {
  std::size_t at = 0;
  while (at < datagram.size()) {
    if (datagram.size() - at < sizeof(nlmsghdr)) return AddressDumpStatus::kFailed;
    const auto header = LoadAt<nlmsghdr>(datagram, at);
    if (header.nlmsg_len < NLMSG_HDRLEN || header.nlmsg_len > datagram.size() - at)
      return AddressDumpStatus::kFailed;
    const std::span<const std::uint8_t> payload =
        datagram.subspan(at + NLMSG_HDRLEN, header.nlmsg_len - NLMSG_HDRLEN);
    at += std::min<std::size_t>(NLMSG_ALIGN(header.nlmsg_len), datagram.size() - at);
    if (header.nlmsg_seq != sequence) continue;
    if (header.nlmsg_flags & NLM_F_DUMP_INTR) interrupted = true;
    switch (header.nlmsg_type) {
      case NLMSG_DONE:
        // The kernel may put the dump's error code after the header.
        return payload.size() >= sizeof(int) && LoadAt<int>(payload, 0) < 0
                   ? AddressDumpStatus::kFailed
                   : AddressDumpStatus::kDone;
      case NLMSG_ERROR:
        // An error code of 0 is an acknowledgement, which this request does not ask for.
        if (payload.size() >= sizeof(int) && LoadAt<int>(payload, 0) == 0) break;
        return AddressDumpStatus::kFailed;
      case RTM_NEWADDR:
        if (!ReadAddressMessage(payload, addresses)) return AddressDumpStatus::kFailed;
        break;
      default:
        break;
    }
  }
  return AddressDumpStatus::kMore;
}

bool IsValidInterfaceName(std::string_view name) noexcept {
  if (name.empty() || name.size() >= IFNAMSIZ || name == "." || name == "..") return false;
  return std::none_of(name.begin(), name.end(),
                      [](char c) { return c == '/' || c == ':' || IsBlank(c); });
}

std::vector<Ipv4Route> ParseRouteTable(std::string_view text, std::vector<std::string>* notes) {
  enum Column { kIface, kDestination, kGateway, kFlags, kMetric, kMask, kColumns };
  static constexpr std::array<std::string_view, kColumns> kNames = {
      "Iface", "Destination", "Gateway", "Flags", "Metric", "Mask"};
  const auto note = [notes](int line, std::string_view why) {
    if (notes)
      notes->push_back("route table line " + std::to_string(line) + ": " + std::string(why));
  };
  std::array<std::size_t, kColumns> at{};
  std::size_t needed = 0;
  bool haveHeader = false;
  std::vector<Ipv4Route> routes;
  ForEachLine(text, [&](int number, std::string_view line) {
    const std::vector<std::string_view> fields = Fields(line);
    if (fields.empty()) return;
    if (!haveHeader) {
      haveHeader = true;
      for (std::size_t c = 0; c < kColumns; ++c) {
        const auto found = std::find(fields.begin(), fields.end(), kNames[c]);
        if (found == fields.end()) {
          note(number, "no usable header");
          needed = std::numeric_limits<std::size_t>::max();
          return;
        }
        at[c] = std::size_t(found - fields.begin());
        needed = std::max(needed, at[c] + 1);
      }
      return;
    }
    if (needed == std::numeric_limits<std::size_t>::max()) return;
    if (fields.size() < needed) return note(number, "too few fields");
    Ipv4Route route;
    const std::string_view iface = fields[at[kIface]];
    if (iface != "*" && !IsValidInterfaceName(iface)) return note(number, "bad interface name");
    route.interfaceName = std::string(iface);
    std::uint32_t flags = 0;
    if (!ParseHex32(fields[at[kDestination]], route.destination) ||
        !ParseHex32(fields[at[kGateway]], route.gateway) ||
        !ParseHex32(fields[at[kMask]], route.mask) || !ParseHex32(fields[at[kFlags]], flags))
      return note(number, "bad hexadecimal field");
    if (!ParseMetric(fields[at[kMetric]], route.metric)) return note(number, "bad metric");
    route.flags = flags;
    routes.push_back(std::move(route));
  });
  return routes;
}

std::vector<std::string> ParsePppoeDevices(std::string_view text) {
  std::vector<std::string> devices;
  ForEachLine(text, [&](int, std::string_view line) {
    const std::vector<std::string_view> fields = Fields(line);
    std::uint32_t id = 0;
    if (fields.size() != 3 || !ParseHex32(fields[0], id) || !IsValidInterfaceName(fields[2]))
      return;  // the header, or a line this reader does not know
    if (std::find(devices.begin(), devices.end(), fields[2]) == devices.end())
      devices.emplace_back(fields[2]);
  });
  return devices;
}

std::string SysfsValue(std::string_view text) {
  return std::string(TrimBlanks(text.substr(0, text.find('\n'))));
}

std::vector<std::string> ReadLowerDevices(const std::string& deviceFolder) {
  constexpr std::string_view kPrefix = "lower_";
  const std::unique_ptr<DIR, DirCloser> folder(opendir(deviceFolder.c_str()));
  if (!folder) return {};
  std::vector<std::string> names;
  while (names.size() < kMaxLowerDevices) {
    const dirent* entry = readdir(folder.get());
    if (!entry) break;
    const std::string_view name = entry->d_name;
    if (name.substr(0, kPrefix.size()) != kPrefix) continue;
    if (IsValidInterfaceName(name.substr(kPrefix.size())))
      names.emplace_back(name.substr(kPrefix.size()));
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string Ipv4Text(std::uint32_t address) {
  in_addr value{};
  value.s_addr = address;
  std::array<char, INET_ADDRSTRLEN> text{};
  if (!inet_ntop(AF_INET, &value, text.data(), text.size())) return {};
  return text.data();
}

}  // namespace dravik::platform
