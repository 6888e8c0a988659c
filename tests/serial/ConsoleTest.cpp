// SPDX-License-Identifier: Apache-2.0
// The kernel's console is no port to send search frames to: the default
// map leaves it out, whether the kernel names it as the active console in
// sysfs or lists it in /proc/consoles; a map the operator gives reaches it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "serial/PortMap.h"
#include "support/Portable.h"

namespace quillet {
namespace {

class ConsoleTest : public ::testing::Test {
protected:
    std::filesystem::path root;
    SystemPaths paths;

    void File(const std::string& path, const std::string& text = "") {
        std::filesystem::create_directories((root / path).parent_path());
        std::ofstream(root / path) << text;
    }
    void SetUp() override {
        root = test::MakeScratchDir("console");
        ASSERT_FALSE(root.empty());
        paths = {(root / "dev").string(), (root / "sys").string()};
        for (const char* node : {"ttyUSB0", "ttyS0", "ttyS1", "ttyS2", "ttyAMA0"}) File("dev/" + std::string(node));
        for (const char* uart : {"ttyS0", "ttyS1", "ttyS2"}) File("sys/class/tty/" + std::string(uart) + "/type", "4\n");
    }
    void TearDown() override { std::filesystem::remove_all(root); }
    std::string Dev(const std::string& name) const { return paths.dev + "/" + name; }
};

TEST_F(ConsoleTest, TheActiveConsoleIsLeftOutOfTheDefaultMapOnly) {
    const std::vector<std::string> all = {Dev("ttyUSB0"), Dev("ttyS0"), Dev("ttyS1"), Dev("ttyS2"), Dev("ttyAMA0")};
    EXPECT_EQ(PortMap::DefaultDevices(paths), all);
    EXPECT_TRUE(SystemConsoles(paths).empty());

    // The virtual terminal is a console too, but no serial port.
    File("sys/class/tty/console/active", "tty0 ttyS1\n");
    File("proc/consoles",
         "ttyAMA0              -W- (EC p a)    204:64\n"
         "tty0                 -WU (E  p  )    4:1\n");
    EXPECT_EQ(SystemConsoles(paths), (std::vector<std::string>{"tty0", "ttyS1", "ttyAMA0"}));
    EXPECT_EQ(PortMap::DefaultDevices(paths), (std::vector<std::string>{Dev("ttyUSB0"), Dev("ttyS0"), Dev("ttyS2")}));

    // Named by the operator, it is there.
    const PortMap given = PortMap::FromList(Dev("ttyS1"));
    EXPECT_EQ(given.DevicePath(1), Dev("ttyS1"));
    EXPECT_EQ(given.Present().size(), 1u);
}

} // namespace
} // namespace quillet
