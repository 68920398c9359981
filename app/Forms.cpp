#include "Forms.h"

#include <QApplication>
#include <QCloseEvent>

#include <lumokit/core/Format.h>
#include <lumokit/core/SysUtils.h>

namespace lumo {

// The top-level widget of a form: tells the form when the window closed,
// whether by Close() or by the window manager.
class TFormWidget : public QWidget {
 public:
  explicit TFormWidget(TForm& form) : FForm(form) {}

 protected:
  void closeEvent(QCloseEvent* event) override {
    QWidget::closeEvent(event);
    if (event->isAccepted()) FForm.WindowClosed();
  }

 private:
  TForm& FForm;
};

TForm::TForm() : TControl(std::make_unique<TFormWidget>(*this)) { SetVisible(false); }

std::string TForm::Caption() const { return Widget()->windowTitle().toStdString(); }

void TForm::SetCaption(const std::string& value) { Widget()->setWindowTitle(QString::fromStdString(value)); }

int TForm::ClientWidth() const { return Widget()->width(); }
int TForm::ClientHeight() const { return Widget()->height(); }
void TForm::SetClientWidth(int value) { Widget()->resize(std::max(value, 0), Widget()->height()); }
void TForm::SetClientHeight(int value) { Widget()->resize(Widget()->width(), std::max(value, 0)); }

void TForm::SetPixelsPerInch(int value) {
  if (value <= 0) throw EArgumentError(Format("Invalid PixelsPerInch %d", {value}));
  FPixelsPerInch = value;
}

void TForm::SetBounds(int left, int top, int width, int height) {
  Widget()->move(left, top);
  Widget()->resize(std::max(width, 0), std::max(height, 0));
}

void TForm::UpdateVisibility() {
  if (!HasState(csLoading)) Widget()->setVisible(Visible());
}

void TForm::Loaded() {
  TControl::Loaded();
  UpdateVisibility();
}

void TForm::Show() {
  SetVisible(true);
  if (HasRealDisplay()) {
    Widget()->raise();
    Widget()->activateWindow();
  }
}

void TForm::Hide() { SetVisible(false); }

void TForm::Close() { Widget()->close(); }

void TForm::WindowClosed() {
  SetVisible(false);
  if (FOnClosed) FOnClosed(*this);
}

void TForm::ReadDescription(std::string_view text, const TClassRegistry& registry) {
  TFormReader reader(registry);
  reader.SetParentHook(SetControlParent);
  reader.ReadRoot(*this, text);
}

void TForm::Register(TClassRegistry& r) {
  r.RegisterClass<TForm>("TForm", "TControl");
  r.RegisterString<TForm>("TForm", "Caption", [](TForm& f, const std::string& v) { f.SetCaption(v); });
  r.RegisterInteger<TForm>("TForm", "ClientWidth", [](TForm& f, int v) { f.SetClientWidth(v); });
  r.RegisterInteger<TForm>("TForm", "ClientHeight", [](TForm& f, int v) { f.SetClientHeight(v); });
  r.RegisterInteger<TForm>("TForm", "PixelsPerInch", [](TForm& f, int v) { f.SetPixelsPerInch(v); });
}

// ---------------------------------------------------------------------------

TApplication::TApplication() = default;

TApplication::~TApplication() {
  Destroying();
  DestroyComponents();
}

void TApplication::Initialize() {
  LUMO_ASSERT(qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr);
  QGuiApplication::setQuitOnLastWindowClosed(false);
}

TForm& TApplication::CreateForm(std::unique_ptr<TForm> form) {
  LUMO_ASSERT(form != nullptr);
  TForm& ref = *form;
  InsertComponent(std::move(form));
  ref.SetOnClosed([this](TForm& closed) {
    if (&closed == FMainForm) Terminate();
  });
  if (!FMainForm) FMainForm = &ref;
  return ref;
}

int TApplication::Run() {
  if (!FMainForm || FTerminated) return 0;
  FMainForm->Show();
  if (FTerminated) return 0;
  return QApplication::exec();
}

void TApplication::Terminate() {
  FTerminated = true;
  QCoreApplication::quit();
}

void TApplication::Notification(TComponent& component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation == TOperation::opRemove && &component == FMainForm) FMainForm = nullptr;
}

}  // namespace lumo
