#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "serial/PortMap.h"
#include "support/Portable.h"

namespace quillet {
namespace {

class PortMapTest : public ::testing::Test {
protected:
    void SetUp() override { test::UnsetEnv("QUILLET_PORTS"); }
    void TearDown() override { test::UnsetEnv("QUILLET_PORTS"); }
};

TEST_F(PortMapTest, ComNumberIsThePositionInTheList) {
    const PortMap map = PortMap::FromList("/dev/a1,/dev/a2,/dev/a3,/dev/a4,/dev/a5,/dev/a6,/dev/a7,/dev/a8,/dev/a9,/dev/a10");
    EXPECT_TRUE(map.IsExplicit());
    EXPECT_EQ(map.DevicePath(1), "/dev/a1");
    EXPECT_EQ(map.DevicePath(9), "/dev/a9");
    EXPECT_EQ(map.DevicePath(10), "/dev/a10");
    EXPECT_EQ(map.DevicePath(11), "");
    EXPECT_EQ(map.DevicePath(0), "");
    EXPECT_EQ(map.DevicePath(99), "");
}

TEST_F(PortMapTest, EmptyItemsLeaveTheirNumberAbsent) {
    const PortMap map = PortMap::FromList(",/dev/b, ,/dev/d,");
    EXPECT_EQ(map.DevicePath(1), "");
    EXPECT_EQ(map.DevicePath(2), "/dev/b");
    EXPECT_EQ(map.DevicePath(3), "");
    EXPECT_EQ(map.DevicePath(4), "/dev/d");
    EXPECT_EQ(map.DevicePath(5), "");
    const auto present = map.Present();
    ASSERT_EQ(present.size(), 2u);
    EXPECT_EQ(present[0], (std::pair<unsigned, std::string>{2, "/dev/b"}));
    EXPECT_EQ(present[1], (std::pair<unsigned, std::string>{4, "/dev/d"}));
    // One instrument of many searches its own port alone, under its number.
    const PortMap only = map.Only(4);
    EXPECT_EQ(only.DevicePath(4), "/dev/d");
    EXPECT_EQ(only.Present(), (std::vector<std::pair<unsigned, std::string>>{{4, "/dev/d"}}));
}

TEST_F(PortMapTest, ParseList) {
    EXPECT_TRUE(PortMap::ParseList("").empty());
    EXPECT_EQ(PortMap::ParseList("/dev/x"), (std::vector<std::string>{"/dev/x"}));
    EXPECT_EQ(PortMap::ParseList(" /dev/x , /dev/y"), (std::vector<std::string>{"/dev/x", "/dev/y"}));
    EXPECT_EQ(PortMap::ParseList(",,"), (std::vector<std::string>{"", "", ""}));
}

TEST_F(PortMapTest, EnvironmentIsReadOnEveryCallAndAnExplicitMapWins) {
    const PortMap system;
    const PortMap given = PortMap::FromList("/dev/o1");
    EXPECT_FALSE(system.IsExplicit());
    test::SetEnv("QUILLET_PORTS", "/dev/e1,/dev/e2");
    EXPECT_EQ(system.DevicePath(2), "/dev/e2");
    test::SetEnv("QUILLET_PORTS", "/dev/f1");
    EXPECT_EQ(system.DevicePath(1), "/dev/f1");
    EXPECT_EQ(system.DevicePath(2), "");
    EXPECT_EQ(system.Only(1).DevicePath(1), "/dev/f1");
    EXPECT_EQ(given.DevicePath(1), "/dev/o1");
#ifndef _WIN32
    // Set but empty: no ports at all, not the devices present. (Windows
    // knows no variable that is set but empty.)
    test::SetEnv("QUILLET_PORTS", "");
    EXPECT_EQ(system.DevicePath(1), "");
    EXPECT_TRUE(system.Present().empty());
#endif
}

// The search tries COM1 to COM99: every use of a longer map ends there,
// and the entries past it are counted (empty ones are no entries).
TEST_F(PortMapTest, EntriesPastCom99AreLeftOutAndCounted) {
    std::vector<std::string> entries(10000);
    entries[0] = "/dev/first";
    entries[98] = "/dev/com99";
    entries[99] = "/dev/com100";
    entries[9999] = "/dev/com10000";
    const PortMap map(entries);
    EXPECT_EQ(map.LeftOut(), 2u);
    EXPECT_EQ(map.Present(), (std::vector<std::pair<unsigned, std::string>>{{1, "/dev/first"}, {99, "/dev/com99"}}));
    EXPECT_EQ(map.DevicePath(99), "/dev/com99");
    EXPECT_EQ(map.DevicePath(100), "");
    EXPECT_EQ(map.Only(99).Present().size(), 1u);
    EXPECT_EQ(PortMap::FromList("/dev/a,,/dev/c").LeftOut(), 0u);

    // The system's map (QUILLET_PORTS) is cut and counted on every read.
    std::string list;
    for (int com = 1; com <= 120; ++com) list += (com == 1 ? "" : ",") + ("/dev/e" + std::to_string(com));
    test::SetEnv("QUILLET_PORTS", list.c_str());
    const PortMap system;
    EXPECT_EQ(system.LeftOut(), 21u);
    EXPECT_EQ(system.Present().size(), static_cast<std::size_t>(kLastCom));
    EXPECT_EQ(system.DevicePath(120), "");
}

#ifndef _WIN32
// A node made anew under the same name is another device to --watch.
TEST_F(PortMapTest, DeviceIdentityTellsANodeMadeAnew) {
    const std::string path = (std::filesystem::temp_directory_path() / "quillet-identity-node").string();
    std::ofstream(path) << "x";
    const std::string first = DeviceIdentity(path);
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(DeviceIdentity(path), first);
    std::filesystem::remove(path);
    EXPECT_EQ(DeviceIdentity(path), "");
    // A real re-plug takes far longer than the clock's step.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::ofstream(path) << "y";
    EXPECT_NE(DeviceIdentity(path), first);
    std::filesystem::remove(path);
}
#endif

TEST_F(PortMapTest, DefaultOrderIsByKindThenNumerically) {
    const std::vector<std::string> dev = {"ttyS1",   "ttyUSB10", "console", "ttyACM0", "ttyUSB2",
                                          "ttyS0",   "ttyUSB",   "ttyS10",  "ttyS2",   "ttyUSB1x",
                                          "ttyACM1", "tty5",     "null",    "ttyUSB0",
                                          "rfcomm0", "ttyAMA1",  "ttyAMA0"};
    EXPECT_EQ(PortMap::OrderDevices(dev),
              (std::vector<std::string>{"/dev/ttyUSB0", "/dev/ttyUSB2", "/dev/ttyUSB10", "/dev/ttyACM0",
                                        "/dev/ttyACM1", "/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2",
                                        "/dev/ttyS10", "/dev/ttyAMA0", "/dev/ttyAMA1", "/dev/rfcomm0"}));
}

#ifndef _WIN32  // the Linux device and sysfs layout
// A /dev and /sys of a machine with an FTDI converter (with its by-id link),
// a CDC-ACM board, a real UART, a ttyS node without a UART and a Bluetooth
// port, laid out as the kernel and udev lay them out.
class FakeSystem : public ::testing::Test {
protected:
    std::filesystem::path root;
    SystemPaths paths;

