// CLoaderDlg: the one dialog of the program and the owner of all its state.
//
// Every button, timer and serial message is a handler here; the flows,
// the link and which flow takes a received byte or a timer's tick are the
// engine's (engine/Engine), whose steps the dialog shows. Its files are
// this folder's, one per subsystem:
//   LoaderDlg.cpp             construction, OnInitDialog, paint, close,
//                             port control, data exchange
//   LoaderDlgFlow.cpp         what runs, stopping it, the device gone, the
//                             outcomes of flows that did not end well (a
//                             time-out of the engine's ends a flow here too)
//   LoaderDlgFrames.cpp       SendCommand and the refused commands' boxes,
//                             OnSerialRxChar
//   LoaderDlgSearch.cpp       the eight search buttons and what the
//                             search (engine/SearchFlow) shows
//   LoaderDlgEntry.cpp        firmware buttons, what the boot-mode banner
//                             (engine/BootEntryFlow) leads to
//   LoaderDlgBootloader.cpp   what the main-MCU bootloader's steps show
//                             (engine/McuBootloaderFlow, timers 8 to 11)
//   LoaderDlgImport.cpp       "Load Image", preview
//   LoaderDlgStream.cpp       the block stream (engine/BlockStreamFlow) on
//                             the screen, FPGA buttons, file dialogs
//   LoaderDlgUpload.cpp       "SG NAND FLASH", panel data, erase wait
//                             (engine/EraseWaitFlow) on the screen
// Each flow keeps its state in a component of its own (SearchState,
// StreamState, ...) with a Reset() where the flow ends; the firmware
// loaders are flow objects of engine/ that the engine holds;
// the instrument kinds are one table (discovery/DeviceKinds), the search
// buttons map to them here. Every flow ends with one FlowEnded event whose
// advice comes from engine/Outcome; the engine tells it, for a flow that
// did not end well after the dialog has shown its end (FlowEnded). All of
// it runs on the GUI thread. The dialog's data is private: the front ends
// follow the flow events and read the view below.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/Counts.h"
#include "engine/Engine.h"
#include "engine/FlowEvents.h"
#include "engine/FlowTimings.h"
#include "dialog/ProgressStrip.h"
#include "dialog/Resources.h"
#include "discovery/DeviceKinds.h"
#include "engine/Outcome.h"
#include "pattern/FileBytes.h"
#include "pattern/Images.h"
#include "pattern/SharedFiles.h"
#include "platform/Host.h"
#include "platform/Settings.h"
#include "protocol/Frame.h"
#include "serial/SerialPort.h"

namespace quillet {

namespace test {
class DialogProbe;
}
class PortMap;  // serial/PortMap.h

// The kind a search button of the dialog searches for; null for any other control.
const DeviceKind* DeviceKindOfButton(int controlId);

// The progress value as the percentage field shows it (six significant digits).
std::string FormatProgress(float value);

// What the operator chose for a main-MCU update.
struct McuUpdate {
    bool analyzer = false;  // the signal analyzer's MCU (ANALYZER_MCU.bin), else the generator's
    // The generator's MCU already waits in its bootloader (user pattern 101).
    bool direct = false;
    // How the bootloader exchange runs: the dialogs keep the defaults (their
    // own pacing, kBootSilenceMs); the command line's `mcu --verify` reads
    // the written flash back, `--fast` sends each byte as soon as the one
    // before was answered (no fixed delays, no stand-in acknowledgements,
    // a step unanswered within stepTimeoutMs or a NACK of the erase or a
    // write ends it), and its --timeout is the bootloader's silence limit.
    McuBootloaderFlow::Settings exchange;
};

class CLoaderDlg : public ISerialOwner, private EngineView {
public:
    // With no port given the dialog embeds its own CSerialLink, which
    // delivers through `host` and opens COM numbers through `map` (the
    // system's map unless given).
    explicit CLoaderDlg(IHost& host, ISerialPort* port = nullptr);
    CLoaderDlg(IHost& host, PortMap map);
    ~CLoaderDlg() override;
    CLoaderDlg(const CLoaderDlg&) = delete;
    CLoaderDlg& operator=(const CLoaderDlg&) = delete;

    // ---- application shell ---------------------------------------------
    bool OnInitDialog();
    void OnSysCommand(unsigned id);
    void OnPaint(bool minimised = false);
    // The close box, Escape (and WM_CLOSE): asks first while the
    // instrument is being written (ConfirmInterruption), then ends the dialog.
    void OnClose();
    // BN_CLICKED / CBN_SELENDOK by control id: the message map.
    void OnCommand(int controlId);
    // Dialog data exchange: false pushes the members to the controls, true
    // reads edits 1167 and 1184 (false and a box when one is not an integer).
    bool UpdateData(bool saveAndValidate = true);

