// The JSON object mapping: reading each property kind from each JSON type, the hooks of the
// top-level object, writing, the trace records, and the strict request shape built on it.
#include "KvJSONPersistent.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "ExceptionText.h"
#include "KvClock.h"
#include "KvText.h"
#include "U_LogFile.h"

namespace dravik {
namespace {

using Lines = std::vector<std::string>;

// ---------------------------------------------------------------------------------------
// A message of every property kind: a base class, texts, an integer, a string list, a
// collection, a nested object created by the constructor and an empty nested slot.

class TAddress : public TjsonPersistent {
 public:
  DRAVIK_CLASS_NAME(TAddress)
  void Publish(TjsonPropertyVisitor& visitor) override {
    TjsonPersistent::Publish(visitor);
    visitor.Text("street", street);
    visitor.Int32("zip", zip);
  }
  std::string street = "old";
  std::int32_t zip = 0;
};

class TLine : public TjsonPersistent {
 public:
  DRAVIK_CLASS_NAME(TLine)
  void Publish(TjsonPropertyVisitor& visitor) override {
    TjsonPersistent::Publish(visitor);
    visitor.Text("name", name);
    visitor.Int32("count", count);
  }
  std::string name;
  std::int32_t count = 0;
};

class TKindsBase : public TjsonPersistent {
 public:
  DRAVIK_CLASS_NAME(TKindsBase)
  void Publish(TjsonPropertyVisitor& visitor) override {
    TjsonPersistent::Publish(visitor);
    visitor.Text("id", id);
  }
  std::string id;
};

class TKinds : public TKindsBase {
 public:
  TKinds() {
    list.Add("old");
    lines.Add().name = "old";
  }
  DRAVIK_CLASS_NAME(TKinds)
  void Publish(TjsonPropertyVisitor& visitor) override {
    TKindsBase::Publish(visitor);
    visitor.Text("text", text);
    visitor.Int32("number", number);
    visitor.Strings("list", list);
    visitor.Collection("lines", lines);
    visitor.Object("address", address);
    visitor.Object("note", note);
  }
  std::string text = "old";
  std::int32_t number = 7;
  TjsonStringList list;
  TjsonCollection<TLine> lines;
  std::unique_ptr<TAddress> address = std::make_unique<TAddress>();
  std::unique_ptr<TAddress> note;
};

constexpr std::string_view kDefaultKinds =
    R"({ "id" : "", "text" : "old", "number" : 7, "list" : ["old"], )"
    R"("lines" : [{ "name" : "old", "count" : 0 }], )"
    R"("address" : { "street" : "old", "zip" : 0 }, "note" : null })";

using dravik::testing::ErrorOf;

// The written value of one member of an object's JSON text.
std::string MemberText(TjsonPersistent& object, std::string_view name) {
  const TJsonValue json = ParseJSON(object.AsJSONString());
  const TJsonValue* member = json.Find(name);
  return member ? member->AsJSONString() : "<absent>";
}

TEST(TjsonPersistentLoad, EachPropertyKindFromEachJsonType) {
  const struct {
    const char* member;
    const char* json;
    const char* expected;  // the member as written afterwards, or the error
  } cases[] = {
      {"text", R"("s")", R"("s")"},
      {"text", "42", R"("42")"},
      {"text", "-9223372036854775808", R"("-9223372036854775808")"},
      {"text", "18446744073709551615", R"("18446744073709551615")"},
      {"text", "1.5", R"("1.5")"},
      {"text", "0.1", R"("0.1")"},
      {"text", "1e2", R"("100")"},
      {"text", "true", R"("true")"},
      {"text", "false", R"("false")"},
      {"text", "null", "EJSONConvertError: Cannot convert data from Null value"},
      {"text", "[]", "EJSONConvertError: Cannot convert data from Array value"},
      {"text", "{}", "EJSONConvertError: Cannot convert data from Object value"},

      {"number", R"("-12")", "-12"},
      {"number", R"("1.5")", R"(EJSONConvertError: "1.5" is an invalid integer)"},
      {"number", R"("")", R"(EJSONConvertError: "" is an invalid integer)"},
      {"number", R"("2147483648")", R"(EJSONConvertError: "2147483648" is an invalid integer)"},
      {"number", "2147483647", "2147483647"},
      {"number", "-2147483648", "-2147483648"},
      {"number", "2147483648",
       R"(EJSONConvertError: "2147483648" is out of the range of a 32-bit integer)"},
      {"number", "-2147483649",
       R"(EJSONConvertError: "-2147483649" is out of the range of a 32-bit integer)"},
      {"number", "18446744073709551615",
       R"(EJSONConvertError: "18446744073709551615" is out of the range of a 32-bit integer)"},
      {"number", "2.5", "2"},
      {"number", "3.5", "4"},
      {"number", "-2.5", "-2"},
      {"number", "2.5001", "3"},
      {"number", "-0.4", "0"},
      {"number", "2147483647.4", "2147483647"},
      {"number", "2147483647.5",
       R"(EJSONConvertError: "2147483647.5" is out of the range of a 32-bit integer)"},
      {"number", "1e10", R"(EJSONConvertError: "1e+10" is out of the range of a 32-bit integer)"},
      {"number", "true", "1"},
      {"number", "false", "0"},
      {"number", "null", "EJSONConvertError: Cannot convert data from Null value"},
      {"number", "[1]", "EJSONConvertError: Cannot convert data from Array value"},
      {"number", "{}", "EJSONConvertError: Cannot convert data from Object value"},

      {"list", R"("a\r\nb")", R"(["a", "b"])"},
      {"list", R"("")", "[]"},
      {"list", R"(["x", "y"])", R"(["x", "y"])"},
      {"list", "[]", "[]"},
      {"list", R"(["x", 1])",
       R"(EJSONRTTI:  : Array element 1 is not a valid type for a stringlist item: "jtNumber")"},
      {"list", R"({"Strings": ["p", "q"]})", R"(["p", "q"])"},
      {"list", R"({"a": null, "b": {"c": 1}})", R"(["a", "b"])"},
      {"list", "{}", "[]"},
      {"list", R"({"Strings": "p"})",
       R"(EJSONRTTI:  : Object Element Strings is not a valid type for a stringlist object: "jtString")"},
      {"list", R"({"a": null, "b": []})",
       R"(EJSONRTTI:  : Object Element b is not a valid type for a stringlist object: "jtArray")"},
      {"list", "1", R"(EJSONRTTI:  : Unsupported JSON type for stringlists: "jtNumber")"},
      {"list", "1.5", R"(EJSONRTTI:  : Unsupported JSON type for stringlists: "jtNumber")"},
      {"list", "true", R"(EJSONRTTI:  : Unsupported JSON type for stringlists: "jtBoolean")"},
      {"list", "null", R"(EJSONRTTI:  : Unsupported JSON type for stringlists: "jtNull")"},

      {"lines", "[]", "[]"},
      {"lines", "[{}]", R"([{ "name" : "", "count" : 0 }])"},
      {"lines", R"([{"name": "a", "count": 2}, {"name": "b", "other": 1}])",
       R"([{ "name" : "a", "count" : 2 }, { "name" : "b", "count" : 0 }])"},
      {"lines", R"({"Items": [{"name": "i"}], "more": 1})", R"([{ "name" : "i", "count" : 0 }])"},
      {"lines", R"([{}, 1])",
       R"(EJSONRTTI:  : Array element 1 is not a valid type for a collection item: "jtNumber")"},
      {"lines", R"([[]])",
       R"(EJSONRTTI:  : Array element 0 is not a valid type for a collection item: "jtArray")"},
      {"lines", "{}", R"(EJSONRTTI:  : Unsupported JSON type for collections: "jtObject")"},
      {"lines", R"({"Items": {}})",
       R"(EJSONRTTI:  : Unsupported JSON type for collections: "jtObject")"},
      {"lines", R"("s")", R"(EJSONRTTI:  : Unsupported JSON type for collections: "jtString")"},
      {"lines", "1", R"(EJSONRTTI:  : Unsupported JSON type for collections: "jtNumber")"},
      {"lines", "1.5", R"(EJSONRTTI:  : Unsupported JSON type for collections: "jtNumber")"},
      {"lines", "false", R"(EJSONRTTI:  : Unsupported JSON type for collections: "jtBoolean")"},
      {"lines", "null", R"(EJSONRTTI:  : Unsupported JSON type for collections: "jtNull")"},

      {"address", R"({"street": "new", "zip": "75"})", R"({ "street" : "new", "zip" : 75 })"},
      {"address", "{}", R"({ "street" : "old", "zip" : 0 })"},
      {"address", R"("s")", R"({ "street" : "old", "zip" : 0 })"},
      {"address", "1", R"({ "street" : "old", "zip" : 0 })"},
      {"address", "1.5", R"({ "street" : "old", "zip" : 0 })"},
      {"address", "true", R"({ "street" : "old", "zip" : 0 })"},
      {"address", "null", R"({ "street" : "old", "zip" : 0 })"},
      {"address", R"([{"street": "new"}])", R"({ "street" : "old", "zip" : 0 })"},

      {"note", R"({"street": "new"})", "null"},
      {"note", R"("s")", "null"},
      {"note", "1", R"(EJSONRTTI:  : Unsupported JSON type for object property: "jtNumber")"},
      {"note", "1.5", R"(EJSONRTTI:  : Unsupported JSON type for object property: "jtNumber")"},
      {"note", "true", R"(EJSONRTTI:  : Unsupported JSON type for object property: "jtBoolean")"},
      {"note", "null", R"(EJSONRTTI:  : Unsupported JSON type for object property: "jtNull")"},
      {"note", "[]", R"(EJSONRTTI:  : Unsupported JSON type for object property: "jtArray")"},
  };
  for (const auto& c : cases) {
    TKinds kinds;
    const std::string body = "{\"" + std::string(c.member) + "\": " + c.json + "}";

    const std::string error = ErrorOf([&] { EXPECT_TRUE(kinds.LoadFromJSON(body)); });

    EXPECT_EQ(error.empty() ? MemberText(kinds, c.member) : error, c.expected) << body;
  }
}

TEST(TjsonPersistentLoad, TopLevelValueMustBeAnObject) {
  const struct {
    const char* body;
    const char* error;
  } cases[] = {
      {"{}", ""},
      {" {}  and more", ""},
      {"[]", R"(EJSONRTTI:  : JSON array cannot be streamed to object of class "TKinds")"},
      {R"("text")", R"(EJSONRTTI:  : Cannot destream object from JSON data of type "jtString")"},
      {"12", R"(EJSONRTTI:  : Cannot destream object from JSON data of type "jtNumber")"},
      {"true", R"(EJSONRTTI:  : Cannot destream object from JSON data of type "jtBoolean")"},
      {"null", R"(EJSONRTTI:  : Cannot destream object from JSON data of type "jtNull")"},
      {"", "EJSONParserError: Unexpected EOF encountered."},
      {"  ", "EJSONParserError: Unexpected EOF encountered."},
      {R"({"text": "a", "text": "b"})", R"(EJSONParserError: Duplicate object member: "text")"},
  };
  for (const auto& c : cases) {
    TKinds kinds;

    const std::string error = ErrorOf([&] { kinds.LoadFromJSON(c.body); });

    EXPECT_EQ(error, c.error) << c.body;
    if (error.empty()) {
      EXPECT_EQ(kinds.AsJSONString(), kDefaultKinds) << c.body;
    }
  }
}

TEST(TjsonPersistentLoad, MatchesNamesWithCaseAndSkipsUnknownMembers) {
  TKinds kinds;

  kinds.LoadFromJSON(R"({"TEXT": "x", "Number": 1, "unknown": [1, {"deep": null}], )"
                     R"("address": {"Street": "y", "zip": 9}, "id": "i"})");

  EXPECT_EQ(kinds.text, "old");
  EXPECT_EQ(kinds.number, 7);
  EXPECT_EQ(kinds.id, "i");
  EXPECT_EQ(kinds.address->street, "old");
  EXPECT_EQ(kinds.address->zip, 9);
  EXPECT_EQ(kinds.list.Lines(), Lines{"old"});
}

TEST(TjsonPersistentLoad, FailureKeepsWhatWasFilledBefore) {
  TKinds kinds;

  EXPECT_THROW(kinds.LoadFromJSON(R"({"text": "new", "number": null, "list": ["x"]})"),
               EJSONConvertError);

  EXPECT_EQ(kinds.text, "new");
  EXPECT_EQ(kinds.list.Lines(), Lines{"old"});
}

// The same messages written property by property, without the value tree.
class TKindsWrittenDirectly final : public TKinds {
 protected:
  std::string WriteJSONText() override { return WritePublishedJSON(); }
};

class TNothing : public TjsonPersistent {
 public:
  DRAVIK_CLASS_NAME(TNothing)
};

class TNothingWrittenDirectly final : public TNothing {
 protected:
  std::string WriteJSONText() override { return WritePublishedJSON(); }
};

template <class T>
void ExpectKindsWritten() {
  T kinds;
  EXPECT_EQ(kinds.AsJSONString(), kDefaultKinds);

  kinds.id = "a\"/\x01\xd0\x9a";
  kinds.list.Clear();
  kinds.lines.Clear();
  kinds.address.reset();
  kinds.note = std::make_unique<TAddress>();
  kinds.note->zip = -3;

  EXPECT_EQ(kinds.AsJSONString(),
            "{ \"id\" : \"a\\\"/\\u0001\xd0\x9a\", "
            R"("text" : "old", "number" : 7, "list" : [], "lines" : [], "address" : null, )"
            R"("note" : { "street" : "old", "zip" : -3 } })");

  kinds.list.Add("x");
  kinds.list.Add("");
  kinds.lines.Add().count = std::numeric_limits<std::int32_t>::min();
  kinds.lines.Add().name = "b";
  EXPECT_NE(kinds.AsJSONString().find(R"("list" : ["x", ""], "lines" : [{ "name" : "", )"
                                      R"("count" : -2147483648 }, { "name" : "b", "count" : 0 }])"),
            std::string::npos)
      << kinds.AsJSONString();
}

TEST(TjsonPersistentWrite, WritesBaseFirstEmptySlotAsNullEmptyListAsArray) {
  ExpectKindsWritten<TKinds>();
  EXPECT_EQ(TNothing().AsJSONString(), "{}");
}

TEST(TjsonPersistentWrite, WritingDirectlyGivesTheTextOfTheValueTree) {
  ExpectKindsWritten<TKindsWrittenDirectly>();
  EXPECT_EQ(TNothingWrittenDirectly().AsJSONString(), "{}");
}

// Replaces "text" by a number and drops every "zip", nested objects included.
class TKindsStreamHook final : public TKinds {
 protected:
  void StreamProperty(TjsonPersistent&, const TjsonProperty& property,
                      std::optional<TJsonValue>& value) override {
    if (property.Name() == "text") value = TJsonValue::Integer(1);
    if (property.Name() == "zip") value.reset();
  }
};

TEST(TjsonPersistentWrite, StreamPropertyReplacesOrDropsMembers) {
  TKindsStreamHook kinds;
  kinds.lines.Clear();

  EXPECT_EQ(kinds.AsJSONString(),
            R"({ "id" : "", "text" : 1, "number" : 7, "list" : ["old"], "lines" : [], )"
            R"("address" : { "street" : "old" }, "note" : null })");
}

// ---------------------------------------------------------------------------------------
// Hooks: a node whose own hooks record every call, with the receiver.

class TNode : public TjsonPersistent {
 public:
  DRAVIK_CLASS_NAME(TNode)
  void Publish(TjsonPropertyVisitor& visitor) override {
    TjsonPersistent::Publish(visitor);
    visitor.Text("name", name);
    visitor.Object("child", child);
    visitor.Collection("items", items);
  }
  std::string name;
  std::unique_ptr<TNode> child;
  TjsonCollection<TNode> items;

