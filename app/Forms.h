// Forms and the application object of the desktop client. TForm is a
// top-level window whose controls are read from a stored description;
// TApplication owns the forms, makes the first one the main form and runs
// the Qt event loop until the main form closes.
//
// Decisions:
// - A form's Left/Top place the window, Width/Height and ClientWidth/
//   ClientHeight all size its client area: the window manager draws the
//   frame around it, so its size is not known in advance.
// - PixelsPerInch is kept but nothing is rescaled: Qt already lays out in
//   device-independent pixels based on 96 per inch.
// - Visible read from a description takes effect in Loaded(), not while the
//   form is still being read.
// - Only the main form's closing ends the event loop; closing another form
//   just hides it.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "Controls.h"

namespace lumo {

class TForm : public TControl {
 public:
  TForm();
  std::string ClassName() const override { return "TForm"; }
  bool AcceptsControls() const override { return true; }

  std::string Caption() const;
  void SetCaption(const std::string& value);
  int ClientWidth() const;
  int ClientHeight() const;
  void SetClientWidth(int value);
  void SetClientHeight(int value);
  int PixelsPerInch() const noexcept { return FPixelsPerInch; }
  void SetPixelsPerInch(int value);

  void SetBounds(int left, int top, int width, int height) override;
  void Show();
  void Hide();
  // Closes the window as its title-bar button does.
  void Close();

  // Reads `text` into this form (its root class must be this form's class);
  // controls read inside the form become its child controls. On failure
  // the components read are destroyed and the exception leaves.
  void ReadDescription(std::string_view text, const TClassRegistry& registry = FormClasses());

  // Told when the window has been closed.
  void SetOnClosed(std::function<void(TForm&)> handler) { FOnClosed = std::move(handler); }

  static void Register(TClassRegistry& registry);

 protected:
  void Loaded() override;
  void UpdateVisibility() override;

 private:
  friend class TFormWidget;
  void WindowClosed();

  int FPixelsPerInch = 96;
  std::function<void(TForm&)> FOnClosed;
};

class TApplication : public TComponent {
 public:
  TApplication();
  ~TApplication() override;
  std::string ClassName() const override { return "TApplication"; }

  // Prepares the Qt application object, which must exist.
  void Initialize();
  // Takes `form` over; the first form becomes the main form.
  TForm& CreateForm(std::unique_ptr<TForm> form);
  TForm* MainForm() const noexcept { return FMainForm; }
  // Shows the main form and runs the event loop until the main form closes
  // or Terminate() is called; returns the loop's exit code.
  int Run();
  void Terminate();
  bool Terminated() const noexcept { return FTerminated; }

 protected:
  void Notification(TComponent& component, TOperation operation) override;

 private:
  TForm* FMainForm = nullptr;  // owned through the component list
  bool FTerminated = false;
};

}  // namespace lumo
