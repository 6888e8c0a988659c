// quillet.exe, the Win32 dialog, under wine on a virtual X display (Xvfb):
// driven by dialog_driver.exe (tests/wine/driver) through "Search Signal
// Generator", "Load Image" (the file dialog answered) and "SG NAND FLASH"
// slot 1 against the simulator on an FTDI adapter's COM port (the close
// box, Escape and the end of the Windows session asked about during the
// upload and answered No; the adapter's latency timer told), the
// end of the session stopping an upload, and its --screenshot.
#include "WineSupport.h"
#include "dialog/DialogTemplate.h"

#include <cstdlib>
#include <filesystem>
#include <set>

namespace quillet::test {
namespace {

// The FTDI driver's key of the adapter the dialog's upload runs on.
constexpr const char* kFtdiDialogKey = "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+QTEST03A";

class WineDialog : public WineFixture {
protected:
    void SetUp() override {
        WineFixture::SetUp();
        if (IsSkipped()) return;
        if (std::system("command -v xvfb-run >/dev/null 2>&1") != 0) GTEST_SKIP() << "xvfb-run is missing";
        // The display is this test's own: wine starts again on it.
        EndWine();
    }
    void TearDown() override {
        EndWine();
        WineFixture::TearDown();
    }
    static void EndWine() {
        RunProgram("/usr/bin/env", {"WINEPREFIX=" + Wine().prefix, "wineserver", "-k"}, "", 30);
    }

    // Runs the shell `script` on a display of its own.
    RunResult OnDisplay(const std::string& script, double limit) {
        return RunProgram("/usr/bin/xvfb-run", {"-a", "-s", "-screen 0 1280x1024x24", "bash", "-c", script},
                          dir.Path(), limit);
    }
    // A shell line that forgets what quillet.exe remembers (the image
    // folder, port, slot, kind): each run starts as a new operator's, not
    // in the folder an earlier test left behind.
    std::string Forget() const {
        return Wine().run + " " + Wine().prefix + " reg delete 'HKCU\\Software\\Quillet' /f >/dev/null 2>&1 || true\n";
    }
    // Shell words that run a program of the Windows build under wine.
    std::string WineCall(const std::string& program, const std::string& args) const {
        return "env LD_PRELOAD=" + std::string(QUILLET_MODEMLINES_LIB) + " LANG=C.UTF-8 " + Wine().run + " " +
               Wine().prefix + " " + Wine().build + "/" + program + " " + args;
    }
};

TEST_F(WineDialog, SearchLoadImageAndNandFlashStoreThePattern) {
    if (!HavePillow()) GTEST_SKIP() << "Pillow is missing";
    ASSERT_TRUE(PillowRandomBmp(dir / "pattern.bmp", 1920, 1080, 12));
    sim::Options o;
    o.eraseTimeMs = 200;
    StartSim(o);
    // COM1 and COM2 absent, the generator on COM3, defined for wine's
    // mount manager, which sets the links when wine starts again on the
    // display; the driver starts once it has run.
    MapPorts({Absent(), Absent(), device});
    EndWine();
    // COM3 is an FTDI adapter whose latency timer is 16 ms (the driver's
    // key as WineAdapterTest files it, taken away again after the run).
    const std::string reg = Wine().run + " " + Wine().prefix + " reg ";
    const std::string key = std::string("'") + kFtdiDialogKey + "\\0000\\Device Parameters'";
    const std::string script =
        "set -e\n" + Wine().run + " " + Wine().prefix + " cmd /c exit\n" + "for i in $(seq " +
        std::to_string(static_cast<int>(kMountManagerWaitS)) + "); do " + Wine().run + " " + Wine().prefix +
        " reg query '" + kPortMapKey + "' >/dev/null 2>&1 && break; sleep 1; done\n" + Forget() + reg + "add " +
        key + " /v PortName /t REG_SZ /d COM3 /f >/dev/null\n" + reg + "add " + key +
        " /v LatencyTimer /t REG_DWORD /d 16 /f >/dev/null\n" + "status=0\n" +
        WineCall("tests/dialog_driver.exe", "pattern.bmp 1") + " || status=$?\n" + reg + "delete '" +
        kFtdiDialogKey + "' /f >/dev/null 2>&1 || true\nexit $status\n";
    const RunResult r = OnDisplay(script, 400);
    ASSERT_EQ(r.code, 0) << Describe(r);
    // The adapter's advice below the strip's line while the blocks go out,
    // the strip whole inside the window; gone at the end.
    EXPECT_TRUE(Contains(r.out, " | COM3 is an FTDI adapter with a 16 ms latency timer: uploads take up to "))
        << r.out;
    EXPECT_TRUE(Contains(r.out, "> the port (COM3) > Properties > Port Settings > Advanced > Latency Timer (msec).\"\r\n"))
        << r.out;
    EXPECT_TRUE(Contains(r.out, "strip at the end \"\"\r\n")) << r.out;
    EXPECT_TRUE(Contains(r.out, "box \"Quillet\": Can not find this port or used by other application")) << r.out;
    EXPECT_TRUE(Contains(r.out, "found on COM3")) << r.out;
    EXPECT_TRUE(Contains(r.out, "port closed")) << r.out;
    // Closing and Escape during the upload asked; No let it run to its end.
    for (const char* how : {"close", "escape"})
        EXPECT_TRUE(Contains(r.out, std::string(how) +
                                        " asked \"Quillet\": An upload to the instrument is running ("))
            << r.out;
    // A shutdown or logoff asked about during the upload was held up.
    EXPECT_TRUE(Contains(r.out, "end of session held up")) << r.out;
    EXPECT_TRUE(Contains(r.out, "status: User pattern stored in slot 1.")) << r.out;
    const sim::Summary s = StopSim();
    EXPECT_TRUE(s.violations.empty()) << s.violations.front();
    EXPECT_EQ(s.blocksAccepted, 24300u);
    ASSERT_TRUE(PillowDecodeRgb(dir / "sim/pattern_slot1.bmp", dir / "stored.rgb"));
    EXPECT_TRUE(ReadFile(dir / "stored.rgb") == ReadFile(dir / "pattern.bmp.rgb"))
        << "stored image differs from the source";
}

// --demo: the generator lives inside quillet.exe as COM1 and the sample
// pattern waits in the folder "Load Image" opens.
TEST_F(WineDialog, DemoWithTheGeneratorInsideTheDialog) {
    if (!HavePillow()) GTEST_SKIP() << "Pillow is missing";
    const RunResult r = OnDisplay(Forget() + WineCall("tests/dialog_driver.exe", "sample-pattern.bmp 4 --demo"), 400);
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "found on COM1")) << r.out;
    // The demo folder is in the Windows temporary folder of the prefix.
    std::string folder;
    for (const auto& user : std::filesystem::directory_iterator(Wine().prefix + "/drive_c/users"))
        if (std::filesystem::exists(user.path() / "Temp/quillet-demo/received/pattern_slot4.bmp"))
            folder = (user.path() / "Temp/quillet-demo").string();
    ASSERT_FALSE(folder.empty()) << "no pattern stored in slot 4";
    ASSERT_TRUE(PillowDecodeRgb(folder + "/received/pattern_slot4.bmp", dir / "stored.rgb"));
    ASSERT_TRUE(PillowDecodeRgb(folder + "/sample-pattern.bmp", dir / "sample.rgb"));
    EXPECT_TRUE(ReadFile(dir / "stored.rgb") == ReadFile(dir / "sample.rgb")) << "stored image differs from the sample";
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
}

