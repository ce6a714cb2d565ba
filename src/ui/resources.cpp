#include "ui/resources.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringList>

namespace housetone::ui {

namespace {

QString findResourceDirectory() {
    const QString appDir = QCoreApplication::applicationDirPath();
    const QString installed = QDir::cleanPath(appDir + "/../share/housetone");
    QStringList candidates;
    if (const QString env = qEnvironmentVariable("HOUSETONE_RESOURCES"); !env.isEmpty())
        candidates << env;
    candidates << appDir + "/resources" << installed;
#ifdef HOUSETONE_BUILD_RESOURCE_DIR
    candidates << QStringLiteral(HOUSETONE_BUILD_RESOURCE_DIR);
#endif
    for (const QString& dir : candidates) {
        if (QFileInfo::exists(dir + "/AppIcon.png")) return QDir::cleanPath(dir);
    }
    return installed;
}

}  // namespace

QString resourceDirectory() {
    static const QString dir = findResourceDirectory();
    return dir;
}

QString resourcePath(const QString& name) {
    return resourceDirectory() + "/" + name;
}

}  // namespace housetone::ui
