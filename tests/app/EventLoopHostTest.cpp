// The event-loop host keeps the dialog's current directory to itself: the
// command line runs several dialogs in one process.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/EventLoopHost.h"

namespace quillet {
namespace {

namespace fs = std::filesystem;

TEST(EventLoopHostTest, TheCurrentDirectoryIsTheHostsOwn) {
    const fs::path before = fs::current_path();
    const fs::path dir = fs::temp_directory_path() / "quillet-host-dir";
    fs::remove_all(dir);
    fs::create_directories(dir);
    EventLoopHost a, b;
    ASSERT_TRUE(a.SetCurrentDirectory(dir.string()));
    EXPECT_EQ(fs::current_path(), before);
    EXPECT_EQ(fs::path(a.CurrentDirectory()), dir);
    EXPECT_EQ(fs::path(b.CurrentDirectory()), before);
    // The flows' own call keeps it where it is; a folder that is not there changes nothing.
    EXPECT_TRUE(a.SetCurrentDirectory("./"));
    EXPECT_FALSE(a.SetCurrentDirectory("no-such-folder"));
    EXPECT_EQ(fs::path(a.CurrentDirectory()), dir);
#ifndef _WIN32
    // An outside program starts there.
    ASSERT_TRUE(a.StartProgram("sh -c \"pwd > started\"", SW_SHOW));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::string where;
    while (where.empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream(dir / "started") >> where;
    }
    EXPECT_EQ(fs::path(where), fs::canonical(dir));
    EXPECT_EQ(fs::current_path(), before);
#endif
    fs::remove_all(dir);
}

} // namespace
} // namespace quillet
