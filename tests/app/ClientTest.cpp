// The lumo-client executable run as its own process.
#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSet>
#include <QTemporaryDir>

#include <string>

#include "support/TestServer.h"

namespace {

using lumo::test::TestServer;

// Where the private test server listens.
QStringList ServerArgs() {
  return {"--server", QString::fromStdString(TestServer().host), "--port", QString::number(TestServer().port)};
}

struct TRun {
  int ExitCode = -1;
  std::string Out;
  std::string Err;
};

TRun RunClient(const QStringList& args) {
  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  p.setProcessEnvironment(env);
  p.start(QStringLiteral(LUMO_CLIENT_PATH), args);
  TRun r;
  if (!p.waitForStarted(10000)) {
    ADD_FAILURE() << "lumo-client did not start";
    return r;
  }
  if (!p.waitForFinished(60000)) {
    p.kill();
    p.waitForFinished();
    ADD_FAILURE() << "lumo-client did not end";
    return r;
  }
  EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
  r.ExitCode = p.exitCode();
  r.Out = p.readAllStandardOutput().toStdString();
  r.Err = p.readAllStandardError().toStdString();
  return r;
}

QString WriteFile(const QTemporaryDir& dir, const char* name, const std::string& text) {
  QString path = dir.filePath(QString::fromLatin1(name));
  QFile f(path);
  EXPECT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(text.data(), static_cast<qint64>(text.size()));
  return path;
}

int DarkPixels(const QImage& image, const QRect& rect) {
  int n = 0;
  for (int y = rect.top(); y <= rect.bottom(); ++y)
    for (int x = rect.left(); x <= rect.right(); ++x)
      if (qGray(image.pixel(x, y)) < 96) ++n;
  return n;
}

TEST(ClientTest, ScreenshotShowsForm1WithTheStoredValue) {
  LUMO_REQUIRE_SERVER();
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  QString png = dir.filePath("form1.png");
  TRun r = RunClient(QStringList{"--screenshot", png} + ServerArgs());
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  QImage image(png);
  ASSERT_FALSE(image.isNull());
  ASSERT_EQ(image.size(), QSize(353, 315));
  QSet<QRgb> colours;
  for (int y = 0; y < image.height(); y += 3)
    for (int x = 0; x < image.width(); x += 3) colours.insert(image.pixel(x, y));
  EXPECT_GT(colours.size(), 3);
  // The caption's letters are drawn inside the button, and nowhere near the
  // top left corner of the empty form.
  EXPECT_GT(DarkPixels(image, QRect(140, 273, 67, 17)), 20);
  EXPECT_EQ(DarkPixels(image, QRect(0, 0, 100, 100)), 0);
  // The memo's white field differs from the form's background, and the
  // value is written in it.
  EXPECT_NE(image.pixel(278, 160), image.pixel(5, 5));
  EXPECT_GT(DarkPixels(image, QRect(218, 154, 61, 12)), 5);
}

TEST(ClientTest, WithoutAServerTheConnectionErrorEndsTheProgram) {
  QTemporaryDir dir;
  QString png = dir.filePath("never.png");
  // Nothing listens on port 1.
  TRun r = RunClient({"--server", "127.0.0.1", "--port", "1", "--screenshot", png});
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_NE(r.Err.find("Cannot connect to server on host '127.0.0.1'"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("Connection refused"), std::string::npos) << r.Err;
  EXPECT_FALSE(QFile::exists(png));
}

TEST(ClientTest, FormOptionReadsAnotherDescription) {
  QTemporaryDir dir;
  QString form = WriteFile(dir, "small.form",
                           "object Form1: TForm1\n"
                           "  Caption = 'Small'\n"
                           "  ClientWidth = 200\n"
                           "  ClientHeight = 120\n"
                           "end\n");
  QString png = dir.filePath("small.png");
  TRun r = RunClient({"--form", form, "--screenshot", png});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(QImage(png).size(), QSize(200, 120));
}

TEST(ClientTest, FailureWhileCreatingTheWindowEndsWithStatus1) {
  QTemporaryDir dir;
  struct TCase {
    const char* Text;
    const char* Message;
  } cases[] = {
      {"object Form1: TForm1\n  Caption = 'x'\n  object X: TFoo\n  end\nend\n", "Class TFoo not found (line 3)"},
      {"object Form1: TForm1\n  object Button2: TButton\n    Foo = 1\n  end\nend\n",
       "Error reading Button2.Foo: Property Foo does not exist (line 3)"},
      {"object Form1: TForm1\n  object Button2: TButton\n    OnClick = Missing\n  end\nend\n",
       "Error reading Button2.OnClick: Method Missing not found in TForm1 (line 3)"},
      {"object Form1: TForm1\n  Caption = 'unterminated\nend\n", "Unterminated string (line 2)"},
      {"object Form2: TForm\nend\n", "The description is of class TForm, not TForm1 (line 1)"},
  };
  for (const auto& c : cases) {
    QString form = WriteFile(dir, "bad.form", c.Text);
    QString png = dir.filePath("never.png");
    TRun r = RunClient({"--form", form, "--screenshot", png});
    EXPECT_EQ(r.ExitCode, 1) << c.Text;
    EXPECT_NE(r.Err.find(c.Message), std::string::npos) << r.Err;
    EXPECT_FALSE(QFile::exists(png)) << c.Text;
  }
  TRun missing = RunClient({"--form", dir.filePath("missing.form")});
  EXPECT_EQ(missing.ExitCode, 1);
  EXPECT_NE(missing.Err.find("Cannot open file"), std::string::npos) << missing.Err;
}

TEST(ClientTest, BadCommandLineEndsWithStatus2) {
  TRun r = RunClient({"--bogus"});
  EXPECT_EQ(r.ExitCode, 2);
  EXPECT_NE(r.Err.find("Unknown option --bogus"), std::string::npos) << r.Err;
  r = RunClient({"--screenshot"});
  EXPECT_EQ(r.ExitCode, 2);
  EXPECT_NE(r.Err.find("Option --screenshot needs a file name"), std::string::npos) << r.Err;
  for (const char* port : {"0", "65536", "12x"}) {
    r = RunClient({"--port", port});
    EXPECT_EQ(r.ExitCode, 2);
    EXPECT_NE(r.Err.find(std::string("Invalid port: ") + port), std::string::npos) << r.Err;
  }
}

}  // namespace
