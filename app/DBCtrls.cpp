#include "DBCtrls.h"

#include <QEvent>
#include <QObject>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>
#include <functional>

#include <lumokit/dataset/DataSet.h>
#include <lumokit/dataset/Field.h>

namespace lumo {

namespace {

// Tells the memo when its editor loses the focus.
class TFocusWatcher : public QObject {
 public:
  explicit TFocusWatcher(std::function<void()> focusOut) : FFocusOut(std::move(focusOut)) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::FocusOut) FFocusOut();
    return QObject::eventFilter(watched, event);
  }

 private:
  std::function<void()> FFocusOut;
};

// Sets a flag for a scope.
class TFlagGuard {
 public:
  explicit TFlagGuard(bool& flag) : FFlag(flag), FOld(flag) { flag = true; }
  ~TFlagGuard() { FFlag = FOld; }
  TFlagGuard(const TFlagGuard&) = delete;
  TFlagGuard& operator=(const TFlagGuard&) = delete;

 private:
  bool& FFlag;
  bool FOld;
};

}  // namespace

TDBMemo::TDBMemo() {
  SetReadOnly(true);
  FDataLink.OnDataChange = [this] { DataChange(); };
  FDataLink.OnActiveChange = [this] { UpdateReadOnly(); };
  FDataLink.OnEditingChange = [this] { UpdateReadOnly(); };
  FDataLink.OnUpdateData = [this] {
    if (TField* f = FDataLink.Field()) f->SetAsString(Text());
  };
  QObject::connect(&Editor(), &QPlainTextEdit::textChanged, &Editor(), [this] { UserEdited(); });
  FFocusWatcher = std::make_unique<TFocusWatcher>([this] { DispatchEvent([this](TComponent&) { UpdateRecord(); }); });
  Editor().installEventFilter(FFocusWatcher.get());
}

TDBMemo::~TDBMemo() {
  Editor().removeEventFilter(FFocusWatcher.get());
  FDataLink.OnDataChange = nullptr;
  FDataLink.OnActiveChange = nullptr;
  FDataLink.OnEditingChange = nullptr;
  FDataLink.OnUpdateData = nullptr;
  FDataLink.SetDataSource(nullptr);
}

void TDBMemo::SetDataSource(TDataSource* value) {
  if (value == FDataLink.DataSource()) return;
  FDataLink.SetDataSource(value);
  if (value) FreeNotification(*value);
  DataChange();
}

void TDBMemo::Notification(TComponent& component, TOperation operation) {
  TCustomMemo::Notification(component, operation);
  if (operation == TOperation::opRemove && &component == FDataLink.DataSource()) SetDataSource(nullptr);
}

void TDBMemo::UpdateRecord() {
  if (FDataLink.Active() && FDataLink.Editing()) FDataLink.UpdateRecord();
}

void TDBMemo::DataChange() {
  TField* f = FDataLink.Field();
  const std::string text = f ? f->AsString() : std::string();
  if (text != Text()) {
    TFlagGuard setting(FSettingText);
    SetText(text);
  }
  UpdateReadOnly();
}

void TDBMemo::UpdateReadOnly() { SetReadOnly(!FDataLink.CanModify()); }

void TDBMemo::UserEdited() {
  if (FSettingText) return;
  if (!FDataLink.Editing()) {
    const std::string typed = Text();
    const int position = Editor().textCursor().position();
    bool editing = false;
    DispatchEvent([&](TComponent&) { editing = FDataLink.Edit(); });
    if (!editing) {
      DataChange();
      return;
    }
    // Starting the edit shows the field's value again: put the typed text back.
    if (Text() != typed) {
      TFlagGuard setting(FSettingText);
      SetText(typed);
      QTextCursor cursor = Editor().textCursor();
      cursor.setPosition(std::min(position, static_cast<int>(Editor().document()->characterCount()) - 1));
      Editor().setTextCursor(cursor);
    }
  }
  FDataLink.Modified();
}

void TDBMemo::Register(TClassRegistry& r) {
  r.RegisterClass<TDBMemo>("TDBMemo", "TCustomMemo");
  r.RegisterString<TDBMemo>("TDBMemo", "DataField", [](TDBMemo& m, const std::string& v) { m.SetDataField(v); });
  r.RegisterReference<TDBMemo, TDataSource>("TDBMemo", "DataSource",
                                            [](TDBMemo& m, TDataSource* v) { m.SetDataSource(v); });
}

}  // namespace lumo
