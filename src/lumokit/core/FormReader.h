// Stored-form reader: parses the text form description (`object Name: TClass`
// ... `end`) into a tree, then creates the components it declares through a
// class registry, sets their stored properties in the order in which they
// stand, resolves references between components once reading has ended and
// runs every component's Loaded(). It knows nothing of any window framework:
// a visual layer plugs in through the class registry and the parent hook.
//
// Decisions:
// - The whole text is parsed before anything is created, so a syntax error
//   creates no component at all.
// - Text is UTF-8 (a leading byte-order mark is skipped); `#NNNN` character
//   codes are Unicode code points written out as UTF-8, and a UTF-16
//   surrogate pair written as two codes (#55357#56832) is joined into one
//   code point. A lone surrogate, a code above U+10FFFF or invalid UTF-8
//   inside a string is an error.
// - Nesting (objects, lists, collections) is limited to 64 levels.
// - Loaded() runs for the root first and then for the other components in
//   creation order, as the components were read. An exception from a
//   setter, a reference fixup or Loaded() ends reading: the components the
//   reader created are destroyed (last first) and the exception leaves the
//   reader. Exceptions of the library keep their class; the message of one
//   raised by a setter is prefixed with "Error reading <Component>.<Path>: "
//   and followed by the line. Errors of Loaded() pass unchanged.
// - `inherited` and `inline` objects (form inheritance, frames) are rejected.
// - Registration is meant for start-up; reading only reads the registry, so
//   several threads may read descriptions at the same time once registration
//   is over.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <lumokit/core/Ascii.h>
#include <lumokit/core/Component.h>
#include <lumokit/core/Format.h>
#include <lumokit/core/SysUtils.h>

namespace lumo {

// A description could not be read. Text() is the bare message, Line() the
// 1-based line it concerns (0 when none); Message() is both together.
class EReadError : public Exception {
 public:
  EReadError(std::string text, int line);
  const std::string& Text() const noexcept { return FText; }
  int Line() const noexcept { return FLine; }
  // Replaces text and line (the reader adds the component, property and
  // line to an error raised by a setter).
  void Relocate(std::string text, int line);

 private:
  std::string FText;
  int FLine;
};

// The description names a class that is not registered.
class EClassNotFound : public EReadError {
 public:
  using EReadError::EReadError;
};

// ---------------------------------------------------------------------------
// Parsed form description

enum TFormValueType { vaInteger, vaFloat, vaString, vaIdent, vaSet, vaList, vaBinary, vaCollection };

struct TFormProperty;

// One `item ... end` of a collection value.
struct TFormCollectionItem {
  int Line = 0;
  std::vector<TFormProperty> Properties;
};

struct TFormValue {
  TFormValueType Type = vaInteger;
  int Line = 0;
  std::int64_t Int = 0;                        // vaInteger
  double Float = 0;                            // vaFloat
  std::string Str;                             // vaString (UTF-8), vaIdent (may be dotted), vaBinary (bytes)
  std::vector<std::string> Elements;           // vaSet
  std::vector<TFormValue> Items;               // vaList
  std::vector<TFormCollectionItem> Collection; // vaCollection
};

struct TFormProperty {
  std::string Name;  // dotted path as written: "Font.Name"
  TFormValue Value;
  int Line = 0;
};

struct TFormObject {
  std::string Name;       // may be empty (`object TClass`)
  std::string ClassName;
  int Line = 0;
  std::vector<TFormProperty> Properties;
  std::vector<TFormObject> Children;
};

inline constexpr int MaxFormNesting = 64;

// Parses a whole description. Raises EReadError naming the line for any
// syntax error; never reads outside `text`.
TFormObject ParseFormText(std::string_view text);

// A short human-readable name of a value's type ("string", "identifier" ...).
const char* FormValueTypeName(TFormValueType type);

// ---------------------------------------------------------------------------
// Class registry

using TComponentFactory = std::function<std::unique_ptr<TComponent>()>;

class TClassRegistry {
 public:
  // How a property takes its value: as it stands, as a reference to another
  // component of the form (resolved after reading), or as a method of the
  // root (an event handler).
  enum TPropertyKind { pkValue, pkReference, pkEvent };

  struct TPropertyInfo {
    TPropertyKind Kind = pkValue;
    std::function<void(TComponent&, const TFormValue&)> SetValue;
    std::function<void(TComponent&, TComponent*)> SetReference;
    // Receives the bound method (empty std::any for `nil`) and the method's
    // name for messages.
    std::function<void(TComponent&, const std::any&, const std::string&)> SetEvent;
  };

  // Binds a method of a root component: returns a std::function<Sig> (in a
  // std::any) that calls the method on that root.
  using TMethodBinder = std::function<std::any(TComponent& root)>;

  // Registers "TComponent" (with the property Tag).
  TClassRegistry();

