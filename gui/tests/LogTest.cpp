// quillet -v and --log FILE: the dialog's search traced into a log, with
// the real serial link on a pseudo-terminal and the simulated generator
// behind it; a log that cannot be written stops the program before the
// dialog opens.
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "dialog/DialogTrace.h"
#include "gui/LoaderWindow.h"
#include "gui/QtHost.h"
#include "gui/tests/Wait.h"
#include "serial/PortMap.h"
#include "sim/lib/Simulator.h"

namespace quillet::gui {
namespace {

constexpr int kSearchLimitMs = 10000;
constexpr int kProgramLimitMs = 30000;

std::string FileText(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Has(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

TEST(DialogLog, TheSearchFromTheDialogIsTracedIntoTheLog) {
    sim::Options options;
    options.kind = kGroupGenerator;
    options.outputDir = ::testing::TempDir();
    sim::Simulator simulator(options);
    const std::string device = simulator.OpenPty();
    ASSERT_FALSE(device.empty());
    simulator.Start();
    QTemporaryDir dir;
    const std::string log = dir.filePath("quillet.log").toStdString();
    {
        // An earlier run's trace stays: the log is appended to.
        std::FILE* earlier = std::fopen(log.c_str(), "w");
        ASSERT_NE(earlier, nullptr);
        std::fputs("earlier run\n", earlier);
        std::fclose(earlier);
    }
    {
        DialogTrace trace;
        std::string error;
        ASSERT_TRUE(trace.Start(0, log, "quillet --log x", error)) << error;
        LoaderWindow window;
        std::vector<std::string> boxes;
        window.Host().messageBoxHook = [&](const std::string& text, const std::string&) {
            boxes.push_back(text);
            return IDOK;
        };
        window.Initialise(PortMap::FromList("," + device), trace);  // COM1 absent
        qobject_cast<QPushButton*>(window.Control(1107))->click();
        auto* portButton = qobject_cast<QPushButton*>(window.Control(1006));
        EXPECT_TRUE(test::WaitFor([&] { return portButton->text() == "Close Port"; }, kSearchLimitMs));
        EXPECT_TRUE(boxes.empty()) << boxes.front();
    }
    simulator.Stop();
    // The log holds the steps (the level --log gives at least), not the bytes.
    const std::string text = FileText(log);
    EXPECT_EQ(text.rfind("earlier run\n# 20", 0), 0u) << text;  // then this run's header: the time in UTC
    EXPECT_TRUE(Has(text, "Z  quillet --log x\n")) << text;
    EXPECT_TRUE(Has(text, "COM1: no device in the port map\n")) << text;
    EXPECT_TRUE(Has(text, "COM2  opened " + device + " at 115200 8N1\n")) << text;
    EXPECT_TRUE(Has(text, "COM2  search frame for the signal generator\n")) << text;
    EXPECT_TRUE(Has(text, "found the signal generator on COM2\n")) << text;
    EXPECT_FALSE(Has(text, " TX ")) << text;
}

TEST(DialogLog, ALogThatCannotBeWrittenIsAUsageError) {
    QTemporaryDir dir;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(QUILLET_GUI_PATH), {"-v", "--log", dir.filePath("no-such-folder/quillet.log")});
    ASSERT_TRUE(p.waitForFinished(kProgramLimitMs));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 2);
    const std::string err = p.readAllStandardError().toStdString();
    EXPECT_TRUE(Has(err, "quillet: cannot write the log ")) << err;
    EXPECT_TRUE(Has(err, "no-such-folder/quillet.log: No such file or directory")) << err;

    QProcess missing;
    missing.setProcessEnvironment(env);
    missing.start(QStringLiteral(QUILLET_GUI_PATH), {"--log"});
    ASSERT_TRUE(missing.waitForFinished(kProgramLimitMs));
    EXPECT_EQ(missing.exitCode(), 2);
}

} // namespace
} // namespace quillet::gui
