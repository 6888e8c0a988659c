// The view of several instruments served at once (--all, --watch): one row
// per instrument, fed from each instrument's own thread.
//   Terminal  a line per instrument on stderr (COM number, device, serial
//             number where known, stage, percentage, counts, rate, time
//             left), redrawn in place; messages go above it;
//   Lines     off a terminal: every line of an instrument prefixed with its
//             port ("COM3: progress  40.0% ...");
//   Json      --json: the progress objects carry the port; each instrument's
//             final object goes to stdout when it ends.
// What an instrument says before its search has found it is held back; a
// port where no instrument was served is noted with its state (no
// instrument, busy, permission refused, no answer): busy and refused ports
// are told at once, with --json every such port has its object, and the
// summary names them all.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cli/OpenRefusals.h"
#include "cli/Progress.h"
#include "cli/Report.h"

namespace quillet::cli {

enum class BoardStyle { Terminal, Lines, Json };

class Board {
public:
    // `out` takes the result lines and the summary (stdout), `err` the rest.
    Board(BoardStyle style, std::FILE* out, std::FILE* err);
    ~Board();
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    BoardStyle Style() const { return m_style; }

    // ---- from the instruments' threads --------------------------------------
    // A row for an instrument searched on COM `com`; returns its id.
    int AddRow(unsigned com, const std::string& device, const std::string& serial);
    void SearchEnded(int id, bool found);
    // A message (stderr), or with `result` the line that tells how it ended.
    void Line(int id, const std::string& text, bool result);
    // Text of the Lines and Json progress styles.
    void ProgressText(int id, const std::string& text);
    void ProgressChanged(int id, const ProgressState& state);
    // The instrument's run has ended with `outcome` (its exit code in it).
    void Finished(int id, const Outcome& outcome);

    // A port of the map where no instrument was served (any thread).
    struct PortRecord {
        unsigned com = 0;
        std::string device;
        PortState state = PortState::NoAnswer;
        std::string detail;  // what the open or the search answered
    };
    // Notes it; a busy or refused port is told at once, and with --json
    // every one has an object on stdout (`command` in it).
    void NotServed(const PortRecord& port, const std::string& command);

    // ---- from the main thread ----------------------------------------------------
    // A line of the command line's own on stderr.
    void Say(const std::string& text);
    // Draws the rows again if they have not been drawn for a tenth of a second.
    void Redraw();
    // Ends the in-place view; the rows stay on the screen as last drawn.
    void Close();

    struct Result {
        unsigned com = 0;
        std::string device;
        std::string serial;
        Outcome outcome;
    };
    // The instruments whose runs have ended, in the order they ended.
    std::vector<Result> Results() const;
    // "COM3 (/dev/ttyUSB0)" of each instrument still running.
    std::vector<std::string> Running() const;
    // What the search told on a port where nothing answered (the first such).
    std::vector<std::string> NotFoundLines() const;

    // The ports where no instrument was served, in the order they were noted.
    std::vector<PortRecord> NotServedPorts() const;

    // The table of the results (port, device, result, duration, counts),
    // then the ports where no instrument was served: a row for each busy,
    // refused or silent port, those without an instrument on the last line.
    static std::string SummaryTable(const std::vector<Result>& results, const std::vector<PortRecord>& ports = {});
    // "COM3, COM5-COM9": the ports of `coms` (ascending), runs joined.
    static std::string PortRanges(const std::vector<unsigned>& coms);
    // One row of the terminal view (exposed for the format).
    static std::string FormatRow(const std::string& port, const std::string& device, const std::string& serial,
                                 const std::string& stage, const ProgressState& p, const std::string& tail,
                                 std::size_t deviceWidth, std::size_t serialWidth, std::size_t stageWidth);

private:
    enum class Phase { Searching, Running, Ended, NotFound };
    struct Row {
        int id = 0;
        unsigned com = 0;
        std::string device;
        std::string serial;
        Phase phase = Phase::Searching;
        ProgressState progress;
        std::vector<std::pair<std::string, bool>> held;  // lines, result flag
        std::vector<std::string> heldProgress;
        std::optional<Outcome> outcome;
    };

    Row* Find(int id);
    const Row* Find(int id) const;
    std::string Prefix(const Row& r) const;
    std::string LineOf(const Row& r, const std::string& text, bool result) const;
    // Writes `text` (whole lines) to `f`, the terminal's rows taken back
    // first and drawn again after. Under m_lock.
    void Emit(std::FILE* f, const std::string& text);
    void EraseRows();
    void DrawRows();
    std::string RowText(const Row& r, std::size_t deviceWidth, std::size_t serialWidth,
                        std::size_t stageWidth) const;

    const BoardStyle m_style;
    std::FILE* const m_out;
    std::FILE* const m_err;
    mutable std::mutex m_lock;
    std::vector<Row> m_rows;
    std::vector<Result> m_results;
    std::vector<PortRecord> m_notServed;
    std::vector<std::string> m_notFound;
    int m_nextId = 1;
    int m_drawnLines = 0;
    bool m_closed = false;
    std::uint64_t m_lastDrawMs = 0;
};

} // namespace quillet::cli