  // (receiver, hook and what it was called for)
  std::vector<std::pair<const TNode*, std::string>> calls;

 protected:
  void BeforeRestoreObject(TjsonPersistent& object, const TJsonValue& json) override {
    Record("BeforeRestore", object, json.AsJSONString());
  }
  void AfterRestoreObject(TjsonPersistent& object, const TJsonValue&) override {
    Record("AfterRestore", object, "");
  }
  void RestorePropertyValue(TjsonPersistent& object, const TjsonProperty& property,
                            const TJsonValue&, bool&) override {
    Record("Restore", object, std::string(property.Name()));
  }
  void BeforeStreamObject(TjsonPersistent& object, TJsonValue&) override {
    Record("BeforeStream", object, "");
  }
  void AfterStreamObject(TjsonPersistent& object, TJsonValue& json) override {
    Record("AfterStream", object, json.AsJSONString());
  }
  void StreamProperty(TjsonPersistent& object, const TjsonProperty& property,
                      std::optional<TJsonValue>&) override {
    Record("Stream", object, std::string(property.Name()));
  }

 private:
  void Record(const char* hook, TjsonPersistent& object, const std::string& detail) {
    const auto& node = dynamic_cast<TNode&>(object);
    calls.emplace_back(this, std::string(hook) + " " + node.name + " " + detail);
  }
};

TEST(TjsonPersistentHooks, FireForNestedObjectsAndItemsOnTheTopLevelObject) {
  TNode root;
  root.name = "root";
  root.child = std::make_unique<TNode>();

  root.LoadFromJSON(R"({"name": "root", "child": {"name": "c"}, "items": [{"name": "i"}]})");
  const auto loadCalls = root.calls;
  root.calls.clear();
  root.AsJSONString();

  const std::vector<std::string> expectedLoad = {
      R"(BeforeRestore root { "name" : "root", "child" : { "name" : "c" }, "items" : [{ "name" : "i" }] })",
      "Restore root name",
      "Restore root child",
      R"(BeforeRestore  { "name" : "c" })",
      "Restore  name",
      "AfterRestore c ",
      "Restore root items",
      R"(BeforeRestore  { "name" : "i" })",
      "Restore  name",
      "AfterRestore i ",
      "AfterRestore root ",
  };
  const std::vector<std::string> expectedWrite = {
      "BeforeStream root ",
      "Stream root name",
      "BeforeStream c ",
      "Stream c name",
      "Stream c child",
      "Stream c items",
      R"(AfterStream c { "name" : "c", "child" : null, "items" : [] })",
      "Stream root child",
      "BeforeStream i ",
      "Stream i name",
      "Stream i child",
      "Stream i items",
      R"(AfterStream i { "name" : "i", "child" : null, "items" : [] })",
      "Stream root items",
      R"(AfterStream root { "name" : "root", "child" : { "name" : "c", "child" : null, "items" : [] }, )"
      R"("items" : [{ "name" : "i", "child" : null, "items" : [] }] })",
  };
  for (const auto& [calls, expected] :
       {std::pair(loadCalls, expectedLoad), std::pair(root.calls, expectedWrite)}) {
    std::vector<std::string> texts;
    for (const auto& [receiver, text] : calls) {
      EXPECT_EQ(receiver, &root) << text;
      texts.push_back(text);
    }
    EXPECT_EQ(texts, expected);
  }
  EXPECT_TRUE(root.child->calls.empty());
  EXPECT_TRUE(root.items[0].calls.empty());
}

// ---------------------------------------------------------------------------------------
// The shape of the API requests: a strict request with required keys and unknown members
// refused at every depth (a key checker in BeforeRestoreObject), "@type" read as "_type", a
// nested object whose class a restore hook chooses from its first member, and a restore hook
// that tells null from a missing member.

DRAVIK_EXCEPTION(ESampleAbort, Exception);

// The required member names of a class, checked without case.
class ISampleRequiredKeys {
 public:
  virtual ~ISampleRequiredKeys() = default;
  virtual std::span<const std::string_view> RequiredKeys() const = 0;
};

class TSampleProvider : public TjsonPersistent, public ISampleRequiredKeys {
 public:
  DRAVIK_CLASS_NAME(TSampleProvider)
  void Publish(TjsonPropertyVisitor& visitor) override {
    TjsonPersistent::Publish(visitor);
    visitor.Text("providerName", providerName);
    visitor.Int32("providerType", providerType);
  }
  std::span<const std::string_view> RequiredKeys() const override { return kRequired; }
  std::string providerName;
  std::int32_t providerType = 0;

