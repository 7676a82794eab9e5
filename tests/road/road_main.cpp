// morlanex-road: walks the user's road through the real windows on the current display and
// prints what happened; used by the headless run. Usage:
//   morlanex-road --directory ADDRESS [--shots DIR]
#include "road_walk.h"

#include "app/form1.h"
#include "app/morlanex_app.h"
#include "app/settings_file.h"

#include <QApplication>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    QApplication qapp(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    RoadOptions options;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--directory"))
            options.directoryAddress = argv[i + 1];
        else if (!std::strcmp(argv[i], "--shots"))
            options.shotsDir = QString::fromLocal8Bit(argv[i + 1]);
    }
    if (options.directoryAddress.empty()) {
        std::fprintf(stderr, "usage: morlanex-road --directory ADDRESS [--shots DIR]\n");
        return 2;
    }
    options.settingsFile = QString::fromStdString(morlanex::settingsFilePath().string());
    options.say = [](const QString &line) { std::printf("%s\n", line.toUtf8().constData()); std::fflush(stdout); };

    MorlanexApp app;
    if (!QTest::qWaitForWindowExposed(app.Form1.get()))
        std::fprintf(stderr, "the main window did not appear\n");
    QTest::qWait(1000);
    const RoadReport report = walkTheRoad(app, options);
    app.Form1->close(); // the exit: the close notice goes to the directory
    QTest::qWait(300);
    std::printf("%s\n", report.failure.isEmpty() ? "the road was walked to its end"
                                                 : ("the road stopped: " + report.failure).toUtf8().constData());
    return report.failure.isEmpty() ? 0 : 1;
}
