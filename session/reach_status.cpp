#include "session/reach_status.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <cstdio>

namespace morlanex {

namespace {

using portmap::MappingReport;
using portmap::Outcome;
using portmap::Protocol;

// A directory that has not answered is asked again this often, a few times.
constexpr std::chrono::seconds kRetryInterval{15};
constexpr int kMaxAsks = 4;
constexpr int kAnswerTimeoutMs = 8000;

QString hostPort(const std::string &address, uint16_t port) {
    return QString::fromStdString(address) + QLatin1Char(':') + QString::number(port);
}

// "TCP 8080、UDP 8080、50000": what to forward by hand. The other directory endpoint needs no
// rule: its version query every 10 s keeps its way through the router open.
QString portsToForward(const ReachPorts &p) {
    QString text = QCoreApplication::translate("ReachStatus", "TCP %1、UDP %1").arg(p.stream);
    if (p.webrtc != 0 && p.webrtc != p.stream) text += QCoreApplication::translate("ReachStatus", "、%1").arg(p.webrtc);
    return text;
}

const portmap::PortResult *streamMapping(const MappingReport &m, uint16_t streamPort) {
    for (const portmap::PortResult &r : m.ports)
        if (r.request.protocol == Protocol::Tcp && r.request.insidePort == streamPort) return &r;
    return nullptr;
}

QString mappedPorts(const MappingReport &m) {
    QString text;
    for (const portmap::PortResult &r : m.ports) {
        if (!text.isEmpty()) text += QCoreApplication::translate("ReachStatus", "；");
        text +=
            QStringLiteral("%1 %2").arg(QLatin1String(portmap::toString(r.request.protocol))).arg(r.request.insidePort);
        if (r.mapped())
            text += QStringLiteral(" → %1").arg(r.outsidePort);
        else
            text += QCoreApplication::translate("ReachStatus", "（未對應：%1）").arg(QString::fromStdString(r.error));
    }
    return text;
}

bool sameMapping(const MappingReport &a, const MappingReport &b) {
    if (a.outcome != b.outcome || a.method != b.method || a.outsideAddress != b.outsideAddress ||
        a.ports.size() != b.ports.size())
        return false;
    for (size_t i = 0; i < a.ports.size(); ++i)
        if (a.ports[i].outsidePort != b.ports[i].outsidePort) return false;
    return true;
}

}  // namespace

namespace {

// "11.77.0.1：TCP 8080、UDP 8080、50000（UPnP）", from what the router granted.
QString outsideSummary(const MappingReport &m) {
    QString ports;
    for (const portmap::PortResult &r : m.ports) {
        if (!r.mapped()) continue;
        if (!ports.isEmpty()) ports += QCoreApplication::translate("ReachStatus", "、");
        ports += QStringLiteral("%1 %2").arg(QLatin1String(portmap::toString(r.request.protocol))).arg(r.outsidePort);
    }
    return QCoreApplication::translate("ReachStatus", "%1：%2（%3）")
        .arg(QString::fromStdString(m.outsideAddress), ports, QLatin1String(portmap::toString(m.method)));
}

ReachText judge(const ReachPorts &ports, bool mappingOn, const std::optional<MappingReport> &mapping,
                const std::optional<DirectoryFinding> &finding);

ReachText said(QString line, QString detail, bool reachable, bool settled) {
    return {std::move(line), std::move(detail), reachable, settled, QString()};
}

}  // namespace

ReachText describeReach(const ReachPorts &ports, bool mappingOn, const std::optional<MappingReport> &mapping,
                        const std::optional<DirectoryFinding> &finding) {
    ReachText text = judge(ports, mappingOn, mapping, finding);
    if (mapping && (mapping->outcome == Outcome::AllMapped || mapping->outcome == Outcome::SomeMapped))
        text.outside = outsideSummary(*mapping);
    else if (finding && finding->reachable)
        text.outside = hostPort(finding->address, finding->port);
    return text;
}

namespace {

ReachText judge(const ReachPorts &ports, bool mappingOn, const std::optional<MappingReport> &mapping,
                const std::optional<DirectoryFinding> &finding) {
    const QString forward = QCoreApplication::translate("ReachStatus", "請在路由器轉送 ") + portsToForward(ports);
    const QString forwardDetail = QCoreApplication::translate("ReachStatus", "請在路由器上把下列連接埠轉送到本機：") +
        portsToForward(ports) +
        QCoreApplication::translate("ReachStatus",
                                    "（TCP 是直播串流，UDP 是目錄伺服器與 WebRTC）。連接埠每次啟動可能不同："
                                    "請在 Morlanex.conf 的 [Network] 以 StreamPort 與 WebRtcPort 固定它們。");
    const bool mapped = mapping && (mapping->outcome == Outcome::AllMapped || mapping->outcome == Outcome::SomeMapped);
    const QString method = mapping ? QLatin1String(portmap::toString(mapping->method)) : QString();
    QString mappingDetail;
    if (mapped)
        mappingDetail = QCoreApplication::translate("ReachStatus", "路由器以 %1 對應了連接埠，外部位址 %2：%3。")
                            .arg(method, QString::fromStdString(mapping->outsideAddress), mappedPorts(*mapping));

    const bool confirmed = finding && finding->answered && finding->reachable;
    if (confirmed) {
        QString line =
            QCoreApplication::translate("ReachStatus", "外部可連線 ") + hostPort(finding->address, finding->port);
        if (mapped) line += QCoreApplication::translate("ReachStatus", "（%1）").arg(method);
        const QString detail = QCoreApplication::translate("ReachStatus", "目錄伺服器已從外部連入 %1。")
                                   .arg(hostPort(finding->address, finding->port)) +
            (mapped ? mappingDetail : QCoreApplication::translate("ReachStatus", "不需要路由器對應連接埠。"));
        return said(line, detail, true, true);
    }
    if (mapping && mapping->outcome == Outcome::SecondNat) {
        const QString detail = QCoreApplication::translate(
                                   "ReachStatus",
                                   "路由器的外部位址 %1 是私有或共用位址：本機位於第二層 NAT 之後（電信業者的 "
                                   "NAT，或路由器後面還有路由器），"
                                   "在這台路由器上對應連接埠也無法讓外部觀眾連入。外部觀眾只能經由中繼伺服器觀看。")
                                   .arg(QString::fromStdString(mapping->outsideAddress));
        return said(QCoreApplication::translate("ReachStatus", "第二層 NAT：外部觀眾無法直接連線"), detail, false,
                    true);
    }
    if (mappingOn && !mapping)
        return said(QCoreApplication::translate("ReachStatus", "正在向路由器要求對應連接埠…"), QString(), false, false);
    if (mapped) {
        const portmap::PortResult *stream = streamMapping(*mapping, ports.stream);
        if (stream && stream->mapped() && stream->outsidePort != ports.stream) {
            const QString detail = mappingDetail +
                QCoreApplication::translate("ReachStatus",
                                            "路由器給直播串流的外部連接埠是 %1，不是 %2；目錄伺服器只能告訴觀眾 %2，"
                                            "所以觀眾無法經由目錄連入。請在路由器上手動轉送 TCP %2。")
                    .arg(stream->outsidePort)
                    .arg(ports.stream);
            return said(QCoreApplication::translate("ReachStatus", "外部連接埠為 %1，目錄無法告知觀眾")
                            .arg(stream->outsidePort),
                        detail, false, true);
        }
        const QString where =
            hostPort(mapping->outsideAddress, stream && stream->mapped() ? stream->outsidePort : ports.stream);
        if (!finding)
            return said(QCoreApplication::translate("ReachStatus", "已對應 %1（%2），等待外部確認…").arg(where, method),
                        mappingDetail, false, false);
        if (!finding->answered)
            return said(QCoreApplication::translate("ReachStatus", "已對應 %1（%2），目錄未確認").arg(where, method),
                        mappingDetail +
                            QCoreApplication::translate("ReachStatus",
                                                        "目錄伺服器無法回答外部連線檢查，無法確認外部觀眾能否連入。"),
                        false, true);
        return said(
            QCoreApplication::translate("ReachStatus", "已對應連接埠，但外部仍無法連入"),
            mappingDetail +
                QCoreApplication::translate("ReachStatus", "但目錄伺服器從外部連不到 %1（%2）。請檢查本機防火牆。")
                    .arg(hostPort(finding->address, finding->port), QString::fromStdString(finding->error)),
            false, true);
    }
    QString why;
    if (!mappingOn)
        why = QCoreApplication::translate("ReachStatus", "自動對應連接埠已關閉（Morlanex.conf 的 PortMapping=off）。");
    else if (mapping->outcome == Outcome::NoService)
        why = QCoreApplication::translate("ReachStatus",
                                          "路由器沒有自動對應連接埠的服務（PCP、NAT-PMP、UPnP 都沒有回應）。");
    else
        why = QCoreApplication::translate("ReachStatus", "路由器拒絕對應連接埠：%1。")
                  .arg(QString::fromStdString(mapping->error));
    if (!finding) return said(QCoreApplication::translate("ReachStatus", "正在檢查外部連線…"), why, false, false);
    if (!finding->answered)
        return said(forward,
                    why + QCoreApplication::translate("ReachStatus", "目錄伺服器無法回答外部連線檢查。") +
                        forwardDetail,
                    false, true);
    return said(forward,
                why +
                    QCoreApplication::translate("ReachStatus", "目錄伺服器從外部連不到 %1。")
                        .arg(hostPort(finding->address, finding->port)) +
                    forwardDetail,
                false, true);
}

}  // namespace

std::optional<DirectoryFinding> parseDirectoryFinding(const std::string &json) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(json), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) return std::nullopt;
    const QJsonObject o = document.object();
    if (!o.value(QLatin1String("reachable")).isBool()) return std::nullopt;
    DirectoryFinding f;
    f.answered = true;
    f.reachable = o.value(QLatin1String("reachable")).toBool();
    f.address = o.value(QLatin1String("address")).toString().toStdString();
    const int port = o.value(QLatin1String("port")).toInt(0);
    f.port = port > 0 && port <= 65535 ? uint16_t(port) : 0;
    f.error = o.value(QLatin1String("error")).toString().toStdString();
    return f;
}