    // ---- port control and timer dispatch -------------------------------
    void OnPortButton();
    void OnPortListSelect();
    void OnTimer(unsigned id);
    long OnWriteDone(std::uintptr_t wParam, std::intptr_t lParam);
    // ISerialOwner: the window procedure for the serial messages.
    long OnSerialMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) override;
    // The device went away: the operator is told which port, during what
    // and how far it came; the flow ends.
    void OnSerialLost(unsigned port);

    // ---- what runs, and stopping it ---------------------------------------
    // The flow under way and how far it came (kind None when idle).
    FlowSnapshot CurrentFlow() const;
    // Stops the flow under way and closes the port (the operator said Yes
    // to "Stop it?", or the command line was interrupted). The note line
    // says that the transfer stopped before its end.
    // `tell`: where the dialog stays, one box says what the instrument now
    // holds and what to do (not when the dialog is closing).
    void StopRunningFlow(bool tell = true);
    // The operator asked for something that would cut the flow under way
    // short (closing the dialog, Escape, a search button). While the
    // instrument is being written the dialog asks "An upload to the
    // instrument is running (37 %). Stop it?": No returns false and changes
    // nothing (the upload goes on to its end); Yes stops the flow
    // (StopRunningFlow) and returns true. True at once when nothing is
    // being written.
    // `closing`: the dialog ends after a Yes (no box about the stop).
    bool ConfirmInterruption(bool closing = false);

    // ---- command frames and receive dispatcher --------------------------
    void SendCommand(std::uint16_t code, int count, const std::uint8_t* payload);
    long OnSerialRxChar(std::uintptr_t wParam, std::intptr_t lParam);

    // ---- device search ---------------------------------------------------
    void StartDeviceSearch(std::uint8_t group);

    // ---- firmware --------------------------------------------------------
    void OnGeneratorMcu();
    void OnAnalyzerMcu();
    void OnSubMcu();
    void OnInputBoardFirmware(int board);
    void OnAnalyzerDataFlash();
    void StartMcuBootloader();

    // ---- user pattern and block streams ----------------------------------
    void OnLoadImage();
    void OnGeneratorFpga();
    void OnAnalyzerFpga();
    void OnAuxFpga();
    void OnNandFlash();
    void OnPanelDataFlash();

    // ---- typed calls: the flows without the controls -----------------------
    // What the controls start, with the operator's choices given as values
    // instead of read from the edits, the lists and the file dialogs: the
    // same checks, boxes, bytes and events. A front end that has no
    // controls (the command line) uses these; the controls' handlers above
    // read their values and call them.
    // A choice in the COM list; false when the port did not open (a box
    // said so).
    bool SelectPort(unsigned com);
    // "Load Image"; false when a box told the operator that the file cannot
    // be used as it is (refused, damaged, of another size).
    bool LoadImageFile(const std::string& path);
    // A file dropped on the dialog: "Load Image" with that file chosen,
    // asking "Stop it?" first while an upload runs (false after a No).
    bool DropImageFile(const std::string& path);
    // Where the images and firmware files come from: one SharedFiles for
    // several dialogs that send the same files (each read and decoded
    // once); each file read on its own when null (the default).
    void ShareFiles(std::shared_ptr<SharedFiles> files) { m_files = std::move(files); }
    void StorePattern(int slot);                   // "SG NAND FLASH"
    void StorePanel(int slot);                     // the panel-data button
    void WriteFpgaImage(bool analyzer) { analyzer ? OnAnalyzerFpga() : OnGeneratorFpga(); }
    void WriteAuxFpga(const std::optional<std::string>& file);
    // The main MCU's firmware (its button, or pattern 101 with the
    // generator's): the port, kind, image and parity checks, then the
    // boot-mode entry, or the exchange at once with `direct`.
    void UpdateMainMcu(const McuUpdate& update);
    void EnterSubMcu(int index);                   // the MCU list's entry 0..10
    void UpdateInputBoard(int board, const std::optional<std::string>& file);
    void WriteAnalyzerData(const std::optional<std::string>& file);
    // The last image loaded gives a user pattern, a panel image.
    bool PatternReady() const { return m_bPatternReady; }
    bool PanelReady() const { return m_bPanelReady; }

