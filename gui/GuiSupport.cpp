#include "gui/GuiSupport.h"

#include <QProcess>
#include <filesystem>
#include <system_error>

namespace quillet::gui {

QString QtFileFilter(const std::string& filter) {
    const QStringList parts = QString::fromStdString(filter).split(QLatin1Char('|'));
    QStringList out;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        const QString& description = parts[i];
        QString patterns = parts[i + 1];
        if (description.isEmpty() && patterns.isEmpty()) break;  // the closing "||"
        // Qt separates the patterns of one entry by blanks, Windows by ';'.
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        const qsizetype open = description.lastIndexOf(QLatin1Char('('));
        if (open >= 0 && description.endsWith(QLatin1Char(')')))
            // Qt filters by what the parentheses list: the entry's patterns.
            out << description.left(open) + QLatin1Char('(') + patterns + QLatin1Char(')');
        else
            out << (description.isEmpty() ? patterns : description + QStringLiteral(" (") + patterns + QLatin1Char(')'));
    }
    return out.join(QStringLiteral(";;"));
}

QString NativeDir(const std::string& dir) {
    QString d = QString::fromStdString(dir);
#ifndef _WIN32
    d.replace(QLatin1Char('\\'), QLatin1Char('/'));
#endif
    return d;
}

QStringList SplitCommandLine(const std::string& commandLine) {
    QString line = QString::fromStdString(commandLine);
#ifndef _WIN32
    // The program names its tools with Windows separators (".\FlyMcu\FlyMcu.exe").
    line.replace(QLatin1Char('\\'), QLatin1Char('/'));
#endif
    return QProcess::splitCommand(line);
}

bool HasDisplay(const std::function<const char*(const char*)>& getenv) {
#ifdef _WIN32
    (void)getenv;
    return true;
#else
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* v = getenv(name);
        if (v && *v) return true;
    }
    return false;
#endif
}

std::string FindCliBeside(const std::string& selfDir) {
    namespace fs = std::filesystem;
    const fs::path self(selfDir);
    std::error_code ec;
    for (const fs::path& candidate : {self / ".." / "cli" / "quillet-cli", self / "quillet-cli"}) {
        if (fs::is_regular_file(candidate, ec)) return candidate.lexically_normal().string();
    }
    return {};
}

std::string SelfDirectory(const char* argv0) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec || exe.empty()) exe = fs::absolute(fs::path(argv0 ? argv0 : ""), ec);
    return exe.parent_path().string();
}

} // namespace quillet::gui
