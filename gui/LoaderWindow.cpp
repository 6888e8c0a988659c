#include "gui/LoaderWindow.h"

#include <map>

#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QFrame>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyleOptionButton>

#include "dialog/DialogTrace.h"
#include "dialog/LoaderDlg.h"
#include "dialog/Resources.h"
#include "gui/Icons.h"
#include "gui/QtHost.h"
#include "platform/Settings.h"
#include "serial/PortMap.h"
#include "serial/SerialLink.h"

#ifdef _WIN32
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#undef MessageBox
#endif

namespace quillet::gui {

namespace {

// A push button whose caption wraps onto several lines (BS_MULTILINE).
class WrapButton : public QPushButton {
public:
    using QPushButton::QPushButton;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        QStyleOptionButton opt;
        initStyleOption(&opt);
        opt.text.clear();
        style()->drawControl(QStyle::CE_PushButton, &opt, &p, this);
        const QRect area = style()->subElementRect(QStyle::SE_PushButtonContents, &opt, this);
        p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                 QPalette::ButtonText));
        p.drawText(area, Qt::AlignCenter | Qt::TextWordWrap | Qt::TextShowMnemonic, text());
    }
};

// The COM list: before it drops down, each entry learns the device it
// stands for (the port map can change while the program runs).
class PortCombo : public QComboBox {
public:
    PortCombo(QWidget* parent, std::function<void()> beforePopup)
        : QComboBox(parent), m_beforePopup(std::move(beforePopup)) {}

    void showPopup() override {
        if (m_beforePopup) m_beforePopup();
        QComboBox::showPopup();
    }

private:
    std::function<void()> m_beforePopup;
};

// The black frame of the preview. The dialog's preview image is drawn at
// one screen pixel per preview pixel, two pixels inside the top-left corner.
class PreviewFrame : public QFrame {
public:
    PreviewFrame(QWidget* parent, std::function<const CLoaderDlg*()> dialog)
        : QFrame(parent), m_dialog(std::move(dialog)) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setPen(Qt::black);
        p.drawRect(rect().adjusted(0, 0, -1, -1));
        const CLoaderDlg* dlg = m_dialog();
        if (!dlg) return;
        const QImage image(dlg->PreviewPixels(), kPreviewWidth, kPreviewHeight,
                           kPreviewWidth * 3, QImage::Format_RGB888);
        p.drawImage(QPoint(2, 2), image);
    }

private:
    std::function<const CLoaderDlg*()> m_dialog;
};

} // namespace

LoaderWindow::LoaderWindow(QWidget* parent) : QDialog(parent), m_units(DialogFont()) {
    const DialogTemplate& t = MainDialogTemplate();
    setFont(DialogFont());
    setWindowTitle(t.caption);
    setWindowIcon(AppIcon());
    // Popup with caption, system menu and minimize box, modal frame.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    // The window is the template's and the progress strip's below it.
    setFixedSize(m_units.X(t.w), m_units.Y(MainDialogHeight()));
    setAcceptDrops(true);
    BuildControls();
    BuildAddedControls();
    m_host = std::make_unique<QtHost>(*this);
}

LoaderWindow::~LoaderWindow() {
    m_dlg.reset();   // ends the monitor thread while the host and controls exist
    m_ownPort.reset();
    m_host.reset();
}

void LoaderWindow::Initialise(PortMap map, DialogTrace& trace) {
    if (!trace.Active()) {
        Initialise(std::move(map));
        return;
    }
    m_ownPort = trace.Tap(std::make_unique<CSerialLink>(*m_host, map), map);
    Initialise(map, m_ownPort.get());
    trace.Follow(*m_dlg);
}

void LoaderWindow::Initialise(PortMap map, ISerialPort* port) {
    m_portMap = map;
    m_dlg = port ? std::make_unique<CLoaderDlg>(*m_host, port) : std::make_unique<CLoaderDlg>(*m_host, std::move(map));
    m_dlg->SetSettings(m_settings.get());
    m_dlg->SetPortAdviceSource([this] { return SelectedPortAdvice(); });
    m_dlg->OnInitDialog();
    RefreshPortTooltips();
    // The kind searched for last time: its button has the focus (Enter
    // presses it); nothing is searched by itself.
    if (QWidget* button = Control(m_dlg->RememberedSearchButton()); button && !button->isHidden())
        button->setFocus();
}

