// "Load Image": the file dialog, the checks, the three images and the two
// upload buttons; the preview drawn in frame 1186.
#include "dialog/LoaderDlg.h"
#include "pattern/BmpImport.h"
#include "pattern/FileBytes.h"

namespace quillet {

namespace {

// Both kinds of image the dialog reads first, then each on its own terms.
constexpr const char* kImageFilter =
    "bmp or png file(*.bmp;*.png)|*.bmp;*.png|bmp file(*.bmp)|*.bmp|all file(*.*)|*.*||";

void ApplyButton(IHost& host, int id, ButtonChange change, bool& ready) {
    if (change == ButtonChange::Enable) host.EnableItem(id, true);
    if (change == ButtonChange::Disable) host.EnableItem(id, false);
    if (change != ButtonChange::Keep) ready = change == ButtonChange::Enable;
}

} // namespace

void CLoaderDlg::OnLoadImage() {
    ImportPatternImage();
    DrawPreview();
}

void CLoaderDlg::ImportPatternImage() {
    m_host.SetCurrentDirectory("./");
    const auto path = m_host.OpenFileDialog(kImageFilter, m_imageFolder);
    if (!path) return;
    ImportImageFile(*path);
}

bool CLoaderDlg::LoadImageFile(const std::string& path) {
    const bool loaded = ImportImageFile(path);
    DrawPreview();
    return loaded;
}

bool CLoaderDlg::ImportImageFile(const std::string& path) {
    UpdateData(false);

    // The file goes into storage of its own, so a stream that may still be
    // running keeps its buffer.
    // The operator chose a file: if it is rejected, no upload button stays
    // enabled for an image loaded before it.
    // Anything but a regular file, an empty one or one larger than a
    // 1920x1080 BMP needs is refused before it is read, with the reason.
    std::vector<std::uint8_t> file;
    std::string refusal = CheckInputFile(path, kPatternBmpFile);
    if (refusal.empty() && ReadFileBytes(path, file, &refusal, kPatternBmpFile) && file.empty())
        refusal = "\"" + path + "\" is empty.";
    if (!refusal.empty()) {
        DisableUploads();
        ShowLoadedFile(path, false);
        m_host.MessageBox(WithRefusal(kMsgOpenFailed, refusal), "");
        return false;
    }

    const BmpOutcome out = DecodePatternBmp(file.data(), file.size(), m_images);
    if (out.verdict == BmpVerdict::NotBmp) {
        DisableUploads();
    } else {
        UpdateData(false);
        ApplyButton(m_host, IDC_NAND_FLASH, out.nandButton, m_bPatternReady);
        ApplyButton(m_host, IDC_PANEL_DATA, out.panelButton, m_bPanelReady);
    }
    ShowLoadedFile(path, out.verdict == BmpVerdict::Pattern || out.verdict == BmpVerdict::Panel);
    if (!out.message) return true;
    m_host.MessageBox(out.message, "");
    return false;
}

void CLoaderDlg::DisableUploads() {
    m_host.EnableItem(IDC_NAND_FLASH, false);
    m_host.EnableItem(IDC_PANEL_DATA, false);
    m_bPatternReady = false;
    m_bPanelReady = false;
}

// The host draws the 240x160 preview one screen pixel per preview pixel, two
// pixels inside the top-left corner of frame 1186, from m_images.preview.
void CLoaderDlg::DrawPreview() { m_host.RedrawPreview(); }

} // namespace quillet
