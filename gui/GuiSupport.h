// Small pieces of the Qt front end that do not need a window: filter and
// path conversion, display detection and finding the command-line program.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <string>

namespace quillet::gui {

// "bmp file(*.bmp)|*.bmp|all file(*.*)|*.*||" -> "bmp file(*.bmp);;all file(*.*)".
// An entry of several patterns ("*.bmp;*.png") lists them separated by
// blanks, as Qt reads them, in its description's parentheses ("bmp or png
// file(*.bmp *.png)"); a description without parentheses gets them
// appended, so Qt filters by the patterns and not by the text.
QString QtFileFilter(const std::string& filter);

// A directory as the program writes it (".\" style) in the form of this
// platform: backslashes become slashes on POSIX.
QString NativeDir(const std::string& dir);

// Program and arguments of a command line ("prog" "arg with blanks" ...).
QStringList SplitCommandLine(const std::string& commandLine);

// True when a window can be shown: a DISPLAY or WAYLAND_DISPLAY is set, or
// QT_QPA_PLATFORM names a platform explicitly. `getenv` is the environment.
bool HasDisplay(const std::function<const char*(const char*)>& getenv);

// Where quillet-cli is for the quillet binary in `selfDir`: ../cli/quillet-cli
// (the build tree), then beside it; empty when neither exists (search PATH).
std::string FindCliBeside(const std::string& selfDir);

// The directory of the running program.
std::string SelfDirectory(const char* argv0);

} // namespace quillet::gui
