// One running copy per user. The first start holds a lock file and serves a local socket in the
// user's runtime folder; a later start finds the lock taken, asks the running copy over the
// socket to bring its window to the front, and ends. No widgets here: the window's side is a
// slot connected to activationRequested.
#pragma once

#include <QObject>
#include <QString>

#include <chrono>
#include <memory>

class QLocalServer;
class QLockFile;

class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Role {
        First,  // no other copy runs: this one goes on and answers later starts
        HandedOver,  // another copy runs and was asked to come to the front: end this one
        NoAnswer,  // another copy holds the lock but did not answer in time: end this one
        Unguarded,  // the runtime folder cannot hold the lock: go on without the guard
    };

    // folder: where the lock and the socket live; the user's runtime folder by default.
    explicit SingleInstance(QString folder = defaultFolder(), QObject *parent = nullptr);
    ~SingleInstance() override;

    // Decides this start's role; waits at most `wait` for a running copy to answer. Says on
    // stderr what it did unless this copy is the first.
    Role claim(std::chrono::milliseconds wait = std::chrono::seconds(5));

    static QString defaultFolder();
    QString lockPath() const;
    QString socketPath() const;

signals:
    // A later start asked for the window. Its activation token, when it had one, is already in
    // XDG_ACTIVATION_TOKEN, where the Wayland platform looks for it when the window activates.
    void activationRequested(const QString &token);

private:
    Role askRunningCopy(std::chrono::milliseconds wait);
    bool serve();
    void onConnection();

    QString folder_;
    std::unique_ptr<QLockFile> lock_;
    QLocalServer *server_ = nullptr;
};
