#include "gui/QtSettings.h"

namespace quillet::gui {

namespace {
// The dialog's keys live in a group of their own.
QString Key(const std::string& key) { return QStringLiteral("dialog/") + QString::fromStdString(key); }
} // namespace

QtSettings::QtSettings()
    : m_settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Quillet"), QStringLiteral("quillet")) {}

QtSettings::QtSettings(const QString& iniFile) : m_settings(iniFile, QSettings::IniFormat) {}

std::optional<std::string> QtSettings::Read(const std::string& key) const {
    const QVariant value = m_settings.value(Key(key));
    if (!value.isValid()) return std::nullopt;
    return value.toString().toStdString();
}

void QtSettings::Write(const std::string& key, const std::string& value) {
    m_settings.setValue(Key(key), QString::fromStdString(value));
    m_settings.sync();
}

} // namespace quillet::gui
