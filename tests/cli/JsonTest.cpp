// quillet-cli --json as the interface docs/json.md describes: the field
// tables are read from the document, and the output of real runs against
// the simulator on a pseudo-terminal (done, time-out, usage error, no
// instrument, a refused file, the port list) is checked against them. And
// the SHA-256 the final object carries, against the published vectors.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "cli/CliSupport.h"
#include "cli/Sha256.h"
#include "sim/lib/Simulator.h"

namespace quillet::test {
namespace {

using Json = nlohmann::json;

struct FieldDoc {
    std::set<std::string> types;  // "integer", "string", ... and "null"
    bool always = false;
};
using Table = std::map<std::string, FieldDoc>;

// The tables of docs/json.md, by the name in the comment before each.
std::map<std::string, Table> DocumentedTables() {
    std::ifstream in(std::string(QUILLET_SOURCE_DIR) + "/docs/json.md");
    std::map<std::string, Table> tables;
    const std::regex start(R"(<!-- table: (\w+) -->)");
    const std::regex row(R"(^\| `(\w+)` \| ([a-z ]+) \| ([^|]+) \|)");
    std::string line, current;
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_search(line, m, start)) {
            current = m[1];
            continue;
        }
        if (line.empty()) current.clear();
        if (current.empty() || !std::regex_search(line, m, row)) continue;
        FieldDoc doc;
        std::istringstream types(m[2].str());
        for (std::string word; types >> word;)
            if (word != "or") doc.types.insert(word);
        doc.always = m[3].str() == "always";
        tables[current][m[1]] = doc;
    }
    return tables;
}

std::string TypeOf(const Json& v) {
    if (v.is_null()) return "null";
    if (v.is_boolean()) return "boolean";
    if (v.is_number_integer()) return "integer";
    if (v.is_number()) return "number";
    if (v.is_string()) return "string";
    if (v.is_array()) return "array";
    return "object";
}

