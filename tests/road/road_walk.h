// The user's road through the real windows, driven with real mouse and key events on components
// found by name: the wizard page by page, the preview, going live against a directory, a stream
// viewer and a directory viewer, stopping, and reusing the last settings. Shared by the road test
// (which checks each step) and by morlanex-road (which the headless run uses to show it).
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <string>

struct MorlanexApp;

struct RoadOptions {
    std::string directoryAddress;  // where morlanex-directory listens (ports 20 and 22)
    QString settingsFile;  // the program's DefData.ini
    QString shotsDir;  // screenshots of the whole screen; empty: none
    int extraLiveSeconds = 0;  // how long to stay live once the stream is served
    // What the user types into the wizard's channel page (spaces around the name are trimmed).
    QString channelName = QStringLiteral("  阿明的旅遊頻道  ");
    QString channelDescription = QStringLiteral("每天帶您看台灣各地的景點與美食");
    QString keywords = QStringLiteral(" 自拍 景點 飯店 ");
    std::function<void(const QString &)> say = [](const QString &) {};
    std::function<void(int port)> served = [](int) {};  // the stream is served on this port
};

// What a user would have seen, step by step. Empty or zero where a step did not get that far.
struct RoadReport {
    QStringList videoDevices;  // the wizard's video list
    QStringList recordingLines;  // the wizard's recording lines
    QString chosenLinePin;  // hidden pin number of the chosen line
    QByteArray settingsBytes;  // DefData.ini right after "完成"
    QString nameCaption, descriptionCaption;
    QString popupText;
    bool popupShowing = false;
    bool previewPainting = false;
    QString statusWhenLive;
    int localPort = 0;
    QString ffprobe;  // what ffprobe said of http://127.0.0.1:LocalPort/
    bool viewerGotUCanSee = false;
    QString viewersWhileWatched;  // Label11 while the directory viewer watched
    QString cumulativeAfterJoin;  // Label9 after it joined
    QString viewersAfterLeave;
    QString statusAfterStop;
    bool previewAfterStop = false;
    bool reusedLastSettings = false;  // second opening: "use the last settings" restarted the preview
    QString failure;  // the first step that did not happen, in words
};

RoadReport walkTheRoad(MorlanexApp &app, const RoadOptions &options);
