// quillet: the dialog.
//
//   quillet                       the dialog with the port map of this machine
//   quillet --demo                the dialog with a simulated signal generator on COM1
//   quillet -v | --log FILE       the dialog, its traffic and steps traced
//   quillet --screenshot FILE.png [--load IMAGE.bmp]
//                                 renders the dialog to a picture and exits
//
// Without a display (no DISPLAY, no WAYLAND_DISPLAY, no QT_QPA_PLATFORM) the
// dialog cannot be shown; the same job then runs from the command line.
#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QPixmap>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "dialog/DialogTrace.h"
#include "dialog/LoaderDlg.h"
#include "platform/Version.h"
#include "dialog/Resources.h"
#include "gui/Demo.h"
#include "gui/GuiSupport.h"
#include "gui/LoaderWindow.h"
#include "gui/QtHost.h"
#include "gui/QtSettings.h"

namespace {

using namespace quillet;
using namespace quillet::gui;

// The longest --timeout taken (a day).
constexpr double kMaxTimeoutSeconds = 86400;
// -vvv: every block in full.
constexpr int kMaxVerbosity = 3;

struct Arguments {
    bool demo = false;
    unsigned baud = 0;
    unsigned timeoutMs = kFlowTimeoutMs;
    std::string screenshot;
    std::string load;
    int verbosity = 0;
    std::string logFile;
};

// -v, -vv, -vvv (each v one level more).
bool IsVerboseFlag(const std::string& a) {
    return a == "--verbose" || (a.size() >= 2 && a[0] == '-' && a.find_first_not_of('v', 1) == std::string::npos);
}

void Usage(std::FILE* out) {
    std::fputs(
        "Usage: quillet [--demo [--baud N]] [--timeout S] [-v] [--log FILE]\n"
        "  or:  quillet --screenshot FILE.png [--load IMAGE.bmp]\n"
        "\n"
        "The service dialog of the video test instrument: finds the instrument on a\n"
        "serial port, stores user test patterns in it and updates its firmware.\n"
        "COM n is the n-th device of the port map (see quillet-cli ports).\n"
        "\n"
        "Options:\n"
        "  --demo              attach a simulated signal generator as COM1 and offer a\n"
        "                      sample test pattern in the demo folder\n"
        "  --baud N            with --demo: the simulated line runs at N baud, as a real\n"
        "                      one would (default: as fast as it can)\n"
        "  --timeout S         how long a flow waits for the instrument's next answer\n"
        "                      before it ends timed out (default 10, as quillet-cli)\n"
        "  -v, --verbose       trace the steps on stderr, with time stamps (port opened,\n"
        "                      search, erase, block stream, bootloader); -vv also the\n"
        "                      bytes, as hex and text, with block streams summarised;\n"
        "                      -vvv every block\n"
        "  --log FILE          append the trace to FILE instead of stderr\n"
        "  --screenshot FILE   render the dialog to a PNG picture and exit\n"
        "  --load IMAGE        with --screenshot: load IMAGE first, so the preview shows\n"
        "  -h, --help          this text\n"
        "  --version           print the version and exit\n"
        "\n"
        "Without a display the dialog cannot be shown; the same job then runs from the\n"
        "command line (quillet-cli demo).\n"
        "\n"
        "Environment:\n"
        "  QUILLET_PORTS       the port map: the devices behind COM1, COM2, ...\n"
        "                      (comma-separated; an empty item leaves that COM number\n"
        "                      absent); unset, the serial devices present\n",
        out);
}

// 0 to go on, otherwise the exit code.
int ParseArguments(int argc, char** argv, Arguments& args) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc) return false;
            into = argv[++i];
            return true;
        };
        if (a == "--demo") {
            args.demo = true;
        } else if (IsVerboseFlag(a)) {
            const int more = a == "--verbose" ? 1 : static_cast<int>(a.size()) - 1;
            args.verbosity = std::min(kMaxVerbosity, args.verbosity + more);
        } else if (a == "--log") {
            if (!value(args.logFile)) break;
            if (args.logFile.empty()) {
                std::fputs("quillet: --log needs a file name\n", stderr);
                return 2;
            }
        } else if (a == "--screenshot") {
            if (!value(args.screenshot)) break;
        } else if (a == "--load") {
            if (!value(args.load)) break;
        } else if (a == "--baud") {
            std::string v;
            char* end = nullptr;
            const unsigned long n = value(v) ? std::strtoul(v.c_str(), &end, 10) : 0;
            if (v.empty() || *end != '\0' || n == 0 || n > 100000000) {
                std::fputs("quillet: --baud needs a rate in baud, e.g. 115200\n", stderr);
                return 2;
            }
            args.baud = static_cast<unsigned>(n);
        } else if (a == "--timeout") {
            std::string v;
            char* end = nullptr;
            const double s = value(v) ? std::strtod(v.c_str(), &end) : 0;
            if (v.empty() || *end != '\0' || !(s > 0) || s > kMaxTimeoutSeconds) {
                std::fputs("quillet: --timeout needs a time in seconds, e.g. 10\n", stderr);
                return 2;
            }
            args.timeoutMs = static_cast<unsigned>(s * 1000);
        } else if (a == "--help" || a == "-h") {
            Usage(stdout);
            return -1;
        } else if (a == "--version") {
            std::printf("quillet %s\n", VersionText());
            return -1;
        } else {
            std::fprintf(stderr, "quillet: unknown argument %s\n", a.c_str());
            Usage(stderr);
            return 2;
        }
        continue;
    }
    if (argc > 1 && (std::strcmp(argv[argc - 1], "--screenshot") == 0 ||
                     std::strcmp(argv[argc - 1], "--load") == 0 || std::strcmp(argv[argc - 1], "--log") == 0)) {
        std::fprintf(stderr, "quillet: %s needs a file name\n", argv[argc - 1]);
        return 2;
    }
    if (args.baud && !args.demo) {
        std::fputs("quillet: --baud goes with --demo\n", stderr);
        return 2;
    }
    if (!args.load.empty() && args.screenshot.empty()) {
        std::fputs("quillet: --load goes with --screenshot\n", stderr);
        return 2;
    }
    return 0;
}