 private:
  static constexpr std::array<std::string_view, 1> kRequired = {"providerName"};
};

class TSampleSigned : public TjsonPersistent, public ISampleRequiredKeys {
 public:
  DRAVIK_CLASS_NAME(TSampleSigned)
  void Publish(TjsonPropertyVisitor& visitor) override {
    TjsonPersistent::Publish(visitor);
    visitor.Text("signType", signType);
    visitor.Text("data", data);
  }
  std::span<const std::string_view> RequiredKeys() const override { return kRequired; }
  std::string signType;
  std::string data;

 private:
  static constexpr std::array<std::string_view, 1> kRequired = {"data"};
};

class TSampleContainer : public TjsonPersistent {
 public:
  DRAVIK_CLASS_NAME(TSampleContainer)
  void Publish(TjsonPropertyVisitor& visitor) override {
    TjsonPersistent::Publish(visitor);
    visitor.Text("_type", type);
  }
  std::string type;
};

class TSampleFileContainer final : public TSampleContainer {
 public:
  DRAVIK_CLASS_NAME(TSampleFileContainer)
  void Publish(TjsonPropertyVisitor& visitor) override {
    TSampleContainer::Publish(visitor);
    visitor.Text("keyFile", keyFile);
  }
  std::string keyFile;
};

class TSampleNamedContainer final : public TSampleContainer {
 public:
  DRAVIK_CLASS_NAME(TSampleNamedContainer)
  void Publish(TjsonPropertyVisitor& visitor) override {
    TSampleContainer::Publish(visitor);
    visitor.Text("containerName", containerName);
  }
  std::string containerName;
};

class TSampleRequest final : public TjsonPersistent, public ISampleRequiredKeys {
 public:
  DRAVIK_CLASS_NAME(TSampleRequest)
  void Publish(TjsonPropertyVisitor& visitor) override {
    TjsonPersistent::Publish(visitor);
    visitor.Object("provider", provider);
    visitor.Collection("signed", signedData);
    visitor.Strings("tags", tags);
    visitor.Text("usage", usage);
    visitor.Object("container", container);
  }
  std::span<const std::string_view> RequiredKeys() const override { return kRequired; }