void LoaderWindow::RememberChoices(std::unique_ptr<ISettings> settings) { m_settings = std::move(settings); }

// Labels the dialog writes beyond the template: plain text, one line but
// for the strip's advice (FitStrip).
void LoaderWindow::BuildAddedControls() {
    for (const ControlTemplate& c : AddedControls()) {
        auto* label = new QLabel(this);
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignLeft | (c.id == IDC_PROGRESS_STRIP ? Qt::AlignTop : Qt::AlignVCenter));
        label->setWordWrap(c.id == IDC_PROGRESS_STRIP);
        label->setGeometry(m_units.Rect(c.x, c.y, c.w, c.h));
        label->setProperty("ctrlId", c.id);
        m_controls[c.id] = label;
    }
}

void LoaderWindow::FitStrip() {
    auto* strip = qobject_cast<QLabel*>(Control(IDC_PROGRESS_STRIP));
    if (!strip) return;
    int oneLine = strip->height();
    for (const ControlTemplate& c : AddedControls())
        if (c.id == IDC_PROGRESS_STRIP) oneLine = m_units.Rect(c.x, c.y, c.w, c.h).height();
    const bool more = strip->text().contains(QLatin1Char('\n'));
    const int needed = more ? std::max(oneLine, strip->heightForWidth(strip->width())) : oneLine;
    if (needed == strip->height()) return;
    strip->resize(strip->width(), needed);
    setFixedSize(width(), m_units.Y(MainDialogHeight()) + needed - oneLine);
}

// The advice for the port the COM list shows (the one a flow runs on).
std::string LoaderWindow::SelectedPortAdvice() const {
    auto* combo = qobject_cast<QComboBox*>(Control(IDC_COM_LIST));
    if (!combo || combo->currentIndex() < 0) return {};
    const unsigned com = static_cast<unsigned>(combo->currentIndex() + 1);
    const std::string device = m_portMap.DevicePath(com);
    if (portAdvice) return portAdvice(com, device);
    return device.empty() ? std::string() : DescribePort(device).advice;
}

// "Comm:" in this font may need more than its box: it grows to the left,
// into the free space the port icon leaves, and keeps its right edge.
void LoaderWindow::FitCommLabel(QWidget* label, const QRect& box) {
    const int needed = QFontMetrics(font()).horizontalAdvance(qobject_cast<QLabel*>(label)->text());
    if (needed <= box.width()) return;
    const int right = box.x() + box.width();
    const int left = std::max(m_units.X(CommLabelRoom().minX), right - needed);
    label->setGeometry(left, box.y(), right - left, box.height());
}

void LoaderWindow::dragEnterEvent(QDragEnterEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (!urls.isEmpty() && urls.front().isLocalFile()) event->acceptProposedAction();
}

// The first file dropped loads as with "Load Image".
void LoaderWindow::dropEvent(QDropEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.isEmpty() || !urls.front().isLocalFile() || !m_dlg) return;
    event->acceptProposedAction();
    m_dlg->DropImageFile(QDir::toNativeSeparators(urls.front().toLocalFile()).toStdString());
}

QWidget* LoaderWindow::Control(int id) const {
    const auto it = m_controls.find(id);
    return it == m_controls.end() ? nullptr : it->second;
}

