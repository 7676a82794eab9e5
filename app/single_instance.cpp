#include "app/single_instance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include <cstdio>

namespace {
// One line each way: "activate <token>\n", answered by "ok\n".
constexpr char kRequest[] = "activate";
constexpr char kAnswer[] = "ok\n";
constexpr qsizetype kMaxLine = 512;
constexpr int kRequestTimeoutMs = 2000;

// The token a launcher gave this start: Wayland's activation token, else X11's startup id.
QByteArray ownActivationToken() {
    QByteArray token = qgetenv("XDG_ACTIVATION_TOKEN");
    if (token.isEmpty()) token = qgetenv("DESKTOP_STARTUP_ID");
    return token;
}

// Tokens are short printable words; anything else is dropped rather than passed on.
bool plausibleToken(const QByteArray &token) {
    if (token.size() > 256) return false;
    for (char c : token) {
        if (c <= ' ' || c > '~') return false;
    }
    return true;
}

void say(const QString &text) { std::fprintf(stderr, "morlanex: %s\n", qPrintable(text)); }
}  // namespace

SingleInstance::SingleInstance(QString folder, QObject *parent) : QObject(parent), folder_(std::move(folder)) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultFolder() { return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation); }

QString SingleInstance::lockPath() const { return folder_ + QStringLiteral("/morlanex.lock"); }

QString SingleInstance::socketPath() const { return folder_ + QStringLiteral("/morlanex.socket"); }

SingleInstance::Role SingleInstance::claim(std::chrono::milliseconds wait) {
    if (folder_.isEmpty() || !QDir().mkpath(folder_)) {
        say(QStringLiteral("no runtime folder; running without the one-copy guard"));
        return Role::Unguarded;
    }
    lock_ = std::make_unique<QLockFile>(lockPath());
    // Only a dead owner makes the lock stale, however long the first copy has been running.
    lock_->setStaleLockTime(std::chrono::milliseconds::zero());
    if (lock_->tryLock(std::chrono::milliseconds::zero())) {
        if (serve()) return Role::First;
        say(QStringLiteral("cannot listen on %1 (%2); a later start will not find this copy")
                .arg(socketPath(), server_->errorString()));
        return Role::First;
    }
    if (lock_->error() != QLockFile::LockFailedError) {
        say(QStringLiteral("cannot use %1; running without the one-copy guard").arg(lockPath()));
        lock_.reset();
        return Role::Unguarded;
    }
    lock_.reset();
    return askRunningCopy(wait);
}

SingleInstance::Role SingleInstance::askRunningCopy(std::chrono::milliseconds wait) {
    const QDeadlineTimer deadline(wait);
    QLocalSocket socket;
    // The first copy may hold the lock a moment before it listens.
    for (;;) {
        socket.connectToServer(socketPath());
        if (socket.waitForConnected(int(deadline.remainingTime()))) break;
        socket.abort();
        if (deadline.hasExpired()) {
            say(QStringLiteral("another copy holds %1 but does not answer").arg(lockPath()));
            return Role::NoAnswer;
        }
        QThread::msleep(50);
    }

    QByteArray token = ownActivationToken();
    if (!plausibleToken(token)) token.clear();
    socket.write(QByteArray(kRequest) + ' ' + token + '\n');
    QByteArray answer;
    while (!answer.contains('\n') && !deadline.hasExpired()) {
        if (socket.bytesToWrite() > 0)
            socket.waitForBytesWritten(int(deadline.remainingTime()));
        else if (socket.waitForReadyRead(int(deadline.remainingTime())))
            answer += socket.readAll();
        else if (socket.state() != QLocalSocket::ConnectedState)
            break;
    }
    if (answer != kAnswer) {
        say(QStringLiteral("another copy is running but does not answer"));
        return Role::NoAnswer;
    }
    say(QStringLiteral("already running; its window was brought to the front"));
    return Role::HandedOver;
}

bool SingleInstance::serve() {
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    // We hold the lock, so a socket file left there belongs to a copy that died.
    QLocalServer::removeServer(socketPath());
    connect(server_, &QLocalServer::newConnection, this, &SingleInstance::onConnection);
    return server_->listen(socketPath());
}

void SingleInstance::onConnection() {
    while (QLocalSocket *socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        // A caller that never finishes its line is dropped, so it holds nothing for long.
        QTimer::singleShot(kRequestTimeoutMs, socket, [socket] { socket->abort(); });
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > kMaxLine) socket->abort();
                return;
            }
            const QByteArray line = socket->readLine(kMaxLine).trimmed();
            const QList<QByteArray> words = line.split(' ');
            if (words.value(0) != kRequest || words.size() > 2 || !plausibleToken(words.value(1))) {
                socket->abort();
                return;
            }
            const QByteArray token = words.value(1);
            if (!token.isEmpty()) qputenv("XDG_ACTIVATION_TOKEN", token);
            socket->write(kAnswer);
            socket->flush();
            socket->disconnectFromServer();
            emit activationRequested(QString::fromLatin1(token));
        });
    }
}
