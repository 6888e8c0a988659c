// Resource numbers of the dialog: control ids of template 102, icons and
// strings, and the texts of the templates that the hosts draw.
#pragma once

namespace quillet {

// Dialog templates.
constexpr int IDD_ABOUTBOX = 100;
constexpr int IDD_LOADER_DIALOG = 102;

// Icons.
constexpr int IDR_MAINFRAME = 128;    // application icon
constexpr int IDI_PORT_CLOSED = 133;
constexpr int IDI_PORT_OPEN = 134;

// Strings.
constexpr int IDS_ABOUTBOX = 101;     // "&About ISP..."
constexpr int IDP_SOCKETS_INIT_FAILED = 103;
inline constexpr const char* kStrAbout = "&About ISP...";
inline constexpr const char* kStrSocketsFailed = "Windows sockets initialization failed.";

// Controls of template 102.
constexpr int IDC_PORT_BUTTON = 1006;
constexpr int IDC_PORT_ICON = 1007;
constexpr int IDC_COM_LIST = 1106;
constexpr int IDC_SEARCH_GENERATOR = 1107;
constexpr int IDC_SEARCH_STATUS = 1108;
constexpr int IDC_SEARCH_ANALYZER = 1109;
constexpr int IDC_SEARCH_MV42 = 1110;
constexpr int IDC_SEARCH_MV48 = 1111;
constexpr int IDC_SEARCH_MV99 = 1112;
constexpr int IDC_SEARCH_MX88 = 1113;
constexpr int IDC_SEARCH_DA28 = 1114;
constexpr int IDC_SEARCH_KX4 = 1115;
constexpr int IDC_GENERATOR_MCU = 1118;
constexpr int IDC_SUB_MCU = 1119;
constexpr int IDC_IN1 = 1120;
constexpr int IDC_IN2 = 1121;
constexpr int IDC_IN3 = 1122;
constexpr int IDC_IN4 = 1123;
constexpr int IDC_ANALYZER_MCU = 1124;
constexpr int IDC_PANEL_DATA = 1144;
constexpr int IDC_ANALYZER_DATA = 1145;
constexpr int IDC_KEYBOARD_CHAIN = 1167;
constexpr int IDC_NOTE = 1168;
constexpr int IDC_MCU_LIST = 1180;
constexpr int IDC_NAND_FLASH = 1181;
constexpr int IDC_STATUS = 1183;
constexpr int IDC_PATTERN_NO = 1184;
constexpr int IDC_LOAD_IMAGE = 1185;
constexpr int IDC_PREVIEW = 1186;
constexpr int IDC_GENERATOR_FPGA = 1187;
constexpr int IDC_AUX_FPGA = 1188;
constexpr int IDC_ANALYZER_FPGA = 1189;
constexpr int IDC_PROGRESS = 1190;
// Not in template 102: the loaded file's name under the preview and the
// progress strip below the template's controls (AddedControls()).
constexpr int IDC_LOADED_FILE = 1191;
constexpr int IDC_PROGRESS_STRIP = 1192;
constexpr int IDOK_BUTTON = 1;
#ifndef IDC_STATIC  // the resource headers' macro, where one came first
constexpr int IDC_STATIC = -1;
#endif

// Window timers of the dialog.
constexpr unsigned TIMER_ERASE = 3;
constexpr unsigned TIMER_SCAN = 4;
constexpr unsigned TIMER_CLOSE = 5;
constexpr unsigned TIMER_BOOT_SYNC = 8;
constexpr unsigned TIMER_BOOT_SEND = 9;
constexpr unsigned TIMER_BOOT_TIMEOUT = 10;
// The main-MCU bootloader has sent nothing at all for this long: the
// exchange ends (restarted by every byte the bootloader sends).
constexpr unsigned TIMER_BOOT_SILENCE = 11;
// The running flow's time-out: restarted by every step the instrument
// answers; when it runs out, the flow ends timed out.
constexpr unsigned TIMER_FLOW_WATCH = 12;

// System command of the about item.
constexpr unsigned IDM_ABOUTBOX = 0x0010;

// Captions.
inline constexpr const char* kCaptionIsp = "ISP";
inline constexpr const char* kCaptionIspBlank = " ISP";
inline constexpr const char* kCaptionConsole = "ISP PC CONSOLE";
inline constexpr const char* kCaptionAppError = "Application Error";

// File dialog filter of every firmware button (its description says bmp).
inline constexpr const char* kBinFileFilter = "bmp file(*.bin)|*.bin|all file(*.*)|*.*||";
// The folder file dialogs start in: the program's current directory.
#ifdef _WIN32
inline constexpr const char* kCurrentDir = ".\\";
#else
inline constexpr const char* kCurrentDir = "./";
#endif

// The fixed firmware image files, read from the data folder: ".\data\"
// beside the current directory unless the front end names another one.
inline constexpr const char* kGeneratorMcuImage = "GENERATOR_MCU.bin";
inline constexpr const char* kAnalyzerMcuImage = "ANALYZER_MCU.bin";
inline constexpr const char* kGeneratorFpgaImage = "GENERATOR_FPGA.bin";
inline constexpr const char* kAnalyzerFpgaImage = "ANALYZER_FPGA.bin";

// Note line while firmware goes to the instrument.
inline constexpr const char* kNoteUpdating =
    "Note: While updating \r\n firmware ,please \r\n do not press any button!";

// Note line after a transfer was stopped before its end.
inline constexpr const char* kNoteStopped =
    "Note: The transfer stopped \r\n before its end. Please \r\n start it again.";

// Button texts of the port display.
inline constexpr const char* kTurnOnPort = "Turn on Port";
inline constexpr const char* kClosePort = "Close Port";

} // namespace quillet