  // Answers False instead of raising.
  bool LoadFromJSON(std::string_view text) override {
    try {
      return TjsonPersistent::LoadFromJSON(StringReplaceAll(text, "@type", "_type"));
    } catch (const Exception& e) {
      failure = std::string(e.ClassName()) + ": " + e.Message();
      return false;
    }
  }

  std::unique_ptr<TSampleProvider> provider = std::make_unique<TSampleProvider>();
  TjsonCollection<TSampleSigned> signedData;
  TjsonStringList tags;
  std::string usage = "unset";
  std::unique_ptr<TSampleContainer> container;
  std::string failure;

 protected:
  void BeforeRestoreObject(TjsonPersistent& object, const TJsonValue& json) override {
    if (const auto* required = dynamic_cast<const ISampleRequiredKeys*>(&object)) {
      if (auto missing = TjsonKeyChecker::FirstMissingKey(json, required->RequiredKeys())) {
        throw ESampleAbort("missing " + *missing);
      }
    }
    if (auto unknown = TjsonKeyChecker(object).FirstUnknownMember(json)) {
      throw ESampleAbort("unknown " + *unknown);
    }
  }

  void RestorePropertyValue(TjsonPersistent& object, const TjsonProperty& property,
                            const TJsonValue& value, bool& handled) override {
    if (&object != this) return;
    if (property.Name() == "usage" && value.IsNull()) {
      usage = "DEFAULT_USAGE";
      handled = true;
    }
    if (property.Name() == "container") {
      container.reset();
      if (!value.IsObject() || value.Members().empty()) throw ESampleAbort("bad container");
      const std::string type = value.Members().front().value.AsText();
      if (SameText(type, "FileContainer")) container = std::make_unique<TSampleFileContainer>();
      if (SameText(type, "NamedContainer")) container = std::make_unique<TSampleNamedContainer>();
    }
  }

