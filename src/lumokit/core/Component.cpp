#include <lumokit/core/Component.h>

#include <algorithm>

#include <lumokit/core/Ascii.h>
#include <lumokit/core/Format.h>
#include <lumokit/core/SysUtils.h>

namespace lumo {

bool IsValidIdent(const std::string& ident) {
  if (ident.empty()) return false;
  auto alpha = [](unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  if (!alpha(static_cast<unsigned char>(ident[0]))) return false;
  return std::all_of(ident.begin() + 1, ident.end(), [&](char ch) {
    unsigned char c = static_cast<unsigned char>(ch);
    return alpha(c) || (c >= '0' && c <= '9');
  });
}

TComponent::TComponent() = default;

TComponent::~TComponent() {
  Destroying();
  // Tell every partner that this component goes away; a partner may drop
  // the link from its own Notification, so work on a copy.
  while (!FFreeNotifies.empty()) {
    TComponent* partner = FFreeNotifies.back();
    FFreeNotifies.pop_back();
    partner->ForgetPartner(*this);
    partner->Notification(*this, TOperation::opRemove);
  }
  DestroyComponents();
  if (FOwner) {
    TComponent* owner = FOwner;
    FOwner = nullptr;
    // Still listed when destroyed other than through the owner; drop the
    // entry without destroying twice.
    auto it = std::find_if(owner->FComponents.begin(), owner->FComponents.end(),
                           [this](const auto& p) { return p.get() == this; });
    if (it != owner->FComponents.end()) {
      it->release();
      owner->FComponents.erase(it);
      ++owner->FComponentsEdits;
    }
    owner->NotifyOwnerTree(*this, TOperation::opRemove);
  }
}

void TComponent::Destroying() { IncludeState(csDestroying); }

TComponent& TComponent::InsertComponent(std::unique_ptr<TComponent> component) {
  LUMO_ASSERT(component != nullptr);
  LUMO_ASSERT(component->FOwner == nullptr);
  LUMO_ASSERT(component.get() != this);
  if (!component->FName.empty()) ValidateRename(component->FName);
  TComponent& ref = *component;
  ref.FOwner = this;
  FComponents.push_back(std::move(component));
  ++FComponentsEdits;
  NotifyOwnerTree(ref, TOperation::opInsert);
  return ref;
}

std::unique_ptr<TComponent> TComponent::RemoveComponent(TComponent& component) {
  auto it = std::find_if(FComponents.begin(), FComponents.end(),
                         [&](const auto& p) { return p.get() == &component; });
  LUMO_ASSERT(it != FComponents.end());
  std::unique_ptr<TComponent> result = std::move(*it);
  FComponents.erase(it);
  ++FComponentsEdits;
  result->FOwner = nullptr;
  NotifyOwnerTree(*result, TOperation::opRemove);
  return result;
}

void TComponent::DestroyComponent(TComponent& component) {
  auto it = std::find_if(FComponents.begin(), FComponents.end(),
                         [&](const auto& p) { return p.get() == &component; });
  LUMO_ASSERT(it != FComponents.end());
  std::unique_ptr<TComponent> victim = std::move(*it);
  FComponents.erase(it);
  ++FComponentsEdits;
  // The victim's destructor still sees its owner and tells the owner tree.
  victim.reset();
}

void TComponent::DestroyComponents() {
  while (!FComponents.empty()) {
    std::unique_ptr<TComponent> victim = std::move(FComponents.back());
    FComponents.pop_back();
    ++FComponentsEdits;
    victim.reset();
  }
}

TComponent& TComponent::Components(int index) const {
  if (index < 0 || index >= ComponentCount())
    throw EArgumentError(Format("List index out of bounds (%d)", {index}));
  return *FComponents[static_cast<std::size_t>(index)];
}

int TComponent::ComponentIndex() const {
  if (!FOwner) return -1;
  const auto& list = FOwner->FComponents;
  for (std::size_t i = 0; i < list.size(); ++i)
    if (list[i].get() == this) return static_cast<int>(i);
  return -1;
}

TComponent* TComponent::FindComponent(const std::string& name) const {
  if (name.empty()) return nullptr;
  for (const auto& c : FComponents)
    if (SameTextAscii(c->FName, name)) return c.get();
  return nullptr;
}

void TComponent::ValidateRename(const std::string& newName) const {
  if (!FindComponent(newName)) return;
  throw EArgumentError(Format("A component named %s already exists", {newName}));
}

void TComponent::SetName(const std::string& value) {
  if (value == FName) return;
  if (!value.empty() && !IsValidIdent(value))
    throw EArgumentError(Format("'%s' is not a valid component name", {value}));
  if (FOwner && !value.empty() && !SameTextAscii(value, FName)) FOwner->ValidateRename(value);
  FName = value;
}

void TComponent::FreeNotification(TComponent& component) {
  if (&component == this) return;
  if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), &component) == FFreeNotifies.end())
    FFreeNotifies.push_back(&component);
  if (std::find(component.FFreeNotifies.begin(), component.FFreeNotifies.end(), this) ==
      component.FFreeNotifies.end())
    component.FFreeNotifies.push_back(this);
  IncludeState(csFreeNotification);
}

void TComponent::RemoveFreeNotification(TComponent& component) {
  ForgetPartner(component);
  component.ForgetPartner(*this);
}

void TComponent::ForgetPartner(TComponent& component) {
  FFreeNotifies.erase(std::remove(FFreeNotifies.begin(), FFreeNotifies.end(), &component),
                      FFreeNotifies.end());
  if (FFreeNotifies.empty()) ExcludeState(csFreeNotification);
}

void TComponent::Notification(TComponent& component, TOperation operation) {
  if (operation == TOperation::opRemove) ForgetPartner(component);
  if (operation == TOperation::opRemove) {
    // Forward to the owned components (copy: a handler may destroy one).
    // Only once the list has changed is each one looked up before it is
    // told: searching every time made tearing down n components cost n^3.
    std::vector<TComponent*> owned;
    owned.reserve(FComponents.size());
    for (const auto& c : FComponents) owned.push_back(c.get());
    const std::uint64_t edits = FComponentsEdits;
    for (TComponent* c : owned) {
      if (c == &component) continue;
      const bool alive = FComponentsEdits == edits ||
                         std::any_of(FComponents.begin(), FComponents.end(),
                                     [c](const auto& p) { return p.get() == c; });
      if (alive) c->Notification(component, operation);
    }
  }
}

void TComponent::NotifyOwnerTree(TComponent& component, TOperation operation) {
  if (operation == TOperation::opInsert) {
    Notification(component, operation);
    std::vector<TComponent*> owned;
    for (const auto& c : FComponents) owned.push_back(c.get());
    for (TComponent* c : owned)
      if (c != &component) c->Notification(component, operation);
  } else {
    Notification(component, operation);
  }
}

void TComponent::BeginLoading() { IncludeState(static_cast<TComponentStateFlag>(csLoading | csReading)); }

void TComponent::EndReading() { ExcludeState(csReading); }

void TComponent::Loaded() { ExcludeState(csLoading); }

}  // namespace lumo
