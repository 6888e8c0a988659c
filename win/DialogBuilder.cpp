#include "win/DialogBuilder.h"

#include <cstring>
#include <string>

#include "platform/Utf8.h"
#include "platform/WindowsHeaders.h"

namespace quillet::win {

namespace {

class Writer {
public:
    void Word(std::uint16_t w) { m_words.push_back(w); }
    void Dword(std::uint32_t d) {
        Word(static_cast<std::uint16_t>(d & 0xFFFF));
        Word(static_cast<std::uint16_t>(d >> 16));
    }
    void Text(const std::string& utf8) {
        for (wchar_t c : WideFromUtf8(utf8)) Word(static_cast<std::uint16_t>(c));
        Word(0);
    }
    void AlignDword() {
        if (m_words.size() % 2) Word(0);
    }
    std::vector<std::uint16_t> Take() { return std::move(m_words); }

private:
    std::vector<std::uint16_t> m_words;
};

// The predefined classes by their atoms, as resource compilers write them.
std::uint16_t ClassAtom(const char* windowClass) {
    if (std::strcmp(windowClass, "BUTTON") == 0) return 0x0080;
    if (std::strcmp(windowClass, "EDIT") == 0) return 0x0081;
    if (std::strcmp(windowClass, "STATIC") == 0) return 0x0082;
    if (std::strcmp(windowClass, "COMBOBOX") == 0) return 0x0085;
    return 0x0082;
}

} // namespace

std::vector<std::uint16_t> BuildDialogTemplate(const DialogTemplate& t) {
    Writer w;
    // DLGTEMPLATE
    w.Dword(t.style);
    w.Dword(t.exStyle);
    w.Word(static_cast<std::uint16_t>(t.controls.size()));
    w.Word(0);  // x, y: the dialog manager centres a dialog without DS_ABSALIGN on its owner
    w.Word(0);
    w.Word(static_cast<std::uint16_t>(t.w));
    w.Word(static_cast<std::uint16_t>(t.h));
    w.Word(0);  // no menu
    w.Word(0);  // the dialog class
    w.Text(t.caption);
    if (t.style & DS_SETFONT) {
        w.Word(static_cast<std::uint16_t>(kDialogFontPoints));
        w.Text(kDialogFontName);
    }
    for (const ControlTemplate& c : t.controls) {
        w.AlignDword();
        const ControlClass cls = ControlClassOf(c.kind);
        std::uint32_t style = WS_CHILD | cls.style;
        if (!c.hidden) style |= WS_VISIBLE;
        if (c.disabled) style |= WS_DISABLED;
        // DLGITEMTEMPLATE
        w.Dword(style);
        w.Dword(0);
        w.Word(static_cast<std::uint16_t>(c.x));
        w.Word(static_cast<std::uint16_t>(c.y));
        w.Word(static_cast<std::uint16_t>(c.w));
        w.Word(static_cast<std::uint16_t>(c.h));
        w.Word(static_cast<std::uint16_t>(c.id));  // -1 (IDC_STATIC) is 0xFFFF
        w.Word(0xFFFF);
        w.Word(ClassAtom(cls.windowClass));
        w.Text(c.caption);
        w.Word(0);  // no creation data
    }
    return w.Take();
}

} // namespace quillet::win
