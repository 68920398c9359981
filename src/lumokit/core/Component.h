// TComponent: the base of every named, owned object of the system (visual
// controls of the desktop client, connections, data sets, data sources ...).
// An owner holds its components and destroys them in reverse order of
// insertion; components that refer to each other ask for a free
// notification and are told when the other goes away. The loading state is
// what a stored-form reader sets while it creates components; Loaded() runs
// once reading has ended.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace lumo {

enum TComponentStateFlag : std::uint32_t {
  csLoading = 1u << 0,
  csReading = 1u << 1,
  csWriting = 1u << 2,
  csDestroying = 1u << 3,
  csDesigning = 1u << 4,
  csUpdating = 1u << 5,
  csFreeNotification = 1u << 6,
};
using TComponentState = std::uint32_t;

enum class TOperation { opInsert, opRemove };

class TComponent {
 public:
  TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;
  virtual ~TComponent();

  // Creates a component of class T owned by `owner` and returns it; the
  // owner destroys it (or hands it back with RemoveComponent).
  template <class T, class... Args>
  static T& CreateOwned(TComponent& owner, Args&&... args) {
    auto p = std::make_unique<T>(std::forward<Args>(args)...);
    T& ref = *p;
    owner.InsertComponent(std::move(p));
    return ref;
  }

  // Takes ownership of `component` (which must not have an owner).
  TComponent& InsertComponent(std::unique_ptr<TComponent> component);
  // Gives up ownership of `component`; the caller now owns it.
  std::unique_ptr<TComponent> RemoveComponent(TComponent& component);
  // Destroys an owned component now.
  void DestroyComponent(TComponent& component);
  // Destroys all owned components, last first.
  void DestroyComponents();

  TComponent* Owner() const noexcept { return FOwner; }
  int ComponentCount() const noexcept { return static_cast<int>(FComponents.size()); }
  TComponent& Components(int index) const;
  int ComponentIndex() const;
  // Case-insensitive lookup among the owned components; nullptr if absent.
  TComponent* FindComponent(const std::string& name) const;

  const std::string& Name() const noexcept { return FName; }
  // Sets the name: empty or a valid identifier, unique among the owner's
  // components (compared without regard to case).
  virtual void SetName(const std::string& value);
  virtual std::string ClassName() const { return "TComponent"; }

  TComponentState ComponentState() const noexcept { return FComponentState; }
  bool HasState(TComponentStateFlag flag) const noexcept { return (FComponentState & flag) != 0; }

  // Both components are told (Notification with opRemove) when the other
  // is destroyed.
  void FreeNotification(TComponent& component);
  void RemoveFreeNotification(TComponent& component);

  // Loading protocol used by stored-form readers: BeginLoading sets the
  // loading and reading states, EndReading clears the reading state, and
  // Loaded() (which clears the loading state) runs after every component of
  // the form has been read.
  void BeginLoading();
  void EndReading();
  virtual void Loaded();

  // Tag for applications.
  std::intptr_t Tag() const noexcept { return FTag; }
  void SetTag(std::intptr_t v) noexcept { FTag = v; }

 protected:
  // Called when `component` is inserted into or removed from this
  // component's owner tree, or when a free-notification partner goes away.
  // The base forwards opRemove to the owned components.
  virtual void Notification(TComponent& component, TOperation operation);
  // Marks the component as being destroyed; derived destructors call it
  // first so that their members can see the state.
  void Destroying();
  void SetComponentState(TComponentState state) noexcept { FComponentState = state; }
  void IncludeState(TComponentStateFlag flag) noexcept { FComponentState |= flag; }
  void ExcludeState(TComponentStateFlag flag) noexcept { FComponentState &= ~flag; }
  // Points a reference member at `value` and watches that component for
  // its destruction; false when the member already pointed there.
  template <class T>
  bool SetReference(T*& field, T* value) {
    if (field == value) return false;
    field = value;
    if (value) FreeNotification(*value);
    return true;
  }

 private:
  void NotifyOwnerTree(TComponent& component, TOperation operation);
  void ForgetPartner(TComponent& component);
  void ValidateRename(const std::string& newName) const;

  TComponent* FOwner = nullptr;  // not owning
  std::string FName;
  std::vector<std::unique_ptr<TComponent>> FComponents;
  std::uint64_t FComponentsEdits = 0;  // bumped on every change of FComponents
  std::vector<TComponent*> FFreeNotifies;  // not owning
  TComponentState FComponentState = 0;
  std::intptr_t FTag = 0;
};

// True for an identifier: a letter or underscore, then letters, digits or
// underscores (ASCII).
bool IsValidIdent(const std::string& ident);

}  // namespace lumo
