// The operator's choices kept with QSettings: per user, under the
// organisation "Quillet" (on Linux ~/.config/Quillet/quillet.conf), or in
// the INI file given (the tests use a temporary one).
#pragma once

#include <QSettings>
#include <QString>

#include "platform/Settings.h"

namespace quillet::gui {

class QtSettings : public ISettings {
public:
    QtSettings();
    explicit QtSettings(const QString& iniFile);

    std::optional<std::string> Read(const std::string& key) const override;
    void Write(const std::string& key, const std::string& value) override;

private:
    QSettings m_settings;
};

} // namespace quillet::gui
