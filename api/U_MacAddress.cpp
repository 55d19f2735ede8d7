#include "U_MacAddress.h"

#include <algorithm>
#include <vector>

namespace dravik {

using platform::Ipv4Route;
using platform::NetworkAdapter;
using platform::NetworkSnapshot;

namespace {

// Stacks of virtual devices are shallow; the bound also ends a loop of lower links.
constexpr int kMaxLowerDepth = 8;

bool IsAddress(const std::vector<std::uint8_t>& bytes) noexcept {
  return std::any_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b != 0; });
}

// The current address, at most as long as the adapter records the lookup was first built on.
std::string CurrentMac(const NetworkAdapter& adapter) {
  const std::size_t length = std::min(adapter.address.size(), platform::kMaxAdapterAddressLength);
  const std::vector<std::uint8_t> bytes(adapter.address.begin(), adapter.address.begin() + length);
  return IsAddress(bytes) ? MacAddressText(bytes) : std::string();
}

std::string PermanentMac(const NetworkAdapter& adapter) {
  return IsAddress(adapter.permanentAddress) ? MacAddressText(adapter.permanentAddress)
                                             : std::string();
}

// One lookup over one snapshot; the steps of AdapterMacAddress.
class TMacLookup {
 public:
  explicit TMacLookup(const NetworkSnapshot& snapshot) : snapshot_(snapshot) {}

  std::string ForAdapter(const NetworkAdapter& adapter) const {
    if (adapter.loopback) return {};
    std::string mac = PermanentMac(adapter);
    if (mac.empty()) mac = CurrentMac(adapter);
    if (mac.empty()) mac = FromLowerDevices(adapter);
    if (mac.empty()) mac = FromMetric(adapter);
    if (mac.empty()) mac = FromDefaultRoute();
    return mac;
  }

 private:
  const NetworkAdapter* Find(std::string_view name) const {
    for (const NetworkAdapter& adapter : snapshot_.adapters)
      if (!adapter.loopback && adapter.name == name) return &adapter;
    return nullptr;
  }

  // Each level of lower devices in turn, nearest first, each device once.
  std::string FromLowerDevices(const NetworkAdapter& adapter) const {
    std::vector<const NetworkAdapter*> seen{&adapter};
    std::vector<const NetworkAdapter*> level{&adapter};
    for (int depth = 0; depth < kMaxLowerDepth && !level.empty(); ++depth) {
      std::vector<const NetworkAdapter*> next;
      for (const NetworkAdapter* upper : level) {
        for (const std::string& name : upper->lowerDevices) {
          const NetworkAdapter* lower = Find(name);
          if (!lower || std::find(seen.begin(), seen.end(), lower) != seen.end()) continue;
          seen.push_back(lower);
          std::string mac = CurrentMac(*lower);
          if (mac.empty()) mac = PermanentMac(*lower);
          if (!mac.empty()) return mac;
          next.push_back(lower);
        }
      }
      level = std::move(next);
    }
    return {};
  }

  // An adapter without an address of its own borrows one from another adapter whose route has
  // the metric of its own first route. An adapter without any route has no metric to share, and
  // metric 0 tells nothing: the kernel gives it to every route it makes for an address (a
  // container bridge's, a VPN tunnel's), so sharing it would lend an unrelated adapter's address.
  std::string FromMetric(const NetworkAdapter& adapter) const {
    const auto own =
        std::find_if(snapshot_.routes.begin(), snapshot_.routes.end(),
                     [&](const Ipv4Route& r) { return r.interfaceName == adapter.name; });
    if (own == snapshot_.routes.end() || own->metric == 0) return {};
    std::vector<std::string_view> tried;
    for (const Ipv4Route& route : snapshot_.routes) {
      if (route.metric != own->metric ||
          std::find(tried.begin(), tried.end(), route.interfaceName) != tried.end())
        continue;
      const NetworkAdapter* other = Find(route.interfaceName);
      if (other && other != &adapter) {
        std::string mac = CurrentMac(*other);
        if (mac.empty()) mac = PermanentMac(*other);
        if (mac.empty()) mac = FromLowerDevices(*other);
        if (!mac.empty()) return mac;
      }
      tried.push_back(route.interfaceName);
    }
    return {};
  }

  std::string FromDefaultRoute() const {
    const Ipv4Route* best = nullptr;
    for (const Ipv4Route& route : snapshot_.routes)
      if (route.IsDefault() && (!best || route.metric < best->metric)) best = &route;
    const NetworkAdapter* adapter = best ? Find(best->interfaceName) : nullptr;
    if (!adapter) return {};
    std::string mac = CurrentMac(*adapter);
    if (mac.empty()) mac = PermanentMac(*adapter);
    return mac;
  }

  const NetworkSnapshot& snapshot_;
};

}  // namespace

std::string MacAddressText(std::span<const std::uint8_t> bytes) {
  constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 3);
  for (const std::uint8_t b : bytes) {
    if (!text.empty()) text += '-';
    text += kDigits[b >> 4];
    text += kDigits[b & 0xF];
  }
  return text;
}

std::string AdapterMacAddress(const NetworkSnapshot& snapshot, std::size_t position) {
  if (position >= snapshot.adapters.size()) return {};
  return TMacLookup(snapshot).ForAdapter(snapshot.adapters[position]);
}

void GetAdaptersInfoList(TStringList& list, unsigned mode, std::string_view separator,
                         TStringList* log, const NetworkSnapshot& snapshot) {
  list.Clear();
  if (log) {
    for (const std::string& note : snapshot.notes) log->Add(note);
  }
  const TMacLookup lookup(snapshot);
  for (const NetworkAdapter& adapter : snapshot.adapters) {
    if (adapter.loopback) continue;
    const std::string mac =
        mode == kAdapterListAddressOnly ? std::string() : lookup.ForAdapter(adapter);
    if (mode >= kAdapterListMacOnly) {
      list.Add(mac);
      continue;
    }
    const auto addLine = [&](std::string_view address) {
      std::string line(address);
      if (mode == kAdapterListAddressAndMac) line.append(separator).append(mac);
      list.Add(std::move(line));
    };
    if (adapter.ipv4Addresses.empty()) addLine(kNoIpv4Address);
    for (const std::string& address : adapter.ipv4Addresses) addLine(address);
  }
}

void GetAdaptersInfoList(TStringList& list, unsigned mode, std::string_view separator,
                         TStringList* log, const platform::INetworkAdapters& source) {
  GetAdaptersInfoList(list, mode, separator, log, source.Read());
}

}  // namespace dravik
