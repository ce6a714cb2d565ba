#include "ui/vuzededudoz/single_instance.h"

#include <QCryptographicHash>
#include <QLocalServer>
#include <QLocalSocket>

#include <unistd.h>

namespace housetone::ui {

namespace {

const QByteArray showRequest = "show\n";
const QByteArray shownReply = "shown\n";

}  // namespace

SingleInstance::SingleInstance(QObject* parent) : QObject(parent), server_(new QLocalServer(this)) {
    // Only this user's own launches may ask.
    server_->setSocketOptions(QLocalServer::UserAccessOption);
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::serverName(const std::filesystem::path& stateDirectory) {
    const QByteArray folder = QByteArray::fromStdString(
        std::filesystem::weakly_canonical(stateDirectory).generic_string());
    const QByteArray digest =
        QCryptographicHash::hash(folder, QCryptographicHash::Sha256).toHex().left(16);
    return QStringLiteral("housetone-%1-%2").arg(::getuid()).arg(QString::fromLatin1(digest));
}

bool SingleInstance::handOver(const QString& name, int timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(timeoutMs)) return false;
    socket.write(showRequest);
    if (!socket.waitForBytesWritten(timeoutMs)) return false;
    QByteArray reply;
    while (!reply.endsWith('\n') && socket.waitForReadyRead(timeoutMs))
        reply += socket.readAll();
    return reply == shownReply;
}

bool SingleInstance::listen(const QString& name, std::function<void()> onRequest) {
    onRequest_ = std::move(onRequest);
    connect(server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (!socket->canReadLine()) return;
                if (socket->readLine() != showRequest) {
                    socket->disconnectFromServer();
                    return;
                }
                if (onRequest_) onRequest_();
                socket->write(shownReply);
                socket->disconnectFromServer();
            });
        }
    });
    if (server_->listen(name)) return true;
    // Nobody answered on this name (the caller asked first), so a socket file left behind by a
    // program that did not end cleanly is all that can be in the way.
    if (server_->serverError() == QAbstractSocket::AddressInUseError) {
        QLocalServer::removeServer(name);
        return server_->listen(name);
    }
    return false;
}

QString SingleInstance::error() const {
    return server_->errorString();
}

}  // namespace housetone::ui
