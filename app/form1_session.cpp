// The broadcast session: directory registration, viewers, counters and the version check.
//
// The two UDP endpoints live here. Their listener threads hand every datagram to the UI thread
// (a queued call on the application object) and wait until the read handler has run, so all
// session state below is touched by the UI thread only. A datagram that only the directory may
// send is acted on only when it comes from the directory's address; others are dropped silently.
#include "app/form1.h"

#include "app/serving_port.h"

#include "app/qt_codepage.h"
#include "dialogs/form2.h"
#include "directory/directory_message.h"
#include "directory/ipv4.h"
#include "directory/node_identity.h"
#include "directory/udp_endpoint.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>

#include <charconv>
#include <stdexcept>

using morlanex::Datagram;
using morlanex::DirectoryMessage;
using morlanex::Field;
using morlanex::UdpEndpoint;
namespace cmd = morlanex::cmd;

namespace {
const QString kConnecting = QStringLiteral("伺服連線中");
const QString kCannotConnect = QStringLiteral("伺服無法連線");
const QString kDisconnecting = QStringLiteral("伺服中斷中");
const QString kLiveClosed = QStringLiteral("視訊直播已關閉");
const QString kConfirmStop = QStringLiteral("確定要中止現場直播模式嗎?");
const QString kConfirmReset = QStringLiteral("累計收視人次將歸零,確定要繼續嗎?");
constexpr int kRegistrationTicks = 12;
constexpr int kStopTicks = 3;
constexpr int kVersionNoticeCloseDelayMs = 1000;

// Runs a listener's hand-off on the UI thread.
void postToUiThread(UdpEndpoint::Task task)
{
    QMetaObject::invokeMethod(qApp, std::move(task), Qt::QueuedConnection);
}

// A counter label's text as a number; a text that does not convert ends the handling.
int counterValue(const QLabel *label)
{
    bool ok = false;
    const int value = label->text().toInt(&ok);
    if (!ok)
        throw std::runtime_error("counter text is not a number");
    return value;
}

// A decimal port text; anything else ends the handling of the datagram.
int portValue(const std::string &text)
{
    int value = 0;
    const char *end = text.data() + text.size();
    const auto [next, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || next != end)
        throw std::runtime_error("peer port is not a number");
    return value;
}
} // namespace

struct TForm1::Session {
    Session() : IdCAMUDPServer1(postToUiThread), IdUDPServer1(postToUiThread) {}

    UdpEndpoint IdCAMUDPServer1;
    UdpEndpoint IdUDPServer1;
    ServingPortReservation servingPort; // the TCP twin of IdCAMUDPServer1's port
    std::string directoryAddress; // ServerAddress resolved; the only accepted sender
    // The directory's texts kept as they came, so they go back byte for byte.
    std::string channelId;
    std::string nodePublicAddress;
};

void TForm1::SessionDeleter::operator()(Session *s) const { delete s; }

namespace {
TForm1::Session &sessionOf(const std::unique_ptr<TForm1::Session, TForm1::SessionDeleter> &s)
{
    if (!s)
        throw std::runtime_error("the directory endpoints were never opened");
    return *s;
}
// The record in a datagram, when it is one and comes from the directory's address and one of
// its two ports; others are dropped.
std::optional<DirectoryMessage> directoryRecord(const TForm1::Session &s, const Datagram &datagram,
                                                std::pair<int, int> ports)
{
    if (datagram.peerAddress != s.directoryAddress
        || (datagram.peerPort != ports.first && datagram.peerPort != ports.second))
        return std::nullopt;
    return DirectoryMessage::fromBytes(datagram.bytes);
}
} // namespace

// ---------------------------------------------------------------------------------------------
// Start-up and shutdown

void TForm1::obtainNodeIdentity()
{
    NodeId = QString::fromStdString(morlanex::NBGetAdapterAddress(0));
}

void TForm1::obtainLocalAddress()
{
    LocalAddress = QString::fromStdString(morlanex::localIPv4Address());
}

void TForm1::activateEndpoints()
{
    session.reset(new Session);
    try {
        session->directoryAddress =
            morlanex::dottedQuad(morlanex::resolveHost(ServerAddress.toStdString()));
    } catch (const std::exception &) {
        // An unknown directory host: nothing is accepted as coming from it.
    }
    session->IdCAMUDPServer1.setReadHandler(
        [this](const Datagram &datagram) { IdCAMUDPServer1UDPRead(datagram); });
    session->IdUDPServer1.setReadHandler(
        [this](const Datagram &datagram) { IdUDPServer1UDPRead(datagram); });
    // The stream is served on the same number over TCP: take a UDP port whose TCP twin is free.
    constexpr int kPortAttempts = 32;
    for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
        session->IdCAMUDPServer1.activate();
        if (session->servingPort.reserve(session->IdCAMUDPServer1.localPort()))
            break;
        session->IdCAMUDPServer1.deactivate();
    }
    if (!session->IdCAMUDPServer1.isActive())
        session->IdCAMUDPServer1.activate(); // keep the endpoint; the sink will say if it cannot open
    session->IdUDPServer1.activate();
    LocalPort = session->IdCAMUDPServer1.localPort();
}