void LoaderWindow::BuildControls() {
    int index = 0;
    for (const ControlTemplate& c : MainDialogTemplate().controls) {
        const QRect r = m_units.Rect(c.x, c.y, c.w, c.h);
        QWidget* w = nullptr;
        switch (c.kind) {
        case ControlKind::PushButton:
        case ControlKind::DefPushButton: {
            // A focused push button answers Enter, as in any dialog.
            w = new QPushButton(c.caption, this);
            break;
        }
        case ControlKind::MultiLineButton: {
            w = new WrapButton(c.caption, this);
            break;
        }
        case ControlKind::StaticText: {
            auto* label = new QLabel(c.caption, this);
            label->setTextFormat(Qt::PlainText);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            // Text statics wrap at word ends; a one-line static keeps its
            // line (a word wrapped away would not be seen at all).
            label->setWordWrap(r.height() >= 2 * QFontMetrics(font()).height());
            w = label;
            break;
        }
        case ControlKind::StaticIcon: {
            // Starts empty: the template's icon name names no icon.
            auto* label = new QLabel(this);
            label->setAlignment(Qt::AlignCenter);
            w = label;
            break;
        }
        case ControlKind::DropDownCombo: {
            QComboBox* combo = nullptr;
            if (c.id == IDC_COM_LIST) {
                combo = new PortCombo(this, [this] { RefreshPortTooltips(); });
                combo->addItems(ComListEntries());
            } else {
                combo = new QComboBox(this);
                combo->addItems(McuListEntries());
            }
            combo->setEditable(true);
            combo->setInsertPolicy(QComboBox::NoInsert);
            combo->setCurrentIndex(-1);
            // The template height includes the dropped-down list.
            const int fieldHeight = combo->sizeHint().height();
            const int itemHeight = QFontMetrics(font()).height() + 2;
            combo->setMaxVisibleItems(std::max(1, (r.height() - fieldHeight) / itemHeight));
            w = combo;
            break;
        }
        case ControlKind::Edit:
        case ControlKind::ReadOnlyEdit: {
            auto* edit = new QLineEdit(this);
            edit->setReadOnly(c.kind == ControlKind::ReadOnlyEdit);
            w = edit;
            break;
        }
        case ControlKind::MultiLineEdit: {
            auto* edit = new QPlainTextEdit(this);
            edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            edit->document()->setDocumentMargin(1);
            w = edit;
            break;
        }
        case ControlKind::GroupBox:
        case ControlKind::CentredGroupBox: {
            auto* box = new QGroupBox(c.caption, this);
            if (c.kind == ControlKind::CentredGroupBox) box->setAlignment(Qt::AlignHCenter);
            w = box;
            break;
        }
        case ControlKind::BlackFrame:
            w = new PreviewFrame(this, [this]() -> const CLoaderDlg* { return m_dlg.get(); });
            break;
        }
        w->setGeometry(r);
        if (c.kind == ControlKind::DropDownCombo)
            w->setGeometry(r.x(), r.y(), r.width(), w->sizeHint().height());
        w->setProperty("ctrlId", c.id);
        w->setProperty("templateIndex", index++);
        if (static_cast<std::size_t>(index - 1) == CommLabelRoom().index) FitCommLabel(w, r);
        if (c.hidden) w->setHidden(true);
        if (c.disabled) w->setEnabled(false);
        if (c.kind == ControlKind::GroupBox || c.kind == ControlKind::CentredGroupBox) {
            // Group boxes sit behind the controls they surround (the style may
            // shade their inside) and take no clicks.
            w->setAttribute(Qt::WA_TransparentForMouseEvents);
            w->lower();
        }
        if (c.id != IDC_STATIC) m_controls[c.id] = w;

        const int id = c.id;
        if (auto* b = qobject_cast<QAbstractButton*>(w)) {
            connect(b, &QAbstractButton::clicked, this, [this, id] { Command(id); });
        } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
            connect(combo, &QComboBox::activated, this, [this, id] { Command(id); });
            if (id == IDC_COM_LIST) {
                connect(combo, &QComboBox::currentIndexChanged, this, [combo](int index) {
                    combo->setToolTip(index >= 0 ? combo->itemData(index, Qt::ToolTipRole).toString()
                                                 : QString());
                });
            }
        }
    }
    RefreshPortTooltips();
}

void LoaderWindow::Command(int id) {
    if (m_dlg) m_dlg->OnCommand(id);
}

