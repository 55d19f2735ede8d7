// The machine's network adapters, its IPv4 route table and the devices that stacked adapters
// run over, as the kernel reports them: getifaddrs for the adapters, an rtnetlink RTM_GETADDR
// dump for their IPv4 addresses (tied to an adapter by interface index: getifaddrs gives an
// address only its label, which is free text such as "eth0:1"), ETHTOOL_GPERMADDR for
// permanent hardware addresses, /proc/net/route for the routes, the
// "lower_*" links of /sys/class/net/<name>/ for VLAN, bond and bridge devices, and
// /proc/net/pppoe for the Ethernet device under a PPP link.
//
// This layer reports and does not judge: an all-zero address is passed on as it is, and the
// MAC address lookup above decides what counts as an address. Every text of the kernel is read
// with a size bound, and a line that does not parse is skipped with a note.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dravik::platform {

// ARPHRD_LOOPBACK and ARPHRD_PPP of <net/if_arp.h>.
inline constexpr unsigned kLinkTypeLoopback = 772;
inline constexpr unsigned kLinkTypePpp = 512;

// The most bytes of a current hardware address that are kept: the size of the address field
// of the adapter records the lookup was first described against.
inline constexpr std::size_t kMaxAdapterAddressLength = 8;

struct NetworkAdapter {
  std::string name{};                   // "eth0", "eth0.10", "ppp0"
  std::string description{};            // the interface alias, else the driver's name, else ""
  int index = 0;                        // the interface index
  unsigned linkType = 0;                // ARPHRD_*
  bool loopback = false;                // IFF_LOOPBACK, or the loopback link type
  std::vector<std::uint8_t> address{};  // current, at most kMaxAdapterAddressLength bytes
  std::vector<std::uint8_t> permanentAddress{};  // ETHTOOL_GPERMADDR; empty when not answered
  std::vector<std::string> ipv4Addresses{};      // dotted, in the kernel's order (primary first)
  std::vector<std::string> lowerDevices{};       // names of the devices this one runs over
};

struct Ipv4Route {
  std::string interfaceName{};
  std::uint32_t destination = 0;  // as in_addr.s_addr (network byte order)
  std::uint32_t gateway = 0;      // as in_addr.s_addr
  std::uint32_t mask = 0;         // as in_addr.s_addr
  std::uint32_t metric = 0;
  unsigned flags = 0;  // RTF_*

  // A route to destination 0 whatever its mask: a VPN's 0.0.0.0/1 takes the traffic that a
  // 0.0.0.0/0 route would.
  bool IsDefault() const noexcept { return destination == 0; }
  bool operator==(const Ipv4Route&) const = default;
};

struct NetworkSnapshot {
  std::vector<NetworkAdapter>
      adapters{};                    // ascending interface index; the system gives no loopback
  std::vector<Ipv4Route> routes{};   // the main table, in the kernel's order
  std::vector<std::string> notes{};  // what was skipped while reading, one line each
};

// The source of the network facts; the system's implementation and test doubles.
class INetworkAdapters {
 public:
  virtual ~INetworkAdapters() = default;
  // One consistent reading. Never throws for a missing or unreadable source: what cannot be
  // had is simply absent (no permission for ethtool gives no permanent addresses).
  virtual NetworkSnapshot Read() const = 0;
};

// Where the system's implementation reads its texts; tests point it at fixture folders.
struct NetworkPaths {
  std::string routeTable = "/proc/net/route";
  std::string pppoeSessions = "/proc/net/pppoe";
  std::string sysClassNet = "/sys/class/net";
};

// The kernel of this machine, read at NetworkPaths' default places. Safe from any thread.
const INetworkAdapters& SystemNetworkAdapters() noexcept;

// The same as SystemNetworkAdapters().Read(), with the texts taken from `paths`.
NetworkSnapshot ReadNetworkSnapshot(const NetworkPaths& paths);

// One IPv4 address of an interface.
struct InterfaceIpv4Address {
  int index = 0;              // the interface index
  std::uint32_t address = 0;  // as in_addr.s_addr

  bool operator==(const InterfaceIpv4Address&) const = default;
};

enum class AddressDumpStatus { kMore, kDone, kFailed };

// Reads one datagram of the rtnetlink answer to the IPv4 RTM_GETADDR dump request `sequence`:
// adds each address (IFA_LOCAL, else IFA_ADDRESS) with its interface index to `addresses` in
// the kernel's order, and sets `interrupted` when the kernel marks the dump as inconsistent.
// Messages of other requests are skipped. kDone at the dump's end; kFailed at an error answer
// or at a message whose lengths do not fit the datagram.
AddressDumpStatus ParseAddressDump(std::span<const std::uint8_t> datagram, std::uint32_t sequence,
                                   std::vector<InterfaceIpv4Address>& addresses, bool& interrupted);

// A kernel interface name: 1 to 15 bytes, none of them '/', ':' or a byte <= 0x20, and
// neither "." nor "..".
bool IsValidInterfaceName(std::string_view name) noexcept;

// The rows of /proc/net/route text. Columns are found by the header's names; a row that does
// not parse adds a note (when `notes` is given) and is skipped; without a usable header the
// table is empty.
std::vector<Ipv4Route> ParseRouteTable(std::string_view text, std::vector<std::string>* notes);

// The distinct device names of /proc/net/pppoe text, in their first order.
std::vector<std::string> ParsePppoeDevices(std::string_view text);

// The value of a one-line sysfs attribute: its first line, trimmed; "" when empty.
std::string SysfsValue(std::string_view text);

// The names after "lower_" of the entries of a /sys/class/net/<name> folder, sorted; names
// that are not interface names are left out, and at most 64 are read. Empty when the folder
// cannot be read.
std::vector<std::string> ReadLowerDevices(const std::string& deviceFolder);

// Dotted text of an address held as in_addr.s_addr.
std::string Ipv4Text(std::uint32_t address);

}  // namespace dravik::platform
