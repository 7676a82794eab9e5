// Public header. Whether viewers outside the broadcaster's router can reach the broadcast, as
// the window tells it (ReachStatus).
//
// Two findings meet here: the port mapper's report (what the home router mapped, if anything)
// and the directory's own check from outside (a TCP connect to the stream's port, asked for
// over the directory's HTTP port). "Reachable" is said only when the directory got in; a
// mapping alone is not proof. describeReach() turns the findings into the texts; ReachStatus
// asks the directory while live and keeps the texts current.
//
// Threads: UI thread. Mapping reports come from the mapper's thread: post them here.
#pragma once

#include "net/port_mapping/mapping_report.h"
#include "session/tick_source.h"

#include <QColor>
#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QNetworkAccessManager;
class QNetworkReply;

namespace morlanex {

// The ports a viewer or the directory must reach while live.
struct ReachPorts {
    uint16_t stream = 0;  // TCP, and the directory endpoint's UDP twin
    uint16_t webrtc = 0;  // UDP; 0: no WebRTC
    uint16_t report = 0;  // UDP: the node's other directory endpoint
};

// What the directory found when it connected to the stream's port from outside.
struct DirectoryFinding {
    bool answered = false;  // false: the directory could not be asked (no HTTP port, no answer)
    bool reachable = false;
    std::string address;  // what the directory hands viewers
    uint16_t port = 0;
    std::string error;
};

struct ReachText {
    QString line;  // one short line for the window
    QString detail;  // the whole story, for the about box and the line's tool tip
    bool reachable = false;
    bool settled = false;  // false while findings are still awaited
    // The outside address and ports viewers use, for the about box; empty while unknown.
    QString outside;
};

// The texts for what is known so far. `mapping`: nullopt while the mapper has not reported,
// or when mapping is off (`mappingOn` false). `finding`: nullopt while the directory has not
// been asked or has not answered yet.
ReachText describeReach(const ReachPorts &ports, bool mappingOn, const std::optional<portmap::MappingReport> &mapping,
                        const std::optional<DirectoryFinding> &finding);

// Reads the directory's answer (JSON) to the reachability question; nullopt for anything
// that is not one.
std::optional<DirectoryFinding> parseDirectoryFinding(const std::string &json);

class ReachStatus : public QObject {
    Q_OBJECT
public:
    // `directoryHttpPort` 0: the directory is not asked.
    ReachStatus(std::string directoryAddress, int directoryHttpPort, TickSource &ticks, QObject *parent = nullptr);
    ~ReachStatus() override;

    // Live from now on: findings start afresh.
    void start(const ReachPorts &ports, bool mappingOn);
    void mappingReported(const portmap::MappingReport &report);
    // Live no more: nothing is said.
    void stop();

    bool active() const { return active_; }
    const ReachText &text() const { return text_; }
    const std::optional<portmap::MappingReport> &mapping() const { return mapping_; }

signals:
    void changed();

private:
    void ask();
    void onAnswer(QNetworkReply *reply);
    void update();

    std::string directoryAddress_;
    int directoryHttpPort_;
    std::unique_ptr<Ticker> retry_;
    QNetworkAccessManager *network_ = nullptr;  // child
    QNetworkReply *pending_ = nullptr;
    bool active_ = false;
    bool mappingOn_ = false;
    int asked_ = 0;
    ReachPorts ports_;
    std::optional<portmap::MappingReport> mapping_;
    std::optional<DirectoryFinding> finding_;
    ReachText text_;
};

}  // namespace morlanex
