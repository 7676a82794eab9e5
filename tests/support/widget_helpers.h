// Helpers for widget tests: an isolated settings folder, finding components by name, and
// answering modal dialogs the way a user would.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

// Points XDG_CONFIG_HOME at a fresh folder for the lifetime of the object.
class IsolatedConfig {
public:
    IsolatedConfig() {
        previous = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
    }
    ~IsolatedConfig() { qputenv("XDG_CONFIG_HOME", previous); }
    QString path() const { return dir.path(); }
    QString programFolder() const { return dir.path() + QStringLiteral("/Ulma/Morlanex"); }

private:
    QTemporaryDir dir;
    QByteArray previous;
};

template <typename T = QWidget>
T *child(QObject *parent, const char *name) {
    return parent->findChild<T *>(QLatin1String(name));
}

// Waits (running the event loop) for the next modal dialog, then hands it to `act`.
// Returns immediately; `act` runs once the dialog is showing. The wait ends with `scope`, so a
// dialog that never came cannot be answered in a later test.
inline void whenModalShows(QObject *scope, std::function<void(QWidget *)> act, int timeoutMs = 5000) {
    auto *poll = new QTimer(scope);
    auto started = std::make_shared<QElapsedTimer>();
    started->start();
    QObject::connect(poll, &QTimer::timeout, poll, [poll, act, started, timeoutMs] {
        QWidget *modal = QApplication::activeModalWidget();
        if (modal && modal->isVisible()) {
            poll->stop();
            poll->deleteLater();
            act(modal);
        } else if (started->elapsed() > timeoutMs) {
            poll->stop();
            poll->deleteLater();
        }
    });
    poll->start(20);
}

// Answers the next message box with `button`; its text lands in `*seen`.
inline void answerMessageBox(QObject *scope, QMessageBox::StandardButton button, QString *seen = nullptr) {
    whenModalShows(scope, [button, seen](QWidget *w) {
        auto *box = qobject_cast<QMessageBox *>(w);
        if (!box) return;
        if (seen) *seen = box->text();
        box->button(button)->click();
    });
}

// Closes the next modal dialog (any kind) with reject(); records that it showed.
inline void rejectNextDialog(QObject *scope, bool *showed = nullptr, QString *objectName = nullptr) {
    whenModalShows(scope, [showed, objectName](QWidget *w) {
        if (showed) *showed = true;
        if (objectName) *objectName = w->objectName();
        if (auto *d = qobject_cast<QDialog *>(w)) d->reject();
    });
}
