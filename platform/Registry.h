// The store that stands in for the per-user registry: one folder per key and one text file
// per key holding its values, with change notification for one key.
//
// A key "Software\A\B" under the root "HKCU" is the folder <RegistryRoot()>/HKCU/Software/A/B;
// its values live in the file ".values" of that folder, one value a line:
//   <name>=dword:<eight hex digits>
//   <name>=sz:<text>
// In names the bytes '%', '=', '#' and those below 0x20 or equal to 0x7F are written as "%XX";
// in texts '%' and those control bytes. Lines starting with '#', and lines that do not parse,
// are not values. Value names are compared without ASCII case; the first of a name counts.
// Writers replace the file atomically (a temporary file in the folder renamed over it) under
// an exclusive lock of the folder, so that readers never see half a file.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace dravik::platform {

// A registry file that is too large or cannot be written.
class TRegistryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The name of the values file in a key's folder.
inline constexpr std::string_view kRegistryValuesFile = ".values";
// Value files larger than this are refused: the store holds small settings only.
inline constexpr std::size_t kMaxRegistryFileBytes = 1 << 20;

// $DRAVIK_REGISTRY_ROOT when it is an absolute path, else ConfigHomeDir() + "/Dravik/registry";
// "" when neither is known.
std::string RegistryRoot();

// The folder of a key: root + "/" + rootKeyName + "/" + the key's components, which are the
// parts between backslashes (empty parts skipped). nullopt when the root or the root-key name
// is empty, or a component is "." or "..", holds '/' or NUL, or starts with ".values".
std::optional<std::string> RegistryKeyFolder(std::string_view root, std::string_view rootKeyName,
                                             std::string_view keyPath);

enum class TRegDataType { String, DWord };

struct TRegValue {
  std::string Name;
  TRegDataType Type = TRegDataType::String;
  std::string Text;         // for String
  std::uint32_t DWord = 0;  // for DWord

  bool operator==(const TRegValue&) const = default;
};

// The values of a values file's text, in file order, the first of each name only.
std::vector<TRegValue> ParseRegistryValues(std::string_view text);
// The text of a values file holding these values, each line ended by LF.
std::string FormatRegistryValues(const std::vector<TRegValue>& values);

// An open key. Its values are read from the file at every call, so a change made by another
// process is seen at once. Not shared between threads.
class TRegistryKey {
 public:
  enum class TAccess { Read, Write };

  TRegistryKey() = default;
  ~TRegistryKey() { Close(); }
  TRegistryKey(const TRegistryKey&) = delete;
  TRegistryKey& operator=(const TRegistryKey&) = delete;

  // Opens the key's folder; with `create`, missing folders are made (0700). Write access
  // also needs the folder to be writable. False, with the key closed, when it cannot be.
  bool Open(const std::string& folder, TAccess access, bool create);
  void Close() noexcept;
  bool IsOpen() const noexcept { return dir_ >= 0; }
  const std::string& Folder() const noexcept { return folder_; }

  // No values when the file does not exist. Throws TRegistryError when the key is closed or
  // the file is too large or unreadable.
  std::vector<TRegValue> ReadValues() const;
  // The value of this name (ASCII case ignored); nullopt when it is missing.
  std::optional<TRegValue> FindValue(std::string_view name) const;
  // Sets the value, replacing the one of the same name in its place or appending it. Throws
  // TRegistryError when the key is not open for writing or the file cannot be replaced.
  void WriteValue(const TRegValue& value);

 private:
  int dir_ = -1;
  std::string folder_;
  TAccess access_ = TAccess::Read;
};

// Reports changes of one key: of its values file (values set, added or removed) and, with
// the names filter, subkeys added or removed. Armed on a key's folder, it reports the next
// relevant change; Stop wakes a waiting thread for good. Arm, Disarm and Wait belong to one
// thread; Stop may be called from any thread.
class TKeyChangeWatch {
 public:
  static constexpr std::uint32_t kNotifyNames = 1;   // subkeys and value names
  static constexpr std::uint32_t kNotifyValues = 4;  // values set

  // Throws std::system_error when the stop event cannot be made.
  TKeyChangeWatch();
  ~TKeyChangeWatch();
  TKeyChangeWatch(const TKeyChangeWatch&) = delete;
  TKeyChangeWatch& operator=(const TKeyChangeWatch&) = delete;

  // Watches the folder afresh, dropping whatever an earlier arming saw; false on failure.
  bool Arm(const std::string& folder, std::uint32_t filter) noexcept;
  void Disarm() noexcept;

  enum class TWake { Changed, Stopped, Failed };
  // Waits without a time limit for a relevant change or the stop; a stop wins over a change
  // seen at the same time. Failed when not armed or the wait itself fails.
  TWake Wait() noexcept;

  void Stop() noexcept;
  bool StopRequested() const noexcept;

 private:
  bool Relevant(std::uint32_t mask, std::string_view name) const noexcept;
  // Reads the queued events; true when one of them is relevant.
  bool DrainEvents() noexcept;

  int stop_ = -1;
  int inotify_ = -1;
  std::uint32_t filter_ = 0;
};

}  // namespace dravik::platform
