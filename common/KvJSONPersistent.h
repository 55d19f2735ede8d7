// The JSON object mapping. A message class lists its published properties once, in its
// Publish method; one reader, one writer and one key checker derive the JSON form from that
// list, so no message class reads or writes JSON by hand:
//
//   class TsftProviderInfo : public TjsonPersistent {
//    public:
//     DRAVIK_CLASS_NAME(TsftProviderInfo)
//     void Publish(TjsonPropertyVisitor& visitor) override {
//       TjsonPersistent::Publish(visitor);  // the base class's properties come first
//       visitor.Text("providerName", providerName);
//       visitor.Int32("providerType", providerType);
//     }
//     std::string providerName;
//     std::int32_t providerType = 0;
//   };
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "KvJSON.h"
#include "KvObject.h"
#include "KvStringList.h"

namespace dravik {

// An error of the mapping itself; its message is " : " followed by the reason.
DRAVIK_EXCEPTION(EJSONRTTI, Exception);

class TjsonPersistent;

// The list type of string-list properties: its text form has no line break after the
// last line.
class TjsonStringList : public TStringList {
 public:
  TjsonStringList() { SetTrailingLineBreak(false); }
  DRAVIK_CLASS_NAME(TjsonStringList)
};

// What the reader and the writer need of a collection property.
class TjsonCollectionBase {
 public:
  TjsonCollectionBase() = default;
  TjsonCollectionBase(const TjsonCollectionBase&) = delete;
  TjsonCollectionBase& operator=(const TjsonCollectionBase&) = delete;
  virtual ~TjsonCollectionBase() = default;

  virtual int Count() const noexcept = 0;
  virtual void Clear() noexcept = 0;
  // The item at `index`; EListError outside 0..Count()-1.
  virtual TjsonPersistent& ItemObject(int index) = 0;
  // Appends a new item with its default values and gives it.
  virtual TjsonPersistent& AddItemObject() = 0;
};

// A list of owned items of one item class, written as an array of objects.
template <class T>
class TjsonCollection : public TjsonCollectionBase {
 public:
  int Count() const noexcept override { return static_cast<int>(items_.size()); }
  void Clear() noexcept override { items_.clear(); }
  T& Add() {
    // Checked here rather than on the class, so that an item class may hold a collection
    // of its own kind.
    static_assert(std::is_base_of_v<TjsonPersistent, T>, "collection items are JSON objects");
    return *items_.emplace_back(std::make_unique<T>());
  }
  T& operator[](int index) { return *items_[Checked(index)]; }
  const T& operator[](int index) const { return *items_[Checked(index)]; }

  TjsonPersistent& ItemObject(int index) override { return (*this)[index]; }
  TjsonPersistent& AddItemObject() override { return Add(); }

 private:
  std::size_t Checked(int index) const {
    if (index < 0 || index >= Count()) ThrowIndexError(index);
    return static_cast<std::size_t>(index);
  }
  [[noreturn]] static void ThrowIndexError(int index) {
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  }

  std::vector<std::unique_ptr<T>> items_;
};

enum class TjsonPropertyKind { Text, Int32, StringList, Collection, Object };

// One published property as the visitors and the hooks see it: its name and its storage.
class TjsonProperty {
 public:
  using TObjectGetter = TjsonPersistent* (*)(void* slot) noexcept;

  TjsonProperty(std::string_view name, std::string& value) noexcept
      : name_(name), kind_(TjsonPropertyKind::Text), target_(&value) {}
  TjsonProperty(std::string_view name, std::int32_t& value) noexcept
      : name_(name), kind_(TjsonPropertyKind::Int32), target_(&value) {}
  TjsonProperty(std::string_view name, TStringList& value) noexcept
      : name_(name), kind_(TjsonPropertyKind::StringList), target_(&value) {}
  TjsonProperty(std::string_view name, TjsonCollectionBase& value) noexcept
      : name_(name), kind_(TjsonPropertyKind::Collection), target_(&value) {}
  // A nested object held in a slot that `getter` reads.
  TjsonProperty(std::string_view name, void* slot, TObjectGetter getter) noexcept
      : name_(name), kind_(TjsonPropertyKind::Object), target_(slot), getter_(getter) {}

  // Exactly as declared, case kept.
  std::string_view Name() const noexcept { return name_; }
  TjsonPropertyKind Kind() const noexcept { return kind_; }

  // The storage of the property's kind; another kind throws EJSONRTTI.
  std::string& Text() const;
  std::int32_t& Int32() const;
  TStringList& Strings() const;
  TjsonCollectionBase& Collection() const;
  // The object the slot holds now, null when it is empty. It is read at every call, so a
  // hook that fills or replaces the slot is seen at once.
  TjsonPersistent* Object() const;

 private:
  void Expect(TjsonPropertyKind kind) const;

