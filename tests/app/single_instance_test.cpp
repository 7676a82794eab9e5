// One running copy per user, with real processes: the guard's probe program and the real
// morlanex program, each in a runtime folder of the test's own.
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>
#include <vector>

namespace {

QString buildDir() { return qEnvironmentVariable("MORLANEX_BUILD_DIR"); }

// A probe process in the given folder; its lines are read with a bounded wait.
class Probe {
public:
    Probe(const QString &folder, const QString &token = {}, int waitMs = 5000) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("XDG_ACTIVATION_TOKEN"));
        env.remove(QStringLiteral("DESKTOP_STARTUP_ID"));
        if (!token.isEmpty()) env.insert(QStringLiteral("XDG_ACTIVATION_TOKEN"), token);
        process.setProcessEnvironment(env);
        process.start(buildDir() + QStringLiteral("/tests/app/single-instance-probe"),
                      {folder, QString::number(waitMs)});
    }
    ~Probe() {
        if (process.state() != QProcess::NotRunning) {
            ::kill(pid_t(process.processId()), SIGCONT);
            process.kill();
            process.waitForFinished(5000);
        }
    }

    std::string line(int waitMs = 15000) {
        const QDeadlineTimer deadline(waitMs);
        while (!process.canReadLine() && !deadline.hasExpired()) {
            if (!process.waitForReadyRead(int(deadline.remainingTime())) && process.state() == QProcess::NotRunning)
                break;
        }
        return process.readLine().trimmed().toStdString();
    }

    // The exit code once ended, or -1 when it is still running after the wait.
    int finish(int waitMs = 15000) {
        if (!process.waitForFinished(waitMs)) return -1;
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    QProcess process;
};

class SingleInstanceTest : public ::testing::Test {
protected:
    QTemporaryDir runtime;
    QString folder() const { return runtime.path(); }
};

TEST_F(SingleInstanceTest, LaterStartsHandOverToTheFirstCopyWithTheirTokens) {
    Probe first(folder());
    ASSERT_EQ(first.line(), "first");
    EXPECT_TRUE(QFileInfo(folder() + "/morlanex.socket").exists());

    Probe second(folder(), QStringLiteral("token-of-the-second"));
    EXPECT_EQ(second.line(), "handed-over");
    EXPECT_EQ(second.finish(), 0);
    EXPECT_EQ(first.line(), "activated token-of-the-second (environment: token-of-the-second)");

    Probe third(folder());
    EXPECT_EQ(third.line(), "handed-over");
    EXPECT_EQ(third.finish(), 0);
    EXPECT_EQ(first.line(), "activated  (environment: token-of-the-second)");
    EXPECT_EQ(first.process.state(), QProcess::Running);

    // A token with a space or control character is not passed on.
    Probe odd(folder(), QStringLiteral("two words"));
    EXPECT_EQ(odd.line(), "handed-over");
    EXPECT_EQ(first.line(), "activated  (environment: token-of-the-second)");
}

TEST_F(SingleInstanceTest, StartsAtTheSameMomentLeaveExactlyOneFirstCopy) {
    std::vector<std::unique_ptr<Probe>> probes;
    for (int i = 0; i < 5; ++i) probes.push_back(std::make_unique<Probe>(folder()));
    int firsts = 0;
    int handedOver = 0;
    Probe *firstCopy = nullptr;
    for (auto &probe : probes) {
        const std::string role = probe->line();
        if (role == "first") {
            ++firsts;
            firstCopy = probe.get();
        } else if (role == "handed-over") {
            ++handedOver;
            EXPECT_EQ(probe->finish(), 0);
        }
    }
    EXPECT_EQ(firsts, 1);
    EXPECT_EQ(handedOver, 4);
    ASSERT_NE(firstCopy, nullptr);
    for (int i = 0; i < handedOver; ++i) EXPECT_EQ(firstCopy->line(), "activated  (environment: )");
}

TEST_F(SingleInstanceTest, ACopyThatDiedLeavesNothingInTheWay) {
    {
        Probe crashed(folder());
        ASSERT_EQ(crashed.line(), "first");
        crashed.process.kill();  // no clean-up: lock file and socket stay behind
        ASSERT_TRUE(crashed.process.waitForFinished(5000));
    }
    ASSERT_TRUE(QFileInfo(folder() + "/morlanex.lock").exists());
    ASSERT_TRUE(QFileInfo(folder() + "/morlanex.socket").exists());

    Probe next(folder());
    EXPECT_EQ(next.line(), "first");
    Probe later(folder(), QStringLiteral("t1"));
    EXPECT_EQ(later.line(), "handed-over");
    EXPECT_EQ(next.line(), "activated t1 (environment: t1)");
}

TEST_F(SingleInstanceTest, AFrozenCopyIsReportedAndLaterAnswersAgain) {
    Probe first(folder());
    ASSERT_EQ(first.line(), "first");
    ::kill(pid_t(first.process.processId()), SIGSTOP);

    Probe asking(folder(), {}, 500);
    EXPECT_EQ(asking.line(), "no-answer");
    EXPECT_EQ(asking.finish(), 3);

    ::kill(pid_t(first.process.processId()), SIGCONT);
    Probe again(folder(), QStringLiteral("t2"));
    EXPECT_EQ(again.line(), "handed-over");
    // The frozen time's caller may have been served on waking; the newest one is last.
    std::string activation = first.line();
    if (activation != "activated t2 (environment: t2)") activation = first.line();
    EXPECT_EQ(activation, "activated t2 (environment: t2)");
}

TEST_F(SingleInstanceTest, AnUnusableFolderRunsWithoutTheGuard) {
    const QString notAFolder = folder() + "/plain-file";
    QFile file(notAFolder);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();

    Probe probe(notAFolder);
    EXPECT_EQ(probe.line(), "unguarded");
    EXPECT_EQ(probe.finish(), 4);
}

TEST_F(SingleInstanceTest, TheRealProgramRunsOnceAndASecondStartEndsAtOnce) {
    QTemporaryDir home;
    const QString config = home.path() + "/config/Ulma/Morlanex";
    ASSERT_TRUE(QDir().mkpath(config));
    // A directory address nobody answers on, so the run never meets another test's directory.
    QFile conf(config + "/Morlanex.conf");
    ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
    conf.write("[Directory]\nAddress=127.0.0.254\n");
    conf.close();

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path() + "/config");
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), folder());
    const QString program = buildDir() + QStringLiteral("/app/morlanex");

    QProcess first;
    first.setProcessEnvironment(env);
    first.start(program);
    ASSERT_TRUE(first.waitForStarted(10000));
    const QDeadlineTimer listening(60000);
    while (!QFileInfo(folder() + "/morlanex.socket").exists() && !listening.hasExpired() &&
           first.state() == QProcess::Running)
        first.waitForFinished(100);
    ASSERT_TRUE(QFileInfo(folder() + "/morlanex.socket").exists()) << first.readAllStandardError().toStdString();

    QProcess second;
    second.setProcessEnvironment(env);
    second.start(program);
    ASSERT_TRUE(second.waitForFinished(60000)) << "the second copy kept running";
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(second.readAllStandardError().contains("already running"));
    EXPECT_EQ(first.state(), QProcess::Running);

    first.terminate();
    if (!first.waitForFinished(10000)) {
        first.kill();
        first.waitForFinished(5000);
    }
}

}  // namespace
