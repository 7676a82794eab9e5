#include "directory_link/node_identity.h"

#include "net/ipv4.h"

#include <gtest/gtest.h>

#include <map>

using namespace morlanex;

TEST(NodeIdentity, HardwareAddressIsTwelveUppercaseHexDigits) {
    const std::uint8_t bytes[] = {0x00, 0x0A, 0x1B, 0xC2, 0xFF, 0x01};
    EXPECT_EQ(hexHardwareAddress(bytes), "000A1BC2FF01");
}

TEST(NodeIdentity, AdapterChoiceSkipsLoopbackAndOddAddressesInIndexOrder) {
    std::vector<InterfaceAddress> interfaces = {
        {7, false, {0x02, 0, 0, 0, 0, 0x07}},
        {1, true, {0, 0, 0, 0, 0, 0}},
        {3, false, {}},  // e.g. a tunnel: no hardware address
        {5, false, {0x02, 0, 0, 0, 0, 0x05}},
        {4, false, {1, 2, 3, 4, 5, 6, 7, 8}},  // not a 6-byte address
    };
    EXPECT_EQ(chooseAdapterAddress(interfaces, 0), "020000000005");
    EXPECT_EQ(chooseAdapterAddress(interfaces, 1), "020000000007");
    EXPECT_EQ(chooseAdapterAddress(interfaces, 2), "");
    EXPECT_EQ(chooseAdapterAddress(interfaces, -1), "");
    EXPECT_EQ(chooseAdapterAddress({}, 0), "");
}

TEST(NodeIdentity, SystemAdapterIsEmptyOrTwelveHexDigits) {
    const std::string id = NBGetAdapterAddress(0);
    if (!id.empty()) {
        ASSERT_EQ(id.size(), 12u);
        EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    }
    EXPECT_EQ(id, NBGetAdapterAddress(0));  // stable within a run
}

namespace {
// A host whose name, resolver answers, interfaces and default route the test sets.
class FakeHostNetwork : public HostNetwork {
public:
    std::string name;
    std::map<std::string, std::vector<std::string>> answers;  // a missing name fails the lookup
    std::vector<InterfaceIPv4> list;
    std::string routeInterface;
    mutable int lookups = 0;

    std::string hostName() const override { return name; }
    std::vector<std::string> lookUp(const std::string &host) const override {
        ++lookups;
        const auto found = answers.find(host);
        return found == answers.end() ? std::vector<std::string>{} : found->second;
    }
    std::vector<InterfaceIPv4> interfaces() const override { return list; }
    std::string defaultRouteInterface() const override { return routeInterface; }
};

// A Debian-family laptop: the host name maps to 127.0.1.1; a docker bridge comes first among
// the interfaces, the wireless card carries the default route.
FakeHostNetwork debianLaptop() {
    FakeHostNetwork host;
    host.name = "stall";
    host.answers["stall"] = {"127.0.1.1"};
    host.list = {{"lo", "127.0.0.1", true, true},
                 {"docker0", "172.17.0.1", false, true},
                 {"wlan0", "192.168.1.23", false, true}};
    host.routeInterface = "wlan0";
    return host;
}
}  // namespace

TEST(NodeIdentity, LocalAddressFromHostNameFollowsTheNameRules) {
    FakeHostNetwork host = debianLaptop();
    host.name = "";
    EXPECT_EQ(localIPv4Address(host), "0.0.0.0");
    host.name = "192.168.1.5";
    EXPECT_EQ(localIPv4Address(host), "192.168.1.5");
    host.name = "9lives";
    EXPECT_EQ(localIPv4Address(host), "");
    host.name = "1.2.3";
    EXPECT_EQ(localIPv4Address(host), "");
    EXPECT_EQ(host.lookups, 0) << "a name with a leading digit is never looked up";
    host.name = "unknown-host";
    EXPECT_EQ(localIPv4Address(host), "") << "a failed lookup stays empty";
    EXPECT_EQ(host.lookups, 1);
}

TEST(NodeIdentity, LocalAddressKeepsARoutableLookupAnswer) {
    FakeHostNetwork host = debianLaptop();
    host.answers["stall"] = {"10.1.2.3", "192.168.1.23"};
    EXPECT_EQ(localIPv4Address(host), "10.1.2.3");
    host.answers["stall"] = {"127.0.1.1", "10.1.2.3"};
    EXPECT_EQ(localIPv4Address(host), "10.1.2.3") << "the first answer that is not loopback";
}

TEST(NodeIdentity, LoopbackLookupAnswerIsReplacedByARoutableInterface) {
    FakeHostNetwork host = debianLaptop();
    EXPECT_EQ(localIPv4Address(host), "192.168.1.23") << "the default route's interface";

    host.answers["stall"] = {"127.0.0.1", "127.0.1.1"};
    EXPECT_EQ(localIPv4Address(host), "192.168.1.23");

    host.name = "127.0.1.1";  // a dotted loopback name is no better than a looked-up one
    EXPECT_EQ(localIPv4Address(host), "192.168.1.23");
    host.name = "stall";

    host.routeInterface = "";
    EXPECT_EQ(localIPv4Address(host), "172.17.0.1") << "no default route: the first other interface";

    host.routeInterface = "wlan0";
    host.list[2].up = false;
    EXPECT_EQ(localIPv4Address(host), "172.17.0.1") << "a routed interface that is down is passed over";

    host.routeInterface = "tun0";  // routed through an interface without an IPv4 address
    host.list[2].up = true;
    EXPECT_EQ(localIPv4Address(host), "172.17.0.1");

    host.list = {{"lo", "127.0.0.1", true, true}, {"eth0", "10.0.0.9", false, false}};
    EXPECT_EQ(localIPv4Address(host), "127.0.0.1") << "nothing better: the lookup's answer stays";
}

TEST(NodeIdentity, DefaultRouteFromTheKernelsRouteTable) {
    const std::string heading = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
    EXPECT_EQ(defaultRouteInterfaceIn(heading +
                                      "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
                                      "eth0\t00000000\t010200C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
                                      "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"),
              "eth0");
    EXPECT_EQ(defaultRouteInterfaceIn(heading +
                                      "eth0\t00000000\t010200C0\t0003\t0\t0\t700\t00000000\t0\t0\t0\n"
                                      "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"),
              "wlan0")
        << "the lowest metric wins";
    EXPECT_EQ(defaultRouteInterfaceIn(heading +
                                      "eth0\t00000000\t010200C0\t0002\t0\t0\t0\t00000000\t0\t0\t0\n"
                                      "eth1\t0000000A\t00000000\t0001\t0\t0\t0\t000000FF\t0\t0\t0\n"),
              "")
        << "a route that is not up, and a route that is not the default, are no default route";
    EXPECT_EQ(defaultRouteInterfaceIn(heading + "garbage\tzz\n\n"), "");
    EXPECT_EQ(defaultRouteInterfaceIn(""), "");
}

TEST(NodeIdentity, SystemLocalAddressIsNotLoopbackWhenTheHostHasAnotherInterface) {
    SystemHostNetwork system;
    bool otherInterfaceUp = false;
    for (const InterfaceIPv4 &entry : system.interfaces()) otherInterfaceUp |= entry.up && !entry.loopback;
    const std::string address = localIPv4Address();
    EXPECT_FALSE(otherInterfaceUp && isLoopbackIPv4(address)) << address;
    EXPECT_TRUE(address.empty() || address == "0.0.0.0" || parseDottedQuad(address)) << address;
}
