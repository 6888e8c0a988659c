#include "gui/DialogTemplate.h"

#include <QFontMetrics>

#include "app/Resources.h"

namespace quillet::gui {

namespace {
using K = ControlKind;
constexpr bool kHidden = true;
constexpr bool kVisible = false;
constexpr bool kOff = true;
constexpr bool kOn = false;
} // namespace

const DialogTemplate& MainDialogTemplate() {
    static const DialogTemplate t{
        QStringLiteral("User Quillet 0.91"), 393, 347,
        {
            {IDC_PORT_BUTTON, K::PushButton, "Turn on Port", 52, 7, 53, 14, kVisible, kOn},
            {IDC_PORT_ICON, K::StaticIcon, "IDI_ICON1", 7, 10, 20, 20, kVisible, kOn},
            {IDC_COM_LIST, K::DropDownCombo, "", 54, 23, 52, 83, kVisible, kOn},
            {IDC_STATIC, K::StaticText, "Comm:", 33, 27, 21, 8, kVisible, kOn},
            {IDC_SEARCH_GENERATOR, K::PushButton, "Search Signal Generator", 7, 67, 103, 20, kVisible, kOn},
            {IDC_SEARCH_STATUS, K::StaticText, "Static", 13, 40, 87, 8, kVisible, kOn},
            {IDC_GENERATOR_MCU, K::MultiLineButton, "To Update Generator MCU Firmware", 180, 281, 97, 25, kHidden, kOn},
            {IDC_SUB_MCU, K::MultiLineButton, "To Update SUB MCU Firmware", 68, 270, 18, 25, kHidden, kOff},
            {IDC_IN1, K::MultiLineButton, "To Update IN1 Firmware", 39, 284, 25, 17, kHidden, kOff},
            {IDC_IN2, K::MultiLineButton, "To Update IN2 Firmware", 26, 280, 32, 17, kHidden, kOff},
            {IDC_IN3, K::MultiLineButton, "To Update IN3 Firmware", 22, 272, 30, 19, kHidden, kOff},
            {IDC_IN4, K::MultiLineButton, "To Update IN4 Firmware", 23, 276, 31, 21, kHidden, kOff},
            {IDC_STATIC, K::GroupBox, "FPGA FLASH UPDATE", 7, 291, 125, 36, kHidden, kOn},
            {IDC_GENERATOR_FPGA, K::PushButton, "Generator FPGA Firmware", 91, 275, 97, 25, kHidden, kOn},
            {IDC_AUX_FPGA, K::PushButton, "AUX FPGA UPDATE", 64, 301, 66, 15, kHidden, kOff},
            {IDC_PROGRESS, K::ReadOnlyEdit, "", 46, 135, 41, 15, kVisible, kOff},
            {IDC_STATIC, K::StaticText, "%", 88, 137, 8, 9, kVisible, kOn},
            {IDC_SEARCH_ANALYZER, K::PushButton, "Search Signal Analyzer", 7, 177, 103, 20, kHidden, kOn},
            {IDC_SEARCH_MV42, K::PushButton, "Search 4:2 Multiviewer", 26, 277, 23, 15, kHidden, kOff},
            {IDC_SEARCH_MV48, K::PushButton, "Search 4:8 Multiviewer", 20, 273, 33, 12, kHidden, kOff},
            {IDC_SEARCH_MV99, K::PushButton, "Search 9:9 Multiviewer", 19, 276, 32, 16, kHidden, kOff},
            {IDC_SEARCH_MX88, K::PushButton, "Search 8:8 HDMI2.0 Matrix", 21, 273, 24, 14, kHidden, kOff},
            {IDC_SEARCH_DA28, K::PushButton, "Search 2:8 HDMI2.0 DA", 23, 274, 24, 15, kHidden, kOff},
            {IDC_SEARCH_KX4, K::PushButton, "Search Matrix EXENDER KX4", 15, 257, 23, 15, kHidden, kOff},
            {IDC_PANEL_DATA, K::MultiLineButton, "3\" LCD panel data flash", 168, 235, 114, 21, kVisible, kOff},
            {IDC_KEYBOARD_CHAIN, K::Edit, "", 102, 297, 40, 14, kHidden, kOff},
            {IDC_MCU_LIST, K::DropDownCombo, "", 17, 246, 20, 166, kHidden, kOff},
            {IDC_NAND_FLASH, K::PushButton, "SG NAND FLASH", 168, 210, 113, 21, kVisible, kOff},
            {IDC_STATUS, K::StaticText, "Please wait....", 29, 162, 61, 8, kVisible, kOn},
            {IDC_ANALYZER_MCU, K::MultiLineButton, "To Update Analyzer MCU Firmware", 202, 282, 97, 25, kHidden, kOn},
            {IDC_ANALYZER_FPGA, K::PushButton, "Analyzer FPGA Firmware", 160, 287, 97, 25, kHidden, kOn},
            {IDC_ANALYZER_DATA, K::PushButton, "Analyzer Data Flash", 155, 294, 97, 25, kHidden, kOff},
            {IDC_NOTE, K::MultiLineEdit, "", 7, 96, 109, 32, kVisible, kOff},
            {IDC_STATIC, K::CentredGroupBox, "To Upload Generator User Pattern", 118, 17, 260, 266, kVisible, kOn},
            {IDC_STATIC, K::CentredGroupBox, "To Update Analyzer Firmware", 113, 281, 204, 53, kHidden, kOn},
            {IDC_PATTERN_NO, K::Edit, "", 309, 232, 25, 14, kVisible, kOn},
            {IDC_STATIC, K::StaticText, "User Pattern No(1~4):", 287, 218, 84, 8, kVisible, kOn},
            {IDC_PREVIEW, K::BlackFrame, "", 157, 43, 162, 110, kVisible, kOn},
            {IDC_LOAD_IMAGE, K::PushButton, "Load Image", 168, 184, 113, 22, kVisible, kOn},
            {IDC_STATIC, K::StaticText, "Step1:", 139, 191, 25, 8, kVisible, kOn},
            {IDC_STATIC, K::StaticText, "Step2:", 139, 216, 25, 8, kVisible, kOn},
            {IDC_STATIC, K::StaticText, "Step3:", 139, 240, 25, 8, kVisible, kOn},
        }};
    return t;
}

const DialogTemplate& AboutBoxTemplate() {
    static const DialogTemplate t{
        QStringLiteral("About Quillet"), 235, 55,
        {
            {IDC_STATIC, K::StaticIcon, "", 11, 17, 20, 20, kVisible, kOn},
            {IDC_STATIC, K::StaticText, "Quillet Version 1.0", 40, 10, 119, 8, kVisible, kOn},
            {IDOK_BUTTON, K::DefPushButton, "OK", 178, 7, 50, 14, kVisible, kOn},
        }};
    return t;
}

QStringList ComListEntries() {
    QStringList list;
    for (int i = 1; i <= 99; ++i) list << QStringLiteral("COM%1").arg(i);
    list << QString();
    return list;
}

QStringList McuListEntries() {
    return {"Keyboard",   "input1 MCU", "input2 MCU", "input3 MCU", "input4 MCU", "input5 MCU",
            "input6 MCU", "input7 MCU", "input8 MCU", "input9 MCU", "LAN MCU"};
}

QFont DialogFont() {
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(8);
    return font;
}

int DialogUnits::AverageWidthFromLetters(int lettersWidth) { return (lettersWidth / 26 + 1) / 2; }

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics fm(font);
    m_baseX = AverageWidthFromLetters(
        fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")));
    m_baseY = fm.height();
}

// MulDiv(du, base, 4) and MulDiv(du, base, 8): rounded to nearest.
int DialogUnits::X(int du) const { return (du * m_baseX + 2) / 4; }
int DialogUnits::Y(int du) const { return (du * m_baseY + 4) / 8; }

QRect DialogUnits::Rect(int x, int y, int w, int h) const {
    // Position and size are converted each on its own, as the dialog
    // manager creates the controls of a template.
    return QRect(X(x), Y(y), X(w), Y(h));
}

} // namespace quillet::gui
