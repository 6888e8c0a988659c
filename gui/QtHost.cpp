#include "gui/QtHost.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QThread>
#include <QTimer>

#include "dialog/Resources.h"
#include "gui/AboutBox.h"
#include "gui/GuiSupport.h"
#include "gui/Icons.h"
#include "gui/LoaderWindow.h"

#ifdef _WIN32
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#undef MessageBox
#endif

namespace quillet::gui {

QtHost::QtHost(LoaderWindow& window) : m_window(window) {}

QtHost::~QtHost() {
    for (auto& [id, timer] : m_timers) delete timer;
#ifdef _WIN32
    if (m_socketsStarted) WSACleanup();
#endif
}

// ---- timers -----------------------------------------------------------------

void QtHost::SetTimer(unsigned id, unsigned ms) {
    QTimer*& timer = m_timers[id];
    if (!timer) {
        timer = new QTimer();
        timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer, &QTimer::timeout, [this, id] {
            if (m_onTick) m_onTick(id);
        });
    }
    timer->start(static_cast<int>(ms));  // a running timer starts over
}

void QtHost::KillTimer(unsigned id) {
    const auto it = m_timers.find(id);
    if (it != m_timers.end() && it->second) it->second->stop();
}

bool QtHost::IsTimerActive(unsigned id) const {
    const auto it = m_timers.find(id);
    return it != m_timers.end() && it->second && it->second->isActive();
}

void QtHost::SetTimerCallback(std::function<void(unsigned)> onTick) { m_onTick = std::move(onTick); }

void QtHost::Sleep(unsigned ms) { QThread::msleep(ms); }

// ---- boxes and dialogs ---------------------------------------------------

int QtHost::ShowMessageBox(const std::string& text, const std::string& caption) {
    if (messageBoxHook) return messageBoxHook(text, caption);
    QMessageBox box(&m_window);
    box.setWindowTitle(QString::fromStdString(caption.empty() ? AppTitle() : caption));
    box.setTextFormat(Qt::PlainText);
    box.setText(QString::fromStdString(text));
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return IDOK;
}

int QtHost::MessageBox(const std::string& text, const std::string& caption) {
    if (QThread::currentThread() == m_window.thread()) return ShowMessageBox(text, caption);
    // From another thread (the serial monitor): shown on the GUI thread,
    // and the caller waits until the operator has closed it.
    int result = IDOK;
    QMetaObject::invokeMethod(
        &m_window, [&] { result = ShowMessageBox(text, caption); }, Qt::BlockingQueuedConnection);
    return result;
}

bool QtHost::AskYesNo(const std::string& text, const std::string& caption) {
    if (yesNoHook) return yesNoHook(text, caption);
    QMessageBox box(&m_window);
    box.setWindowTitle(QString::fromStdString(caption.empty() ? AppTitle() : caption));
    box.setIcon(QMessageBox::Question);
    box.setTextFormat(Qt::PlainText);
    box.setText(QString::fromStdString(text));
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

std::optional<std::string> QtHost::OpenFileDialog(const std::string& filter,
                                                  const std::string& initialDir) {
    if (fileDialogHook) return fileDialogHook(filter, initialDir);
    const QString path = QFileDialog::getOpenFileName(&m_window, QString(), NativeDir(initialDir),
                                                      QtFileFilter(filter));
    if (path.isEmpty()) return std::nullopt;
    return QDir::toNativeSeparators(path).toStdString();
}

void QtHost::ShowAbout() {
    if (aboutHook) {
        aboutHook();
        return;
    }
    AboutBox box(&m_window);
    box.exec();
}

void QtHost::EndDialog() { m_window.EndModal(); }

// ---- process ------------------------------------------------------------------

bool QtHost::SetCurrentDirectory(const std::string& dir) { return QDir::setCurrent(NativeDir(dir)); }

bool QtHost::StartProgram(const std::string& commandLine, int /*showCmd*/) {
    QStringList args = SplitCommandLine(commandLine);
    if (args.isEmpty()) return false;
    const QString program = args.takeFirst();
    return QProcess::startDetached(program, args);
}

bool QtHost::SocketsStartup() {
#ifdef _WIN32
    if (!m_socketsStarted) {
        WSADATA data;
        m_socketsStarted = WSAStartup(MAKEWORD(1, 1), &data) == 0;
    }
    return m_socketsStarted;
#else
    m_socketsStarted = true;
    return true;
#endif
}

void QtHost::Post(std::function<void()> fn) {
    QMetaObject::invokeMethod(&m_window, std::move(fn), Qt::QueuedConnection);
}

// ---- controls -------------------------------------------------------------------

void QtHost::SetItemText(int id, const std::string& text) {
    QWidget* w = m_window.Control(id);
    if (!w) return;
    const QString s = QString::fromStdString(text);
    if (auto* b = qobject_cast<QAbstractButton*>(w)) {
        b->setText(s);
    } else if (auto* label = qobject_cast<QLabel*>(w)) {
        label->setText(s);
        if (id == IDC_PROGRESS_STRIP) m_window.FitStrip();
    } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        edit->setText(s);
    } else if (auto* multi = qobject_cast<QPlainTextEdit*>(w)) {
        QString plain = s;
        plain.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        multi->setPlainText(plain);
    } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
        combo->setEditText(s);
    } else if (auto* box = qobject_cast<QGroupBox*>(w)) {
        box->setTitle(s);
    }
}

std::string QtHost::GetItemText(int id) const {
    QWidget* w = m_window.Control(id);
    if (!w) return {};
    QString s;
    if (auto* b = qobject_cast<QAbstractButton*>(w)) {
        s = b->text();
    } else if (auto* label = qobject_cast<QLabel*>(w)) {
        s = label->text();
    } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        s = edit->text();
    } else if (auto* multi = qobject_cast<QPlainTextEdit*>(w)) {
        s = multi->toPlainText();
        s.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
    } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
        s = combo->currentText();
    } else if (auto* box = qobject_cast<QGroupBox*>(w)) {
        s = box->title();
    }
    return s.toStdString();
}

void QtHost::EnableItem(int id, bool enable) {
    if (QWidget* w = m_window.Control(id)) w->setEnabled(enable);
}

bool QtHost::IsItemEnabled(int id) const {
    QWidget* w = m_window.Control(id);
    return w && !w->testAttribute(Qt::WA_Disabled);
}

void QtHost::SetPortIcon(int iconId) {
    m_portIcon = iconId;
    if (auto* label = qobject_cast<QLabel*>(m_window.Control(IDC_PORT_ICON))) {
        const int side = std::min({label->width(), label->height(), 32});
        label->setPixmap(DrawIcon(iconId, side));
    }
}

void QtHost::SetComboSel(int id, int index) {
    if (auto* combo = qobject_cast<QComboBox*>(m_window.Control(id))) {
        if (index < -1 || index >= combo->count()) index = -1;  // CB_ERR: selection cleared
        combo->setCurrentIndex(index);
    }
}

int QtHost::GetComboSel(int id) const {
    if (auto* combo = qobject_cast<QComboBox*>(m_window.Control(id))) return combo->currentIndex();
    return -1;
}

void QtHost::RedrawPreview() { m_window.UpdatePreview(); }

} // namespace quillet::gui
