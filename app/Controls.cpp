#include "Controls.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <limits>

#include <lumokit/core/Format.h>
#include <lumokit/core/SysUtils.h>

namespace lumo {

TControl::TControl(std::unique_ptr<QWidget> widget) : FWidget(std::move(widget)) {
  LUMO_ASSERT(FWidget != nullptr);
}

TControl::~TControl() {
  Destroying();
  // Detach the child controls first so that deleting this widget does not
  // delete theirs.
  while (!FControls.empty()) FControls.back()->SetParent(nullptr);
  SetParent(nullptr);
  FWidget.reset();
}

TControl& TControl::Controls(int index) const {
  if (index < 0 || index >= ControlCount())
    throw EArgumentError(Format("List index out of bounds (%d)", {index}));
  return *FControls[static_cast<std::size_t>(index)];
}

void TControl::SetParent(TControl* parent) {
  if (parent == FParent) return;
  if (parent) {
    if (parent == this) throw EArgumentError("A control cannot be its own parent");
    for (TControl* p = parent->FParent; p; p = p->FParent)
      if (p == this) throw EArgumentError("A control cannot be the parent of its own parent");
    if (!parent->AcceptsControls())
      throw EArgumentError(Format("Control %s cannot contain controls", {parent->Name()}));
  }
  if (FParent) {
    auto& list = FParent->FControls;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
  FParent = parent;
  // Keep the geometry across the change of parent.
  QRect geometry = FWidget->geometry();
  FWidget->setParent(parent ? parent->Widget() : nullptr);
  FWidget->setGeometry(geometry);
  if (parent) parent->FControls.push_back(this);
  UpdateVisibility();
}

void TControl::UpdateVisibility() {
  // A control without a parent would become a window of its own: it stays
  // hidden until it has one.
  if (FParent) FWidget->setVisible(FVisible);
}

int TControl::Left() const { return FWidget->x(); }
int TControl::Top() const { return FWidget->y(); }
int TControl::Width() const { return FWidget->width(); }
int TControl::Height() const { return FWidget->height(); }

void TControl::SetLeft(int value) { SetBounds(value, Top(), Width(), Height()); }
void TControl::SetTop(int value) { SetBounds(Left(), value, Width(), Height()); }
void TControl::SetWidth(int value) { SetBounds(Left(), Top(), value, Height()); }
void TControl::SetHeight(int value) { SetBounds(Left(), Top(), Width(), value); }

namespace {

// A widget's rectangle keeps its last pixel (position + size - 1) in an int:
// the size is held to Qt's widget limit and the position moved so that the
// far edge fits.
int FitPosition(int position, int size) {
  constexpr std::int64_t lowest = std::numeric_limits<int>::min();
  constexpr std::int64_t highest = std::numeric_limits<int>::max();
  const std::int64_t from = std::max(lowest, lowest + 1 - size);  // last pixel >= lowest
  const std::int64_t to = std::min(highest, highest + 1 - size);   // last pixel <= highest
  return static_cast<int>(std::clamp<std::int64_t>(position, from, to));
}

}  // namespace

void TControl::SetBounds(int left, int top, int width, int height) {
  width = std::clamp(width, 0, QWIDGETSIZE_MAX);
  height = std::clamp(height, 0, QWIDGETSIZE_MAX);
  FWidget->setGeometry(FitPosition(left, width), FitPosition(top, height), width, height);
}

void TControl::SetVisible(bool value) {
  FVisible = value;
  UpdateVisibility();
}

bool TControl::Enabled() const { return FWidget->isEnabled(); }
void TControl::SetEnabled(bool value) { FWidget->setEnabled(value); }

QFont TControl::Font() const { return FWidget->font(); }

void TControl::SetFontName(const std::string& value) {
  QFont f = FWidget->font();
  f.setFamily(QString::fromStdString(value));
  FWidget->setFont(f);
}

void TControl::SetFontHeight(int value) {
  if (value == 0) return;  // the default height
  // A negative height is the pixel size; the lowest int has no positive
  // counterpart.
  if (value == std::numeric_limits<int>::min()) throw EArgumentError(Format("Invalid font height %d", {value}));
  QFont f = FWidget->font();
  f.setPixelSize(value < 0 ? -value : value);
  FWidget->setFont(f);
}

void TControl::SetFontSize(int points) {
  if (points <= 0) throw EArgumentError(Format("Invalid font size %d", {points}));
  QFont f = FWidget->font();
  f.setPointSize(points);
  FWidget->setFont(f);
}

void TControl::SetFontStyle(std::uint64_t styles) {
  QFont f = FWidget->font();
  f.setBold((styles & (1u << fsBold)) != 0);
  f.setItalic((styles & (1u << fsItalic)) != 0);
  f.setUnderline((styles & (1u << fsUnderline)) != 0);
  f.setStrikeOut((styles & (1u << fsStrikeOut)) != 0);
  FWidget->setFont(f);
}

void TControl::DispatchEvent(const TNotifyEvent& handler) {
  if (!handler) return;
  try {
    handler(*this);
  } catch (const std::exception& e) {
    ShowException(e.what());
  } catch (...) {
    ShowException("Unknown exception");
  }
}

void TControl::Register(TClassRegistry& r) {
  r.RegisterClass("TControl", "TComponent", nullptr);
  r.RegisterInteger<TControl>("TControl", "Left", [](TControl& c, int v) { c.SetLeft(v); });
  r.RegisterInteger<TControl>("TControl", "Top", [](TControl& c, int v) { c.SetTop(v); });
  r.RegisterInteger<TControl>("TControl", "Width", [](TControl& c, int v) { c.SetWidth(v); });
  r.RegisterInteger<TControl>("TControl", "Height", [](TControl& c, int v) { c.SetHeight(v); });
  r.RegisterBoolean<TControl>("TControl", "Visible", [](TControl& c, bool v) { c.SetVisible(v); });
  r.RegisterBoolean<TControl>("TControl", "Enabled", [](TControl& c, bool v) { c.SetEnabled(v); });
  r.RegisterString<TControl>("TControl", "Font.Name", [](TControl& c, const std::string& v) { c.SetFontName(v); });
  r.RegisterInteger<TControl>("TControl", "Font.Height", [](TControl& c, int v) { c.SetFontHeight(v); });
  r.RegisterInteger<TControl>("TControl", "Font.Size", [](TControl& c, int v) { c.SetFontSize(v); });
  r.RegisterSet<TControl>("TControl", "Font.Style", {"fsBold", "fsItalic", "fsUnderline", "fsStrikeOut"},
                          [](TControl& c, std::uint64_t v) { c.SetFontStyle(v); });
}

void SetControlParent(TComponent& parent, TComponent& child) {
  auto* control = dynamic_cast<TControl*>(&child);
  if (!control) return;
  auto* parentControl = dynamic_cast<TControl*>(&parent);
  if (!parentControl) throw EArgumentError(Format("Control %s has no parent window", {child.Name()}));
  control->SetParent(parentControl);
}

bool HasRealDisplay() {
  if (!QGuiApplication::instance()) return false;
  const QString platform = QGuiApplication::platformName();
  return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal") &&
         platform != QLatin1String("minimalegl");
}

void ShowException(const std::string& message) {
  std::cerr << message << std::endl;
  if (HasRealDisplay() && qobject_cast<QApplication*>(QCoreApplication::instance()))
    QMessageBox::critical(nullptr, QGuiApplication::applicationDisplayName(), QString::fromStdString(message));
}

}  // namespace lumo