  // Registers a class under `name` whose base class `parent` is already
  // registered; it inherits the base's properties and methods. An empty
  // factory makes a class that descriptions may use only for their root.
  // A name may be registered once.
  void RegisterClass(const std::string& name, const std::string& parent, TComponentFactory factory);
  template <class T>
  void RegisterClass(const std::string& name, const std::string& parent) {
    RegisterClass(name, parent, [] { return std::unique_ptr<TComponent>(std::make_unique<T>()); });
  }
  bool HasClass(const std::string& name) const;
  // Creates a component of a registered class; EClassNotFound if unknown or
  // not creatable.
  std::unique_ptr<TComponent> CreateComponent(const std::string& name, int line = 0) const;

  void RegisterProperty(const std::string& className, const std::string& path, TPropertyInfo info);
  // Property of `className` or of one of its bases; nullptr if none.
  const TPropertyInfo* FindProperty(const std::string& className, const std::string& path) const;

  void RegisterMethodBinder(const std::string& className, const std::string& name, TMethodBinder binder);
  const TMethodBinder* FindMethod(const std::string& className, const std::string& name) const;

  // --- typed helpers; T is the registered class's C++ type ----------------

  // Takes the parsed value as it stands (collections, lists of mixed items).
  template <class T>
  void RegisterValue(const std::string& cls, const std::string& path,
                     std::function<void(T&, const TFormValue&)> setter) {
    AddValue<T>(cls, path, [setter](T& c, const TFormValue& v) { setter(c, v); });
  }
  // 32-bit signed integer.
  template <class T>
  void RegisterInteger(const std::string& cls, const std::string& path, std::function<void(T&, int)> setter) {
    AddValue<T>(cls, path, [setter](T& c, const TFormValue& v) { setter(c, ValueToInt(v)); });
  }
  template <class T>
  void RegisterInt64(const std::string& cls, const std::string& path,
                     std::function<void(T&, std::int64_t)> setter) {
    AddValue<T>(cls, path, [setter](T& c, const TFormValue& v) { setter(c, ValueToInt64(v)); });
  }
  // A float or an integer.
  template <class T>
  void RegisterFloat(const std::string& cls, const std::string& path, std::function<void(T&, double)> setter) {
    AddValue<T>(cls, path, [setter](T& c, const TFormValue& v) { setter(c, ValueToFloat(v)); });
  }
  // True / False (any case).
  template <class T>
  void RegisterBoolean(const std::string& cls, const std::string& path, std::function<void(T&, bool)> setter) {
    AddValue<T>(cls, path, [setter](T& c, const TFormValue& v) { setter(c, ValueToBool(v)); });
  }
  template <class T>
  void RegisterString(const std::string& cls, const std::string& path,
                      std::function<void(T&, const std::string&)> setter) {
    AddValue<T>(cls, path, [setter](T& c, const TFormValue& v) { setter(c, ValueToString(v)); });
  }
  // A list of strings: `( 'line1' 'line2' )`.
  template <class T>
  void RegisterStrings(const std::string& cls, const std::string& path,
                       std::function<void(T&, const std::vector<std::string>&)> setter) {
    AddValue<T>(cls, path, [setter](T& c, const TFormValue& v) { setter(c, ValueToStrings(v)); });
  }
  // Binary data `{ hex }`.
  template <class T>
  void RegisterBinary(const std::string& cls, const std::string& path,
                      std::function<void(T&, const std::string&)> setter) {
    AddValue<T>(cls, path, [setter](T& c, const TFormValue& v) {
      if (v.Type != vaBinary) ThrowInvalidValue(v);
      setter(c, v.Str);
    });
  }
  // An enumeration written as one of `names` (any case).
  template <class T, class E>
  void RegisterEnum(const std::string& cls, const std::string& path, std::vector<std::pair<std::string, E>> names,
                    std::function<void(T&, E)> setter) {
    AddValue<T>(cls, path, [setter, names](T& c, const TFormValue& v) {
      if (v.Type == vaIdent)
        for (const auto& [name, value] : names)
          if (SameTextAscii(name, v.Str)) return setter(c, value);
      ThrowInvalidValue(v);
    });
  }
  // A set `[a, b]` of the named elements; element i is bit i of the mask.
  template <class T>
  void RegisterSet(const std::string& cls, const std::string& path, std::vector<std::string> elements,
                   std::function<void(T&, std::uint64_t)> setter) {
    AddValue<T>(cls, path, [setter, elements](T& c, const TFormValue& v) {
      setter(c, ValueToSet(v, elements));
    });
  }
  // A reference to another component of the form (or `nil`); resolved when
  // reading has ended. The target must be an R.
  template <class T, class R = TComponent>
  void RegisterReference(const std::string& cls, const std::string& path, std::type_identity_t<std::function<void(T&, R*)>> setter) {
    TPropertyInfo info;
    info.Kind = pkReference;
    info.SetReference = [setter](TComponent& c, TComponent* target) {
      R* typed = nullptr;
      if (target) {
        typed = dynamic_cast<R*>(target);
        if (!typed) throw EReadError(Format("Invalid property value %s", {target->Name()}), 0);
      }
      setter(Cast<T>(c), typed);
    };
    RegisterProperty(cls, path, std::move(info));
  }
  // An event: the value names a method of the root registered with
  // RegisterMethod whose signature is Sig (or `nil`).
  template <class T, class Sig>
  void RegisterEvent(const std::string& cls, const std::string& path,
                     std::function<void(T&, std::function<Sig>)> setter) {
    TPropertyInfo info;
    info.Kind = pkEvent;
    info.SetEvent = [setter](TComponent& c, const std::any& method, const std::string& methodName) {
      if (!method.has_value()) return setter(Cast<T>(c), std::function<Sig>());
      const auto* typed = std::any_cast<std::function<Sig>>(&method);
      if (!typed) throw EReadError(Format("Method %s has an incompatible signature", {methodName}), 0);
      setter(Cast<T>(c), *typed);
    };
    RegisterProperty(cls, path, std::move(info));
  }
  // A method of a root class that events may name.
  template <class Root, class... Args>
  void RegisterMethod(const std::string& cls, const std::string& name, void (Root::*method)(Args...)) {
    RegisterMethodBinder(cls, name, [method](TComponent& root) -> std::any {
      Root* self = dynamic_cast<Root*>(&root);
      if (!self) throw EReadError("Root component does not have the method's class", 0);
      return std::function<void(Args...)>(
          [self, method](Args... args) { (self->*method)(std::forward<Args>(args)...); });
    });
  }

