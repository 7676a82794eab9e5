// What the window says about viewers outside the router, from the mapper's report and the
// directory's check.
#include "session/reach_status.h"

#include <gtest/gtest.h>

using namespace morlanex;
using portmap::MappingReport;
using portmap::Method;
using portmap::Outcome;
using portmap::Protocol;

namespace {

const ReachPorts kPorts{8080, 50000, 41234};

MappingReport mapped(Method method, uint16_t streamOutside = 8080) {
    MappingReport r;
    r.outcome = Outcome::AllMapped;
    r.method = method;
    r.outsideAddress = "11.77.0.1";
    r.ports = {{{Protocol::Tcp, 8080, "stream"}, streamOutside, std::chrono::seconds(3600), {}},
               {{Protocol::Udp, 50000, "WebRTC"}, 50000, std::chrono::seconds(3600), {}}};
    return r;
}

MappingReport failed(Outcome outcome, std::string outside = {}) {
    MappingReport r;
    r.outcome = outcome;
    r.outsideAddress = std::move(outside);
    r.error = "ConflictInMappingEntry";
    return r;
}

DirectoryFinding finding(bool reachable) { return {true, reachable, "11.77.0.1", 8080, reachable ? "" : "refused"}; }

}  // namespace

TEST(ReachStatus, ReachableIsSaidOnlyWhenTheDirectoryGotIn) {
    ReachText t = describeReach(kPorts, true, mapped(Method::Upnp), std::nullopt);
    EXPECT_FALSE(t.reachable);
    EXPECT_FALSE(t.settled) << "a mapping alone is no proof";

    t = describeReach(kPorts, true, mapped(Method::Upnp), finding(true));
    EXPECT_TRUE(t.reachable);
    EXPECT_EQ(t.line, QStringLiteral("外部可連線 11.77.0.1:8080（UPnP）"));
    EXPECT_EQ(t.outside, QStringLiteral("11.77.0.1：TCP 8080、UDP 50000（UPnP）"));

    t = describeReach(kPorts, true, mapped(Method::Pcp), finding(false));
    EXPECT_FALSE(t.reachable);
    EXPECT_TRUE(t.settled);
    EXPECT_TRUE(t.detail.contains(QStringLiteral("refused")));

    // A public address needs no mapping: the directory's word is enough.
    t = describeReach(kPorts, false, std::nullopt, finding(true));
    EXPECT_TRUE(t.reachable);
    EXPECT_EQ(t.line, QStringLiteral("外部可連線 11.77.0.1:8080"));
}

TEST(ReachStatus, WithoutAMappingTheUserIsToldWhichPortsToForward) {
    for (const std::optional<MappingReport> &m : {std::optional<MappingReport>(failed(Outcome::NoService)),
                                                  std::optional<MappingReport>(failed(Outcome::Refused))}) {
        const ReachText t = describeReach(kPorts, true, m, finding(false));
        EXPECT_EQ(t.line, QStringLiteral("請在路由器轉送 TCP 8080、UDP 8080、50000"));
        EXPECT_TRUE(t.settled);
        EXPECT_FALSE(t.reachable);
    }
    EXPECT_TRUE(describeReach(kPorts, true, failed(Outcome::Refused), finding(false))
                    .detail.contains(QStringLiteral("ConflictInMappingEntry")));
    EXPECT_TRUE(describeReach(kPorts, false, std::nullopt, DirectoryFinding{})
                    .detail.contains(QStringLiteral("PortMapping=off")));
    // Still waiting on the directory: nothing settled yet.
    EXPECT_FALSE(describeReach(kPorts, true, failed(Outcome::NoService), std::nullopt).settled);
}

TEST(ReachStatus, ASecondNatAndAnotherOutsidePortAreSaidPlainly) {
    ReachText t = describeReach(kPorts, true, failed(Outcome::SecondNat, "100.64.77.1"), finding(false));
    EXPECT_EQ(t.line, QStringLiteral("第二層 NAT：外部觀眾無法直接連線"));
    EXPECT_TRUE(t.detail.contains(QStringLiteral("100.64.77.1")));

    // The datagrams cannot carry another port: the directory would hand viewers the wrong one.
    t = describeReach(kPorts, true, mapped(Method::NatPmp, 18080), std::nullopt);
    EXPECT_EQ(t.line, QStringLiteral("外部連接埠為 18080，目錄無法告知觀眾"));
    EXPECT_TRUE(t.settled);
}

TEST(ReachStatus, ReadsTheDirectorysAnswerAndRefusesAnythingElse) {
    const std::optional<DirectoryFinding> f =
        parseDirectoryFinding(R"({"reachable":true,"address":"11.77.0.1","port":8080,"checked":"now"})");
    ASSERT_TRUE(f);
    EXPECT_TRUE(f->answered && f->reachable);
    EXPECT_EQ(f->address, "11.77.0.1");
    EXPECT_EQ(f->port, 8080);
    for (const char *bad : {"", "not json", "[]", R"({"error":"no channel"})", R"({"reachable":"yes"})"})
        EXPECT_FALSE(parseDirectoryFinding(bad)) << bad;
    EXPECT_EQ(parseDirectoryFinding(R"({"reachable":false,"port":70000})")->port, 0);
}
