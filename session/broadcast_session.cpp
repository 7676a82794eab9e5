#include "session/broadcast_session.h"

#include "common/qt_codepage.h"
#include "net/serving_port.h"
#include "directory_link/directory_message.h"
#include "net/ipv4.h"
#include "directory_link/node_identity.h"
#include "directory_link/udp_endpoint.h"
#include "session/notified_endpoint.h"
#include "common/qt_translated_text.h"

#include <QCoreApplication>
#include <QPointer>

#include <charconv>
#include <functional>
#include <stdexcept>
#include <thread>

namespace morlanex {

const QColor BroadcastSession::kRed(255, 0, 0);
const QColor BroadcastSession::kGreen(0, 128, 0);

namespace {
const TranslatedText kConnecting{"BroadcastSession", QT_TRANSLATE_NOOP("BroadcastSession", "伺服連線中")};
const TranslatedText kCannotConnect{"BroadcastSession", QT_TRANSLATE_NOOP("BroadcastSession", "伺服無法連線")};
const TranslatedText kDisconnecting{"BroadcastSession", QT_TRANSLATE_NOOP("BroadcastSession", "伺服中斷中")};
const TranslatedText kLiveClosed{"BroadcastSession", QT_TRANSLATE_NOOP("BroadcastSession", "視訊直播已關閉")};
constexpr std::chrono::milliseconds kSequenceTick{1000};
constexpr std::chrono::milliseconds kVersionInterval{10000};
constexpr int kRegistrationTicks = 12;
constexpr int kStopTicks = 3;
constexpr int kHostNotFound = 11001;  // the endpoints' code for a name that did not resolve

// Runs a look-up's outcome on the application's thread.
void postToAppThread(std::function<void()> task) {
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(task), Qt::QueuedConnection);
}

// A decimal port text; anything else ends the handling of the datagram.
int portValue(const std::string &text) {
    int value = 0;
    const char *end = text.data() + text.size();
    const auto [next, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || next != end || value <= 0 || value > 65535)
        throw std::runtime_error("peer port is not a port number");
    return value;
}
}  // namespace

struct BroadcastSession::Link {
    NotifiedEndpoint servingOnLoop, reportOnLoop;  // read on the UI thread's event loop
    UdpEndpoint &serving = servingOnLoop.endpoint;  // IdCAMUDPServer1: registration, "UCanSee"; its port is LocalPort
    UdpEndpoint &report = reportOnLoop.endpoint;  // IdUDPServer1: answers, counts, version, close notice
    ServingPortReservation servingPort;  // the TCP twin of the serving endpoint's port
    std::string directoryAddress;  // the directory host resolved; the only accepted sender
    bool resolving = false;  // a look-up runs off the UI thread
    // The directory's texts kept as they came, so they go back byte for byte.
    std::string channelId;
    std::string publicAddress;
};

BroadcastSession::BroadcastSession(SessionSettings settings, TickSource &ticks, QObject *parent)
    : QObject(parent), settings_(std::move(settings)), link_(std::make_unique<Link>()),
      statusText_(QStringLiteral(" ")), statusColour_(kRed) {
    registerTimer_ = ticks.makeTicker(kSequenceTick, [this] { registerTick(); });
    stopTimer_ = ticks.makeTicker(kSequenceTick, [this] { stopTick(); });
    versionTimer_ = ticks.makeTicker(kVersionInterval, [this] {
        try {
            versionTick();
            directoryUnreachableShown_ = false;
        } catch (const std::exception &) {
            // Said once on the status line, not in a box every 10 s; the query goes on.
            if (!directoryUnreachableShown_ && !busy()) setStatus(kCannotConnect, kRed);
            directoryUnreachableShown_ = true;
        }
    });
    link_->serving.setReadHandler([this](const Datagram &d) { onServingEndpoint(d); });
    link_->report.setReadHandler([this](const Datagram &d) { onReportEndpoint(d); });
}

BroadcastSession::~BroadcastSession() {
    // The endpoints close before the handlers' target goes.
    link_.reset();
}

void BroadcastSession::setMediaSide(MediaSide media) { media_ = std::move(media); }

bool BroadcastSession::versionQueryRunning() const { return versionTimer_->isActive(); }

// ---------------------------------------------------------------------------------------------
// Start-up and shutdown

