// TControl: the base of the desktop client's visual components. It is a
// TComponent (owned, named, read from a stored form) that holds one Qt widget
// and maps the stored control properties (bounds, visibility, font) onto it.
// Controls form a parent/child tree of their own next to the owner tree; the
// widget tree follows it.
//
// Decisions:
// - A control owns its widget. Qt would delete child widgets together with
//   their parent, so a control detaches its child controls' widgets before
//   its own widget goes; each widget is deleted exactly once, by its control.
// - Font.Height < 0 is the character height in pixels (pixel size); a
//   positive height, the cell height, is taken as the pixel size as well.
//   Font.Size is in points. Families missing on the machine fall back to
//   Qt's substitute.
// - An exception raised by an event handler does not enter Qt's event
//   dispatch: it is reported (ShowException) and the event loop goes on.
#pragma once

#include <QFont>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <lumokit/core/Component.h>
#include <lumokit/core/FormReader.h>

namespace lumo {

using TNotifyEvent = std::function<void(TComponent& Sender)>;

// Font styles as stored: [fsBold, fsItalic, fsUnderline, fsStrikeOut].
enum TFontStyle { fsBold, fsItalic, fsUnderline, fsStrikeOut };

class TControl : public TComponent {
 public:
  ~TControl() override;
  std::string ClassName() const override { return "TControl"; }

  QWidget* Widget() const noexcept { return FWidget.get(); }

  TControl* Parent() const noexcept { return FParent; }
  // Makes this control a child of `parent` (nullptr: no parent). The parent
  // must accept controls.
  void SetParent(TControl* parent);
  int ControlCount() const noexcept { return static_cast<int>(FControls.size()); }
  TControl& Controls(int index) const;
  virtual bool AcceptsControls() const { return false; }

  int Left() const;
  int Top() const;
  int Width() const;
  int Height() const;
  void SetLeft(int value);
  void SetTop(int value);
  void SetWidth(int value);
  void SetHeight(int value);
  virtual void SetBounds(int left, int top, int width, int height);

  bool Visible() const noexcept { return FVisible; }
  virtual void SetVisible(bool value);
  bool Enabled() const;
  void SetEnabled(bool value);

  QFont Font() const;
  void SetFontName(const std::string& value);
  void SetFontHeight(int value);
  void SetFontSize(int points);
  void SetFontStyle(std::uint64_t styles);

  // Registers "TControl" (not creatable) and its stored properties.
  static void Register(TClassRegistry& registry);

 protected:
  explicit TControl(std::unique_ptr<QWidget> widget);
  // Runs an event handler; what it raises is reported, not propagated.
  void DispatchEvent(const TNotifyEvent& handler);
  // Shows or hides the widget as Visible and the parent allow.
  virtual void UpdateVisibility();

 private:
  std::unique_ptr<QWidget> FWidget;
  TControl* FParent = nullptr;         // not owning
  std::vector<TControl*> FControls;    // not owning
  bool FVisible = true;
};

// Reader hook: a control read inside another control becomes its child.
// Raises when the child is a control and the parent cannot hold it.
void SetControlParent(TComponent& parent, TComponent& child);

// True when a real display is in use (not the offscreen or minimal platform).
bool HasRealDisplay();

// The handler for exceptions nobody caught: the message goes to stderr and,
// when a real display exists, into a message box.
void ShowException(const std::string& message);

}  // namespace lumo