ReachStatus::ReachStatus(std::string directoryAddress, int directoryHttpPort, TickSource &ticks, QObject *parent)
    : QObject(parent), directoryAddress_(std::move(directoryAddress)), directoryHttpPort_(directoryHttpPort),
      network_(new QNetworkAccessManager(this)) {
    retry_ = ticks.makeTicker(kRetryInterval, [this] { ask(); });
}

ReachStatus::~ReachStatus() {
    // Nobody is told: the window that listens may be half gone.
    blockSignals(true);
    stop();
}

void ReachStatus::start(const ReachPorts &ports, bool mappingOn) {
    stop();
    active_ = true;
    ports_ = ports;
    mappingOn_ = mappingOn;
    asked_ = 0;
    update();
    // Without a mapper to wait for, the directory is asked at once.
    if (!mappingOn_) ask();
}

void ReachStatus::mappingReported(const portmap::MappingReport &report) {
    if (!active_) return;
    const bool same = mapping_ && sameMapping(*mapping_, report);
    mapping_ = report;
    // A renewal that changed nothing keeps what the directory found; another mapping (after the
    // router restarted, say) deserves a fresh look.
    if (same) return;
    asked_ = 0;
    finding_.reset();
    update();
    ask();
}

void ReachStatus::stop() {
    retry_->stop();
    if (pending_) {
        QNetworkReply *reply = pending_;
        pending_ = nullptr;
        reply->abort();
        reply->deleteLater();
    }
    const bool was = active_;
    active_ = false;
    mapping_.reset();
    finding_.reset();
    text_ = {};
    if (was) emit changed();
}