    // ---- what the front ends may look at -----------------------------------
    // They follow the flows through the flow events and read the dialog
    // through this view; its data stays the dialog's own.
    bool IsPortOpen() const { return Link().Ready(); }
    unsigned PortNumber() const { return Link().Com(); }
    float Progress() const { return m_fProgress; }
    const std::string& SearchStatusText() const { return m_strSearchStatus; }
    const std::string& StatusText() const { return m_strStatus; }
    const std::string& NoteText() const { return m_strNote; }
    // The name (without its folder) of the image the preview shows; empty
    // when none was loaded or the last file could not be used.
    const std::string& LoadedFileName() const { return m_loadedFileName; }
    // The progress strip's line (ProgressStrip), empty while no counted
    // flow runs; below it the port's advice while a flow writes.
    const std::string& StripText() const { return m_strip.Text(); }
    // Where the strip takes that advice from (the front end knows the
    // port behind the COM number).
    void SetPortAdviceSource(std::function<std::string()> source) { m_strip.SetAdviceSource(std::move(source)); }
    // The search button of the kind the operator searched for last time
    // (remembered), 0 when nothing is remembered. The front end may give
    // it the focus; nothing is searched by itself.
    int RememberedSearchButton() const;
    // The operator's choices are remembered in `settings` (nullptr: not at
    // all, the default): read at OnInitDialog, written as the operator
    // chooses. Nothing is sent to the instrument because of a remembered
    // value. Set before OnInitDialog; it must outlive the dialog.
    void SetSettings(ISettings* settings) { m_settings = settings; }
    // The 240x160 preview, top-down RGB rows.
    const std::uint8_t* PreviewPixels() const { return m_images.preview; }
    // How long a flow waits for the instrument's next answer before it
    // ends timed out (kFlowTimeoutMs unless the front end says otherwise).
    void SetFlowTimeout(unsigned ms) { m_engine.SetTimeout(ms); }
    unsigned FlowTimeout() const { return m_engine.Timeout(); }
    // The outcome of a flow that did not end well is shown in one box
    // (message and advice). A front end that tells the outcome in its own
    // way (the command line) turns the box off and follows FlowEnded.
    void SetOutcomeBoxes(bool show) { m_bOutcomeBoxes = show; }
    // The words the advice uses for the way back into an interrupted
    // main-MCU update, by the instrument's kind (the dialogs' own when not set).
    void SetAdviceTerms(Engine::AdviceWords words) { m_engine.SetAdviceTerms(std::move(words)); }

    ISerialPort& Port() { return Link().Port(); }
    // Where the flow events go (the engine's sink).
    void SetEventSink(FlowEventSink sink) { m_engine.SetEventSink(std::move(sink)); }
    // The folder of the fixed firmware images (GENERATOR_MCU.bin, ...);
    // empty: ./data (.\data\ on Windows). Each dialog has its own.
    void SetDataFolder(std::string folder) { m_dataFolder = std::move(folder); }
    // The path the flows read the fixed image `name` from.
    std::string DataFile(const char* name) const;

private:
    // The tests set up and check the state behind the view through it.
    friend class test::DialogProbe;

    // Members bound by dialog data exchange.
    std::string m_strSearchStatus;   // static 1108
    float m_fProgress = 0;           // edit 1190
    int m_nKeyboardChain = 0;        // edit 1167
    std::string m_strStatus;         // static 1183
    std::string m_strNote = "Note: Only for signal generator firmware updating !";  // edit 1168
    int m_nPatternNo = 0;            // edit 1184

    bool m_bAskingToStop = false;      // the "Stop it?" question is on the screen
    bool m_bOutcomeBoxes = true;                 // SetOutcomeBoxes
    bool m_bPatternReady = false;                // the last import enabled "SG NAND FLASH"
    bool m_bPanelReady = false;                  // ... and the panel button

    // The link, the flows and what they hold; the dialog shows them.
    Engine m_engine;
    InstrumentLink& Link() { return m_engine.Link(); }
    const InstrumentLink& Link() const { return m_engine.Link(); }

    // What the dialog holds beyond the flows.
    PatternImages m_images;  // preview and panel image; the raster is m_raster
    // The raster of the last accepted 1920x1080 import (null before one),
    // shared with the stream that sends it rather than copied. An import
    // replaces the pointer, so a stream that is still running keeps the
    // bytes it started with.
    SharedBytes m_raster;
    std::shared_ptr<SharedFiles> m_files;

    // EngineView: the flows' steps on the screen.
    void CommandRefused(InstrumentLink::Command why) override;
    void FlowProgress(float percent) override { m_fProgress = percent; }
    void EventTold() override { RefreshStrip(); }
    void BlockAcked(const BlockStreamFlow::AckStep& step) override;
    void EraseTicked(EraseWaitFlow::Tick tick) override;
    void EraseConfirmed() override;
    void FirstBlockSent(const BlockStreamFlow::Sent& sent) override { ShowBlockSent(sent); }
    void SearchTicked(SearchFlow::Tick tick) override;
    void BootStepped(McuBootloaderFlow::Step step) override { ShowBootStep(step); }
    void BannerHeard(BootEntryFlow::Banner banner) override;
    bool ToolNotStarted(const std::string& problem) override;
    bool FlowEnded(const FlowEnd& end) override;
    void SearchNotFound() override;
    void PortWentAway() override { ShowPortClosed(); }
    void BoardStepped(InputBoardFlow::Step step) override;
    void PortClosed() override;

