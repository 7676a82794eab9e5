#include "app/termination_signals.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace {
// The pipe the handler writes to; -1 while no instance exists.
std::atomic<int> handlerPipe{-1};
static_assert(std::atomic<int>::is_always_lock_free, "the handler reads it without a lock");

extern "C" void onTerminationSignal(int signalNumber) {
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // A full pipe drops the byte: enough of them are already waiting to be read.
    [[maybe_unused]] const ssize_t written = ::write(handlerPipe.load(), &byte, 1);
    errno = savedErrno;
}
}  // namespace

TerminationSignals::TerminationSignals(QObject *parent) : QObject(parent) {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) throw std::runtime_error("cannot create the signal pipe");
    morlanex::UniqueFd readEnd(fds[0]);
    morlanex::UniqueFd writeEnd(fds[1]);
    int expected = -1;
    if (!handlerPipe.compare_exchange_strong(expected, writeEnd.get()))
        throw std::runtime_error("termination signals are already being caught");
    readEnd_ = std::move(readEnd);
    writeEnd_ = std::move(writeEnd);
    notifier_ = new QSocketNotifier(readEnd_.get(), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &TerminationSignals::drain);

    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // interrupted system calls elsewhere carry on
    for (std::size_t i = 0; i < Caught.size(); ++i) ::sigaction(Caught[i], &action, &previous_[i]);
}

TerminationSignals::~TerminationSignals() {
    for (std::size_t i = 0; i < Caught.size(); ++i) ::sigaction(Caught[i], &previous_[i], nullptr);
    handlerPipe.store(-1);
    delete notifier_;
}

void TerminationSignals::drain() {
    unsigned char numbers[64];
    ssize_t count;
    while ((count = ::read(readEnd_.get(), numbers, sizeof numbers)) > 0) {
        for (ssize_t i = 0; i < count; ++i) emit received(numbers[i]);
    }
}