  std::string_view name_;
  TjsonPropertyKind kind_;
  void* target_;
  TObjectGetter getter_ = nullptr;
};

// What a class's Publish lists its properties to. The names must outlive the visit (string
// literals). The reader, the writer and the key checker implement Visit.
class TjsonPropertyVisitor {
 public:
  TjsonPropertyVisitor() = default;
  TjsonPropertyVisitor(const TjsonPropertyVisitor&) = delete;
  TjsonPropertyVisitor& operator=(const TjsonPropertyVisitor&) = delete;
  virtual ~TjsonPropertyVisitor() = default;

  void Text(std::string_view name, std::string& value) { Visit(TjsonProperty(name, value)); }
  void Int32(std::string_view name, std::int32_t& value) { Visit(TjsonProperty(name, value)); }
  void Strings(std::string_view name, TStringList& value) { Visit(TjsonProperty(name, value)); }
  void Collection(std::string_view name, TjsonCollectionBase& value) {
    Visit(TjsonProperty(name, value));
  }
  // A nested object in an owned slot that may be empty; an empty slot is written as null.
  template <class T>
  void Object(std::string_view name, std::unique_ptr<T>& slot) {
    static_assert(std::is_base_of_v<TjsonPersistent, T>, "nested objects are JSON objects");
    Visit(TjsonProperty(name, &slot, [](void* s) noexcept -> TjsonPersistent* {
      return static_cast<std::unique_ptr<T>*>(s)->get();
    }));
  }

 protected:
  virtual void Visit(const TjsonProperty& property) = 0;
};

// The base of every JSON message class. Hooks are the virtual methods of the object whose
// LoadFromJSON or AsJSONString was called (the top-level object); they fire for it and for
// every nested object and collection item, which are filled and written by the top-level
// object's reader and writer alone.
class TjsonPersistent : public TKvObject {
 public:
  TjsonPersistent() = default;
  TjsonPersistent(const TjsonPersistent&) = delete;
  TjsonPersistent& operator=(const TjsonPersistent&) = delete;
  ~TjsonPersistent() override = default;

  // Lists the published properties in declaration order: each class calls its base class's
  // Publish first, then lists its own.
  virtual void Publish(TjsonPropertyVisitor& visitor);

  // Fills the published properties from the members of the JSON object that `text` holds
  // (names compared with case; missing members leave their properties, others are skipped).
  // True once filled; every failure throws (EJSONParserError, EJSONConvertError, EJSONRTTI)
  // and leaves what was filled before it. Traced through HostLoger.
  virtual bool LoadFromJSON(std::string_view text);
  // The object as JSON text in the system's form. Traced through HostLoger.
  virtual std::string AsJSONString();

 protected:
  // Reading hooks: around the filling of `object` from `json` (a JSON object), and before a
  // member is read into `property` of `object`; setting `handled` leaves the reading to the
  // hook. After this hook the reader reads a nested-object slot again, so the hook may
  // create or replace the object held there.
  virtual void BeforeRestoreObject(TjsonPersistent& object, const TJsonValue& json);
  virtual void AfterRestoreObject(TjsonPersistent& object, const TJsonValue& json);
  virtual void RestorePropertyValue(TjsonPersistent& object, const TjsonProperty& property,
                                    const TJsonValue& value, bool& handled);
  // Writing hooks: around the writing of `object` into `json` (the JSON object being built),
  // and after the value of `property` was produced; the hook may replace the value or reset
  // it, which leaves the member out.
  virtual void BeforeStreamObject(TjsonPersistent& object, TJsonValue& json);
  virtual void AfterStreamObject(TjsonPersistent& object, TJsonValue& json);
  virtual void StreamProperty(TjsonPersistent& object, const TjsonProperty& property,
                              std::optional<TJsonValue>& value);

  // The reading and the writing themselves, between the trace records of LoadFromJSON and
  // AsJSONString: through the value tree, the hooks and the published properties. A final
  // class of a fixed shape may do either directly, with the same results.
  virtual void ReadJSONText(std::string_view text);
  virtual std::string WriteJSONText();
  // The same text as the value tree gives, written property by property: for the
  // WriteJSONText of a class that overrides no writing hook, which this writer never calls.
  std::string WritePublishedJSON();

 private:
  friend class TjsonReader;
  friend class TjsonWriter;
  friend class TjsonTextWriter;
};

// Reads an object's published properties without regard to letter case, for the strict
// key checks of the API requests (run from a BeforeRestoreObject hook at every depth).
class TjsonKeyChecker final : private TjsonPropertyVisitor {
 public:
  explicit TjsonKeyChecker(TjsonPersistent& object);

  // Whether the object publishes a property of this name, ASCII case ignored.
  bool HasProperty(std::string_view name) const noexcept;
  // The name of the first member of `json` (a JSON object) that no property matches;
  // nullopt when every member has one.
  std::optional<std::string> FirstUnknownMember(const TJsonValue& json) const;
  // The first of `keys` that `json` (a JSON object) has no member of, case ignored;
  // nullopt when all are there.
  static std::optional<std::string> FirstMissingKey(const TJsonValue& json,
                                                    std::span<const std::string_view> keys);

 private:
  void Visit(const TjsonProperty& property) override;

  std::vector<std::string> names_;
};

}  // namespace dravik
