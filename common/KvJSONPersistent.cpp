#include "KvJSONPersistent.h"

#include <utility>

#include "KvText.h"
#include "U_LogFile.h"

namespace dravik {

namespace {

[[noreturn]] void ThrowRTTI(const std::string& reason) { throw EJSONRTTI(" : " + reason); }

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

std::string TypeNameOf(const TJsonValue& value) { return Quoted(JsonTypeName(value.Type())); }

std::string_view KindName(TjsonPropertyKind kind) noexcept {
  switch (kind) {
    case TjsonPropertyKind::Text:
      return "text";
    case TjsonPropertyKind::Int32:
      return "32-bit integer";
    case TjsonPropertyKind::StringList:
      return "string list";
    case TjsonPropertyKind::Collection:
      return "collection";
    case TjsonPropertyKind::Object:
      return "object";
  }
  return "unknown";
}

// Trace records never change the outcome of the traced call.
void TraceStart(const TKvObject* sender, std::string_view function) noexcept {
  try {
    if (THostLoger* loger = HostLoger.load()) loger->TraceStartFunction(sender, function);
  } catch (...) {
  }
}

// The result is copied into the record only when one is written: it may be a large text.
template <class T>
void TraceEnd(const TKvObject* sender, std::string_view function, const T& result) noexcept {
  try {
    THostLoger* loger = HostLoger.load();
    if (loger && loger->IsEnabled()) loger->TraceEndFunction(sender, function, TVariant(result));
  } catch (...) {
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Properties

void TjsonProperty::Expect(TjsonPropertyKind kind) const {
  if (kind_ != kind) {
    ThrowRTTI("Property " + Quoted(name_) + " is of the kind " + std::string(KindName(kind_)) +
              ", not " + std::string(KindName(kind)));
  }
}

std::string& TjsonProperty::Text() const {
  Expect(TjsonPropertyKind::Text);
  return *static_cast<std::string*>(target_);
}

std::int32_t& TjsonProperty::Int32() const {
  Expect(TjsonPropertyKind::Int32);
  return *static_cast<std::int32_t*>(target_);
}

TStringList& TjsonProperty::Strings() const {
  Expect(TjsonPropertyKind::StringList);
  return *static_cast<TStringList*>(target_);
}

TjsonCollectionBase& TjsonProperty::Collection() const {
  Expect(TjsonPropertyKind::Collection);
  return *static_cast<TjsonCollectionBase*>(target_);
}

TjsonPersistent* TjsonProperty::Object() const {
  Expect(TjsonPropertyKind::Object);
  return getter_(target_);
}

// ---------------------------------------------------------------------------------------
// The reader

// Fills objects from JSON values, calling the hooks of the top-level object.
class TjsonReader {
 public:
  explicit TjsonReader(TjsonPersistent& root) noexcept : root_(root) {}

  void ReadRoot(const TJsonValue& json) {
    if (json.IsArray()) {
      ThrowRTTI("JSON array cannot be streamed to object of class " + Quoted(root_.ClassName()));
    }
    if (!json.IsObject())
      ThrowRTTI("Cannot destream object from JSON data of type " + TypeNameOf(json));
    FillObject(root_, json);
  }

 private:
  // Reads the members of one JSON object into the properties of one object.
  class TObjectFiller final : public TjsonPropertyVisitor {
   public:
    TObjectFiller(TjsonReader& reader, TjsonPersistent& object, const TJsonValue& json) noexcept
        : reader_(reader), object_(object), json_(json) {}

   protected:
    void Visit(const TjsonProperty& property) override {
      if (const TJsonValue* value = json_.Find(property.Name())) {
        reader_.ReadMember(object_, property, *value);
      }
    }

   private:
    TjsonReader& reader_;
    TjsonPersistent& object_;
    const TJsonValue& json_;
  };

  void FillObject(TjsonPersistent& object, const TJsonValue& json) {
    root_.BeforeRestoreObject(object, json);
    TObjectFiller filler(*this, object, json);
    object.Publish(filler);
    root_.AfterRestoreObject(object, json);
  }

  void ReadMember(TjsonPersistent& object, const TjsonProperty& property, const TJsonValue& value) {
    bool handled = false;
    root_.RestorePropertyValue(object, property, value, handled);
    if (!handled) ReadProperty(property, value);
  }

  void ReadProperty(const TjsonProperty& property, const TJsonValue& value) {
    switch (property.Kind()) {
      case TjsonPropertyKind::Text:
        property.Text() = value.AsText();
        break;
      case TjsonPropertyKind::Int32:
        property.Int32() = value.AsInt32();
        break;
      case TjsonPropertyKind::StringList:
        ReadStrings(property.Strings(), value);
        break;
      case TjsonPropertyKind::Collection:
        ReadCollection(property.Collection(), value);
        break;
      case TjsonPropertyKind::Object:
        ReadObject(property.Object(), value);
        break;
    }
  }

  static void ReadStringArray(TStringList& list, const TJsonValue& array) {
    list.Clear();
    int index = 0;
    for (const TJsonValue& item : array.Items()) {
      if (!item.IsString()) {
        ThrowRTTI("Array element " + std::to_string(index) +
                  " is not a valid type for a stringlist item: " + TypeNameOf(item));
      }
      list.Add(item.StringValue());
      ++index;
    }
  }

  static void ReadStrings(TStringList& list, const TJsonValue& value) {
    if (value.IsArray()) {
      ReadStringArray(list, value);
    } else if (value.IsString()) {
      list.SetText(value.StringValue());
    } else if (value.IsObject()) {
      const TJsonValue::TObject& members = value.Members();
      if (members.size() == 1 && members[0].name == "Strings" && members[0].value.IsArray()) {
        ReadStringArray(list, members[0].value);
        return;
      }
      // Any other object lists its member names.
      list.Clear();
      for (const TJsonMember& member : members) {
        if (!member.value.IsNull() && !member.value.IsObject()) {
          ThrowRTTI("Object Element " + member.name +
                    " is not a valid type for a stringlist object: " + TypeNameOf(member.value));
        }
        list.Add(member.name);
      }
    } else {
      ThrowRTTI("Unsupported JSON type for stringlists: " + TypeNameOf(value));
    }
  }

  void ReadCollection(TjsonCollectionBase& collection, const TJsonValue& value) {
    const TJsonValue* array = &value;
    if (value.IsObject()) array = value.Find("Items");
    if (!array || !array->IsArray()) {
      ThrowRTTI("Unsupported JSON type for collections: " + TypeNameOf(value));
    }
    collection.Clear();
    int index = 0;
    for (const TJsonValue& item : array->Items()) {
      if (!item.IsObject()) {
        ThrowRTTI("Array element " + std::to_string(index) +
                  " is not a valid type for a collection item: " + TypeNameOf(item));
      }
      FillObject(collection.AddItemObject(), item);
      ++index;
    }
  }

  void ReadObject(TjsonPersistent* object, const TJsonValue& value) {
    if (object) {
      // A held object takes only a JSON object; any other value leaves it as it is.
      if (value.IsObject()) FillObject(*object, value);
      return;
    }
    // The reader creates no objects: an empty slot stays empty.
    if (!value.IsString() && !value.IsObject()) {
      ThrowRTTI("Unsupported JSON type for object property: " + TypeNameOf(value));
    }
  }

  TjsonPersistent& root_;
};

// ---------------------------------------------------------------------------------------
// The writer

// Writes objects as JSON values, calling the hooks of the top-level object.
class TjsonWriter {
 public:
  explicit TjsonWriter(TjsonPersistent& root) noexcept : root_(root) {}

  TJsonValue WriteObject(TjsonPersistent& object) {
    TJsonValue json = TJsonValue::Object();
    json.Members().reserve(8);
    root_.BeforeStreamObject(object, json);
    TObjectStreamer streamer(*this, object, json);
    object.Publish(streamer);
    root_.AfterStreamObject(object, json);
    return json;
  }

 private:
  class TObjectStreamer final : public TjsonPropertyVisitor {
   public:
    TObjectStreamer(TjsonWriter& writer, TjsonPersistent& object, TJsonValue& json) noexcept
        : writer_(writer), object_(object), json_(json) {}

   protected:
    void Visit(const TjsonProperty& property) override {
      writer_.WriteMember(object_, property, json_);
    }

   private:
    TjsonWriter& writer_;
    TjsonPersistent& object_;
    TJsonValue& json_;
  };

  void WriteMember(TjsonPersistent& object, const TjsonProperty& property, TJsonValue& json) {
    std::optional<TJsonValue> value = ValueOf(property);
    root_.StreamProperty(object, property, value);
    if (value) json.AddMember(std::string(property.Name()), std::move(*value));
  }

  TJsonValue ValueOf(const TjsonProperty& property) {
    switch (property.Kind()) {
      case TjsonPropertyKind::Text:
        return TJsonValue::String(property.Text());
      case TjsonPropertyKind::Int32:
        return TJsonValue::Integer(property.Int32());
      case TjsonPropertyKind::StringList: {
        TJsonValue array = TJsonValue::Array();
        for (const std::string& line : property.Strings()) array.Append(TJsonValue::String(line));
        return array;
      }
      case TjsonPropertyKind::Collection: {
        TjsonCollectionBase& collection = property.Collection();
        TJsonValue array = TJsonValue::Array();
        for (int i = 0; i < collection.Count(); ++i) {
          array.Append(WriteObject(collection.ItemObject(i)));
        }
        return array;
      }
      case TjsonPropertyKind::Object:
        if (TjsonPersistent* object = property.Object()) return WriteObject(*object);
        return TJsonValue::Null();
    }
    ThrowRTTI("Unsupported property kind for property: " + Quoted(property.Name()));
  }

  TjsonPersistent& root_;
};

// Writes objects straight as text, in the form TJsonValue::AsJSONString gives their value trees.
class TjsonTextWriter {
 public:
  explicit TjsonTextWriter(std::string& out) noexcept : out_(out) {}

  void WriteObject(TjsonPersistent& object) {
    const std::size_t start = out_.size();
    out_ += "{ ";
    TMemberWriter members(*this);
    object.Publish(members);
    if (members.Count() == 0) {
      out_.resize(start);
      out_ += "{}";
    } else {
      out_ += " }";
    }
  }

 private:
  class TMemberWriter final : public TjsonPropertyVisitor {
   public:
    explicit TMemberWriter(TjsonTextWriter& writer) noexcept : writer_(writer) {}
    int Count() const noexcept { return count_; }

   protected:
    void Visit(const TjsonProperty& property) override {
      if (count_++ > 0) writer_.out_ += ", ";
      AppendJsonString(writer_.out_, property.Name());
      writer_.out_ += " : ";
      writer_.WriteValue(property);
    }

   private:
    TjsonTextWriter& writer_;
    int count_ = 0;
  };

  void WriteValue(const TjsonProperty& property) {
    switch (property.Kind()) {
      case TjsonPropertyKind::Text:
        AppendJsonString(out_, property.Text());
        return;
      case TjsonPropertyKind::Int32:
        out_ += std::to_string(property.Int32());
        return;
      case TjsonPropertyKind::StringList: {
        out_ += '[';
        bool first = true;
        for (const std::string& line : property.Strings()) {
          if (!first) out_ += ", ";
          first = false;
          AppendJsonString(out_, line);
        }
        out_ += ']';
        return;
      }
      case TjsonPropertyKind::Collection: {
        TjsonCollectionBase& collection = property.Collection();
        out_ += '[';
        for (int i = 0; i < collection.Count(); ++i) {
          if (i > 0) out_ += ", ";
          WriteObject(collection.ItemObject(i));
        }
        out_ += ']';
        return;
      }
      case TjsonPropertyKind::Object:
        if (TjsonPersistent* object = property.Object())
          WriteObject(*object);
        else
          out_ += "null";
        return;
    }
    ThrowRTTI("Unsupported property kind for property: " + Quoted(property.Name()));
  }

  std::string& out_;
};

// ---------------------------------------------------------------------------------------
// The base class

void TjsonPersistent::Publish(TjsonPropertyVisitor&) {}

bool TjsonPersistent::LoadFromJSON(std::string_view text) {
  bool result = false;
  TraceStart(this, "LoadFromJSON");
  try {
    ReadJSONText(text);
    result = true;
  } catch (...) {
    TraceEnd(this, "LoadFromJSON", result);
    throw;
  }
  TraceEnd(this, "LoadFromJSON", result);
  return result;
}

std::string TjsonPersistent::AsJSONString() {
  std::string result;
  TraceStart(this, "AsJSONString");
  try {
    result = WriteJSONText();
  } catch (...) {
    TraceEnd(this, "AsJSONString", result);
    throw;
  }
  TraceEnd(this, "AsJSONString", result);
  return result;
}

void TjsonPersistent::ReadJSONText(std::string_view text) {
  const TJsonValue json = ParseJSON(text);
  TjsonReader(*this).ReadRoot(json);
}

std::string TjsonPersistent::WritePublishedJSON() {
  std::string out;
  out.reserve(256);
  TjsonTextWriter(out).WriteObject(*this);
  return out;
}

std::string TjsonPersistent::WriteJSONText() {
  return TjsonWriter(*this).WriteObject(*this).AsJSONString();
}

void TjsonPersistent::BeforeRestoreObject(TjsonPersistent&, const TJsonValue&) {}
void TjsonPersistent::AfterRestoreObject(TjsonPersistent&, const TJsonValue&) {}
void TjsonPersistent::RestorePropertyValue(TjsonPersistent&, const TjsonProperty&,
                                           const TJsonValue&, bool&) {}
void TjsonPersistent::BeforeStreamObject(TjsonPersistent&, TJsonValue&) {}
void TjsonPersistent::AfterStreamObject(TjsonPersistent&, TJsonValue&) {}
void TjsonPersistent::StreamProperty(TjsonPersistent&, const TjsonProperty&,
                                     std::optional<TJsonValue>&) {}

// ---------------------------------------------------------------------------------------
// The key checker

TjsonKeyChecker::TjsonKeyChecker(TjsonPersistent& object) { object.Publish(*this); }

void TjsonKeyChecker::Visit(const TjsonProperty& property) { names_.emplace_back(property.Name()); }

bool TjsonKeyChecker::HasProperty(std::string_view name) const noexcept {
  for (const std::string& known : names_) {
    if (SameText(known, name)) return true;
  }
  return false;
}

std::optional<std::string> TjsonKeyChecker::FirstUnknownMember(const TJsonValue& json) const {
  for (const TJsonMember& member : json.Members()) {
    if (!HasProperty(member.name)) return member.name;
  }
  return std::nullopt;
}

std::optional<std::string> TjsonKeyChecker::FirstMissingKey(
    const TJsonValue& json, std::span<const std::string_view> keys) {
  const TJsonValue::TObject& members = json.Members();
  for (const std::string_view key : keys) {
    bool found = false;
    for (const TJsonMember& member : members) {
      if (SameText(member.name, key)) {
        found = true;
        break;
      }
    }
    if (!found) return std::string(key);
  }
  return std::nullopt;
}

}  // namespace dravik
