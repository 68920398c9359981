// Feeds arbitrary bytes to the stored-form parser (it must end in a tree or
// an EReadError, and every string it yields is well-formed UTF-8) and then to
// the reader with a small registry of test classes that takes properties of
// every kind: a failed reading must destroy every component it created.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <lumokit/core/CodePages.h>
#include <lumokit/core/FormReader.h>

namespace {

using namespace lumo;

void CheckValue(const TFormValue& v);

void CheckProperties(const std::vector<TFormProperty>& properties) {
  for (const TFormProperty& p : properties) CheckValue(p.Value);
}

void CheckValue(const TFormValue& v) {
  if (v.Type == vaString && !IsValidUtf8(v.Str)) __builtin_trap();
  for (const TFormValue& item : v.Items) CheckValue(item);
  for (const TFormCollectionItem& item : v.Collection) CheckProperties(item.Properties);
}

void CheckObject(const TFormObject& o, int depth) {
  if (depth > MaxFormNesting || o.ClassName.empty()) __builtin_trap();
  CheckProperties(o.Properties);
  for (const TFormObject& child : o.Children) CheckObject(child, depth + 1);
}

class TFuzzItem : public TComponent {
 public:
  std::string ClassName() const override { return "TFuzzItem"; }
  void Handler(TComponent&) {}
  std::vector<std::string> Lines;
  std::string Text, Bytes;
  std::uint64_t Mask = 0;
  double Number = 0;
  int Int = 0;
  bool Flag = false;
  TComponent* Ref = nullptr;
  std::function<void(TComponent&)> OnEvent;
};

class TFuzzRoot : public TFuzzItem {
 public:
  std::string ClassName() const override { return "TFuzzRoot"; }
};

enum TFuzzKind { fkOne, fkTwo };

const TClassRegistry& Registry() {
  static const TClassRegistry registry = [] {
    TClassRegistry r;
    using I = TFuzzItem;
    r.RegisterClass<I>("TFuzzItem", "TComponent");
    r.RegisterInteger<I>("TFuzzItem", "Int", [](I& c, int v) { c.Int = v; });
    r.RegisterFloat<I>("TFuzzItem", "Number", [](I& c, double v) { c.Number = v; });
    r.RegisterBoolean<I>("TFuzzItem", "Flag", [](I& c, bool v) { c.Flag = v; });
    r.RegisterString<I>("TFuzzItem", "Font.Name", [](I& c, const std::string& v) { c.Text = v; });
    r.RegisterStrings<I>("TFuzzItem", "Lines.Strings",
                         [](I& c, const std::vector<std::string>& v) { c.Lines = v; });
    r.RegisterBinary<I>("TFuzzItem", "Data", [](I& c, const std::string& v) { c.Bytes = v; });
    r.RegisterEnum<I, TFuzzKind>("TFuzzItem", "Kind", {{"fkOne", fkOne}, {"fkTwo", fkTwo}},
                                 [](I& c, TFuzzKind v) { c.Int = v; });
    r.RegisterSet<I>("TFuzzItem", "Style", {"a", "b", "c"}, [](I& c, std::uint64_t v) { c.Mask = v; });
    r.RegisterReference<I>("TFuzzItem", "Ref", [](I& c, TComponent* v) { c.Ref = v; });
    r.RegisterEvent<I, void(TComponent&)>("TFuzzItem", "OnEvent",
                                          [](I& c, std::function<void(TComponent&)> h) { c.OnEvent = std::move(h); });
    r.RegisterValue<I>("TFuzzItem", "Items", [](I& c, const TFormValue& v) {
      c.Int = static_cast<int>(v.Collection.size() + v.Items.size());
    });
    r.RegisterClass<TFuzzRoot>("TFuzzRoot", "TFuzzItem");
    r.RegisterMethod("TFuzzRoot", "Handler", &TFuzzItem::Handler);
    return r;
  }();
  return registry;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  try {
    CheckObject(ParseFormText(input), 1);
  } catch (const EReadError&) {
  }

  TFuzzRoot root;
  TFormReader reader(Registry());
  try {
    reader.ReadRoot(root, input);
  } catch (const EReadError&) {
    if (root.ComponentCount() != 0) __builtin_trap();
  } catch (const EArgumentError&) {
    // Names: invalid or already taken.
    if (root.ComponentCount() != 0) __builtin_trap();
  }
  return 0;
}
