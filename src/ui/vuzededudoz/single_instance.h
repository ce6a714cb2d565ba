#pragma once

// One running program per user and settings folder. A later launch finds the first one by a local
// socket named after the user and the folder, asks it to show its window and ends; runs with other
// settings folders (other homes, as tests use) never meet.

#include <QObject>
#include <QString>
#include <filesystem>
#include <functional>

class QLocalServer;

namespace housetone::ui {

class SingleInstance final : public QObject {
    Q_OBJECT
  public:
    explicit SingleInstance(QObject* parent = nullptr);
    ~SingleInstance() override;

    // The socket name for `stateDirectory`: the user's id and a digest of the folder's path.
    static QString serverName(const std::filesystem::path& stateDirectory);

    // Asks the program listening on `name` to show its window. True once it said it did; false
    // when nobody listens or the listener does not answer within `timeoutMs`.
    static bool handOver(const QString& name, int timeoutMs = 2000);

    // Listens on `name`, taking over a socket left behind by a program that crashed; `onRequest`
    // runs on the main thread for each later launch. False (with `error()` saying why) when the
    // socket cannot be made; the program then runs on alone.
    bool listen(const QString& name, std::function<void()> onRequest);
    QString error() const;

  private:
    QLocalServer* server_;
    std::function<void()> onRequest_;
};

}  // namespace housetone::ui