 private:
  static constexpr std::array<std::string_view, 1> kRequired = {"provider"};
};

TEST(TjsonPersistentRequestShape, StrictKeysHooksAndChosenClasses) {
  constexpr const char* kPlain = R"("tags" : [], "usage" : "unset", "container" : null)";
  const struct {
    const char* body;
    const char* failure;  // "" when the body is taken
    const char* written;  // the request's members from "tags" on, when taken
  } cases[] = {
      {R"({"provider": {"providerName": "p"}})", "", kPlain},
      {R"({"provider": {"providerName": "p"}, "usage": null, "tags": "a\r\nb"})", "",
       R"("tags" : ["a", "b"], "usage" : "DEFAULT_USAGE", "container" : null)"},
      {R"({"provider": {"providerName": "p"}, "usage": ""})", "",
       R"("tags" : [], "usage" : "", "container" : null)"},
      {R"({"provider": {"providerName": "p"}, )"
       R"("container": {"@type": "namedcontainer", "containerName": "n"}})",
       "",
       R"("tags" : [], "usage" : "unset", )"
       R"("container" : { "_type" : "namedcontainer", "containerName" : "n" })"},
      {R"({"provider": {"providerName": "p"}, )"
       R"("container": {"keyFile": "k", "_type": "FileContainer"}})",
       "", kPlain},
      {R"({"provider": {"providerName": "p"}, "container": {"_type": "Other"}})", "", kPlain},
      {R"({"provider": {"providerName": "p"}, )"
       R"("container": {"_type": "FileContainer", "containerName": "n"}})",
       "ESampleAbort: unknown containerName", ""},
      {R"({"provider": {"providerName": "p"}, "container": {}})", "ESampleAbort: bad container",
       ""},
      {R"({})", "ESampleAbort: missing provider", ""},
      {R"({"provider": {"providerName": "p"}, "extra": 1})", "ESampleAbort: unknown extra", ""},
      {R"({"provider": {"providerName": "p", "other": 1}})", "ESampleAbort: unknown other", ""},
      {R"({"provider": {"providertype": 1}})", "ESampleAbort: missing providerName", ""},
      {R"({"provider": {"providerName": "p"}, "signed": [{"data": "d"}, {"signType": "s"}]})",
       "ESampleAbort: missing data", ""},
      {R"({"provider": {"providerName": "p"}, "signed": [{"data": "d", "sign": "e"}]})",
       "ESampleAbort: unknown sign", ""},
  };
  for (const auto& c : cases) {
    TSampleRequest request;

    const bool taken = request.LoadFromJSON(c.body);

    EXPECT_EQ(request.failure, c.failure) << c.body;
    EXPECT_EQ(taken, request.failure.empty()) << c.body;
    if (!taken) continue;
    EXPECT_EQ(request.provider->providerName, "p") << c.body;
    const std::string json = request.AsJSONString();
    const std::size_t start = json.find("\"tags\"");
    ASSERT_NE(start, std::string::npos) << json;
    EXPECT_EQ(json.substr(start, json.size() - start - 2), c.written) << c.body;
  }
}

TEST(TjsonPersistentRequestShape, KeysInAnotherCaseCountAsPresentButAreNotRead) {
  TSampleRequest request;

  ASSERT_TRUE(request.LoadFromJSON(
      R"({"PROVIDER": {"providerName": "p"}, "Usage": null, "signed": [{"DATA": "d"}]})"))
      << request.failure;

  EXPECT_EQ(request.provider->providerName, "");
  EXPECT_EQ(request.usage, "unset");
  ASSERT_EQ(request.signedData.Count(), 1);
  EXPECT_EQ(request.signedData[0].data, "");
}

TEST(TjsonPersistentRequestShape, RestoreHookCreatesTheNestedObjectWhichIsThenFilled) {
  TSampleRequest request;
  request.container = std::make_unique<TSampleNamedContainer>();

  ASSERT_TRUE(
      request.LoadFromJSON(R"({"provider": {"providerName": "p", "providerType": 75}, )"
                           R"("signed": [{"data": "d1", "signType": "CMS"}, {"data": "d2"}], )"
                           R"("container": {"_type": "FileContainer", "keyFile": "/k"}})"))
      << request.failure;

  const auto* file = dynamic_cast<const TSampleFileContainer*>(request.container.get());
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->type, "FileContainer");
  EXPECT_EQ(file->keyFile, "/k");
  EXPECT_EQ(request.provider->providerType, 75);
  ASSERT_EQ(request.signedData.Count(), 2);
  EXPECT_EQ(request.signedData[0].signType, "CMS");
  EXPECT_EQ(request.signedData[1].data, "d2");
}

// ---------------------------------------------------------------------------------------
// Trace records

class TMemorySink final : public ITraceRecordSink {
 public:
  bool IsActive() const override { return true; }
  void WriteRecord(std::string_view firstLine, std::string_view details) override {
    records.push_back(std::string(firstLine) + std::string(details));
  }
  std::string CurrentLogFile() const override { return "memory.log"; }