void TForm1::sendCloseNotice()
{
    Session &s = sessionOf(session);
    const auto notice = DirectoryMessage::closeKerf(s.channelId, toCp950(NodeId));
    s.IdUDPServer1.sendBuffer(ServerAddress.toStdString(), DirectoryPort1, notice.span());
}

// ---------------------------------------------------------------------------------------------
// Start and stop

void TForm1::Image11Click()
{
    // Start acts only in preview: a live channel registered again would lose its viewers.
    if (busy() || LiveActive || !PreviewActive)
        return;
    Timer1->start();
}

void TForm1::Image12Click()
{
    if (busy() || !LiveActive)
        return;
    if (confirm(kConfirmStop))
        Timer2->start();
}

void TForm1::Timer1Timer()
{
    setStatus(Label7->text(), kStatusGreen);
    Image10->hide();
    Image9->hide();
    switch (PhaseTick) {
    case 0:
        Label7->setText(kConnecting);
        break;
    case 4:
    case 8:
        BeginSendWebCamData();
        if (!Timer1->isActive())
            return; // the send failed and ended the attempt; the next start begins at tick 0
        break;
    default:
        Label7->setText(kConnecting + QString(PhaseTick % 4, QLatin1Char('.')));
        break;
    }
    if (++PhaseTick == kRegistrationTicks) {
        Timer1->stop();
        PhaseTick = 0;
        setStatus(kCannotConnect, kStatusRed);
    }
}

void TForm1::BeginSendWebCamData()
{
    try {
        const auto request = DirectoryMessage::linkKerfCam(
            toCp950(NodeId), toCp950(LocalAddress), toCp950(Label4->text()),
            toCp950(Label5->text()), toCp950(Keywords));
        sessionOf(session).IdCAMUDPServer1.sendBuffer(ServerAddress.toStdString(), DirectoryPort1,
                                                      request.span());
    } catch (const std::exception &) {
        Timer1->stop();
        PhaseTick = 0;
        LiveActive = false;
        Image5->hide();
        setStatus(kCannotConnect, kStatusRed);
    }
}

void TForm1::Timer2Timer()
{
    setStatus(Label7->text(), kStatusGreen);
    Image10->hide();
    Image9->hide();
    if (PhaseTick < kStopTicks - 1)
        Label7->setText(kDisconnecting + QString(PhaseTick + 1, QLatin1Char('.')));
    else
        StopSendWebCamData();
    if (++PhaseTick == kStopTicks) {
        Timer2->stop();
        PhaseTick = 0;
        setStatus(kLiveClosed, kStatusRed);
    }
}

void TForm1::StopSendWebCamData()
{
    setStatus(kDisconnecting + QStringLiteral("..."), kStatusGreen);
    endLive();
    if (!(Form2 && Form2->isVisible()))
        setStatus(kLiveClosed, kStatusRed);
    if (!CloseDeviceAfterStop)
        BeginPreview();
    else if (PreviewActive)
        AbortWebCamDATA();
}

void TForm1::endLive()
{
    try {
        sendCloseNotice();
    } catch (const std::exception &) {
        // The local stop goes on whatever the directory heard.
    }
    stopLiveEncoding();
    LiveActive = false;
    Image5->hide();
    Label8->hide();
    Label9->hide();
    Label9->setText(QStringLiteral("0"));
    Label12->hide();
    Label11->hide();
    Label11->setText(QStringLiteral("0"));
    refreshActionOverlay();
}

// ---------------------------------------------------------------------------------------------
// Datagrams

