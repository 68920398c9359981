#include "StdCtrls.h"

namespace lumo {

TButton::TButton()
    : TControl(std::make_unique<QPushButton>()), FButton(static_cast<QPushButton*>(Widget())) {
  QObject::connect(FButton, &QPushButton::clicked, FButton, [this] { Click(); });
}

std::string TButton::Caption() const { return FButton->text().toStdString(); }

void TButton::SetCaption(const std::string& value) { FButton->setText(QString::fromStdString(value)); }

void TButton::Click() { DispatchEvent(FOnClick); }

void TButton::Register(TClassRegistry& r) {
  r.RegisterClass<TButton>("TButton", "TControl");
  r.RegisterString<TButton>("TButton", "Caption", [](TButton& b, const std::string& v) { b.SetCaption(v); });
  r.RegisterEvent<TButton, void(TComponent&)>("TButton", "OnClick",
                                              [](TButton& b, TNotifyEvent h) { b.SetOnClick(std::move(h)); });
}

TCustomMemo::TCustomMemo()
    : TControl(std::make_unique<QPlainTextEdit>()), FEditor(static_cast<QPlainTextEdit*>(Widget())) {
  FEditor->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  FEditor->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  FEditor->setLineWrapMode(QPlainTextEdit::WidgetWidth);
}

std::string TCustomMemo::Text() const { return FEditor->toPlainText().toStdString(); }

void TCustomMemo::SetText(const std::string& value) { FEditor->setPlainText(QString::fromStdString(value)); }

bool TCustomMemo::ReadOnly() const { return FEditor->isReadOnly(); }

void TCustomMemo::SetReadOnly(bool value) { FEditor->setReadOnly(value); }

void TCustomMemo::Register(TClassRegistry& r) {
  r.RegisterClass("TCustomMemo", "TControl", nullptr);
}

}  // namespace lumo
