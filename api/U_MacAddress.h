// The MAC address of each network adapter and the adapter listing that the API's system
// information reads to find the MAC address of the adapter carrying an IPv4 address.
//
// The lookup runs over one NetworkSnapshot, so a listing sees one consistent state of the
// machine, and tests give it adapters built in memory. Everything belongs to the one call:
// concurrent listings share nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "KvStringList.h"
#include "NetworkAdapters.h"

namespace dravik {

// The modes of GetAdaptersInfoList.
inline constexpr unsigned kAdapterListAddressAndMac = 0;  // "address" separator "MAC" per address
inline constexpr unsigned kAdapterListAddressOnly = 1;    // "address" per address
inline constexpr unsigned kAdapterListMacOnly = 2;  // "MAC" per adapter; so is every mode above

// The address an adapter without an IPv4 address is listed under.
inline constexpr std::string_view kNoIpv4Address = "0.0.0.0";

// Each byte as two upper-case hexadecimal digits, joined by "-": "00-1A-2B-3C-4D-5E"; "" for
// no bytes.
std::string MacAddressText(std::span<const std::uint8_t> bytes);

// The MAC address text of snapshot.adapters[position], from the first of these that has one:
//  1. the adapter's permanent address;
//  2. its current address;
//  3. the devices it runs over (a VLAN's, a bond's or a bridge's lower devices, the Ethernet
//     device of a PPPoE link), each with its current, then its permanent address, and then
//     the devices under those;
//  4. another adapter with a route of the metric of the adapter's first route, in the route
//     table's order, with its current, permanent and lower devices' addresses as above; not
//     when that metric is 0, which the kernel's own routes all have;
//  5. the adapter of the default route (destination 0, whatever the mask) with the lowest
//     metric (the first of equal ones), with its current, then its permanent address.
// An address of zero bytes only counts as none. Loopback adapters are never looked at. ""
// when every step fails, and for a position outside the list.
std::string AdapterMacAddress(const platform::NetworkSnapshot& snapshot, std::size_t position);

// Clears `list` and fills it from the snapshot's adapters (never a loopback one), in order:
// in modes 0 and 1 one line per IPv4 address of each adapter (kNoIpv4Address for an adapter
// without one), the address followed in mode 0 by `separator` and the adapter's MAC address
// (so the line ends with the separator when there is none); in mode 2 and above one line per
// adapter with its MAC address. The snapshot's notes go to `log` when it is given.
void GetAdaptersInfoList(TStringList& list, unsigned mode, std::string_view separator,
                         TStringList* log, const platform::NetworkSnapshot& snapshot);

// The same over a fresh reading of `source`.
void GetAdaptersInfoList(
    TStringList& list, unsigned mode, std::string_view separator, TStringList* log,
    const platform::INetworkAdapters& source = platform::SystemNetworkAdapters());

}  // namespace dravik
