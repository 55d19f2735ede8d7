// Environment variables, "%NAME%" expansion and the user's standard folders.
//
// The system names folders the way programs of its first OS did (%Temp%, %AppData%, ...);
// those names are mapped to their Linux counterparts when the environment lacks them.
// Like getenv, these read the environment unguarded: do not change it from another thread
// meanwhile.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dravik::platform {

// The value of an environment variable: an exact match first, then the first ASCII
// case-insensitive match in environment order, then, when still unset, the stand-ins for
// the other OS's names (case-insensitive): TEMP, TMP -> TempDir(); APPDATA ->
// ConfigHomeDir(); LOCALAPPDATA -> DataHomeDir(); USERPROFILE -> HomeDir(); USERNAME ->
// $USER or the account's name; COMPUTERNAME -> MachineName(). nullopt when nothing applies;
// an empty name, or one holding '=' or NUL, is never found.
std::optional<std::string> GetEnvironmentValue(std::string_view name);

// Replaces every "%NAME%" whose name has a value (GetEnvironmentValue) by that value, in one
// pass from left to right. A reference without a value is kept as written and scanning goes
// on after its closing '%'; a '%' without a closing one is kept; "%%" stays "%%". Values are
// never scanned again.
std::string ExpandEnvironmentText(std::string_view text);

// The host name, "" when it cannot be read.
std::string MachineName();

// The user's home: $HOME when set and not empty, else the account's home directory; "" when
// neither is known.
std::string HomeDir();

// $TMPDIR when it is an absolute path, else "/tmp".
std::string TempDir();

// $XDG_CONFIG_HOME when it is an absolute path, else HomeDir() + "/.config"; "" without home.
std::string ConfigHomeDir();

// $XDG_DATA_HOME when it is an absolute path, else HomeDir() + "/.local/share"; "" without
// home.
std::string DataHomeDir();

// The folders above carry no trailing '/', except the root itself, which stays "/".

}  // namespace dravik::platform