  // Value conversions used by the helpers; each raises "Invalid property
  // value" (EReadError) for a value of the wrong kind or range.
  static int ValueToInt(const TFormValue& v);
  static std::int64_t ValueToInt64(const TFormValue& v);
  static double ValueToFloat(const TFormValue& v);
  static bool ValueToBool(const TFormValue& v);
  static std::string ValueToString(const TFormValue& v);
  static std::vector<std::string> ValueToStrings(const TFormValue& v);
  static std::uint64_t ValueToSet(const TFormValue& v, const std::vector<std::string>& elements);
  [[noreturn]] static void ThrowInvalidValue(const TFormValue& v);

 private:
  struct TClassInfo {
    std::string Name;
    std::string Parent;  // upper-case key of the base, empty for TComponent
    TComponentFactory Factory;
    std::map<std::string, TPropertyInfo> Properties;  // upper-case path
    std::map<std::string, TMethodBinder> Methods;     // upper-case name
  };

  template <class T>
  static T& Cast(TComponent& c) {
    T* typed = dynamic_cast<T*>(&c);
    if (!typed) throw EReadError(Format("Component %s is not of the property's class", {c.Name()}), 0);
    return *typed;
  }
  template <class T>
  void AddValue(const std::string& cls, const std::string& path, std::function<void(T&, const TFormValue&)> fn) {
    TPropertyInfo info;
    info.Kind = pkValue;
    info.SetValue = [fn](TComponent& c, const TFormValue& v) { fn(Cast<T>(c), v); };
    RegisterProperty(cls, path, std::move(info));
  }
  const TClassInfo* Find(const std::string& name) const;
  TClassInfo& FindForUpdate(const std::string& name);

  std::map<std::string, TClassInfo> FClasses;  // upper-case name
};

// The process-wide registry that start-up code fills and forms read from.
TClassRegistry& FormClasses();

// ---------------------------------------------------------------------------
// Reader

class TFormReader {
 public:
  // Called for every object nested in another, before its properties are
  // read: `parent` is the enclosing object's component. A visual layer makes
  // the child a child control of the parent when both are controls.
  using TParentHook = std::function<void(TComponent& parent, TComponent& child)>;

  explicit TFormReader(const TClassRegistry& registry = FormClasses()) : FRegistry(registry) {}

  void SetParentHook(TParentHook hook) { FParentHook = std::move(hook); }

  // Reads `text` into `root`, which the caller created and whose ClassName()
  // must be the class the description declares. The root gets the stored
  // name; the components created are owned by the root. On failure the
  // components created are destroyed and the root is left for the caller to
  // destroy (it may still carry properties set before the failure).
  void ReadRoot(TComponent& root, std::string_view text);
  // Creates the root from the registry and reads `text` into it.
  std::unique_ptr<TComponent> ReadComponent(std::string_view text);

 private:
  void Read(TComponent& root, const TFormObject& object);

  const TClassRegistry& FRegistry;
  TParentHook FParentHook;
};

}  // namespace lumo