void TForm1::IdCAMUDPServer1UDPRead(const Datagram &datagram)
{
    Session &s = sessionOf(session);
    auto msg = directoryRecord(s, datagram, {DirectoryPort1, DirectoryPort2});
    if (!msg)
        return;
    if (msg->matches(cmd::LinkKerfOk)) {
        Timer1->stop();
        PhaseTick = 0;
        s.channelId = msg->readText(Field::ChannelId);
        s.nodePublicAddress = msg->readText(Field::PublicAddress);
        ChannelId = fromCp950(s.channelId);
        NodePublicAddress = fromCp950(s.nodePublicAddress);
        const QString views = fromCp950(msg->readText(Field::ViewerCount));
        msg->answerLinkKerfPort(s.channelId, toCp950(NodeId));
        s.IdUDPServer1.sendBuffer(ServerAddress.toStdString(), DirectoryPort2, msg->span());
        if (!MixBoth()) {
            // Nobody can watch: ended as a stop ends it, the red message kept, preview again.
            endLive();
            BeginPreview();
            return;
        }
        Label9->setText(views);
        Label12->hide();
        Label11->hide();
        Label8->show();
        Label9->show();
    } else if (msg->matches(cmd::DelChannelOnline)) {
        const int current = std::max(0, counterValue(Label11) - 1);
        Label11->setText(QString::number(current));
        msg->answerChannelOnline(s.channelId, toCp950(NodeId), std::to_string(current));
        s.IdUDPServer1.sendBuffer(ServerAddress.toStdString(), DirectoryPort2, msg->span());
    } else if (msg->matches(cmd::CamChannelMsg)) {
        // Recognised; the node identity it carries asks nothing of us.
        (void)msg->readText(Field::AdapterAddress);
    }
}

void TForm1::IdUDPServer1UDPRead(const Datagram &datagram)
{
    Session &s = sessionOf(session);
    auto msg = directoryRecord(s, datagram, {DirectoryPort1, DirectoryPort2});
    if (!msg)
        return;
    if (msg->matches(cmd::SendP2PData)) {
        // Only a registered channel invites viewers.
        if (!LiveActive)
            return;
        // A viewer behind the same public address is reached on its own network.
        const std::string publicAddress = msg->readText(Field::PublicAddress);
        const std::string viewerHost = publicAddress == s.nodePublicAddress
                                           ? msg->readText(Field::PrivateAddress)
                                           : publicAddress;
        const int viewerPort = portValue(msg->readText(Field::PeerPort));
        msg->answerUCanSee();
        s.IdCAMUDPServer1.sendBuffer(viewerHost, viewerPort, msg->span());
        msg->answerCamChannelRate(s.channelId, toCp950(NodeId));
        s.IdUDPServer1.sendBuffer(ServerAddress.toStdString(), DirectoryPort2, msg->span());
        Label9->setText(QString::number(counterValue(Label9) + 1));
        const int current = counterValue(Label11) + 1;
        Label11->setText(QString::number(current));
        msg->answerChannelOnline(s.channelId, toCp950(NodeId), std::to_string(current));
        s.IdUDPServer1.sendBuffer(ServerAddress.toStdString(), DirectoryPort2, msg->span());
    } else if (msg->matches(cmd::GetVersion)) {
        Timer3->stop();
        const QString version = fromCp950(morlanex::trimBlanks(msg->readText(Field::ChannelId)));
        if (version == OwnVersion)
            return;
        QMessageBox notice(QMessageBox::NoIcon, QApplication::applicationDisplayName(),
                           QStringLiteral("檢查到新版本(") + version + QStringLiteral("),請下載更新."),
                           QMessageBox::Ok, this);
        notice.setObjectName(QStringLiteral("VersionNotice"));
        notice.exec();
        openUrl(QString::fromStdString(config().portalUrl));
        // Closing a little later lets the browser start; the UI thread is not held meanwhile.
        QTimer::singleShot(kVersionNoticeCloseDelayMs, this, [this] { close(); });
    }
}

void TForm1::Timer3Timer()
{
    // A send error here is not caught: it reaches the standard error report.
    sessionOf(session).IdUDPServer1.sendBuffer(ServerAddress.toStdString(), DirectoryPort2,
                                               DirectoryMessage::getVersion().span());
}

// ---------------------------------------------------------------------------------------------
// Counters and channel texts

void TForm1::N11Click()
{
    if (!confirm(kConfirmReset))
        return;
    Label9->setText(QStringLiteral("0"));
    try {
        Session &s = sessionOf(session);
        const auto reset = DirectoryMessage::channelRateZero(s.channelId, toCp950(NodeId));
        s.IdUDPServer1.sendBuffer(ServerAddress.toStdString(), DirectoryPort2, reset.span());
    } catch (const std::exception &) {
        // The local reset stands whatever the directory heard.
    }
}

void TForm1::Label8Click()
{
    Label8->hide();
    Label9->hide();
    Label12->show();
    Label11->show();
}

void TForm1::Label12Click()
{
    Label12->hide();
    Label11->hide();
    Label8->show();
    Label9->show();
}

void TForm1::sendChannelTextNotice()
{
    Session &s = sessionOf(session);
    const auto notice = DirectoryMessage::changeChannelText(
        s.channelId, toCp950(NodeId), toCp950(Label4->text()), toCp950(Label5->text()));
    s.IdCAMUDPServer1.sendBuffer(ServerAddress.toStdString(), DirectoryPort2, notice.span());
}