void ReachStatus::ask() {
    if (!active_ || pending_) return;
    if (directoryHttpPort_ <= 0 || ++asked_ > kMaxAsks) {
        retry_->stop();
        if (!finding_) finding_ = DirectoryFinding{};  // nobody to ask: unanswered
        update();
        return;
    }
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(QString::fromStdString(directoryAddress_));
    url.setPort(directoryHttpPort_);
    url.setPath(QStringLiteral("/node/reachability"));
    url.setQuery(QStringLiteral("port=%1").arg(ports_.stream));
    QNetworkRequest request(url);
    request.setTransferTimeout(kAnswerTimeoutMs);
    pending_ = network_->get(request);
    connect(pending_, &QNetworkReply::finished, this, [this, reply = pending_] { onAnswer(reply); });
    retry_->start();
}

void ReachStatus::onAnswer(QNetworkReply *reply) {
    reply->deleteLater();
    if (reply != pending_) return;
    pending_ = nullptr;
    std::optional<DirectoryFinding> finding = parseDirectoryFinding(reply->readAll().toStdString());
    if (!finding) {
        std::fprintf(stderr, "morlanex: the directory's reachability check: %s\n",
                     reply->errorString().toLocal8Bit().constData());
        if (asked_ < kMaxAsks) return;  // asked again on the next tick
        finding = DirectoryFinding{};
    }
    finding_ = finding;
    // Reachable is final until the next mapping report; otherwise ask again while tries last.
    if (finding_->reachable || asked_ >= kMaxAsks) retry_->stop();
    update();
}

void ReachStatus::update() {
    ReachText next = describeReach(ports_, mappingOn_, mapping_, finding_);
    if (next.line == text_.line && next.detail == text_.detail) return;
    text_ = std::move(next);
    if (active_) std::fprintf(stderr, "morlanex: reach: %s\n", text_.line.toLocal8Bit().constData());
    emit changed();
}

}  // namespace morlanex
