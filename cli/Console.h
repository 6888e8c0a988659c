// The console the command line writes to, on POSIX and on Windows.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace quillet::cli {

// True when `f` is a terminal (a console window on Windows).
bool IsTerminal(std::FILE* f);

// True when the terminal behind `f` understands the control sequences that
// redraw a line (ESC [ K). Every POSIX terminal does; a Windows console does
// once its virtual terminal processing is on, which this asks for.
bool HandlesControlSequences(std::FILE* f);

// Columns of the terminal behind `f`; 0 when it does not say.
int TerminalColumns(std::FILE* f);

// The program's arguments (without the program name) in UTF-8. On Windows
// they are taken from the wide-character command line, so file names in
// any script survive; the console's output is switched to UTF-8 as well.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

} // namespace quillet::cli
