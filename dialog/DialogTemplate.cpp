#include "dialog/DialogTemplate.h"

#include "dialog/Resources.h"

namespace quillet {

namespace {

// Windows' window and control style bits, by their system names.
constexpr std::uint32_t kWsPopup = 0x80000000, kWsCaption = 0x00C00000,
                        kWsSysMenu = 0x00080000, kWsMinimizeBox = 0x00020000, kWsVScroll = 0x00200000,
                        kWsTabStop = 0x00010000, kWsGroup = 0x00020000, kWsBorder = 0x00800000;
constexpr std::uint32_t kDsSetFont = 0x40, kDsModalFrame = 0x80, kDs3dLook = 0x4;
constexpr std::uint32_t kWsExAppWindow = 0x00040000;
constexpr std::uint32_t kBsPushButton = 0x0, kBsDefPushButton = 0x1, kBsGroupBox = 0x7, kBsCenter = 0x300,
                        kBsMultiLine = 0x2000;
constexpr std::uint32_t kSsLeft = 0x0, kSsIcon = 0x3, kSsBlackFrame = 0x7;
constexpr std::uint32_t kEsLeft = 0x0, kEsMultiLine = 0x4, kEsAutoHScroll = 0x80, kEsReadOnly = 0x800,
                        kEsAutoVScroll = 0x40;
constexpr std::uint32_t kCbsDropDown = 0x2, kCbsAutoHScroll = 0x40;

// Popup with caption, system menu, minimize box and modal frame, shown in
// the task bar.
constexpr std::uint32_t kMainStyle = kWsPopup | kWsCaption | kWsSysMenu | kWsMinimizeBox | kDsModalFrame |
                                     kDsSetFont | kDs3dLook;
constexpr std::uint32_t kAboutStyle = kWsPopup | kWsCaption | kWsSysMenu | kDsModalFrame | kDsSetFont | kDs3dLook;

using K = ControlKind;
constexpr bool kHidden = true;
constexpr bool kVisible = false;
constexpr bool kOff = true;
constexpr bool kOn = false;
} // namespace

const DialogTemplate& MainDialogTemplate() {
    static const DialogTemplate t{
        "User Quillet 0.91", 393, 347,
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
        },
        kMainStyle, kWsExAppWindow};
    return t;
}

namespace {
constexpr int kStripTop = 347;     // the template's height: below everything in it
constexpr int kStripHeight = 10;
constexpr int kStripGap = 2;       // under the strip, to the window's edge
constexpr int kCommLabelIndex = 3;
constexpr int kPortIconRight = 7 + 20;  // the port icon's box ends here
} // namespace

const std::vector<ControlTemplate>& AddedControls() {
    static const std::vector<ControlTemplate> added{
        {IDC_LOADED_FILE, K::StaticText, "", 157, 155, 162, 8, kVisible, kOn},
        {IDC_PROGRESS_STRIP, K::StaticText, "", 7, kStripTop, 379, kStripHeight, kVisible, kOn},
    };
    return added;
}

int MainDialogHeight() { return kStripTop + kStripHeight + kStripGap; }

LabelRoom CommLabelRoom() { return {kCommLabelIndex, kPortIconRight + 1}; }

const DialogTemplate& AboutBoxTemplate() {
    static const DialogTemplate t{
        "About Quillet", 235, 55,
        {
            {IDC_STATIC, K::StaticIcon, "", 11, 17, 20, 20, kVisible, kOn},
            {IDC_STATIC, K::StaticText, "Quillet Version 1.0", 40, 10, 119, 8, kVisible, kOn},
            {IDOK_BUTTON, K::DefPushButton, "OK", 178, 7, 50, 14, kVisible, kOn},
        },
        kAboutStyle, 0};
    return t;
}

std::vector<std::string> ComListEntries() {
    std::vector<std::string> list;
    for (int i = 1; i <= 99; ++i) list.push_back("COM" + std::to_string(i));
    list.emplace_back();
    return list;
}

std::vector<std::string> McuListEntries() {
    return {"Keyboard",   "input1 MCU", "input2 MCU", "input3 MCU", "input4 MCU", "input5 MCU",
            "input6 MCU", "input7 MCU", "input8 MCU", "input9 MCU", "LAN MCU"};
}

ControlClass ControlClassOf(ControlKind kind) {
    switch (kind) {
    case ControlKind::PushButton: return {"BUTTON", kBsPushButton | kWsTabStop};
    case ControlKind::MultiLineButton: return {"BUTTON", kBsPushButton | kBsMultiLine | kWsTabStop};
    case ControlKind::DefPushButton: return {"BUTTON", kBsDefPushButton | kWsTabStop};
    case ControlKind::StaticText: return {"STATIC", kSsLeft | kWsGroup};
    case ControlKind::StaticIcon: return {"STATIC", kSsIcon};
    case ControlKind::DropDownCombo: return {"COMBOBOX", kCbsDropDown | kCbsAutoHScroll | kWsVScroll | kWsTabStop};
    case ControlKind::Edit: return {"EDIT", kEsLeft | kEsAutoHScroll | kWsBorder | kWsTabStop};
    case ControlKind::ReadOnlyEdit: return {"EDIT", kEsLeft | kEsAutoHScroll | kEsReadOnly | kWsBorder | kWsTabStop};
    case ControlKind::MultiLineEdit:
        return {"EDIT", kEsLeft | kEsMultiLine | kEsAutoVScroll | kWsBorder | kWsTabStop};
    case ControlKind::GroupBox: return {"BUTTON", kBsGroupBox};
    case ControlKind::CentredGroupBox: return {"BUTTON", kBsGroupBox | kBsCenter};
    case ControlKind::BlackFrame: return {"STATIC", kSsBlackFrame};
    }
    return {"STATIC", 0};
}

} // namespace quillet