void BroadcastSession::open() {
    nodeId_ = QString::fromStdString(NBGetAdapterAddress(0));
    localAddress_ = QString::fromStdString(localIPv4Address());
    resolveDirectory();
    for (UdpEndpoint *endpoint : {&link_->serving, &link_->report}) endpoint->setBindAddress(settings_.bindAddress);
    // The stream is served on the same number over TCP: take a UDP port whose TCP twin is free.
    constexpr int kPortAttempts = 32;
    if (settings_.servingPort > 0) {
        // A fixed port is taken as it is: the sink says so if its TCP twin is busy.
        link_->serving.setDefaultPort(uint16_t(settings_.servingPort));
        link_->serving.activate();
        link_->servingPort.reserve(link_->serving.localPort());
    }
    for (int attempt = 0; attempt < kPortAttempts && !link_->serving.isActive(); ++attempt) {
        link_->serving.activate();
        if (link_->servingPort.reserve(link_->serving.localPort())) break;
        link_->serving.deactivate();
    }
    if (!link_->serving.isActive())
        link_->serving.activate();  // keep the endpoint; the sink will say if it cannot open
    link_->report.activate();
    servingPort_ = link_->serving.localPort();
    versionTimer_->start();
}

void BroadcastSession::sendCloseNotice() {
    try {
        sendToDirectory(false, settings_.registerPort, DirectoryMessage::closeKerf(link_->channelId, toCp950(nodeId_)));
    } catch (const std::exception &) {
        // The stop or exit goes on whatever the directory heard.
    }
}

// ---------------------------------------------------------------------------------------------
// State, status and counters

void BroadcastSession::setState(BroadcastState state) {
    if (state == state_) return;
    state_ = state;
    emit stateChanged(state);
}

void BroadcastSession::setStatus(const QString &text, const QColor &colour) {
    statusText_ = text;
    statusColour_ = colour;
    emit statusChanged(text, colour);
}

void BroadcastSession::setCounters(int total, int current) {
    totalViews_ = total;
    currentViewers_ = current;
    emit countersChanged(total, current);
}

void BroadcastSession::setPreviewRunning(bool running) {
    previewRunning_ = running;
    if (state_ == BroadcastState::Idle || state_ == BroadcastState::Preview)
        setState(running ? BroadcastState::Preview : BroadcastState::Idle);
}

void BroadcastSession::setChannelTexts(const QString &name, const QString &description) {
    channelName_ = name;
    channelDescription_ = description;
}

void BroadcastSession::setKeywords(const QString &keywords) { keywords_ = keywords; }

void BroadcastSession::correctChannelTexts(const QString &name, const QString &description) {
    setChannelTexts(name, description);
    if (!live()) return;
    try {
        sendToDirectory(true, settings_.reportPort,
                        DirectoryMessage::changeChannelText(link_->channelId, toCp950(nodeId_), toCp950(name),
                                                            toCp950(description)));
    } catch (const std::exception &) {
        // The correction stays whatever the directory heard.
    }
}

void BroadcastSession::resetViews() {
    setCounters(0, currentViewers_);
    try {
        sendToDirectory(false, settings_.reportPort,
                        DirectoryMessage::channelRateZero(link_->channelId, toCp950(nodeId_)));
    } catch (const std::exception &) {
        // The local reset stands whatever the directory heard.
    }
}

// ---------------------------------------------------------------------------------------------
// Registration

bool BroadcastSession::startBroadcast() {
    if (state_ != BroadcastState::Preview) return false;
    phaseTick_ = 0;
    setState(BroadcastState::Registering);
    registerTimer_->start();
    resolveDirectory();  // ready by the first registration at 5 s, also when the name moved
    return true;
}

void BroadcastSession::registerTick() {
    emit sequenceTicked();
    setStatus(statusText_, kGreen);
    switch (phaseTick_) {
    case 0:
        setStatus(kConnecting, kGreen);
        break;
    case 4:
    case 8:
        sendRegistration();
        if (!registerTimer_->isActive()) return;  // the send failed and ended the attempt
        break;
    default:
        setStatus(kConnecting + QString(phaseTick_ % 4, QLatin1Char('.')), kGreen);
        break;
    }
    if (++phaseTick_ == kRegistrationTicks) {
        registerTimer_->stop();
        phaseTick_ = 0;
        setState(BroadcastState::Preview);
        setStatus(kCannotConnect, kRed);
    }
}

void BroadcastSession::sendRegistration() {
    try {
        sendToDirectory(true, settings_.registerPort,
                        DirectoryMessage::linkKerfCam(toCp950(nodeId_), toCp950(localAddress_), toCp950(channelName_),
                                                      toCp950(channelDescription_), toCp950(keywords_)));
    } catch (const std::exception &) {
        registerTimer_->stop();
        phaseTick_ = 0;
        setState(BroadcastState::Preview);
        setStatus(kCannotConnect, kRed);
    }
}

