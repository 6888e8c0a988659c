// The dialog templates as data: template 102 (the main dialog) and
// template 100 (the about box), in dialog units, in template order, with
// the window class and style of each kind of control. Both dialogs are
// built from these tables: the Qt one (gui/) and the Win32 one (win/),
// which hands them to the dialog manager as in-memory templates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quillet {

enum class ControlKind {
    PushButton,
    MultiLineButton,   // push button whose caption wraps onto several lines
    DefPushButton,     // the default push button (about box OK)
    StaticText,
    StaticIcon,
    DropDownCombo,     // drop-down combo with a vertical scroll bar
    Edit,              // single-line edit with border
    ReadOnlyEdit,
    MultiLineEdit,
    GroupBox,
    CentredGroupBox,   // group box with its caption centred
    BlackFrame,        // static with a black frame (the preview area)
};

struct ControlTemplate {
    int id;                // -1 for the unnamed statics and group boxes
    ControlKind kind;
    const char* caption;   // UTF-8
    int x, y, w, h;        // dialog units
    bool hidden;           // not visible at start
    bool disabled;         // disabled at start
};

struct DialogTemplate {
    const char* caption;
    int w, h;              // client size in dialog units
    std::vector<ControlTemplate> controls;
    std::uint32_t style;   // window style of the dialog (Windows' bits)
    std::uint32_t exStyle;
};

// Template 102, the main dialog.
const DialogTemplate& MainDialogTemplate();
// Template 100, the about box.
const DialogTemplate& AboutBoxTemplate();

// The controls the dialog shows beyond template 102, placed where no
// control of the template is: the loaded file's name just under the
// preview, and the progress strip below all of the template's controls,
// across the dialog. The template's controls keep their places and sizes;
// the window grows by the strip (MainDialogHeight()).
const std::vector<ControlTemplate>& AddedControls();
// The client height in dialog units with the strip.
int MainDialogHeight();

// A one-line label whose text may need more width than its box in the
// dialog font of a system: it may grow to the left as far as `minX` (the
// space before it is free), keeping its right edge. "Comm:" beside the
// COM list, which the port icon leaves room for.
struct LabelRoom {
    std::size_t index;  // in MainDialogTemplate().controls
    int minX;           // dialog units
};
LabelRoom CommLabelRoom();

// The font both templates name.
inline constexpr const char* kDialogFontName = "MS Sans Serif";
inline constexpr int kDialogFontPoints = 8;

// The COM list's entries: "COM1".."COM99" and one empty entry.
std::vector<std::string> ComListEntries();
// The MCU list's eleven entries.
std::vector<std::string> McuListEntries();

// A control of `kind` as the Windows dialog manager makes it: the window
// class and the style bits (visibility and the disabled state come from
// the template's start states on top).
struct ControlClass {
    const char* windowClass;  // "BUTTON", "STATIC", "EDIT", "COMBOBOX"
    std::uint32_t style;
};
ControlClass ControlClassOf(ControlKind kind);

} // namespace quillet
