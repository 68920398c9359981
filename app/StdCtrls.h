// The standard controls of the desktop client: the push button TButton and
// the multi-line text control TCustomMemo, each a TControl over its Qt
// widget, with the stored properties a form description may set.
//
// Decisions:
// - A memo has no scroll bars unless asked for and wraps words, as a memo
//   control does by default.
#pragma once

#include <QPlainTextEdit>
#include <QPushButton>

#include <string>

#include "Controls.h"

namespace lumo {

class TButton : public TControl {
 public:
  TButton();
  std::string ClassName() const override { return "TButton"; }

  QPushButton& Button() const noexcept { return *FButton; }
  std::string Caption() const;
  void SetCaption(const std::string& value);

  const TNotifyEvent& OnClick() const noexcept { return FOnClick; }
  void SetOnClick(TNotifyEvent handler) { FOnClick = std::move(handler); }
  // Runs OnClick as a click of the button does.
  virtual void Click();

  static void Register(TClassRegistry& registry);

 private:
  QPushButton* FButton;  // the widget, owned by TControl
  TNotifyEvent FOnClick;
};

class TCustomMemo : public TControl {
 public:
  TCustomMemo();
  std::string ClassName() const override { return "TCustomMemo"; }

  QPlainTextEdit& Editor() const noexcept { return *FEditor; }
  std::string Text() const;
  void SetText(const std::string& value);
  bool ReadOnly() const;
  void SetReadOnly(bool value);

  static void Register(TClassRegistry& registry);

 private:
  QPlainTextEdit* FEditor;  // the widget, owned by TControl
};

}  // namespace lumo
