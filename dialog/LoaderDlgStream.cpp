// The acknowledged block stream: the first block of every stream, the block
// acknowledgement that carries a stream on, firmware image files and the
// three FPGA buttons.
#include <optional>

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

// ---- the stream's blocks on the screen ------------------------------------------

int CLoaderDlg::ShowFirstBlock(const std::optional<BlockStreamFlow::Sent>& sent) {
    if (!sent) return 0;
    ShowBlockSent(*sent);
    return 1;
}

// What the screen shows after every new block (the flow has told the
// percentage): after a partial last block the success note.
void CLoaderDlg::ShowBlockSent(const BlockStreamFlow::Sent& sent) {
    if (!sent.full) m_strNote = kNoteSucceeded;
    UpdateData(false);
}

// ---- acknowledgement --------------------------------------------------------------

void CLoaderDlg::BlockAcked(const BlockStreamFlow::AckStep& step) {
    switch (step.step) {
    case BlockStreamFlow::Step::Completed: ShowUploadStored(); break;
    case BlockStreamFlow::Step::Next: ShowBlockSent(step.sent); break;
    case BlockStreamFlow::Step::Resent:
    case BlockStreamFlow::Step::None: break;
    }
}

// ---- files and the FPGA buttons ---------------------------------------------------

SharedBytes CLoaderDlg::ReadFirmwareFile(const std::string& path, const FileKind& kind, std::string& why) {
    std::string refusal;
    SharedBytes bytes = ReadFlowFile(path, kind, refusal);
    if (!bytes) why = WithRefusal("Can not find " + FileNameOf(path) + " !", refusal);
    return bytes;
}

SharedBytes CLoaderDlg::LoadFirmwareFile(const std::string& path, const FileKind& kind) {
    std::string why;
    SharedBytes bytes = ReadFirmwareFile(path, kind, why);
    if (!bytes) m_host.MessageBox(why, "");
    return bytes;
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
// chooses: the percentage back to 0, then the file read whole. Null when
// the dialog was cancelled or the file cannot be used.
SharedBytes CLoaderDlg::ChooseStreamFile(const FileKind& kind, const std::optional<std::string>& path) {
    m_fProgress = 0;
    const auto chosen = [this] { UpdateData(false); };
    const FileReader read = [this, &kind](const std::string& file, std::string& refusal) {
        return ReadFlowFile(file, kind, refusal);
    };
    return path ? ReadChosenFile(m_host, *path, chosen, read) : ChooseBinFile(m_host, chosen, read);
}

// The generator's and the analyzer's FPGA buttons: port, then device kind,
// then the image file, the note and the stream.
void CLoaderDlg::StartFpgaImage(std::uint8_t group, const char* image) {
    m_engine.EndExchanges();
    if (!CheckPortOpen(kCaptionIsp) || !CheckDeviceKind(group)) return;
    UpdateData(true);
    if (!CheckFirmwareFile(DataFile(image), kBlockImageFile)) return;
    ShowNote(kNoteUpdating);
    SharedBytes bytes = LoadFirmwareFile(DataFile(image), kBlockImageFile);
    if (!bytes) return;
    ShowFirstBlock(m_engine.WriteStream(kStreamFpga, std::move(bytes)));
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
    m_engine.EndExchanges();
    UpdateData(true);
    SharedBytes bytes = ChooseStreamFile(kBlockImageFile, file);
    if (!bytes) return;
    // No port or device check: with the port closed SendCommand says so.
    ShowFirstBlock(m_engine.WriteStream(kStreamAux, std::move(bytes)));
}

} // namespace quillet