  std::vector<std::string> records;
};

// Installs a logger on a memory sink as HostLoger for the test's duration.
class TjsonPersistentTrace : public ::testing::Test {
 protected:
  void SetUp() override { previous_ = HostLoger.exchange(&loger_); }
  void TearDown() override { HostLoger.store(previous_); }

  TMemorySink sink_;
  TManualClock clock_;
  THostLoger loger_{sink_, clock_};
  THostLoger* previous_ = nullptr;
};

TEST_F(TjsonPersistentTrace, FailedLoadEndsWithResultFalseAndWritingWithItsText) {
  TKinds kinds;

  EXPECT_THROW(kinds.LoadFromJSON("[]"), EJSONRTTI);
  kinds.LoadFromJSON("{}");
  const std::string json = kinds.AsJSONString();

  ASSERT_EQ(sink_.records.size(), 6u);
  const auto expect = [&](std::size_t index, std::string_view dataId, std::string_view details) {
    const std::string& record = sink_.records[index];
    EXPECT_NE(record.find("[TraceID: TKinds(0x"), std::string::npos) << record;
    EXPECT_NE(record.find("[DataID: " + std::string(dataId) + "]"), std::string::npos) << record;
    EXPECT_EQ(record.substr(record.find("\r\n") + 2), details) << record;
  };
  expect(0, "StartExecFunction LoadFromJSON", "");
  expect(1, "EndExecFunction LoadFromJSON", "Result: FALSE\r\n");
  expect(3, "EndExecFunction LoadFromJSON", "Result: TRUE\r\n");
  expect(4, "StartExecFunction AsJSONString", "");
  expect(5, "EndExecFunction AsJSONString", "Result: " + json + "\r\n");
}

}  // namespace
}  // namespace dravik
