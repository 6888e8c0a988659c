// The installer (quillet-VERSION-win64.msi) under wine as an IT department
// uses it, in both scopes: a silent install for the current user (the
// default) or for all users (ALLUSERS=1; wine runs every program as an
// administrator, so both are tried explicitly), the installed programs
// run, the Start-menu entries are there; a silent uninstall leaves no file
// and no registry entry of Quillet behind.
#include "WineSupport.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>

namespace quillet::test {
namespace {

namespace fs = std::filesystem;

class WineInstaller : public WineFixture {
protected:
    // The files of the prefix's drive C, as paths relative to it.
    static std::set<std::string> DriveFiles() {
        std::set<std::string> files;
        const fs::path drive = fs::path(Wine().prefix) / "drive_c";
        std::error_code ec;
        for (fs::recursive_directory_iterator it(drive, fs::directory_options::skip_permission_denied, ec), end;
             !ec && it != end; it.increment(ec))
            files.insert(fs::relative(it->path(), drive, ec).string());
        return files;
    }
    // Lines of the registry (the user's and the machine's) that name Quillet.
    std::vector<std::string> RegistryLinesNamingQuillet() {
        std::vector<std::string> lines;
        for (const char* hive : {"HKCU", "HKLM"}) {
            const std::string file = dir / (std::string(hive) + ".reg");
            const RunResult r = RunProgram(Wine().run, {Wine().prefix, "reg", "export", hive, file, "/y"},
                                           dir.Path(), 120);
            EXPECT_EQ(r.code, 0) << Describe(r);
            const auto bytes = ReadFile(file);
            // reg export writes UTF-16: the ASCII letters are every other byte.
            std::string text;
            for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) text.push_back(static_cast<char>(bytes[i]));
            std::string lower = text;
            std::transform(lower.begin(), lower.end(), lower.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            for (std::size_t at = lower.find("quillet"); at != std::string::npos;
                 at = lower.find("quillet", at + 1)) {
                const std::size_t from = text.rfind('\n', at) + 1;
                lines.push_back(text.substr(from, text.find('\n', at) - from));
                at = text.find('\n', at);
                if (at == std::string::npos) break;
            }
        }
        return lines;
    }
    // The folders Windows Installer keeps its caches in (made by the first
    // msiexec of a fresh prefix; every Windows has them): not Quillet's,
    // as long as nothing of it is left in them.
    static bool IsInstallersOwnEmptyFolder(const std::string& path) {
        const fs::path full = fs::path(Wine().prefix) / "drive_c" / path;
        std::error_code ec;
        return (path == "windows/Installer" || path.ends_with("AppData/Roaming/Microsoft/Installer")) &&
               fs::is_directory(full, ec) && fs::is_empty(full, ec);
    }
    static std::string Msi() {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(Wine().build, ec)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("quillet-", 0) == 0 && entry.path().extension() == ".msi") return name;
        }
        return {};
    }
    RunResult Msiexec(const std::string& action, const std::string& msi, const std::string& property = {}) {
        std::vector<std::string> args = {"QUILLET_WINE_TIMEOUT=280", Wine().run, Wine().prefix, "msiexec", action, msi};
        if (!property.empty()) args.push_back(property);
        args.push_back("/qn");
        return RunProgram("/usr/bin/env", args, Wine().build, 300);
    }
    // Installs with `property` (none: the default scope), expects the
    // programs in the folder ending in `programs` (relative to drive C),
    // runs them, uninstalls and compares the drive and the registry with
    // what they were before.
    void InstallRunAndUninstall(const std::string& property, const std::string& programs);
};

TEST_F(WineInstaller, SilentInstallForTheUserRunsAndSilentUninstallLeavesNothing) {
    InstallRunAndUninstall("", "AppData/Local/Programs/Quillet");
}

// For all users the programs go to Program Files (the Start-menu folder is
// the common one on Windows; wine's installer keeps the user's).
TEST_F(WineInstaller, SilentInstallForAllUsersGoesToProgramFilesAndUninstallLeavesNothing) {
    InstallRunAndUninstall("ALLUSERS=1", "Program Files/Quillet");
}

void WineInstaller::InstallRunAndUninstall(const std::string& property, const std::string& programs) {
    const std::string msi = Msi();
    ASSERT_FALSE(msi.empty()) << "no installer in " << Wine().build << " (bash scripts/build-windows.sh)";
    const std::set<std::string> filesBefore = DriveFiles();
    const std::vector<std::string> keysBefore = RegistryLinesNamingQuillet();

    RunResult r = Msiexec("/i", msi, property);
    ASSERT_EQ(r.code, 0) << Describe(r);
    std::set<std::string> added;
    const std::set<std::string> filesInstalled = DriveFiles();
    std::set_difference(filesInstalled.begin(), filesInstalled.end(), filesBefore.begin(), filesBefore.end(),
                        std::inserter(added, added.end()));
    std::string program, cli, menu, list;
    for (const std::string& f : added) {
        if (f.ends_with(programs + "/quillet.exe")) program = f;
        if (f.ends_with(programs + "/quillet-cli.exe")) cli = f;
        if (f.ends_with("Start Menu/Programs/Quillet")) menu = f;
        list += f + "\n";
    }
    ASSERT_FALSE(program.empty() || cli.empty()) << "not installed into " << programs << "; added:\n" << list;
    // Only into that one folder.
    for (const std::string& f : added) {
        if (f.ends_with("quillet.exe")) {
            EXPECT_EQ(f, program);
        }
    }
    EXPECT_FALSE(menu.empty()) << "no Start-menu folder Quillet";
    for (const char* shortcut : {"Quillet.lnk", "Quillet command line.lnk", "Quillet README.lnk"})
        EXPECT_TRUE(added.count(menu + "/" + shortcut)) << shortcut;
    EXPECT_TRUE(added.count(fs::path(cli).parent_path().string() + "/README.txt"));
    const std::vector<std::string> keysInstalled = RegistryLinesNamingQuillet();
    EXPECT_TRUE(std::any_of(keysInstalled.begin(), keysInstalled.end(),
                            [](const std::string& l) { return Contains(l, "\"DisplayName\"=\"Quillet\""); }))
        << "no entry in Apps & features";

    const fs::path drive = fs::path(Wine().prefix) / "drive_c";
    r = RunProgram(Wine().run, {Wine().prefix, drive / cli, "--version"}, dir.Path(), 120);
    EXPECT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "quillet-cli ")) << r.out;
    r = RunProgram(Wine().run, {Wine().prefix, drive / program, "--version"}, dir.Path(), 120);
    EXPECT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "quillet ")) << r.out;

    r = Msiexec("/x", msi);
    ASSERT_EQ(r.code, 0) << Describe(r);
    const std::set<std::string> filesAfter = DriveFiles();
    std::vector<std::string> left;
    for (const std::string& f : added)
        if (filesAfter.count(f) && !IsInstallersOwnEmptyFolder(f)) left.push_back(f);
    std::string leftList;
    for (const auto& f : left) leftList += f + "\n";
    EXPECT_TRUE(left.empty()) << "left behind:\n" << leftList;
    const std::vector<std::string> keysAfter = RegistryLinesNamingQuillet();
    std::string keys;
    for (const auto& k : keysAfter) keys += k + "\n";
    EXPECT_EQ(keysAfter, keysBefore) << keys;
}

} // namespace
} // namespace quillet::test
