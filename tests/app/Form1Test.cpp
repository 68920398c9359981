#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>

#include "Client.h"
#include "Unit1.h"

namespace lumo {
namespace {

const std::string kCloseCaption = "\xD0\x97\xD0\x90\xD0\x9A\xD0\xA0\xD0\xAB\xD0\xA2\xD0\xAC";  // ЗАКРЫТЬ

int gExplodingAlive = 0;

// A component whose end-of-loading step fails, as a connection does when
// no server answers.
class TExploding : public TComponent {
 public:
  TExploding() { ++gExplodingAlive; }
  ~TExploding() override { --gExplodingAlive; }
  std::string ClassName() const override { return "TExploding"; }
  void Loaded() override {
    TComponent::Loaded();
    throw EOSError("Can't connect to MySQL server on 'localhost' (111)", 2003);
  }
};

// The stored window without its data components (they need a server; the
// window's behaviour does not).
std::string ControlsOnly() {
  std::string text(TForm1::StoredDescription());
  const std::size_t data = text.find("  object MySQLLumoProvider1");
  text.erase(data, text.rfind("end") - data);
  const std::string link = "    DataSource = LumoDataSource4\n";
  text.erase(text.find(link), link.size());
  return text;
}

class Form1Test : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterClientClasses();
    if (!FormClasses().HasClass("TExploding")) FormClasses().RegisterClass<TExploding>("TExploding", "TComponent");
  }

  // Runs the application's loop; `action` runs once the loop is going. A
  // watchdog ends a loop that would not end by itself.
  int RunLoop(TApplication& app, std::function<void()> action, bool& timedOut) {
    timedOut = false;
    QTimer::singleShot(0, std::move(action));
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
      timedOut = true;
      QCoreApplication::exit(3);
    });
    watchdog.start(10000);
    return app.Run();
  }

  static int VisibleTopLevels() {
    int n = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->isVisible()) ++n;
    return n;
  }
};

TEST_F(Form1Test, BuiltInDescriptionBuildsTheWindow) {
  std::unique_ptr<TForm1> form = TForm1::Create(ControlsOnly());
  EXPECT_EQ(form->Name(), "Form1");
  EXPECT_EQ(form->Caption(), "Form1");
  EXPECT_EQ(form->Widget()->windowTitle(), QStringLiteral("Form1"));
  EXPECT_EQ(form->ClientWidth(), 353);
  EXPECT_EQ(form->ClientHeight(), 315);
  EXPECT_EQ(form->PixelsPerInch(), 96);
  EXPECT_EQ(form->Font().family(), QStringLiteral("Tahoma"));
  EXPECT_EQ(form->Font().pixelSize(), 11);
  EXPECT_FALSE(form->Widget()->isVisible());  // shown only by the application

  ASSERT_NE(form->Button2, nullptr);
  EXPECT_EQ(form->Button2->Caption(), kCloseCaption);
  EXPECT_EQ(form->Button2->Widget()->geometry(), QRect(136, 269, 75, 25));
  EXPECT_EQ(form->Button2->Parent(), form.get());
  EXPECT_EQ(form->Button2->Widget()->parentWidget(), form->Widget());
  EXPECT_TRUE(form->Button2->OnClick());
  // The form's font reaches its controls.
  EXPECT_EQ(form->Button2->Font().pixelSize(), 11);

  ASSERT_NE(form->DBMemo4, nullptr);
  EXPECT_EQ(form->DBMemo4->Widget()->geometry(), QRect(216, 152, 65, 16));
  EXPECT_TRUE(form->DBMemo4->Visible());
  EXPECT_TRUE(form->DBMemo4->Widget()->isVisibleTo(form->Widget()));
  EXPECT_EQ(form->DBMemo4->DataField(), "value");
  EXPECT_EQ(form->DBMemo4->Text(), "");
  EXPECT_TRUE(form->DBMemo4->ReadOnly());

  // Stored order: the controls as they stand in the description.
  ASSERT_EQ(form->ComponentCount(), 2);
  EXPECT_EQ(&form->Components(0), form->Button2);
  EXPECT_EQ(&form->Components(1), form->DBMemo4);
  ASSERT_EQ(form->ControlCount(), 2);
  EXPECT_FALSE(form->HasState(csLoading));
  EXPECT_FALSE(form->Button2->HasState(csLoading));

  // Destroying the form takes every widget with it exactly once.
  QPointer<QWidget> button = form->Button2->Widget();
  QPointer<QWidget> window = form->Widget();
  form.reset();
  EXPECT_TRUE(button.isNull());
  EXPECT_TRUE(window.isNull());
}

TEST_F(Form1Test, ClickOnButton2ClosesTheWindowAndEndsTheLoop) {
  TApplication app;
  app.Initialize();
  TForm1& form = static_cast<TForm1&>(app.CreateForm(TForm1::Create(ControlsOnly())));
  EXPECT_EQ(app.MainForm(), &form);
  bool wasVisible = false, timedOut = false;
  int rc = RunLoop(
      app,
      [&] {
        wasVisible = form.Widget()->isVisible();
        QTest::mouseClick(&form.Button2->Button(), Qt::LeftButton);
      },
      timedOut);
  EXPECT_FALSE(timedOut);
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(wasVisible);
  EXPECT_TRUE(app.Terminated());
  EXPECT_FALSE(form.Widget()->isVisible());
  EXPECT_FALSE(form.Visible());
}

