#include "ui/qt_user_defaults.h"

namespace housetone::ui {

QtUserDefaults::QtUserDefaults() = default;

QtUserDefaults::QtUserDefaults(const QString& iniFile) : settings_(iniFile, QSettings::IniFormat) {}

bool QtUserDefaults::boolDefault(const std::string& key, bool fallback) const {
    const QString k = QString::fromStdString(key);
    if (!settings_.contains(k)) return fallback;
    return settings_.value(k).toBool();
}

void QtUserDefaults::setBool(const std::string& key, bool value) {
    settings_.setValue(QString::fromStdString(key), value);
    // Written at once so a crash or a kill right after the click does not lose the choice.
    settings_.sync();
}

QByteArray QtUserDefaults::bytes(const QString& key) const {
    return settings_.value(key).toByteArray();
}

void QtUserDefaults::setBytes(const QString& key, const QByteArray& value) {
    settings_.setValue(key, value);
    settings_.sync();
}

}  // namespace housetone::ui
