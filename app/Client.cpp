#include "Client.h"

#include <QApplication>
#include <QPixmap>
#include <QSaveFile>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include <lumokit/core/Format.h>
#include <lumokit/core/SysUtils.h>
#include <lumokit/lumo/MySQLLumoProvider.h>
#include "DBCtrls.h"
#include "DataClasses.h"
#include "QtTimer.h"
#include "StdCtrls.h"
#include "Unit1.h"

namespace lumo {

namespace {

constexpr std::streamoff kMaxFormFile = 16 * 1024 * 1024;

const char* const kUsage =
    "Usage: lumo-client [--form FILE] [--screenshot FILE] [--server HOST] [--port PORT] [--socket PATH]\n"
    "  --form FILE        read the main window from FILE\n"
    "  --screenshot FILE  save a PNG of the main window to FILE and quit\n"
    "  --server HOST      connect to HOST instead of the stored server\n"
    "  --port PORT        connect to TCP port PORT (1-65535) instead of the default\n"
    "  --socket PATH      connect through the local socket PATH instead of TCP\n";

struct TClientOptions {
  std::string FormFile;
  std::string Screenshot;
  TServerTarget Target;
  bool Help = false;
};

bool ParsePort(const std::string& text, std::int32_t& port) {
  if (text.empty() || text.size() > 5) return false;
  std::int32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 65535) return false;
  port = value;
  return true;
}

// Returns an empty string on success, else the complaint.
std::string ParseOptions(const QStringList& args, TClientOptions& options) {
  for (qsizetype i = 1; i < args.size(); ++i) {
    const QString& arg = args[i];
    if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
      options.Help = true;
    } else if (arg == QLatin1String("--form") || arg == QLatin1String("--screenshot")) {
      if (i + 1 >= args.size()) return Format("Option %s needs a file name", {arg.toStdString()});
      std::string value = args[++i].toStdString();
      (arg == QLatin1String("--form") ? options.FormFile : options.Screenshot) = value;
    } else if (arg == QLatin1String("--server") || arg == QLatin1String("--socket")) {
      if (i + 1 >= args.size() || args[i + 1].isEmpty())
        return Format("Option %s needs a value", {arg.toStdString()});
      std::string value = args[++i].toStdString();
      (arg == QLatin1String("--server") ? options.Target.Server : options.Target.Socket) = value;
    } else if (arg == QLatin1String("--port")) {
      if (i + 1 >= args.size()) return "Option --port needs a value";
      const std::string value = args[++i].toStdString();
      if (!ParsePort(value, options.Target.Port)) return Format("Invalid port: %s", {value});
    } else {
      return Format("Unknown option %s", {arg.toStdString()});
    }
  }
  return {};
}

std::string ReadTextFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw EOSError(Format("Cannot open file \"%s\". %s", {path, SysErrorMessage(errno)}), errno);
  in.seekg(0, std::ios::end);
  std::streamoff size = in.tellg();
  if (size < 0) throw EOSError(Format("Cannot read file \"%s\"", {path}), 0);
  if (size > kMaxFormFile) throw Exception(Format("File \"%s\" is too large for a form description", {path}));
  in.seekg(0);
  std::string text(static_cast<std::size_t>(size), '\0');
  if (!in.read(text.data(), size)) throw EOSError(Format("Cannot read file \"%s\"", {path}), 0);
  return text;
}

}  // namespace

void RegisterClientClasses(TClassRegistry& registry) {
  if (registry.HasClass("TForm1")) return;
  TControl::Register(registry);
  TButton::Register(registry);
  TCustomMemo::Register(registry);
  TDBMemo::Register(registry);
  RegisterDataClasses(registry);
  TForm::Register(registry);
  TForm1::Register(registry);
}

void SaveScreenshot(TForm& form, const std::string& path) {
  QWidget* w = form.Widget();
  w->setAttribute(Qt::WA_DontShowOnScreen, true);
  form.Show();
  QCoreApplication::processEvents();
  const QPixmap image = w->grab();
  QSaveFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::WriteOnly) || !image.save(&file, "PNG") || !file.commit())
    throw Exception(Format("Cannot write screenshot \"%s\": %s", {path, file.errorString().toStdString()}));
}

// Without a display Qt would abort in its platform plugin. A screenshot
// needs no screen, so it runs offscreen; an interactive start explains what
// is missing instead.
bool PrepareDisplay(int argc, char** argv) {
  auto hasEnv = [](const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != 0;
  };
  if (hasEnv("QT_QPA_PLATFORM") || hasEnv("DISPLAY") || hasEnv("WAYLAND_DISPLAY")) return true;
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--screenshot") == 0 || std::strcmp(argv[i], "--help") == 0 ||
        std::strcmp(argv[i], "-h") == 0) {
      ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
      return true;
    }
  std::cerr << "lumo-client: no display (DISPLAY and WAYLAND_DISPLAY are not set); run it with "
               "--screenshot FILE or QT_QPA_PLATFORM=offscreen\n";
  return false;
}

int RunClient(int argc, char** argv) {
  if (!PrepareDisplay(argc, argv)) return 1;
  QApplication qapp(argc, argv);
  TClientOptions options;
  std::string complaint = ParseOptions(QCoreApplication::arguments(), options);
  if (!complaint.empty()) {
    std::cerr << complaint << '\n' << kUsage;
    return 2;
  }
  if (options.Help) {
    std::cout << kUsage;
    return 0;
  }
  // The providers the stored forms name are registered before any form is
  // read, and unregistered after every form is gone.
  RegisterMySQLProvider();
  struct TUnregister {
    ~TUnregister() { UnRegisterMySQLProvider(); }
  } unregister;
  // Delayed work of the data sets (detail refreshes) runs on the event loop.
  TQtTimerFactoryScope timers;
  try {
    RegisterClientClasses();
    TApplication Application;
    Application.Initialize();
    // Each top-level window is its own entry in the task bar here, so the
    // main window represents the program without further setting.
    std::string description =
        options.FormFile.empty() ? std::string(TForm1::StoredDescription()) : ReadTextFile(options.FormFile);
    Application.CreateForm(TForm1::Create(description, FormClasses(), options.Target));
    if (!options.Screenshot.empty()) {
      SaveScreenshot(*Application.MainForm(), options.Screenshot);
      return 0;
    }
    return Application.Run();
  } catch (const std::exception& e) {
    ShowException(e.what());
    return 1;
  }
}

}  // namespace lumo
