// "Load Image": the file dialog, the checks, the three images and the two
// upload buttons; the preview drawn in frame 1186.
#include "dialog/LoaderDlg.h"

#include <algorithm>
#include <iterator>

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

    // The operator chose a file: if it is rejected, no upload button stays
    // enabled for an image loaded before it.
    // Anything but a regular file, an empty one or one larger than a
    // 1920x1080 BMP needs is refused before it is read, with the reason.
    std::string refusal;
    const auto image = ReadImage(path, refusal);
    if (!image) {
        DisableUploads();
        ShowLoadedFile(path, false);
        m_host.MessageBox(WithRefusal(kMsgOpenFailed, refusal), "");
        return false;
    }
    return ApplyImage(path, *image);
}

bool CLoaderDlg::ApplyImage(const std::string& path, const DecodedImage& image) {
    const BmpOutcome& out = image.outcome;
    if (out.verdict == BmpVerdict::NotBmp) {
        DisableUploads();
    } else {
        UpdateData(false);
        ApplyButton(m_host, IDC_NAND_FLASH, out.nandButton, m_bPatternReady);
        ApplyButton(m_host, IDC_PANEL_DATA, out.panelButton, m_bPanelReady);
    }
    const bool accepted = out.verdict == BmpVerdict::Pattern || out.verdict == BmpVerdict::Panel;
    if (accepted) {
        std::copy(std::begin(image.images.preview), std::end(image.images.preview), m_images.preview);
        std::copy(std::begin(image.images.panel), std::end(image.images.panel), m_images.panel);
    }
    if (image.raster) m_raster = image.raster;
    ShowLoadedFile(path, accepted);
    if (!out.message) return true;
    m_host.MessageBox(out.message, "");
    return false;
}

SharedBytes CLoaderDlg::ReadFlowFile(const std::string& path, const FileKind& kind, std::string& refusal) {
    return m_files ? m_files->File(path, kind, refusal) : ReadSharedFile(path, kind, refusal);
}

std::shared_ptr<const DecodedImage> CLoaderDlg::ReadImage(const std::string& path, std::string& refusal) {
    return m_files ? m_files->Image(path, refusal) : ReadImageFile(path, refusal);
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
