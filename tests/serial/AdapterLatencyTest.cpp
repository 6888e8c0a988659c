#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "serial/AdapterLatency.h"

namespace quillet {
namespace {

// A registry of a few keys below HKLM, as a test lays it out.
class FakeRegistry final : public IRegistryView {
public:
    std::map<std::string, std::map<std::string, std::string>> texts;
    std::map<std::string, std::map<std::string, std::uint32_t>> numbers;

    // An FTDI port's parameters as the driver files them.
    void AddFtdiPort(const std::string& device, const std::string& instance, const std::string& portName,
                     std::optional<std::uint32_t> latency) {
        const std::string key = std::string(kFtdiBusKey) + "\\" + device + "\\" + instance + "\\Device Parameters";
        texts[key]["PortName"] = portName;
        if (latency) numbers[key]["LatencyTimer"] = *latency;
    }
    std::vector<std::string> SubKeys(const std::string& key) const override {
        std::vector<std::string> names;
        const std::string prefix = key + "\\";
        auto collect = [&](const auto& table) {
            for (const auto& entry : table) {
                if (entry.first.rfind(prefix, 0) != 0) continue;
                const std::string rest = entry.first.substr(prefix.size());
                const std::string name = rest.substr(0, rest.find('\\'));
                if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
            }
        };
        collect(texts);
        collect(numbers);
        return names;
    }
    std::optional<std::string> Text(const std::string& key, const std::string& name) const override {
        const auto k = texts.find(key);
        if (k == texts.end() || !k->second.count(name)) return std::nullopt;
        return k->second.at(name);
    }
    std::optional<std::uint32_t> Number(const std::string& key, const std::string& name) const override {
        const auto k = numbers.find(key);
        if (k == numbers.end() || !k->second.count(name)) return std::nullopt;
        return k->second.at(name);
    }
};

TEST(AdapterLatency, TheTimerIsFoundByThePortsName) {
    FakeRegistry registry;
    registry.AddFtdiPort("VID_0403+PID_6001+A50285BIA", "0000", "COM5", 16);
    registry.AddFtdiPort("VID_0403+PID_6015+DN02ABCDA", "0000", "COM12", 1);
    // Plugged in on another hub once: a second instance, its own port.
    registry.AddFtdiPort("VID_0403+PID_6015+DN02ABCDA", "0001", "COM13", 8);
    // A port whose key holds no timer (an older driver).
    registry.AddFtdiPort("VID_0403+PID_6010+FT4XYZA", "0000", "COM7", std::nullopt);

    EXPECT_EQ(FtdiLatencyMs(registry, "COM5"), 16u);
    EXPECT_EQ(FtdiLatencyMs(registry, "com5"), 16u);
    EXPECT_EQ(FtdiLatencyMs(registry, "\\\\.\\COM12"), 1u);
    EXPECT_EQ(FtdiLatencyMs(registry, "COM13"), 8u);
    EXPECT_EQ(FtdiLatencyMs(registry, "COM7"), std::nullopt);
    // No FTDI port of that name; a name that merely starts alike.
    EXPECT_EQ(FtdiLatencyMs(registry, "COM3"), std::nullopt);
    EXPECT_EQ(FtdiLatencyMs(registry, "COM1"), std::nullopt);
    // Nothing of FTDI in the registry at all.
    EXPECT_EQ(FtdiLatencyMs(FakeRegistry{}, "COM5"), std::nullopt);
}

TEST(AdapterLatency, AdviceNamesThePortTheTimerAndWhereToSetIt) {
    const std::string advice = LatencyAdvice("\\\\.\\com15", 16);
    EXPECT_EQ(advice.rfind("COM15 is an FTDI adapter with a 16 ms latency timer", 0), 0u) << advice;
    EXPECT_NE(advice.find("Latency Timer"), std::string::npos) << advice;
    EXPECT_NE(advice.find("(COM15)"), std::string::npos) << advice;
    EXPECT_NE(advice.find("Set it to 1 ms"), std::string::npos) << advice;
    // 15 ms more on each block of about 25 ms on the line.
    EXPECT_NE(advice.find("up to 61 % longer"), std::string::npos) << advice;
    EXPECT_NE(LatencyAdvice("COM2", 2).find("up to 4 % longer"), std::string::npos);
    // At 1 ms (or below) there is nothing to say.
    EXPECT_EQ(LatencyAdvice("COM5", 1), "");
    EXPECT_EQ(LatencyAdvice("COM5", 0), "");
}

#ifndef _WIN32
TEST(AdapterLatency, OnlyWindowsHasTheRegistry) {
    EXPECT_TRUE(MakeSystemRegistryView()->SubKeys(kFtdiBusKey).empty());
}
#endif

} // namespace
} // namespace quillet