void LoaderWindow::RefreshPortTooltips() {
    auto* combo = qobject_cast<QComboBox*>(Control(IDC_COM_LIST));
    if (!combo) return;
    // "COM3: /dev/ttyUSB0" and, on a second line, what is known of the
    // device (as quillet-cli ports tells it).
    std::map<unsigned, QString> tips;
    for (const auto& [com, device] : m_portMap.Present()) {
        QString tip = QStringLiteral("COM%1: %2").arg(com).arg(QString::fromStdString(device));
        const PortDescription d = DescribePort(device);
        const std::string summary = d.Summary();
        if (!summary.empty()) tip += QStringLiteral("\n") + QString::fromStdString(summary);
        if (!d.advice.empty()) tip += QStringLiteral("\n") + QString::fromStdString(d.advice);
        tips[com] = tip;
    }
    for (int i = 0; i < combo->count(); ++i) {
        const unsigned com = static_cast<unsigned>(i + 1);
        const auto it = tips.find(com);
        combo->setItemData(i, it != tips.end() ? it->second : QStringLiteral("COM%1: no device").arg(com),
                           Qt::ToolTipRole);
    }
    const int sel = combo->currentIndex();
    combo->setToolTip(sel >= 0 ? combo->itemData(sel, Qt::ToolTipRole).toString() : QString());
}

QMenu* LoaderWindow::CreateContextMenu(QWidget* parent) {
    auto* menu = new QMenu(parent);
    QAction* about = menu->addAction(QString::fromLatin1(kStrAbout));
    connect(about, &QAction::triggered, this, [this] {
        if (m_dlg) m_dlg->OnSysCommand(IDM_ABOUTBOX);
    });
    return menu;
}

void LoaderWindow::contextMenuEvent(QContextMenuEvent* event) {
    QMenu* menu = CreateContextMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

void LoaderWindow::UpdatePreview() {
    if (m_inPaint) return;  // the paint under way draws it
    if (QWidget* frame = Control(IDC_PREVIEW)) frame->update();
}

void LoaderWindow::paintEvent(QPaintEvent* event) {
    QDialog::paintEvent(event);
    if (!m_dlg) return;
    m_inPaint = true;
    m_dlg->OnPaint(isMinimized());
    m_inPaint = false;
}

void LoaderWindow::EndModal() {
    m_ending = true;
    QDialog::done(IDOK);
}

void LoaderWindow::closeEvent(QCloseEvent* event) {
    if (m_ending || !m_dlg) {
        event->accept();
        return;
    }
    event->ignore();
    m_dlg->OnClose();  // ends the dialog through the host
}

void LoaderWindow::keyPressEvent(QKeyEvent* event) {
    // Template 102 has no default push button: Enter presses the button that
    // has the focus and nothing else. Typed in an edit or the COM list, it
    // must not press the first button of the dialog ("Turn on Port").
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        !qobject_cast<QAbstractButton*>(focusWidget())) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void LoaderWindow::reject() {
    // Escape closes the dialog the same way as the close box.
    if (m_dlg)
        m_dlg->OnClose();
    else
        QDialog::reject();
}

#ifdef _WIN32
void LoaderWindow::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (m_systemMenuReady) return;
    m_systemMenuReady = true;
    HMENU menu = GetSystemMenu(reinterpret_cast<HWND>(winId()), FALSE);
    if (menu) {
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX,
                    reinterpret_cast<LPCWSTR>(QString::fromLatin1(kStrAbout).utf16()));
    }
}

bool LoaderWindow::nativeEvent(const QByteArray& eventType, void* message, qintptr* result) {
    const MSG* msg = static_cast<const MSG*>(message);
    if (msg->message == WM_SYSCOMMAND && (msg->wParam & 0xFFF0) == IDM_ABOUTBOX && m_dlg) {
        m_dlg->OnSysCommand(static_cast<unsigned>(msg->wParam));
        *result = 0;
        return true;
    }
    return QDialog::nativeEvent(eventType, message, result);
}
#endif

} // namespace quillet::gui