// A shutdown Windows does not wait for, during the upload: allowed, and
// the upload stops cleanly (the port closed, the status saying where)
// before the program is ended.
TEST_F(WineDialog, TheEndOfTheSessionStopsTheUploadCleanly) {
    const RunResult r =
        OnDisplay(Forget() + WineCall("tests/dialog_driver.exe", "sample-pattern.bmp 3 --demo --end-session"), 400);
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "end of session held up")) << r.out;
    EXPECT_TRUE(Contains(r.out, "critical end of session allowed")) << r.out;
    EXPECT_TRUE(Contains(r.out, "session ended: status \"Stopped at ")) << r.out;
    EXPECT_TRUE(Contains(r.out, "port button \"Turn on Port\"")) << r.out;
}

// The picture is the client area of template 102 with the progress strip
// below it: 393 x MainDialogHeight() dialog units in the pixels of the
// font's base units.
TEST_F(WineDialog, ScreenshotHasTheTemplatesProportions) {
    const RunResult r = OnDisplay(WineCall("win/quillet.exe", "--screenshot shot.bmp") + " && " +
                                      WineCall("win/quillet.exe", "--screenshot shot.png"),
                                  120);
    ASSERT_EQ(r.code, 0) << Describe(r);
    const auto bmp = ReadFile(dir / "shot.bmp");
    ASSERT_GE(bmp.size(), 54u);
    ASSERT_EQ(bmp[0], 'B');
    const auto u32 = [&](std::size_t at) {
        return static_cast<int>(bmp[at] | bmp[at + 1] << 8 | bmp[at + 2] << 16 | bmp[at + 3] << 24);
    };
    const int w = u32(18), h = u32(22);
    bool matches = false;
    for (int bx = 4; bx <= 12; ++bx)
        for (int by = 8; by <= 24; ++by)
            if (w == (393 * bx + 2) / 4 && h == (MainDialogHeight() * by + 4) / 8) matches = true;
    EXPECT_TRUE(matches) << w << " x " << h;
    // Drawn, not blank: the dialog's face, its black preview, its text.
    std::set<std::uint32_t> colours;
    for (std::size_t i = 54; i + 2 < bmp.size(); i += 3) colours.insert(bmp[i] | bmp[i + 1] << 8 | bmp[i + 2] << 16);
    EXPECT_GT(colours.size(), 8u);
    const auto png = ReadFile(dir / "shot.png");
    ASSERT_GE(png.size(), 8u);
    EXPECT_EQ(std::string(png.begin() + 1, png.begin() + 4), "PNG");
}

} // namespace
} // namespace quillet::test
