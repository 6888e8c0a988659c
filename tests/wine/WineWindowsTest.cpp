// What a Windows user meets beyond the flows, under wine: quillet.exe's
// --version and --help.
#include "WineSupport.h"

namespace quillet::test {
namespace {

// quillet.exe has no console of its own: --version and --help print to
// the one it was started from and end with 0.
TEST_F(WineFixture, DialogProgramTellsItsVersionAndHelp) {
    const RunResult cli = Cli({"--version"});
    ASSERT_EQ(cli.code, 0) << Describe(cli);
    ASSERT_EQ(cli.out.rfind("quillet-cli ", 0), 0u) << cli.out;
    RunResult r = Run("win/quillet.exe", {"--version"});
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_EQ(r.out, "quillet " + cli.out.substr(std::string("quillet-cli ").size())) << r.out;
    r = Run("win/quillet.exe", {"--help"});
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "--version")) << r.out;
    EXPECT_TRUE(Contains(r.out, "--demo")) << r.out;
    r = Run("win/quillet.exe", {"--no-such-option"});
    EXPECT_EQ(r.code, 2) << Describe(r);
}

} // namespace
} // namespace quillet::test
