// quillet.exe: the dialog on Windows.
//
//   quillet                      the dialog with the system's COM ports
//   quillet --demo               the dialog with a simulated signal generator
//                                inside the program, offered as COM1
//   quillet -v | --log FILE      the dialog, its traffic and steps traced
//   quillet --screenshot FILE [--load IMAGE]
//                                draws the dialog into FILE (.bmp, or .png
//                                where the system has the codec) and exits
//   quillet --version | --help   prints to the console it was started from
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "dialog/Resources.h"
#include "platform/Version.h"
#include "pattern/SamplePattern.h"
#include "platform/Utf8.h"
#include "platform/WindowsHeaders.h"
#include "serial/PortMap.h"
#include "sim/lib/MemoryDevice.h"
#include "win/LoaderDialog.h"
#include "win/RegistrySettings.h"
#include "win/Screenshot.h"

#include <shellapi.h>

namespace {

using namespace quillet;

constexpr const char* kUsage =
    "usage: quillet [--demo] [--timeout S] [-v] [--log FILE]\n"
    "       quillet --screenshot FILE [--load IMAGE.bmp]\n"
    "       quillet --version | --help\n"
    "  --demo              attach a simulated signal generator as COM1 and offer a\n"
    "                      sample test pattern in the demo folder\n"
    "  --timeout S         how long a flow waits for the instrument's next answer\n"
    "                      before it ends timed out (default 10, as quillet-cli)\n"
    "  -v, --verbose       trace the steps on stderr, with time stamps (port opened,\n"
    "                      search, erase, block stream, bootloader); -vv also the\n"
    "                      bytes, as hex and text, with block streams summarised;\n"
    "                      -vvv every block\n"
    "  --log FILE          append the trace to FILE instead of stderr\n"
    "  --screenshot FILE   draw the dialog into FILE (.bmp or .png) and exit\n"
    "  --load IMAGE        with --screenshot: load IMAGE first, so the preview shows\n"
    "  --version           print the version and exit\n"
    "  --help              print this text and exit\n";

// A program with windows has no console of its own: its texts go to the
// console it was started from, if any.
void UseParentConsole() {
    if (GetStdHandle(STD_ERROR_HANDLE) && GetStdHandle(STD_OUTPUT_HANDLE)) return;
    if (AttachConsole(ATTACH_PARENT_PROCESS)) {
        std::freopen("CONOUT$", "w", stdout);
        std::freopen("CONOUT$", "w", stderr);
    }
}

std::vector<std::string> Arguments() {
    std::vector<std::string> args;
    int n = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &n);
    for (int i = 1; wide && i < n; ++i) args.push_back(Utf8FromWide(wide[i]));
    if (wide) LocalFree(wide);
    return args;
}

// The longest --timeout taken (a day).
constexpr double kMaxTimeoutSeconds = 86400;
// -vvv: every block in full.
constexpr int kMaxVerbosity = 3;

// -v, -vv, -vvv (each v one level more).
bool IsVerboseFlag(const std::string& a) {
    return a == "--verbose" || (a.size() >= 2 && a[0] == '-' && a.find_first_not_of('v', 1) == std::string::npos);
}

struct Options {
    bool demo = false;
    unsigned timeoutMs = kFlowTimeoutMs;
    std::string screenshot;
    std::string load;
    int verbosity = 0;
    std::string logFile;
};

