// morlanex-road: walks the user's road through the real windows on the current display and
// prints what happened; used by the headless run. Usage:
//   morlanex-road --directory ADDRESS [--shots DIR] [--channels URL]
// MORLANEX_LIVE_SECONDS=N keeps the channel live N seconds once its stream is served, so that
// a person can open the printed "watch:" address in a player of their own, "browser:" (the
// player page) in a web browser, "webrtc:" (the WHEP address, for a WHEP player) and "channels:"
// (the directory's channel page, when given).
#include "road_walk.h"

#include "app/main_window.h"
#include "app/morlanex_app.h"
#include "app/settings_file.h"
#include "app/termination_signals.h"
#include "app/translation.h"
#include "dialogs/start_hint.h"
#include "media/browser_encoder.h"
#include "media/webrtc_encoder.h"

#include <QApplication>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char **argv) {
    QApplication qapp(argc, argv);
    const morlanex::UiLanguage language = morlanex::languageFromEnvironment();
    installTranslation(qapp, language);  // as the program does
    QApplication::setQuitOnLastWindowClosed(false);
    RoadOptions options;
    if (language == morlanex::UiLanguage::English) {  // a user who reads English types English
        options.channelName = QStringLiteral("  Ming's travel channel  ");
        options.channelDescription = QStringLiteral("Sights and food all over Taiwan");
        options.keywords = QStringLiteral(" selfie sights hotel ");
    }
    std::string channelsUrl;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--directory"))
            options.directoryAddress = argv[i + 1];
        else if (!std::strcmp(argv[i], "--shots"))
            options.shotsDir = QString::fromLocal8Bit(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--channels"))
            channelsUrl = argv[i + 1];
    }
    if (const char *seconds = std::getenv("MORLANEX_LIVE_SECONDS"); seconds && *seconds) {
        char *end = nullptr;
        const long n = std::strtol(seconds, &end, 10);
        if (*end != '\0' || n < 0 || n > 24 * 3600) {
            std::fprintf(stderr, "MORLANEX_LIVE_SECONDS must be a whole number of seconds (0 to 86400), not \"%s\"\n",
                         seconds);
            return 2;
        }
        options.extraLiveSeconds = int(n);
    }
    if (options.directoryAddress.empty()) {
        std::fprintf(stderr, "usage: morlanex-road --directory ADDRESS [--shots DIR] [--channels URL]\n");
        return 2;
    }
    options.settingsFile = QString::fromStdString(morlanex::settingsFilePath().string());
    options.say = [](const QString &line) {
        std::printf("%s\n", line.toUtf8().constData());
        std::fflush(stdout);
    };
    options.served = [&channelsUrl](int port) {
        std::printf("watch: http://127.0.0.1:%d/\n", port);
        std::printf("browser: http://127.0.0.1:%d%s\n", port, morlanex::BrowserEncoder::kPlayerPath);
        std::printf("webrtc: http://127.0.0.1:%d%s\n", port, morlanex::WebRtcEncoder::kWhepPath);
        if (!channelsUrl.empty()) std::printf("channels: %s\n", channelsUrl.c_str());
        std::fflush(stdout);
    };

    TerminationSignals endRequests;  // as the program: SIGTERM, SIGINT and SIGHUP run the exit
    MorlanexApp app;
    QObject::connect(&endRequests, &TerminationSignals::received, app.mainWindow.get(), &MainWindow::exitProgram);
    if (!QTest::qWaitForWindowExposed(app.mainWindow.get())) std::fprintf(stderr, "the main window did not appear\n");
    // The start pop-up shows with the main window.
    (void)QTest::qWaitForWindowExposed(app.startHint.get());
    const RoadReport report = walkTheRoad(app, options);
    app.mainWindow->close();  // the exit: the close notice goes to the directory within it
    std::printf("%s\n",
                report.failure.isEmpty() ? "the road was walked to its end"
                                         : ("the road stopped: " + report.failure).toUtf8().constData());
    return report.failure.isEmpty() ? 0 : 1;
}