TEST_F(Form1Test, TitleBarCloseEndsTheLoopLikeButton2) {
  TApplication app;
  app.Initialize();
  TForm& form = app.CreateForm(TForm1::Create(ControlsOnly()));
  bool timedOut = false;
  int rc = RunLoop(
      app,
      [&] {
        // What the window system sends when the title-bar button is used.
        ASSERT_NE(form.Widget()->windowHandle(), nullptr);
        QCloseEvent event;
        QCoreApplication::sendEvent(form.Widget()->windowHandle(), &event);
      },
      timedOut);
  EXPECT_FALSE(timedOut);
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(app.Terminated());
  EXPECT_FALSE(form.Widget()->isVisible());
}

TEST_F(Form1Test, OnlyTheMainFormEndsTheLoop) {
  TApplication app;
  app.Initialize();
  TForm1& main = static_cast<TForm1&>(app.CreateForm(TForm1::Create(ControlsOnly())));
  std::string second = ControlsOnly();
  second.replace(second.find("Form1: TForm1"), 5, "Form2");
  TForm1& other = static_cast<TForm1&>(app.CreateForm(TForm1::Create(second)));
  EXPECT_EQ(app.MainForm(), &main);
  bool timedOut = false, runningAfterOtherClosed = false;
  int rc = RunLoop(
      app,
      [&] {
        other.Show();
        other.Button2->Click();
        QTimer::singleShot(0, [&] {
          runningAfterOtherClosed = !app.Terminated() && main.Widget()->isVisible();
          main.Button2->Click();
        });
      },
      timedOut);
  EXPECT_FALSE(timedOut);
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(runningAfterOtherClosed);
  EXPECT_FALSE(other.Widget()->isVisible());
}

TEST_F(Form1Test, ExceptionInAClickHandlerIsReportedAndTheWindowStays) {
  std::unique_ptr<TForm1> form = TForm1::Create(ControlsOnly());
  form->Show();
  form->Button2->SetOnClick([](TComponent&) { throw Exception("Handler failed"); });
  testing::internal::CaptureStderr();
  EXPECT_NO_THROW(QTest::mouseClick(&form->Button2->Button(), Qt::LeftButton));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Handler failed"), std::string::npos) << err;
  EXPECT_TRUE(form->Widget()->isVisible());
}

TEST_F(Form1Test, ExceptionWhileLoadingEndsCreationBeforeTheWindowShows) {
  const int topLevelsBefore = static_cast<int>(QApplication::topLevelWidgets().size());
  std::string text = ControlsOnly();
  text.insert(text.rfind("end"), "  object LumoConnection1: TExploding\n  end\n");
  try {
    TForm1::Create(text);
    ADD_FAILURE() << "no exception";
  } catch (const EOSError& e) {
    EXPECT_STREQ(e.what(), "Can't connect to MySQL server on 'localhost' (111)");
    EXPECT_EQ(e.ErrorCode(), 2003);
  }
  EXPECT_EQ(gExplodingAlive, 0);
  EXPECT_EQ(VisibleTopLevels(), 0);
  // No widget of the half-made window is left behind.
  EXPECT_EQ(static_cast<int>(QApplication::topLevelWidgets().size()), topLevelsBefore);
}

TEST_F(Form1Test, ControlsNeedAParentThatHoldsControls) {
  std::string intoButton(TForm1::StoredDescription());
  intoButton.insert(intoButton.find("    OnClick"), "    object Inner: TButton\n    end\n");
  try {
    TForm1::Create(intoButton);
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Error reading Inner: Control Button2 cannot contain controls (line 14)");
  }
  std::string intoComponent =
      "object Form1: TForm1\n"
      "  object Holder: TExploding\n"
      "    object Stray: TButton\n"
      "    end\n"
      "  end\n"
      "end\n";
  try {
    TForm1::Create(intoComponent);
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Error reading Stray: Control Stray has no parent window (line 3)");
  }
  EXPECT_EQ(gExplodingAlive, 0);
}

TEST_F(Form1Test, ExtremeGeometryAndFontValuesStayInRange) {
  // The far edge of a control at the largest position still fits an int.
  std::string text = ControlsOnly();
  text.replace(text.find("    Left = 136"), 14, "    Left = 2147483647");
  text.replace(text.find("    Top = 269"), 13, "    Top = -2147483648");
  text.replace(text.find("    Height = 25"), 15, "    Height = 0");
  std::unique_ptr<TForm1> form = TForm1::Create(text);
  ASSERT_NE(form->Button2, nullptr);
  const TControl& b = *form->Button2;
  EXPECT_EQ(b.Width(), 75);
  EXPECT_LE(std::int64_t{b.Left()} + b.Width() - 1, std::numeric_limits<int>::max());
  EXPECT_GE(std::int64_t{b.Top()} + b.Height() - 1, std::numeric_limits<int>::min());
  EXPECT_GT(b.Left(), 2000000000);

  // The lowest int as a (negative, pixel) font height has no pixel size.
  text = ControlsOnly();
  text.replace(text.find("  Font.Height = -11"), 19, "  Font.Height = -2147483648");
  try {
    TForm1::Create(text);
    ADD_FAILURE() << "accepted";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Error reading Form1.Font.Height: Invalid font height -2147483648 (line 5)");
  }
}

}  // namespace
}  // namespace lumo
