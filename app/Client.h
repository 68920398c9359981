// The desktop client's start-up routine: registers the classes its stored
// form uses, creates the main window Form1 from its description and runs
// the event loop until the window closes.
//
// Command line: --form FILE reads the window from FILE instead of the
// description compiled into the program; --screenshot FILE creates the
// window, saves a PNG of it to FILE and ends without an event loop;
// --server HOST, --port PORT and --socket PATH say where the window's
// connection reaches the server instead of the stored "localhost" on the
// default port (the stored description is not changed).
// Exit status: 0 after a normal end, 1 when the window could not be created
// (the message goes to stderr, and into a message box on a real display),
// 2 for a bad command line.
#pragma once

#include <string>

#include "Forms.h"

namespace lumo {

// Registers every class of the client's forms (once; later calls do
// nothing).
void RegisterClientClasses(TClassRegistry& registry = FormClasses());

// Renders `form` (without showing it on screen) and writes a PNG to `path`,
// replacing the file only when the image is complete.
void SaveScreenshot(TForm& form, const std::string& path);

int RunClient(int argc, char** argv);

}  // namespace lumo
