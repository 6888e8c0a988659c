// CRC-16 of the chunk frames: check values and a cross-check against an
// outside implementation (Debian's python3-crcmod with the same parameters).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "support/Portable.h"

#include "firmware/Crc16.h"

namespace quillet {
namespace {

std::uint16_t Crc(const std::string& s) {
    return ComputeCrc16(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

// The same CRC, bit by bit, as the polynomial defines it.
std::uint16_t BitwiseCrc(const std::vector<std::uint8_t>& data) {
    std::uint16_t crc = 0x1021;
    for (auto b : data) {
        crc ^= static_cast<std::uint16_t>(b << 8);
        for (int i = 0; i < 8; ++i) crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

TEST(Crc16Test, CheckValues) {
    EXPECT_EQ(ComputeCrc16(nullptr, 0), 0x1021);
    EXPECT_EQ(Crc("abc"), 0xEB62);
    // The initial value is what sets it apart from the common variants.
    EXPECT_NE(Crc("123456789"), 0x29B1);  // CCITT-FALSE (init 0xFFFF)
    EXPECT_NE(Crc("123456789"), 0x31C3);  // XMODEM (init 0)
}

TEST(Crc16Test, TableAgreesWithTheBitwiseDefinition) {
    std::mt19937 rng(42);
    for (std::size_t n : {1u, 2u, 255u, 4096u}) {
        std::vector<std::uint8_t> data(n);
        for (auto& b : data) b = static_cast<std::uint8_t>(rng());
        EXPECT_EQ(ComputeCrc16(data.data(), data.size()), BitwiseCrc(data)) << n;
    }
}

TEST(Crc16Test, AgreesWithCrcmod) {
    const std::string python = QUILLET_PYTHON;
    if (std::system((python + " -c 'import crcmod' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "python3-crcmod is not installed";
    std::mt19937 rng(1234);
    const auto dir = std::filesystem::temp_directory_path();
    for (std::size_t n : {1u, 3u, 100u, 1808u, 4096u}) {
        std::vector<char> data(n);
        for (auto& b : data) b = static_cast<char>(rng());
        const auto path = dir / ("quillet-crc-" + std::to_string(n) + "-" + std::to_string(test::ProcessId()) + ".bin");
        std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(n));
        const std::string cmd = python +
                                " -c \"import crcmod,sys; f=crcmod.mkCrcFun(0x11021, initCrc=0x1021, rev=False, "
                                "xorOut=0); print(f(open(sys.argv[1],'rb').read()))\" " +
                                path.string();
        std::FILE* p = ::popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr);
        unsigned expected = 0x10000;
        ASSERT_EQ(std::fscanf(p, "%u", &expected), 1);
        ::pclose(p);
        std::filesystem::remove(path);
        EXPECT_EQ(ComputeCrc16(reinterpret_cast<const std::uint8_t*>(data.data()), n), expected) << n;
    }
}

} // namespace
} // namespace quillet
