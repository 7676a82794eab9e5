// The signals that end the program reach the event loop as a Qt signal, and only there.
#include "app/termination_signals.h"

#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <stdexcept>

namespace {

std::atomic<int> earlierHandlerCalls{0};
extern "C" void earlierHandler(int) { ++earlierHandlerCalls; }

// Installs a handler of the test's own for the caught signals and restores the defaults after.
struct EarlierHandlers {
    EarlierHandlers() {
        struct sigaction action {};
        action.sa_handler = earlierHandler;
        sigemptyset(&action.sa_mask);
        for (int number : TerminationSignals::Caught) sigaction(number, &action, nullptr);
    }
    ~EarlierHandlers() {
        for (int number : TerminationSignals::Caught) std::signal(number, SIG_DFL);
    }
};

}  // namespace

TEST(TerminationSignals, EachCaughtSignalArrivesOnTheEventLoopWithItsNumber) {
    EarlierHandlers earlier;
    earlierHandlerCalls = 0;
    TerminationSignals caught;
    QSignalSpy spy(&caught, &TerminationSignals::received);
    Qt::HANDLE receiverThread = nullptr;
    QObject::connect(&caught, &TerminationSignals::received, [&] { receiverThread = QThread::currentThreadId(); });

    for (int number : TerminationSignals::Caught) {
        ASSERT_EQ(::raise(number), 0);
        EXPECT_EQ(spy.count(), 0) << "nothing runs inside the handler";
        ASSERT_TRUE(spy.wait(5000)) << "signal " << number;
        ASSERT_EQ(spy.count(), 1);
        EXPECT_EQ(spy.takeFirst().at(0).toInt(), number);
        EXPECT_EQ(receiverThread, QThread::currentThreadId());
    }
    EXPECT_EQ(earlierHandlerCalls.load(), 0) << "the earlier handlers are replaced while caught";
}

TEST(TerminationSignals, ABurstIsReportedWithoutLossUpToThePipeAndNothingElseIsCaught) {
    TerminationSignals caught;
    QSignalSpy spy(&caught, &TerminationSignals::received);
    // Sent before the event loop runs: they wait in the pipe.
    for (int i = 0; i < 100; ++i) ASSERT_EQ(::raise(i % 2 ? SIGINT : SIGHUP), 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return spy.count() >= 100; }, 5000)) << spy.count() << " of 100";
    EXPECT_EQ(spy.count(), 100) << "raise() delivers each one before it returns";
    for (int i = 0; i < spy.count(); ++i) EXPECT_EQ(spy.at(i).at(0).toInt(), i % 2 ? SIGINT : SIGHUP);

    struct sigaction current {};
    sigaction(SIGUSR1, nullptr, &current);
    EXPECT_EQ(current.sa_handler, SIG_DFL) << "only the three ending signals are taken";
}

TEST(TerminationSignals, OneAtATimeAndTheEarlierHandlersComeBack) {
    EarlierHandlers earlier;
    earlierHandlerCalls = 0;
    {
        TerminationSignals first;
        EXPECT_THROW(TerminationSignals second, std::runtime_error);
        QSignalSpy spy(&first, &TerminationSignals::received);
        ASSERT_EQ(::raise(SIGTERM), 0);
        EXPECT_TRUE(spy.wait(5000)) << "the refused second instance left the first working";
    }
    for (int number : TerminationSignals::Caught) ASSERT_EQ(::raise(number), 0);
    EXPECT_EQ(earlierHandlerCalls.load(), 3);

    TerminationSignals again;  // a new instance may be made once the first is gone
    QSignalSpy spy(&again, &TerminationSignals::received);
    ASSERT_EQ(::raise(SIGHUP), 0);
    EXPECT_TRUE(spy.wait(5000));
}