// ---------------------------------------------------------------------------------------------
// Stop

bool BroadcastSession::stopBroadcast(bool closeDevice) {
    if (state_ != BroadcastState::Live) return false;
    closeDeviceAfterStop_ = closeDevice;
    phaseTick_ = 0;
    setState(BroadcastState::Stopping);
    stopTimer_->start();
    return true;
}

void BroadcastSession::stopTick() {
    emit sequenceTicked();
    setStatus(statusText_, kGreen);
    if (phaseTick_ < kStopTicks - 1) {
        setStatus(kDisconnecting + QString(phaseTick_ + 1, QLatin1Char('.')), kGreen);
    } else {
        setStatus(kDisconnecting + QStringLiteral("..."), kGreen);
        endLive(closeDeviceAfterStop_);
    }
    if (++phaseTick_ == kStopTicks) {
        stopTimer_->stop();
        phaseTick_ = 0;
        setState(previewRunning_ ? BroadcastState::Preview : BroadcastState::Idle);
        setStatus(kLiveClosed, kRed);
    }
}

void BroadcastSession::deviceLost(const QString &why) {
    if (state_ == BroadcastState::Live || state_ == BroadcastState::Stopping) {
        stopTimer_->stop();
        endLive(true);
    }
    // An acknowledgement still to come is refused with a close notice.
    registerTimer_->stop();
    phaseTick_ = 0;
    if (state_ != BroadcastState::Idle) setState(previewRunning_ ? BroadcastState::Preview : BroadcastState::Idle);
    setStatus(why, kRed);
}

// The close notice, the counters gone, the media side back to preview or closed.
void BroadcastSession::endLive(bool closeDevice) {
    sendCloseNotice();
    closeDeviceAfterStop_ = false;
    setCounters(0, 0);
    if (media_.leaveLive) media_.leaveLive(closeDevice);
}

// ---------------------------------------------------------------------------------------------
// Datagrams

bool BroadcastSession::fromDirectory(const Datagram &datagram) const {
    return !link_->directoryAddress.empty() && datagram.peerAddress == link_->directoryAddress &&
        (datagram.peerPort == settings_.registerPort || datagram.peerPort == settings_.reportPort);
}

int BroadcastSession::reportPort() const { return link_ && link_->report.isActive() ? link_->report.localPort() : 0; }

void BroadcastSession::sendToDirectory(bool fromServingEndpoint, int port, const DirectoryMessage &msg) {
    if (link_->directoryAddress.empty()) {
        resolveDirectory();
        throw EndpointError::socket(kHostNotFound);
    }
    UdpEndpoint &endpoint = fromServingEndpoint ? link_->serving : link_->report;
    try {
        endpoint.sendBuffer(link_->directoryAddress, port, msg.span());
    } catch (const std::exception &) {
        resolveDirectory();  // the name may point elsewhere now
        throw;
    }
}

// The directory's address, looked up off the UI thread (a resolver may take seconds); an
// address given as such is taken at once. A failed look-up keeps the address known before.
void BroadcastSession::resolveDirectory() {
    const std::string host = settings_.directoryHost;
    const bool local = QString::fromStdString(host).compare(QStringLiteral("localhost"), Qt::CaseInsensitive) == 0;
    if (local || parseDottedQuad(host)) {
        link_->directoryAddress = dottedQuad(resolveHost(host));
        return;
    }
    if (link_->resolving) return;
    link_->resolving = true;
    std::thread([host, self = QPointer<BroadcastSession>(this)] {
        std::string address;
        try {
            address = dottedQuad(resolveHost(host));
        } catch (const std::exception &) {}
        postToAppThread([self, address] {
            if (!self) return;
            self->link_->resolving = false;
            if (!address.empty()) self->link_->directoryAddress = address;
        });
    }).detach();
}

void BroadcastSession::onServingEndpoint(const Datagram &datagram) {
    if (!fromDirectory(datagram)) return;
    auto msg = DirectoryMessage::fromBytes(datagram.bytes);
    if (!msg) return;
    if (msg->matches(cmd::LinkKerfOk)) {
        if (state_ != BroadcastState::Registering) {
            refuseAcknowledgement(*msg);
            return;
        }
        acceptAcknowledgement(*msg);
    } else if (msg->matches(cmd::DelChannelOnline)) {
        const int current = std::max(0, currentViewers_ - 1);
        setCounters(totalViews_, current);
        msg->answerChannelOnline(link_->channelId, toCp950(nodeId_), std::to_string(current));
        link_->report.sendBuffer(link_->directoryAddress, settings_.reportPort, msg->span());
    }
    // Anything else, "CAMChannelMSG" among them, asks nothing of us.
}