// Hands the job to quillet-cli demo, with the trace asked for; returns
// only when that failed.
int RunCliDemo(const char* argv0, const Arguments& args) {
    std::puts("No display found: running the same job from the command line (quillet-cli demo).");
    std::fflush(stdout);
#ifndef _WIN32
    // "demo", "--baud N" for a paced line, "-v".., "--log FILE".
    std::vector<std::string> words = {"quillet-cli", "demo"};
    if (args.baud) words.insert(words.end(), {"--baud", std::to_string(args.baud)});
    if (args.verbosity) words.push_back("-" + std::string(static_cast<std::size_t>(args.verbosity), 'v'));
    if (!args.logFile.empty()) words.insert(words.end(), {"--log", args.logFile});
    std::vector<char*> argvCli;
    for (std::string& w : words) argvCli.push_back(w.data());
    argvCli.push_back(nullptr);
    const std::string beside = FindCliBeside(SelfDirectory(argv0));
    if (!beside.empty()) execv(beside.c_str(), argvCli.data());
    execvp("quillet-cli", argvCli.data());
    std::fprintf(stderr, "quillet: cannot start quillet-cli: %s\n", std::strerror(errno));
#else
    (void)argv0;  // a Windows desktop always has a display
    (void)args;
#endif
    return 127;
}

int Screenshot(LoaderWindow& window, const Arguments& args) {
    QtHost& host = window.Host();
    // No one is there to close boxes: they go to stderr.
    host.messageBoxHook = [](const std::string& text, const std::string& caption) {
        std::fprintf(stderr, "%s: %s\n", caption.empty() ? IHost::AppTitle() : caption.c_str(),
                     text.c_str());
        return IDOK;
    };
    if (!args.load.empty()) {
        std::error_code ec;
        const std::string image = std::filesystem::absolute(args.load, ec).string();
        bool asked = false;
        host.fileDialogHook = [&](const std::string&, const std::string&) -> std::optional<std::string> {
            if (asked) return std::nullopt;
            asked = true;
            return image;
        };
        window.Dialog().OnCommand(IDC_LOAD_IMAGE);
        host.fileDialogHook = nullptr;
    }
    window.ensurePolished();
    const QPixmap picture = window.grab();
    if (!picture.save(QString::fromStdString(args.screenshot), "PNG")) {
        std::fprintf(stderr, "quillet: cannot write %s\n", args.screenshot.c_str());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Arguments args;
    if (const int rc = ParseArguments(argc, argv, args); rc != 0) return rc < 0 ? 0 : rc;

    const bool display = HasDisplay([](const char* name) { return std::getenv(name); });
    if (!display) {
        // A picture needs no screen; everything else is the command line's job.
        if (args.screenshot.empty()) return RunCliDemo(argv[0], args);
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // Outlives the window: the dialog's port taps into it.
    DialogTrace trace;
    std::string header = std::string("quillet ") + VersionText() + " ";
    for (int i = 0; i < argc; ++i) header += std::string(" ") + argv[i];
    if (std::string error; !trace.Start(args.verbosity, args.logFile, header, error)) {
        std::fprintf(stderr, "quillet: %s\n", error.c_str());
        return 2;
    }

    QApplication app(argc, argv);
    LoaderWindow window;
    if (!window.Host().SocketsStartup()) {
        window.Host().MessageBox(kStrSocketsFailed, "");
        return 1;
    }

    // The demo's simulator must be serving before the dialog starts.
    DemoSession demo;
    if (args.demo) {
        std::string error;
        const std::string base = QDir::tempPath().toStdString();
        if (!demo.Start(base, error, args.baud)) {
            std::fprintf(stderr, "quillet: %s\n", error.c_str());
            return 1;
        }
        std::printf("Demo: a simulated signal generator is COM1 (%s).\n"
                    "      Press \"Search Signal Generator\", then \"Load Image\" and pick\n"
                    "      %s, enter a slot 1 to 4 and press \"SG NAND FLASH\".\n"
                    "      The simulator stores what it receives in %s\n",
                    demo.Device().c_str(), demo.SamplePath().c_str(), demo.ReceivedDir().c_str());
        std::fflush(stdout);
    }

    // The operator's choices are kept per user; a picture run keeps none.
    if (args.screenshot.empty()) window.RememberChoices(std::make_unique<QtSettings>());
    window.Initialise(args.demo ? demo.Map() : PortMap(), trace);
    window.Dialog().SetFlowTimeout(args.timeoutMs);
    if (!args.screenshot.empty()) return Screenshot(window, args);

    window.exec();
    return 0;
}