bool HasControlCharacters(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

class JsonChecker {
public:
    JsonChecker() : m_tables(DocumentedTables()) {}
    const std::map<std::string, Table>& Tables() const { return m_tables; }

    // Every field of `object` documented in `table` with its type, every
    // field marked always there; nested objects against their own tables.
    void Check(const Json& object, const std::string& table, const std::string& where) {
        ASSERT_TRUE(m_tables.count(table)) << "docs/json.md has no table " << table;
        const Table& doc = m_tables.at(table);
        for (const auto& [name, value] : object.items()) {
            const auto it = doc.find(name);
            if (it == doc.end()) {
                ADD_FAILURE() << where << ": field " << name << " is not in the table " << table;
                continue;
            }
            const std::string type = TypeOf(value);
            // An integer is a number too.
            const bool ok = it->second.types.count(type) ||
                            (type == "integer" && it->second.types.count("number"));
            EXPECT_TRUE(ok) << where << ": " << name << " is " << type << ": " << value;
            if (value.is_string()) {
                EXPECT_FALSE(HasControlCharacters(value.get<std::string>())) << where << ": " << name;
            }
            if (name == "counts") Check(value, "counts", where);
            if (name == "ports")
                for (const auto& port : value) Check(port, "port", where);
        }
        for (const auto& [name, field] : doc)
            if (field.always) {
                EXPECT_TRUE(object.contains(name)) << where << ": " << name << " is missing";
            }
    }

    // stderr: JSON lines only, each a progress or message object; stdout:
    // the one final object, returned.
    Json CheckRun(const RunResult& r, const std::string& what, bool saysSomething = true) {
        std::istringstream err(r.err);
        std::size_t lines = 0;
        for (std::string line; std::getline(err, line);) {
            ++lines;
            Json j;
            try {
                j = Json::parse(line);
            } catch (const std::exception&) {
                ADD_FAILURE() << what << ": a line on stderr is no JSON: " << line;
                continue;
            }
            const std::string event = j.value("event", "");
            const std::string table = event == "message" ? "message" : "progress";
            if (table == "progress") {
                const std::set<std::string> events = {"begin", "stage", "progress", "end"};
                EXPECT_TRUE(events.count(event)) << what << ": " << line;
            }
            Check(j, table, what + " stderr");
            if (j.contains("elapsed_ms")) {
                EXPECT_TRUE(j["elapsed_ms"].is_number_integer()) << line;
            }
        }
        if (saysSomething) {
            EXPECT_GT(lines, 0u) << what;
        }
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << what << ": " << r.out;
        Json final;
        try {
            final = Json::parse(r.out);
        } catch (const std::exception&) {
            ADD_FAILURE() << what << ": stdout is no JSON object: " << r.out;
            return final;
        }
        Check(final, "final", what + " stdout");
        return final;
    }

private:
    std::map<std::string, Table> m_tables;
};

// The output of the coreutils program (another implementation) for `path`.
std::string Sha256sum(const std::string& path) {
    const RunResult r = RunProgram("/usr/bin/sha256sum", {path});
    return r.out.substr(0, 64);
}

struct JsonFixture : ::testing::Test {
    TempDir dir;
    std::unique_ptr<sim::Simulator> simulator;
    std::string device;
    JsonChecker checker;

    void StartSim(sim::Options o = {}) {
        o.outputDir = dir / "sim";
        o.searchReplyDelayMs = 0;
        o.log = stderr;
        std::filesystem::create_directories(o.outputDir);
        simulator = std::make_unique<sim::Simulator>(o);
        device = simulator->OpenPty();
        ASSERT_FALSE(device.empty());
        simulator->Start();
    }
    void TearDown() override {
        if (simulator) simulator->Stop();
    }
    RunResult Cli(std::vector<std::string> args) {
        args.insert(args.begin(), {"--json", "--ports", device.empty() ? std::string("/dev/null/none") : device});
        return RunCli(args, dir.Path(), 60);
    }
};

TEST_F(JsonFixture, TheDocumentHasEveryTableTheTestReads) {
    for (const char* table : {"progress", "message", "final", "counts", "port"})
        EXPECT_FALSE(checker.Tables().count(table) == 0 || checker.Tables().at(table).empty()) << table;
    EXPECT_TRUE(checker.Tables().at("final").at("started").always);
}

TEST_F(JsonFixture, DoneRunMatchesTheDocument) {
    const std::string file = dir / "aux.bin";
    WriteFile(file, RandomBytes(3000, 51));
    StartSim();
    const RunResult r = Cli({"fpga", "aux", file});
    ASSERT_EQ(r.code, 0) << r.err;
    const Json j = checker.CheckRun(r, "done");
    EXPECT_EQ(j["schema"], 1);
    EXPECT_EQ(j["error"], nullptr);
    EXPECT_EQ(j["file"], file);
    EXPECT_EQ(j["sha256"], Sha256sum(file));
    EXPECT_EQ(j["device"], device);
    EXPECT_EQ(j["slot"], nullptr);
    EXPECT_TRUE(std::regex_match(j["started"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)"))) << j["started"];
    EXPECT_TRUE(j["duration_ms"].is_number_integer());
    // Rates to a tenth: no long fractions in the text.
    EXPECT_FALSE(std::regex_search(r.out + r.err, std::regex(R"(:\d+\.\d{2,}[,}])"))) << r.out;
    // The result line is a message object of its own.
    EXPECT_NE(r.err.find(R"("kind":"result")"), std::string::npos) << r.err;
}

TEST_F(JsonFixture, PatternSlotAndFailuresMatchTheDocument) {
    const std::string file = dir / "aux.bin";
    WriteFile(file, RandomBytes(40 * 256, 52));
    sim::Options stalls;
    stalls.stopAfterBlocks = 5;
    StartSim(stalls);
    RunResult r = Cli({"--timeout", "1", "fpga", "aux", file});
    EXPECT_EQ(r.code, 3);
    Json j = checker.CheckRun(r, "time-out");
    EXPECT_EQ(j["error"], "time-out");
    EXPECT_EQ(j["counts"]["blocks"], 5);

    // Usage: the final object and the message, nothing in words.
    r = Cli({"pattern", "--slot", "9", "x.bmp"});
    EXPECT_EQ(r.code, 2);
    j = checker.CheckRun(r, "usage");
    EXPECT_EQ(j["error"], "usage");
    EXPECT_NE(r.err.find(R"("kind":"error")"), std::string::npos) << r.err;

    // A trace on stderr would break the JSON lines: it needs --log.
    r = Cli({"-v", "search"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(checker.CheckRun(r, "trace without a log")["error"], "usage");

    // A file that is not there: nothing is sent.
    r = Cli({"pattern", "--slot", "2", dir / "missing.bmp"});
    EXPECT_EQ(r.code, 1);
    j = checker.CheckRun(r, "file");
    EXPECT_EQ(j["error"], "file");
    EXPECT_EQ(j["slot"], 2);
    EXPECT_EQ(j["sha256"], nullptr);

    r = Cli({"ports"});
    EXPECT_EQ(r.code, 0);
    (void)checker.CheckRun(r, "ports", false);
}

TEST_F(JsonFixture, NoInstrumentMatchesTheDocument) {
    sim::Options silent;
    silent.answerSearch = false;
    StartSim(silent);
    const RunResult r = Cli({"search"});
    EXPECT_EQ(r.code, 1);
    const Json j = checker.CheckRun(r, "no instrument");
    EXPECT_EQ(j["error"], "no-instrument");
    EXPECT_EQ(j["result"], "failed");
}

TEST(Sha256, PublishedVectors) {
    auto hex = [](const std::string& text) {
        cli::Sha256 sha;
        sha.Update(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
        return sha.HexDigest();
    };
    EXPECT_EQ(hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    // A million 'a', fed in uneven pieces across the block edges.
    cli::Sha256 sha;
    const std::string piece(997, 'a');
    std::size_t left = 1000000;
    while (left) {
        const std::size_t n = std::min(left, piece.size());
        sha.Update(reinterpret_cast<const std::uint8_t*>(piece.data()), n);
        left -= n;
    }
    EXPECT_EQ(sha.HexDigest(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_EQ(cli::FileSha256("/nonexistent/file"), "");
}

} // namespace
} // namespace quillet::test