// Only an attempt the user started goes live: a late or forged acknowledgement is answered
// with the close notice for its channel, so the directory does not list it, and changes nothing.
void BroadcastSession::refuseAcknowledgement(DirectoryMessage &msg) {
    const std::string channel = msg.readText(Field::ChannelId);
    if ((state_ == BroadcastState::Live || state_ == BroadcastState::Stopping) && channel == link_->channelId)
        return;  // our own channel repeated: closing it would end the broadcast
    sendToDirectory(false, settings_.registerPort, DirectoryMessage::closeKerf(channel, toCp950(nodeId_)));
}

void BroadcastSession::acceptAcknowledgement(DirectoryMessage &msg) {
    registerTimer_->stop();
    phaseTick_ = 0;
    link_->channelId = msg.readText(Field::ChannelId);
    link_->publicAddress = msg.readText(Field::PublicAddress);
    channelId_ = fromCp950(link_->channelId);
    publicAddress_ = fromCp950(link_->publicAddress);
    bool numeric = false;
    const int views = fromCp950(msg.readText(Field::ViewerCount)).toInt(&numeric);
    msg.answerLinkKerfPort(link_->channelId, toCp950(nodeId_));
    try {
        link_->report.sendBuffer(link_->directoryAddress, settings_.reportPort, msg.span());
    } catch (const std::exception &) {
        // Not registered after all: commands work again and the user may retry.
        abandonAttempt(kCannotConnect);
        return;
    }
    bool watchable = true;
    try {
        watchable = !media_.goLive || media_.goLive();
    } catch (const std::exception &e) {
        // A device lost since the start: the media side's text says which.
        abandonAttempt(QString::fromUtf8(e.what()));
        return;
    }
    if (!watchable) {
        // Nobody could watch: end it as a stop does, keeping the status the media side set.
        endLive(false);
        setState(previewRunning_ ? BroadcastState::Preview : BroadcastState::Idle);
        return;
    }
    setCounters(numeric ? views : 0, 0);
    setState(BroadcastState::Live);
}

// Back from an acknowledged attempt that cannot go live; the directory is told to drop it.
void BroadcastSession::abandonAttempt(const QString &why) {
    sendCloseNotice();
    setCounters(0, 0);
    setState(previewRunning_ ? BroadcastState::Preview : BroadcastState::Idle);
    setStatus(why, kRed);
}

void BroadcastSession::onReportEndpoint(const Datagram &datagram) {
    if (!fromDirectory(datagram)) return;
    auto msg = DirectoryMessage::fromBytes(datagram.bytes);
    if (!msg) return;
    if (msg->matches(cmd::SendP2PData)) {
        // Only a registered channel invites viewers.
        if (state_ != BroadcastState::Live && state_ != BroadcastState::Stopping) return;
        // A viewer behind the same public address is reached on its own network.
        const std::string publicAddress = msg->readText(Field::PublicAddress);
        const std::string viewerHost =
            publicAddress == link_->publicAddress ? msg->readText(Field::PrivateAddress) : publicAddress;
        const int viewerPort = portValue(msg->readText(Field::PeerPort));
        msg->answerUCanSee();
        link_->serving.sendBuffer(viewerHost, viewerPort, msg->span());
        msg->answerCamChannelRate(link_->channelId, toCp950(nodeId_));
        link_->report.sendBuffer(link_->directoryAddress, settings_.reportPort, msg->span());
        setCounters(totalViews_ + 1, currentViewers_ + 1);
        msg->answerChannelOnline(link_->channelId, toCp950(nodeId_), std::to_string(currentViewers_));
        link_->report.sendBuffer(link_->directoryAddress, settings_.reportPort, msg->span());
    } else if (msg->matches(cmd::GetVersion)) {
        versionTimer_->stop();
        const QString version = fromCp950(trimBlanks(msg->readText(Field::ChannelId)));
        if (version != settings_.ownVersion) emit newVersionAnnounced(version);
    }
}

void BroadcastSession::versionTick() { sendToDirectory(false, settings_.reportPort, DirectoryMessage::getVersion()); }

}  // namespace morlanex
