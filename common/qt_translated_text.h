// Public header. A user-visible text defined once, before any translator is installed, and
// translated each time it is used: the source text (Traditional Chinese) and its translation
// context, which lupdate finds through QT_TRANSLATE_NOOP:
//   const TranslatedText kLiveMode{"MainWindow", QT_TRANSLATE_NOOP("MainWindow", "現場直播")};
//   label->setText(kLiveMode);
// Texts that go into a datagram or the settings file are never one of these.
//
// Threads: as QCoreApplication::translate (any thread).
#pragma once

#include <QCoreApplication>
#include <QString>

#include <string>
#include <utility>

struct TranslatedText {
    const char *context;
    const char *source;

    QString text() const { return QCoreApplication::translate(context, source); }
    operator QString() const { return text(); }
    template <typename... Args>
    QString arg(Args &&...args) const {
        return text().arg(std::forward<Args>(args)...);
    }
    std::string toStdString() const { return text().toStdString(); }
};
