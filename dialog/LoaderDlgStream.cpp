// The acknowledged block stream: the first block of every stream, the block
// acknowledgement that carries a stream on, firmware image files and the
// three FPGA buttons.
#include <algorithm>
#include <cstring>

#include "engine/FlowTimings.h"
#include "dialog/LoaderDlg.h"
#include "pattern/BmpImport.h"
#include "discovery/DeviceKinds.h"
#include "pattern/FileBytes.h"
#include "protocol/Frame.h"

namespace quillet {

namespace {

constexpr const char* kNoteSucceeded =
    "Note: Succeed to update \rFPGA firmware. Disconnect\r\n USB cable and re-power!";

std::string FileNameOf(const std::string& path) {
    const auto slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

float Percent(std::uint32_t part, std::uint32_t whole) {
    return static_cast<float>(static_cast<double>(part) / static_cast<double>(whole) * 100.0);
}

// How a flow reads the operator's file: the bytes, or null with the reason.
using FileReader = std::function<SharedBytes(const std::string& path, std::string& refusal)>;

// The chosen file `path`, read whole; nothing when it cannot be used: then
// "Open file failed!" with the file and the reason on a second line (also
// for an empty file or one larger than the flow's kind of file allows).
// `chosen` runs before it is read.
SharedBytes ReadChosenFile(IHost& host, const std::string& path, const std::function<void()>& chosen,
                           const FileReader& read) {
    if (chosen) chosen();
    // Nothing goes to the instrument for a file that cannot be used, and
    // the operator is told which file and why.
    std::string refusal;
    SharedBytes bytes = read(path, refusal);
    if (!bytes) host.MessageBox(WithRefusal(kMsgOpenFailed, refusal), "");
    return bytes;
}

// The firmware buttons' file choice: the current directory, the .bin file
// dialog, then the whole file (ReadChosenFile). Nothing when the operator
// cancels or the file cannot be used.
SharedBytes ChooseBinFile(IHost& host, const std::function<void()>& chosen, const FileReader& read) {
    host.SetCurrentDirectory(kCurrentDir);
    const std::optional<std::string> path = host.OpenFileDialog(kBinFileFilter, kCurrentDir);
    if (!path) return nullptr;
    return ReadChosenFile(host, *path, chosen, read);
}

} // namespace

// ---- stream helpers ---------------------------------------------------------

void SetStreamKind(StreamState& st, int kind) {
    st.kindFpga = kind == kStreamFpga;
    st.kindAux = kind == kStreamAux;
    st.kindPattern = kind == kStreamPattern;
    st.kindPanel = kind == kStreamPanel;
}

std::uint8_t BlockSubCommand(const StreamState& st) {
    if (st.kindFpga) return kBlockSubFpga;
    if (st.kindAux) return kBlockSubAux;
    if (st.kindPattern) return kBlockSubPattern;
    if (st.kindPanel) return kBlockSubPanel;
    return kBlockSubFpga;
}

int FillNextBlock(StreamState& st) {
    const std::vector<std::uint8_t>& bytes = st.Bytes();
    const std::size_t end = std::min<std::size_t>(st.size, bytes.size());
    const std::size_t left = st.position < end ? end - st.position : 0;
    const std::size_t n = std::min<std::size_t>(left, kBlockData);
    std::uint8_t* data = st.block + kBlockHeader;
    if (n) std::memcpy(data, bytes.data() + st.position, n);
    std::memset(data + n, 0, kBlockData - n);
    st.position += static_cast<std::uint32_t>(n);
    return static_cast<int>(n);
}

void SetBlockHeader(StreamState& st, std::uint8_t subCommand, std::uint32_t number, std::uint8_t marker) {
    st.block[0] = subCommand;
    st.block[1] = static_cast<std::uint8_t>(number & 0xFF);
    st.block[2] = static_cast<std::uint8_t>((number >> 8) & 0xFF);
    st.block[3] = marker;
}

void BuildBlockFrame(const std::uint8_t* payload, std::uint8_t group, std::uint8_t machine,
                     std::uint8_t* frame) {
    BuildRequestFrame(frame, {group, machine}, {0x00, 0x00}, kCodeBlock, payload, kBlockPayload);
}

// ---- first block ---------------------------------------------------------------

int CLoaderDlg::SendFirstBlock(int kind, std::uint32_t firstBlock, std::uint8_t firstMarker, bool handBuilt,
                               bool closeAfterLast) {
    StreamState& st = m_stream;
    SetStreamKind(st, kind);
    st.finished = 0;
    st.sentAny = 0;
    st.closeArmed = 0;
    st.ended = 0;
    st.blockNumber = firstBlock;
    st.firstBlock = firstBlock;
    st.acked = 0;
    st.position = 0;
    if (st.size == 0 || st.Bytes().empty()) return 0;

    const int placed = FillNextBlock(st);
    const bool last = st.position >= std::min<std::size_t>(st.size, st.Bytes().size());
    const std::uint8_t marker = last ? kMarkerLast : firstMarker;
    SetBlockHeader(st, BlockSubCommand(st), st.blockNumber, marker);

    if (handBuilt) {
        BuildBlockFrame(st.block, 0x00, 0x00, m_boot.tx);
        m_port->QueueWrite(m_boot.tx, kBlockFrameBytes);
    } else {
        SendCommand(kCodeBlock, kBlockPayload, st.block);
    }
    st.sentAny = 1;
    // After the first block the percentage field shows the index of the
    // block's last byte, as it always has. A source shorter than one block
    // is a partial last block and ends like any other.
    AfterBlockSent(marker, placed == kBlockData, st.position - 1, closeAfterLast);
    return 1;
}

// What follows every new block: the report, the next block number, the
// percentage (or, after a partial last block, 100 and the success note),
// the end of the stream and timer 5 after the block marked last.
void CLoaderDlg::AfterBlockSent(std::uint8_t marker, bool fullBlock, std::uint32_t progressPosition,
                                bool closeAfterLast) {
    StreamState& st = m_stream;
    Report(FlowEvent::BlockSent, st.blockNumber, marker);
    ArmFlowWatch();
    ++st.blockNumber;
    if (fullBlock) {
        m_fProgress = Percent(progressPosition, st.size);
    } else {
        m_fProgress = 100;
        m_strNote = kNoteSucceeded;
    }
    const bool last = marker == kMarkerLast;
    if (last) {
        st.finished = 1;
        Report(FlowEvent::StreamFinished);
    }
    UpdateData(false);
    if (last && closeAfterLast) {
        m_host.SetTimer(TIMER_CLOSE, kCloseDelayMs);
        st.closeArmed = 1;
    }
}

int CLoaderDlg::StartBlockStream(int kind) {
    return SendFirstBlock(kind, 0, kMarkerNone, false, true);
}

// ---- acknowledgement --------------------------------------------------------------

void CLoaderDlg::OnBlockAck() {
    // Reply frame: AB, device address, length, console address, FF FF, then
    // the payload 78 78 status and the checksum. A frame too short for that
    // payload would leave the status to its checksum or to an earlier frame.
    if (m_nExpectedLength < 8) return;
    if (m_reply[9] != 0x78 || m_reply[10] != 0x78) return;
    const std::uint8_t status = m_reply[11];
    Report(FlowEvent::BlockAcked, status);
    StreamState& st = m_stream;
    if (status == 0 && st.sentAny && st.acked < st.blockNumber - st.firstBlock) {
        ++st.acked;
        // Every block of the whole stream is in the instrument's hands (not
        // only those sent before the operator stopped it).
        if (st.finished && st.acked == st.blockNumber - st.firstBlock &&
            st.position >= std::min<std::size_t>(st.size, st.Bytes().size()) && !st.ended) {
            ShowUploadStored();
            const FlowSnapshot done = StreamSnapshot(m_fProgress);
            ReportFlowDone(done.kind, done.what + ": " + WithThousands(st.acked) + " blocks acknowledged");
        }
    }

    if (status != 0) {
        // The device asks for the block again: the same payload goes out
        // unchanged, also when it was the block marked last.
        if (!st.sentAny) return;
        SendCommand(kCodeBlock, kBlockPayload, st.block);
        Report(FlowEvent::BlockSent, st.block[1] | st.block[2] << 8, st.block[3], "resend");
        if (!st.ended) ArmFlowWatch();
        // The port stays open for a second after the last write.
        if (st.block[3] == kMarkerLast && st.closeArmed && m_bPortOpen) m_host.SetTimer(TIMER_CLOSE, kCloseDelayMs);
        return;
    }
    // Nothing to carry on: no stream has started, or everything has gone out.
    if (!st.sentAny || st.finished) return;

    const std::size_t end = std::min<std::size_t>(st.size, st.Bytes().size());
    if (st.position >= end) return;
    const int placed = FillNextBlock(st);
    const bool last = st.position >= end;
    const std::uint8_t marker = last ? kMarkerLast : kMarkerNone;
    SetBlockHeader(st, BlockSubCommand(st), st.blockNumber, marker);
    SendCommand(kCodeBlock, kBlockPayload, st.block);
    AfterBlockSent(marker, placed == kBlockData, st.position, true);
}

// ---- files and the FPGA buttons ---------------------------------------------------

int CLoaderDlg::LoadFirmwareFile(const std::string& path, const FileKind& kind) {
    std::string refusal;
    SharedBytes bytes = ReadFlowFile(path, kind, refusal);
    if (!bytes) {
        m_host.MessageBox(WithRefusal("Can not find " + FileNameOf(path) + " !", refusal), "");
        return 0;
    }
    m_stream.size = static_cast<std::uint32_t>(bytes->size());
    m_stream.buffer.clear();
    m_stream.shared = std::move(bytes);
    return 1;
}

// The check of a fixed image before the flow touches the instrument: the
// loader's own words, and why on a second line. False after the box.
bool CLoaderDlg::CheckFirmwareFile(const std::string& path, const FileKind& kind) {
    const std::string refusal = CheckInputFile(path, kind);
    if (refusal.empty()) return true;
    m_host.MessageBox(WithRefusal("Can not find " + FileNameOf(path) + " !", refusal), "");
    return false;
}

// The file-dialog step of the buttons that send a file the operator
// chooses: the percentage back to 0, then the file into the stream buffer.
// False when the dialog was cancelled or the file cannot be used.
bool CLoaderDlg::ChooseStreamFile(const FileKind& kind, const std::optional<std::string>& path) {
    m_fProgress = 0;
    const auto chosen = [this] { UpdateData(false); };
    const FileReader read = [this, &kind](const std::string& file, std::string& refusal) {
        return ReadFlowFile(file, kind, refusal);
    };
    SharedBytes file = path ? ReadChosenFile(m_host, *path, chosen, read) : ChooseBinFile(m_host, chosen, read);
    if (!file) return false;
    m_stream.size = static_cast<std::uint32_t>(file->size());
    m_stream.buffer.clear();
    m_stream.shared = std::move(file);
    return true;
}

// The generator's and the analyzer's FPGA buttons: port, then device kind,
// then the image file, the note and the stream.
void CLoaderDlg::StartFpgaImage(std::uint8_t group, const char* image) {
    EndStalledExchanges();
    if (!CheckPortOpen(kCaptionIsp) || !CheckDeviceKind(group)) return;
    UpdateData(true);
    if (!CheckFirmwareFile(DataFile(image), kBlockImageFile)) return;
    ShowNote(kNoteUpdating);
    if (!LoadFirmwareFile(DataFile(image), kBlockImageFile)) return;
    StartBlockStream(kStreamFpga);
}

void CLoaderDlg::OnGeneratorFpga() {
    StartFpgaImage(kGroupGenerator, kGeneratorFpgaImage);
}

void CLoaderDlg::OnAnalyzerFpga() {
    StartFpgaImage(kGroupAnalyzer, kAnalyzerFpgaImage);
}

void CLoaderDlg::OnAuxFpga() {
    WriteAuxFpga(std::nullopt);
}

void CLoaderDlg::WriteAuxFpga(const std::optional<std::string>& file) {
    EndStalledExchanges();
    UpdateData(true);
    if (!ChooseStreamFile(kBlockImageFile, file)) return;
    // No port or device check: with the port closed SendCommand says so.
    StartBlockStream(kStreamAux);
}

} // namespace quillet
