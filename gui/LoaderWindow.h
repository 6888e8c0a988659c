// LoaderWindow: the main dialog on screen. Builds the controls of template
// 102, owns the Qt host and the dialog object, and routes the window's
// events to CLoaderDlg: button clicks and list selections to OnCommand,
// paints to OnPaint, closing to OnClose, the about item to OnSysCommand,
// an image file dropped on the window to DropImageFile. Beyond the
// template it shows the loaded file's name under the preview and the
// progress strip below the template's controls.
#pragma once

#include <QDialog>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "gui/DialogTemplate.h"
#include "serial/PortMap.h"

class QMenu;

namespace quillet {
class CLoaderDlg;
class DialogTrace;
class ISerialPort;
class ISettings;
}

namespace quillet::gui {

class QtHost;

class LoaderWindow : public QDialog {
public:
    explicit LoaderWindow(QWidget* parent = nullptr);
    ~LoaderWindow() override;

    // Constructs the dialog object (with its own serial link on `map`
    // unless `port` is given) and runs OnInitDialog. Call once, after the
    // sockets start. The COM list's tooltips follow `map`.
    void Initialise(PortMap map = {}, ISerialPort* port = nullptr);
    // The same with `trace` (quillet -v, --log FILE) when it is active: the
    // dialog's link is tapped into it and the flows tell it their steps.
    // The trace must outlive the window.
    void Initialise(PortMap map, DialogTrace& trace);
    // The operator's choices are remembered in `settings` (the program's
    // interactive run hands it QtSettings); call before Initialise. Without
    // it nothing is remembered.
    void RememberChoices(std::unique_ptr<ISettings> settings);

    CLoaderDlg& Dialog() { return *m_dlg; }
    QtHost& Host() { return *m_host; }
    const DialogUnits& Units() const { return m_units; }
    // The control with id `id`, or nullptr (unnamed statics have no id).
    QWidget* Control(int id) const;

    // The context menu carrying the about item (string 101).
    QMenu* CreateContextMenu(QWidget* parent);
    // Tooltips of the COM list: which device each entry stands for.
    void RefreshPortTooltips();

    // What slows the flows on COM `com` (behind it `device`, "" when none),
    // told below the progress strip while a flow writes to the instrument;
    // by default the advice DescribePort gives (an FTDI adapter's latency
    // timer). Set before Initialise.
    std::function<std::string(unsigned com, const std::string& device)> portAdvice;

    // Called by the host.
    void UpdatePreview();
    // The strip grows (and the window with it) to show every line of its
    // text, and shrinks back to one.
    void FitStrip();
    void EndModal();

protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void reject() override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
#ifdef _WIN32
    void showEvent(QShowEvent* event) override;
    bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;
#endif

private:
    void BuildControls();
    void BuildAddedControls();
    void FitCommLabel(QWidget* label, const QRect& box);
    std::string SelectedPortAdvice() const;
    void Command(int id);

    DialogUnits m_units;
    std::map<int, QWidget*> m_controls;
    std::unique_ptr<QtHost> m_host;
    std::unique_ptr<ISerialPort> m_ownPort;  // the tapped link of a traced dialog
    std::unique_ptr<ISettings> m_settings;
    std::unique_ptr<CLoaderDlg> m_dlg;  // destroyed before the port, the settings and the host
    PortMap m_portMap;
    bool m_inPaint = false;
    bool m_ending = false;
#ifdef _WIN32
    bool m_systemMenuReady = false;
#endif
};

} // namespace quillet::gui
