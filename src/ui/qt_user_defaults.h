#pragma once

#include <QSettings>
#include <QString>

#include "core/user_defaults.h"

namespace housetone::ui {

// User defaults in QSettings: the application's own store (organisation and application name set
// by main), or an INI file of the caller's choosing (tests).
class QtUserDefaults final : public UserDefaults {
  public:
    QtUserDefaults();
    explicit QtUserDefaults(const QString& iniFile);

    bool boolDefault(const std::string& key, bool fallback) const override;
    void setBool(const std::string& key, bool value) override;

    // Bytes kept by the window toolkit (a window's geometry); empty when absent.
    QByteArray bytes(const QString& key) const;
    void setBytes(const QString& key, const QByteArray& value);

  private:
    QSettings settings_;
};

inline constexpr const char* dockVisibleKey = "dockVisible";
// The main window's size and position when it last closed.
inline constexpr const char* windowGeometryKey = "windowGeometry";

// "dockVisible", what earlier versions stored for "showInTaskbar"; an absent key counts as true.
inline bool dockVisible(const UserDefaults& defaults) {
    return defaults.boolDefault(dockVisibleKey, true);
}

}  // namespace housetone::ui
