// single-instance-probe FOLDER [WAIT_MS]: claims the one-copy guard in FOLDER and prints its
// role: "first", "handed-over", "no-answer" or "unguarded". The first copy then prints
// "activated <token>" for every later start and runs until it is signalled; the others end
// (0 handed over, 3 no answer, 4 unguarded).
#include "app/single_instance.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: single-instance-probe FOLDER [WAIT_MS]\n");
        return 2;
    }
    SingleInstance instance(QString::fromLocal8Bit(argv[1]));
    const std::chrono::milliseconds wait(argc > 2 ? std::atoi(argv[2]) : 5000);
    const SingleInstance::Role role = instance.claim(wait);
    switch (role) {
    case SingleInstance::Role::First:
        std::printf("first\n");
        break;
    case SingleInstance::Role::HandedOver:
        std::printf("handed-over\n");
        return 0;
    case SingleInstance::Role::NoAnswer:
        std::printf("no-answer\n");
        return 3;
    case SingleInstance::Role::Unguarded:
        std::printf("unguarded\n");
        return 4;
    }
    std::fflush(stdout);
    QObject::connect(&instance, &SingleInstance::activationRequested, [](const QString &token) {
        std::printf("activated %s (environment: %s)\n", qPrintable(token), qgetenv("XDG_ACTIVATION_TOKEN").constData());
        std::fflush(stdout);
    });
    return app.exec();
}
