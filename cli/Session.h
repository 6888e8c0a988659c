// One run of quillet-cli against the dialog: the event-loop host, the
// dialog with its real serial link (tapped), the flow events, the progress
// display and the exit code of each flow.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dialog/LoaderDlg.h"
#include "discovery/DeviceKinds.h"
#include "cli/Interrupt.h"
#include "cli/Progress.h"
#include "cli/Report.h"
#include "cli/Trace.h"
#include "cli/TrafficPort.h"
#include "platform/EventLoopHost.h"
#include "serial/SerialLink.h"

namespace quillet::cli {


// Where a session's output goes when it is one of several at once (--all,
// --watch) instead of the console. Called on the session's own thread.
class SessionSink {
public:
    virtual ~SessionSink() = default;
    // The progress style the session draws in (State: ProgressChanged).
    virtual ProgressStyle Style() const = 0;
    // Fields each JSON progress object starts with (the port).
    virtual nlohmann::ordered_json JsonFields() const { return nlohmann::ordered_json::object(); }
    // A line of the session's: a message or box (stderr) or, with `result`,
    // the line that tells how the flow ended well.
    virtual void Line(const std::string& text, bool result) = 0;
    // Text of the Lines and Json progress styles.
    virtual void ProgressText(const std::string& text) = 0;
    virtual void ProgressChanged(const ProgressState& state) = 0;
    // The search (or the opening of the port for --direct) has ended: an
    // instrument is there, or none.
    virtual void SearchEnded(bool found) = 0;
};

// The command line's words for the way back into an interrupted main-MCU update.
AdviceTerms CliAdviceTerms(bool analyzer);

struct SessionOptions {
    unsigned timeoutMs = 10000;
    int verbosity = 0;              // trace level: 0 none, 1 steps, 2 bytes, 3 every block
    std::FILE* traceOut = nullptr;  // where the trace goes (--log FILE); null: stderr
    std::string dataFolder;   // of the fixed firmware images; empty: ./data
    bool json = false;        // progress as JSON lines; result lines on stderr (stdout is the final object's)
    // The devices of the COM numbers (--ports, -p; the system's map by
    // default). Each session has its own.
    PortMap ports;
    // The device behind the serial link; the platform's serial device when
    // empty (the demo puts its in-process instrument here).
    CSerialLink::DeviceFactory makeDevice;
    // One of several: output goes here (not owned); null: the console.
    SessionSink* sink = nullptr;
    // When the flow is to stop as interrupted; empty: when a signal came
    // (Interrupted()). The runner of several tells first, then stops them.
    std::function<bool()> stopRequested;
    // The files the flow reads, shared with the other sessions of one run
    // (each read and decoded once); null: this session reads its own.
    std::shared_ptr<SharedFiles> files;
};

class Session {
public:
    explicit Session(const SessionOptions& options);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Each returns the exit code.
    int Search(const DeviceKind& kind, bool printFound = true);
    int StorePattern(int slot, const std::string& image);
    int StorePanel(int slot, const std::string& image);
    int WriteFpga(const std::string& which, const std::string& auxFile, const DeviceKind& auxKind);
    // `fast`: the exchange paced by the bootloader's answers, each step
    // given --timeout.
    int UpdateMcu(bool analyzer, bool direct, bool verify, bool fast = false);
    int EnterSubMcu(int index, const DeviceKind& kind);
    int UpdateInputBoard(int board, const std::string& file, const DeviceKind& kind);
    int FlashAnalyzerData(const std::string& file);

    CLoaderDlg& Dialog() { return m_dlg; }
    EventLoopHost& Host() { return m_host; }

    // What the run did, for the final JSON object: the port, kind, counts,
    // times and the last message; `exitCode` is how it ended.
    Outcome Result(int exitCode) const;

private:
    struct SentBlock {
        long long number;
        int marker;
    };