    void File(const std::string& path, const std::string& text = "") {
        std::filesystem::create_directories((root / path).parent_path());
        std::ofstream(root / path) << text << "\n";
    }
    void Link(const std::string& link, const std::string& target) {
        std::filesystem::create_directories((root / link).parent_path());
        std::filesystem::create_directories(root / target);
        std::filesystem::create_directory_symlink(root / target, root / link);
    }
    void SetUp() override {
        char tmpl[] = "/tmp/quillet-sysfs-XXXXXX";
        root = ::mkdtemp(tmpl);
        paths = {(root / "dev").string(), (root / "sys").string()};
        for (const char* node : {"ttyUSB0", "ttyACM0", "ttyS0", "ttyS1", "rfcomm0", "null"}) File("dev/" + std::string(node));
        std::filesystem::create_directories(root / "dev/serial/by-id");
        std::filesystem::create_symlink("../../ttyUSB0", root / "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");

        const std::string ftdi = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
        File(ftdi + "/idVendor", "0403");
        File(ftdi + "/idProduct", "6001");
        File(ftdi + "/manufacturer", "FTDI");
        File(ftdi + "/product", "FT232R USB UART");
        File(ftdi + "/serial", "A50285BI");
        File(ftdi + "/1-2:1.0/interface", "FT232R USB UART");
        Link(ftdi + "/1-2:1.0/ttyUSB0/subsystem", "sys/bus/usb-serial");
        Link(ftdi + "/1-2:1.0/ttyUSB0/driver", "sys/bus/usb-serial/drivers/ftdi_sio");
        File(ftdi + "/1-2:1.0/ttyUSB0/latency_timer", "16");
        Link("sys/class/tty/ttyUSB0/device", ftdi + "/1-2:1.0/ttyUSB0");

        const std::string acm = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-3";
        File(acm + "/idVendor", "2e8a");
        File(acm + "/idProduct", "000a");
        File(acm + "/product", "Board CDC");
        Link(acm + "/1-3:1.0/subsystem", "sys/bus/usb");
        Link(acm + "/1-3:1.0/driver", "sys/bus/usb/drivers/cdc_acm");
        Link("sys/class/tty/ttyACM0/device", acm + "/1-3:1.0");

        // A UART found on the board, behind the serial core's port device.
        Link("sys/devices/pnp0/00:01/subsystem", "sys/bus/pnp");
        Link("sys/devices/pnp0/00:01/driver", "sys/bus/pnp/drivers/serial");
        Link("sys/devices/pnp0/00:01/00:01:0/00:01:0.0/subsystem", "sys/bus/serial-base");
        Link("sys/devices/pnp0/00:01/00:01:0/subsystem", "sys/bus/serial-base");
        Link("sys/class/tty/ttyS0/device", "sys/devices/pnp0/00:01/00:01:0/00:01:0.0");
        File("sys/class/tty/ttyS0/type", "4");
        // A node the kernel keeps although it found no UART for it.
        Link("sys/class/tty/ttyS1/device", "sys/devices/platform/serial8250");
        File("sys/class/tty/ttyS1/type", "0");
        std::filesystem::create_directories(root / "sys/class/tty/rfcomm0");
    }
    void TearDown() override { std::filesystem::remove_all(root); }
    std::string Dev(const std::string& name) const { return paths.dev + "/" + name; }
};

TEST_F(FakeSystem, DefaultMapSkipsTtySWithoutAUart) {
    EXPECT_EQ(PortMap::DefaultDevices(paths),
              (std::vector<std::string>{Dev("ttyUSB0"), Dev("ttyACM0"), Dev("ttyS0"), Dev("rfcomm0")}));
}

TEST_F(FakeSystem, DescriptionsComeFromSysfsAndTheByIdLinks) {
    const PortDescription usb = DescribePort(Dev("ttyUSB0"), paths);
    EXPECT_TRUE(usb.exists);
    EXPECT_EQ(usb.byId, Dev("serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"));
    EXPECT_EQ(usb.vid + ":" + usb.pid, "0403:6001");
    EXPECT_EQ(usb.interfaceName, "FT232R USB UART");
    EXPECT_EQ(usb.location, "1-2:1.0");
    EXPECT_EQ(usb.subsystem, "usb-serial");
    EXPECT_EQ(usb.latencyTimerMs, 16u);
    // Linux sets the timer itself while the port is open: no advice.
    EXPECT_EQ(usb.advice, "");
    EXPECT_EQ(usb.Summary(), "FT232R USB UART (FTDI), USB 0403:6001, serial A50285BI, driver ftdi_sio, "
                             "by-id usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    // The by-id link names the same device.
    const PortDescription byId = DescribePort(usb.byId, paths);
    EXPECT_EQ(byId.Summary(), usb.Summary());
    EXPECT_EQ(byId.sysfsPath, usb.sysfsPath);

    EXPECT_EQ(DescribePort(Dev("ttyACM0"), paths).Summary(), "Board CDC, USB 2e8a:000a, driver cdc_acm");
    EXPECT_EQ(DescribePort(Dev("ttyACM0"), paths).latencyTimerMs, std::nullopt);
    const PortDescription uart = DescribePort(Dev("ttyS0"), paths);
    EXPECT_EQ(uart.Summary(), "driver serial");
    EXPECT_EQ(uart.subsystem, "pnp");
    // Known to exist, nothing else known; or not there at all.
    EXPECT_EQ(DescribePort(Dev("rfcomm0"), paths).Summary(), "");
    EXPECT_TRUE(DescribePort(Dev("rfcomm0"), paths).exists);
    EXPECT_EQ(DescribePort(Dev("ttyUSB7"), paths).Summary(), "absent");
}
#endif

TEST_F(PortMapTest, DefaultMapListsOnlySerialDevicesThatExist) {
    const PortMap system;
    for (const auto& [com, path] : system.Present()) {
        EXPECT_EQ(system.DevicePath(com), path);
#ifdef _WIN32
        // The system's own names for the COM ports it has.
        EXPECT_EQ(path, com < 10 ? "COM" + std::to_string(com) : "\\\\.\\COM" + std::to_string(com));
#else
        EXPECT_TRUE(std::filesystem::exists(path)) << path;
        EXPECT_EQ(path.rfind("/dev/tty", 0), 0u) << path;
#endif
    }
}

} // namespace
} // namespace quillet
