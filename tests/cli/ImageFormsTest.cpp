// SPDX-License-Identifier: Apache-2.0
// One picture as a bottom-up BMP, a top-down BMP and a PNG (with and
// without alpha): quillet-cli sends the instrument the same bytes for each,
// as the simulator receives them over a pseudo-terminal.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>

#include "cli/BmpCompare.h"
#include "cli/CliSupport.h"
#include "pattern/BmpImport.h"
#include "sim/lib/Simulator.h"

namespace quillet::test {
namespace {

// Pillow writes the picture; the top-down BMP is Pillow's file with its rows
// in the other order and a negative height.
constexpr const char* kWriteForms = R"PY(
import random, struct, sys
from PIL import Image
base = sys.argv[1]
rnd = random.Random(21)
pic = Image.frombytes("RGB", (1920, 1080), rnd.randbytes(1920 * 1080 * 3))
pic.save(base + "/bottom-up.bmp", "BMP")
b = bytearray(open(base + "/bottom-up.bmp", "rb").read())
off, = struct.unpack_from("<I", b, 10)
stride = 1920 * 3
rows = [bytes(b[off + i * stride:off + (i + 1) * stride]) for i in range(1080)]
struct.pack_into("<i", b, 22, -1080)
b[off:] = b"".join(reversed(rows))
open(base + "/top-down.bmp", "wb").write(b)
pic.save(base + "/picture.png", "PNG")
pic.putalpha(128)
pic.save(base + "/alpha.png", "PNG")
)PY";

// FNV-1a, 64 bits.
std::uint64_t Hash(const std::vector<std::uint8_t>& bytes) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (std::uint8_t b : bytes) h = (h ^ b) * 0x100000001b3ull;
    return h;
}

struct Upload {
    RunResult result;
    std::vector<std::uint8_t> traffic;
};

Upload PanelUpload(const TempDir& dir, const std::string& image) {
    sim::Options o;
    o.outputDir = dir / ("sim-" + std::filesystem::path(image).stem().string());
    std::filesystem::create_directories(o.outputDir);
    sim::Simulator simulator(o);
    const std::string device = simulator.OpenPty();
    EXPECT_FALSE(device.empty());
    simulator.Start();
    Upload u;
    u.result = RunCli({"--ports", device, "panel", "--slot", "2", image}, dir.Path(), 90);
    simulator.Stop();
    u.traffic = simulator.Received();
    return u;
}

TEST(CliImageForms, EveryFormOfOnePictureSendsTheSameBytes) {
    if (!HavePillow()) GTEST_SKIP() << "Pillow is missing";
    TempDir dir;
    const RunResult made = RunProgram(QUILLET_PYTHON, {"-c", kWriteForms, dir.Path()}, "", 120);
    ASSERT_EQ(made.code, 0) << made.err;
    std::vector<std::string> forms = {"bottom-up.bmp", "top-down.bmp"};
    if (PngSupported()) forms.insert(forms.end(), {"picture.png", "alpha.png"});
    std::map<std::string, Upload> uploads;
    for (const auto& form : forms) {
        uploads[form] = PanelUpload(dir, dir / form);
        const Upload& u = uploads[form];
        ASSERT_EQ(u.result.code, 0) << form << "\n" << u.result.err;
        // The search, the slot command and 300 blocks of 270 bytes at least.
        EXPECT_GT(u.traffic.size(), 300u * 270u) << form;
    }
    const std::uint64_t reference = Hash(uploads[forms[0]].traffic);
    for (const auto& form : forms) {
        EXPECT_EQ(Hash(uploads[form].traffic), reference) << form;
        EXPECT_EQ(uploads[form].traffic.size(), uploads[forms[0]].traffic.size()) << form;
    }
    // The demo's comparison reads every form alike.
    for (const auto& form : forms) {
        const cli::BmpComparison same = cli::CompareBmpPixels(dir / "bottom-up.bmp", dir / form);
        EXPECT_TRUE(same.readable && same.sameSize) << form << ": " << same.problem;
        EXPECT_EQ(same.differing, 0) << form;
    }
    if (!PngSupported()) return;
    // Alpha is left out, and the operator is told so.
    EXPECT_NE(uploads["alpha.png"].result.err.find(kNotePngAlpha), std::string::npos)
        << uploads["alpha.png"].result.err;
    EXPECT_EQ(uploads["picture.png"].result.err.find(kNotePngAlpha), std::string::npos);
}

} // namespace
} // namespace quillet::test
