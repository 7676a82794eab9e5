// Internal header. TerminationSignals: the signals that ask a program to end (SIGTERM from
// systemctl or kill, SIGINT from Ctrl-C in a terminal, SIGHUP when the terminal or the session
// goes away) turned into a Qt signal on the event loop, so that they can run the same shutdown
// as the exit menu item.
//
// The handler only writes the signal's number into a non-blocking pipe; a socket notifier reads
// it on the thread that created the object. A signal that arrives before the event loop runs is
// reported once it runs. While the object exists these signals no longer end the process; the
// destructor puts the previous handlers back.
//
// Threads: create, use and destroy on one thread that runs a Qt event loop. At most one instance
// at a time (the handler has one pipe to write to).
//
// Example:
//   TerminationSignals endRequests;
//   QObject::connect(&endRequests, &TerminationSignals::received, window, &Window::exitItemClicked);
#pragma once

#include "net/unique_fd.h"

#include <QObject>

#include <array>
#include <csignal>

class QSocketNotifier;

class TerminationSignals : public QObject {
    Q_OBJECT
public:
    static constexpr std::array<int, 3> Caught = {SIGTERM, SIGINT, SIGHUP};

    // Throws std::runtime_error when another instance exists or the pipe cannot be made.
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;
    TerminationSignals(const TerminationSignals &) = delete;
    TerminationSignals &operator=(const TerminationSignals &) = delete;

signals:
    // One of Caught arrived; once per delivery (deliveries the kernel merges count once).
    void received(int signalNumber);

private:
    void drain();

    morlanex::UniqueFd readEnd_;
    morlanex::UniqueFd writeEnd_;  // the handler borrows it
    QSocketNotifier *notifier_ = nullptr;
    std::array<struct sigaction, Caught.size()> previous_{};
};