    void OnEvent(const FlowEventInfo& e);
    // Follows the dialog's percentage (the progress display, the stall time).
    void PollProgress();
    void FollowStage();
    void OnBox(const EventLoopHost::Box& box);
    // Says something of the command line's own on stderr; it stands as the
    // outcome's message until the next.
    void Say(const std::string& text);
    // Says it on stderr without making it the outcome's message.
    void Note(const std::string& text);
    void AdviseOnAdapter(const std::string& device);

    // Runs the event loop until `verdict` gives an exit code. `idleSince`
    // gives the time the instrument last showed life, or nothing while the
    // time-out does not apply; `stallText` what to say when it runs out.
    int Run(const std::function<std::optional<int>()>& verdict,
            const std::function<std::optional<std::uint64_t>()>& idleSince, unsigned timeoutMs,
            const std::function<std::string()>& stallText);

    // Opens the first port of the map through the COM list.
    int OpenFirstPort();
    // Makes one of the dialog's typed calls, from which on the outcome and
    // the time count for that flow. False when the dialog refused it (its
    // box has said why).
    bool Start(const std::function<void()>& call);
    // Starts a block stream with `start` and follows it to the
    // acknowledgement of its last block.
    int FollowBlockStream(const std::function<void()>& start, const std::string& what, bool eraseFirst);
    // The exit code of the flow's outcome (FlowEnded) once it came, after
    // saying what the dialog's boxes did not; nothing while it goes on.
    std::optional<int> Ended();
    bool StopRequested() const { return m_options.stopRequested ? m_options.stopRequested() : Interrupted(); }
    std::string Elapsed() const;
    // Stops the flow on a signal; returns the exit code.
    int StopOnInterrupt(int signal);
    // kExitFailed, after saying why, when `path` cannot be used as `kind`.
    std::optional<int> RefuseFile(const std::string& path, const FileKind& kind);
    // Starts the progress display of a flow (before its search).
    void BeginFlow(const std::string& title, std::uint64_t total, const std::string& unit);
    // The line that tells how a flow ended well: on stdout (on stderr with
    // --json, whose stdout is the final object's).
    void Tell(const std::string& text);
    // "on COM3 (/dev/ttyUSB0)": the port the flow used.
    std::string Where() const;

    SessionOptions m_options;
    EventLoopHost m_host;
    TrafficPort m_port;
    CLoaderDlg m_dlg;
    std::unique_ptr<Trace> m_trace;
    bool m_traceOnStderr = false;
    Progress m_progress;

    // What the flow events told.
    std::uint64_t m_pressMs = 0;
    std::uint64_t m_lastRxMs = 0;
    std::uint64_t m_lastProgressMs = 0;
    std::vector<SentBlock> m_sent;
    std::size_t m_acks = 0;               // accepted acknowledgements so far
    bool m_lastBlockAcked = false;
    std::size_t m_resendRequests = 0;
    bool m_erasing = false;               // between the erase wait's start and end
    std::uint64_t m_eraseStartMs = 0;     // when the erase wait started
    bool m_bootStarted = false;           // the bootloader exchange runs
    std::uint64_t m_inputBytes = 0;
    double m_percent = 0;
    std::size_t m_goodAcks = 0;           // acknowledgements with status 0 of blocks sent
    std::function<std::uint64_t()> m_unitsDone;  // units of the current progress display
    std::string m_unitName;               // and what they are
    std::uint64_t m_startMs = 0;          // when the session started
    Outcome m_outcome;                    // kind, port and last message so far
    struct EndedFlow {
        OutcomeKind kind;
        std::string message;
        std::string advice;
        bool told;                        // the dialog's boxes said it
    };
    std::optional<EndedFlow> m_ended;
    // Why the run failed, where that was said (Result; the instrument's
    // refusal when not set).
    std::optional<ErrorCategory> m_cause;     // the flow's outcome, once it came
};

} // namespace quillet::cli
