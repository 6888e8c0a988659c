#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>

#include "serial/PortMap.h"

namespace quillet {
namespace {

class PortMapTest : public ::testing::Test {
protected:
    void SetUp() override {
        PortMap::ClearOverride();
        ::unsetenv("QUILLET_PORTS");
    }
    void TearDown() override {
        PortMap::ClearOverride();
        ::unsetenv("QUILLET_PORTS");
    }
};

TEST_F(PortMapTest, ComNumberIsThePositionInTheList) {
    PortMap::SetOverride("/dev/a1,/dev/a2,/dev/a3,/dev/a4,/dev/a5,/dev/a6,/dev/a7,/dev/a8,/dev/a9,/dev/a10");
    EXPECT_EQ(PortMap::DevicePath(1), "/dev/a1");
    EXPECT_EQ(PortMap::DevicePath(9), "/dev/a9");
    EXPECT_EQ(PortMap::DevicePath(10), "/dev/a10");
    EXPECT_EQ(PortMap::DevicePath(11), "");
    EXPECT_EQ(PortMap::DevicePath(0), "");
    EXPECT_EQ(PortMap::DevicePath(99), "");
}

TEST_F(PortMapTest, EmptyItemsLeaveTheirNumberAbsent) {
    PortMap::SetOverride(",/dev/b, ,/dev/d,");
    EXPECT_EQ(PortMap::DevicePath(1), "");
    EXPECT_EQ(PortMap::DevicePath(2), "/dev/b");
    EXPECT_EQ(PortMap::DevicePath(3), "");
    EXPECT_EQ(PortMap::DevicePath(4), "/dev/d");
    EXPECT_EQ(PortMap::DevicePath(5), "");
    const auto present = PortMap::Present();
    ASSERT_EQ(present.size(), 2u);
    EXPECT_EQ(present[0], (std::pair<unsigned, std::string>{2, "/dev/b"}));
    EXPECT_EQ(present[1], (std::pair<unsigned, std::string>{4, "/dev/d"}));
}

TEST_F(PortMapTest, ParseList) {
    EXPECT_TRUE(PortMap::ParseList("").empty());
    EXPECT_EQ(PortMap::ParseList("/dev/x"), (std::vector<std::string>{"/dev/x"}));
    EXPECT_EQ(PortMap::ParseList(" /dev/x , /dev/y"), (std::vector<std::string>{"/dev/x", "/dev/y"}));
    EXPECT_EQ(PortMap::ParseList(",,"), (std::vector<std::string>{"", "", ""}));
}

TEST_F(PortMapTest, EnvironmentIsReadOnEveryCallAndTheOverrideWins) {
    ::setenv("QUILLET_PORTS", "/dev/e1,/dev/e2", 1);
    EXPECT_EQ(PortMap::DevicePath(2), "/dev/e2");
    ::setenv("QUILLET_PORTS", "/dev/f1", 1);
    EXPECT_EQ(PortMap::DevicePath(1), "/dev/f1");
    EXPECT_EQ(PortMap::DevicePath(2), "");

    PortMap::SetOverride("/dev/o1");
    EXPECT_EQ(PortMap::DevicePath(1), "/dev/o1");
    ::setenv("QUILLET_PORTS", "/dev/g1", 1);
    EXPECT_EQ(PortMap::DevicePath(1), "/dev/o1");

    PortMap::ClearOverride();
    EXPECT_EQ(PortMap::DevicePath(1), "/dev/g1");
    // Set but empty: no ports at all, not the devices present.
    ::setenv("QUILLET_PORTS", "", 1);
    EXPECT_EQ(PortMap::DevicePath(1), "");
    EXPECT_TRUE(PortMap::Present().empty());
}

TEST_F(PortMapTest, DefaultOrderIsByKindThenNumerically) {
    const std::vector<std::string> dev = {"ttyS1",   "ttyUSB10", "console", "ttyACM0", "ttyUSB2",
                                          "ttyS0",   "ttyUSB",   "ttyS10",  "ttyS2",   "ttyUSB1x",
                                          "ttyACM1", "tty5",     "null",    "ttyUSB0"};
    EXPECT_EQ(PortMap::OrderDevices(dev),
              (std::vector<std::string>{"/dev/ttyUSB0", "/dev/ttyUSB2", "/dev/ttyUSB10", "/dev/ttyACM0",
                                        "/dev/ttyACM1", "/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2",
                                        "/dev/ttyS10"}));
}

TEST_F(PortMapTest, DefaultMapListsOnlySerialDevicesThatExist) {
    for (const auto& [com, path] : PortMap::Present()) {
        EXPECT_EQ(PortMap::DevicePath(com), path);
        EXPECT_EQ(::access(path.c_str(), F_OK), 0) << path;
        EXPECT_EQ(path.rfind("/dev/tty", 0), 0u) << path;
    }
}

} // namespace
} // namespace quillet
