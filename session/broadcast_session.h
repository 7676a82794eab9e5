// Public header. The broadcast session: the node's two directory endpoints, the registration,
// stop and version sequences, the viewer counters and the status line's text.
//
// States: Idle (no device) -> Preview -> Registering -> Live -> Stopping -> Preview (or Idle
// when the device is to close). Start acts only in Preview, stop only while Live; the
// registration and stop sequences are the "busy" states in which the window refuses commands.
//
// The media side is reached through two calls the owner supplies (MediaSide); everything the
// window shows comes out as signals. No widgets: tests drive it with a stepped TickSource.
//
// Threads: UI thread only. The endpoints' listener threads hand every datagram to the thread
// of the application object and wait until it has been handled. Only datagrams from the
// directory's address and one of its two ports are acted on; others are dropped silently. An
// acknowledgement is acted on only while registering; any other is answered with a close notice.
#pragma once

#include "session/tick_source.h"

#include <QColor>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <string>

namespace morlanex {

struct Datagram;
class DirectoryMessage;

enum class BroadcastState { Idle, Preview, Registering, Live, Stopping };

struct SessionSettings {
    std::string directoryHost;  // ServerAddress
    int registerPort = 20;  // DirectoryPort1
    int reportPort = 22;  // DirectoryPort2
    QString ownVersion;
    std::string bindAddress;  // the endpoints' local address; empty for all
    // LocalPort, fixed (so a router can forward it by hand); 0: the system chooses.
    int servingPort = 0;
};

// What the session asks of the media side.
struct MediaSide {
    // Switches the running preview to live encoding; false when nobody can watch (the
    // stream's port could not be opened). The caller has put its own text on the status line.
    std::function<bool()> goLive;
    // Stops live encoding, then restarts the preview or, with closeDevice, closes the device.
    std::function<void(bool closeDevice)> leaveLive;
};

class BroadcastSession : public QObject {
    Q_OBJECT
public:
    static const QColor kRed;
    static const QColor kGreen;

    BroadcastSession(SessionSettings settings, TickSource &ticks, QObject *parent = nullptr);
    ~BroadcastSession() override;

    void setMediaSide(MediaSide media);

    // Start-up: node identity, local address, both endpoints, then the version query every
    // 10 s. Throws EndpointError when an endpoint cannot be opened; later steps are skipped.
    void open();

    BroadcastState state() const { return state_; }
    bool busy() const { return state_ == BroadcastState::Registering || state_ == BroadcastState::Stopping; }
    bool live() const { return state_ == BroadcastState::Live; }
    // The device is open (a preview, or the live picture).
    bool previewRunning() const { return previewRunning_; }
    bool versionQueryRunning() const;
    int servingPort() const { return servingPort_; }  // LocalPort; 0 before open()
    int reportPort() const;  // the other endpoint's; 0 before open()
    int totalViews() const { return totalViews_; }
    int currentViewers() const { return currentViewers_; }
    const QString &nodeId() const { return nodeId_; }
    const QString &channelId() const { return channelId_; }
    const QString &publicAddress() const { return publicAddress_; }
    const QString &ownVersion() const { return settings_.ownVersion; }
    const QString &statusText() const { return statusText_; }
    const QColor &statusColour() const { return statusColour_; }

    // --- from the window ---------------------------------------------------------------------
    // The device is open with its preview running, or closed.
    void setPreviewRunning(bool running);
    // The channel texts as the window shows them, sent with the next registration.
    void setChannelTexts(const QString &name, const QString &description);
    void setKeywords(const QString &keywords);
    // A correction by the user: told to the directory at once while live.
    void correctChannelTexts(const QString &name, const QString &description);
    // In Preview: the registration sequence starts. False (nothing done) in any other state.
    bool startBroadcast();
    // While Live: the stop sequence starts; closeDevice closes the device afterwards.
    bool stopBroadcast(bool closeDevice = false);
    // The camera is gone: a broadcast ends at once as a stop does (close notice, the device
    // closed), a registration is given up, and the status says `why` in red.
    void deviceLost(const QString &why);
    // The cumulative count back to 0, and the directory told.
    void resetViews();
    // Shutdown: "CloseKERF" whatever the state; a send error is ignored.
    void sendCloseNotice();
    // Any outcome for the status line.
    void setStatus(const QString &text, const QColor &colour);

signals:
    void stateChanged(morlanex::BroadcastState state);
    void statusChanged(const QString &text, const QColor &colour);
    void countersChanged(int totalViews, int currentViewers);
    // Each tick of the registration and stop sequences.
    void sequenceTicked();
    // The directory announced a version other than ours: the program is to close.
    void newVersionAnnounced(const QString &version);

private:
    struct Link;
    void setState(BroadcastState state);
    void setCounters(int total, int current);
    void registerTick();
    void stopTick();
    void versionTick();
    void sendRegistration();
    void endLive(bool closeDevice);
    void onServingEndpoint(const Datagram &datagram);
    void refuseAcknowledgement(DirectoryMessage &msg);
    void acceptAcknowledgement(DirectoryMessage &msg);
    void abandonAttempt(const QString &why);
    void onReportEndpoint(const Datagram &datagram);
    bool fromDirectory(const Datagram &datagram) const;
    void resolveDirectory();
    void sendToDirectory(bool fromServingEndpoint, int port, const DirectoryMessage &msg);

    SessionSettings settings_;
    MediaSide media_;
    std::unique_ptr<Link> link_;
    std::unique_ptr<Ticker> registerTimer_;
    std::unique_ptr<Ticker> stopTimer_;
    std::unique_ptr<Ticker> versionTimer_;
    BroadcastState state_ = BroadcastState::Idle;
    bool previewRunning_ = false;
    bool closeDeviceAfterStop_ = false;
    bool directoryUnreachableShown_ = false;
    int phaseTick_ = 0;
    int servingPort_ = 0;
    int totalViews_ = 0;
    int currentViewers_ = 0;
    QString nodeId_;
    QString localAddress_;
    QString channelId_;
    QString publicAddress_;
    QString channelName_;
    QString channelDescription_;
    QString keywords_;
    QString statusText_;
    QColor statusColour_;
};

}  // namespace morlanex