// 0 to go on, otherwise the exit code (-1: done, exit 0).
int Parse(const std::vector<std::string>& args, Options& o) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--demo") {
            o.demo = true;
        } else if (a == "--timeout") {
            char* end = nullptr;
            const double s = hasValue ? std::strtod(args[i + 1].c_str(), &end) : 0;
            if (!hasValue || *end != '\0' || !(s > 0) || s > kMaxTimeoutSeconds) {
                std::fprintf(stderr, "quillet: --timeout needs a time in seconds, e.g. 10\n");
                return 2;
            }
            o.timeoutMs = static_cast<unsigned>(s * 1000);
            ++i;
        } else if (IsVerboseFlag(a)) {
            const int more = a == "--verbose" ? 1 : static_cast<int>(a.size()) - 1;
            o.verbosity = std::min(kMaxVerbosity, o.verbosity + more);
        } else if ((a == "--screenshot" || a == "--load" || a == "--log") && hasValue &&
                   (a != "--log" || !args[i + 1].empty())) {
            (a == "--screenshot" ? o.screenshot : a == "--load" ? o.load : o.logFile) = args[++i];
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return -1;
        } else if (a == "--version") {
            std::printf("quillet %s\n", VersionText());
            return -1;
        } else {
            std::fprintf(stderr, "quillet: %s\n%s",
                         (a == "--screenshot" || a == "--load" || a == "--log") ? (a + " needs a file name").c_str()
                                                                 : ("unknown argument " + a).c_str(),
                         kUsage);
            return 2;
        }
    }
    if (!o.load.empty() && o.screenshot.empty()) {
        std::fprintf(stderr, "quillet: --load goes with --screenshot\n");
        return 2;
    }
    return 0;
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    UseParentConsole();
    Options options;
    if (const int rc = Parse(Arguments(), options); rc != 0) return rc < 0 ? 0 : rc;
    // Outlives the dialog: the dialog's port taps into it.
    DialogTrace trace;
    std::string header = std::string("quillet.exe ") + VersionText() + " ";
    for (const std::string& a : Arguments()) header += " " + a;
    if (std::string error; !trace.Start(options.verbosity, options.logFile, header, error)) {
        std::fprintf(stderr, "quillet: %s\n", error.c_str());
        return 2;
    }
    // Named from where the program was started (the demo changes folder).
    for (std::string* file : {&options.screenshot, &options.load})
        if (!file->empty()) *file = Utf8FromPath(std::filesystem::absolute(PathFromUtf8(*file)));

    // The demo's generator lives in this process, on a line of its own that
    // the COM list offers as COM1; the sample pattern waits in the folder
    // "Load Image" opens (the current directory).
    std::unique_ptr<sim::MemoryLine> demo;
    if (options.demo) {
        namespace fs = std::filesystem;
        std::error_code ec;
        const fs::path folder = fs::temp_directory_path(ec) / "quillet-demo";
        fs::create_directories(folder / "received", ec);
        const std::string sample = Utf8FromPath(folder / "sample-pattern.bmp");
        if (ec || !WriteSamplePatternBmp(sample)) {
            std::fprintf(stderr, "quillet: cannot prepare the demo folder %s\n", Utf8FromPath(folder).c_str());
            return 1;
        }
        sim::Options simOptions;
        simOptions.kind = kGroupGenerator;
        simOptions.outputDir = Utf8FromPath(folder / "received");
        simOptions.trafficKept = sim::kLongRunTrafficKept;  // a demo may run all day
        demo = std::make_unique<sim::MemoryLine>(simOptions, "simulated generator");
        SetCurrentDirectoryW(folder.wstring().c_str());
        std::printf("Demo: a simulated signal generator is COM1.\n"
                    "      Press \"Search Signal Generator\", then \"Load Image\" and pick\n"
                    "      %s, enter a slot 1 to 4 and press \"SG NAND FLASH\".\n"
                    "      The simulator stores what it receives in %s\n",
                    sample.c_str(), simOptions.outputDir.c_str());
        std::fflush(stdout);
    }

    win::LoaderDialog dialog(demo ? PortMap({demo->Name()}) : PortMap(),
                             demo ? demo->DeviceFactory() : CSerialLink::DeviceFactory{});
    dialog.trace = &trace;
    if (!dialog.SocketsStartup()) {
        MessageBoxW(nullptr, WideFromUtf8(kStrSocketsFailed).c_str(), WideFromUtf8(IHost::AppTitle()).c_str(),
                    MB_OK);
        return 1;
    }

    // The operator's choices are kept per user; a picture run keeps none.
    if (options.screenshot.empty()) dialog.RememberChoices(std::make_unique<win::RegistrySettings>());
    int rc = 0;
    if (!options.screenshot.empty()) {
        // No one is there to answer: boxes go to stderr, the file dialog
        // answers with --load.
        dialog.boxSink = [](const std::string& text, const std::string& caption) {
            std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
        };
        if (!options.load.empty()) dialog.fileAnswers.push_back(options.load);
        dialog.afterInit = [&](win::LoaderDialog& d) {
            if (!options.load.empty()) d.Dialog()->OnCommand(IDC_LOAD_IMAGE);
            d.ShowPendingTexts();
            // The dialog shows itself once its queue is empty: here it
            // is shown at once, so that it is on the screen to be copied.
            ShowWindow(d.Window(), SW_SHOW);
            UpdateWindow(d.Window());
            std::string error;
            if (!win::SaveClientImage(d.Window(), options.screenshot, error)) {
                std::fprintf(stderr, "quillet: %s\n", error.c_str());
                rc = 1;
            }
            d.EndDialog();
        };
    }
    // Every flow's time-out is the one asked for (or the default).
    auto afterInit = std::move(dialog.afterInit);
    dialog.afterInit = [afterInit, timeoutMs = options.timeoutMs](win::LoaderDialog& d) {
        d.Dialog()->SetFlowTimeout(timeoutMs);
        if (afterInit) afterInit(d);
    };
    if (dialog.Run() == -1) {
        std::fprintf(stderr, "quillet: the dialog could not be created\n");
        return 1;
    }
    return rc;
}