    // Steps the flows and the message map reach only from inside.
    void ClosePortNow();
    // The port is shown open, or its device is still open: a flow's end
    // gives it up.
    bool PortInUse() const { return Link().Ready() || Link().Port().IsOpen(); }
    // A reply frame that passed the link's checks, by its reply-table entry.
    void ImportPatternImage();
    void DrawPreview();
    // A fixed firmware image read whole; null after a box.
    SharedBytes LoadFirmwareFile(const std::string& path, const FileKind& kind);
    // The same without the box: null with `why` set to the box's words.
    SharedBytes ReadFirmwareFile(const std::string& path, const FileKind& kind, std::string& why);
    void ShowPortOpen();
    void ShowPortClosed();
    void ShowOpenProblem();
    bool OpenPortWithSettings(unsigned port, char parity);
    // Checks of the start handlers: false after the operator's message.
    bool CheckPortOpen(const char* caption);
    bool CheckDeviceKind(std::uint8_t group);
    void ShowNote(const char* note);
    // The file of a firmware button: `path`, or the one the operator
    // chooses in the file dialog; null when cancelled or refused.
    SharedBytes ChooseStreamFile(const FileKind& kind, const std::optional<std::string>& path = std::nullopt);
    bool CheckFirmwareFile(const std::string& path, const FileKind& kind);

    // The ends of flows that did not end well (FlowEnded), by their kind:
    // true when the operator has read the message and the advice.
    bool ShowStopped(const FlowEnd& end);
    bool ShowFlowFailed(const FlowEnd& end);
    bool ShowDeviceGone(const FlowEnd& end);
    // Controls that would end or replace a flow writing to the instrument
    // ask first; false when the operator said No.
    bool ConfirmControl(int controlId);

    // Bootloader entry.
    bool PrepareMcuUpdate(const char* noPortCaption, std::uint8_t group);
    // GENERATOR_MCU.bin, or ANALYZER_MCU.bin for the signal analyzer.
    const char* McuImageName() const;

    // Main-MCU bootloader (engine/McuBootloaderFlow): what its steps show.
    void ShowBootStep(McuBootloaderFlow::Step step);
    void ShowBootProgress();
    void ShowBootSucceeded();
    bool ShowBootloaderFailure(const FlowEnd& end);

    // Search, block streams and uploads.
    void StartFpgaImage(std::uint8_t group, const char* image);
    bool CheckSlotAndPort(bool readField);
    void StoreUserPattern(int slot, bool fromField);
    SharedBytes Raster();  // the last accepted import's raster, else black
    void StorePanelImage(int slot, bool fromField);
    bool ImportImageFile(const std::string& path);
    // The accepted parts of an import into the dialog: buttons, images, the
    // file's name and the verdict's box. False after a box.
    bool ApplyImage(const std::string& path, const DecodedImage& image);
    // A file read whole or an image decoded, from m_files when it is set.
    SharedBytes ReadFlowFile(const std::string& path, const FileKind& kind, std::string& refusal);
    std::shared_ptr<const DecodedImage> ReadImage(const std::string& path, std::string& refusal);
    void DisableUploads();
    // The last block of a pattern or panel stream has been acknowledged:
    // the status line says which slot holds it, the note lets go.
    void ShowUploadStored();
    // The screen after a new block of the stream.
    void ShowBlockSent(const BlockStreamFlow::Sent& sent);
    // Shows a stream's first block (ShowBlockSent); 0 when none went out
    // (an empty stream).
    int ShowFirstBlock(const std::optional<BlockStreamFlow::Sent>& sent);

    // Remembering (SetSettings) and what is shown beyond the template.
    void RestoreChoices();
    void Remember(const char* key, const std::string& value);
    void RememberPort();
    void RememberSlot();
    void RememberKind(std::uint8_t group);
    void ShowLoadedFile(const std::string& path, bool shown);
    // The strip follows the flow after each event and field update; it
    // changes nothing the flow does, hence callable from the const reports.
    void RefreshStrip() const;

    IHost& m_host;
    ISettings* m_settings = nullptr;
    std::string m_imageFolder = "./";  // where "Load Image" opens
    std::string m_loadedFileName;
    std::uint8_t m_rememberedGroup = 0;
    bool m_kindRemembered = false;
    mutable ProgressStrip m_strip;
    std::string m_dataFolder;
};

} // namespace quillet
