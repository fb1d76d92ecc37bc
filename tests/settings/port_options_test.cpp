#include "settings/port_options.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "settings/forward_config_store.h"
#include "settings/port_settings.h"

namespace {

namespace fs = std::filesystem;

class PortOptionsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "port-options-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        path_ = (dir_ / kSettingsFileName).string();
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    PortOptions load(const std::string& lines) const {
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << "[TCP-PORT0]\n" << lines;
        return loadPortOptions(path_, 0);
    }

    fs::path dir_;
    std::string path_;
};

TEST_F(PortOptionsTest, NumbersFallBackToTheDefaultWhenBad) {
    struct Case {
        const char* value;
        int timeout;  // CONNECTTIMEOUT and IDLETIMEOUT
        int filter;
        bool flag;  // HALFCLOSE, KEEPALIVE and LOG
    };
    const Case cases[] = {
        {"30", 30, 0, false},
        {"1", 1, 1, true},
        {"3", 3, 3, false},
        {"0001", 1, 1, true},
        {"4", 4, 0, false},
        {"86400", 86400, 0, false},
        {"86401", 86400, 0, false},
        {"2147483647", 86400, 0, false},
        {"2147483648", 0, 0, false},
        {"4294967297", 0, 0, false},  // would wrap to 1
        {"99999999999999999999999999999", 0, 0, false},
        {"-1", 0, 0, false},
        {"+1", 0, 0, false},
        {"1s", 0, 0, false},
        {"yes", 0, 0, false},
        {"", 0, 0, false},
    };
    for (const auto& c : cases) {
        const std::string v = c.value;
        const PortOptions options =
            load("CONNECTTIMEOUT=" + v + "\nIDLETIMEOUT=" + v + "\nFILTER=" + v +
                 "\nHALFCLOSE=" + v + "\nKEEPALIVE=" + v + "\nLOG=" + v + "\n");
        EXPECT_EQ(options.relay.connectTimeoutSeconds, c.timeout) << v;
        EXPECT_EQ(options.relay.idleTimeoutSeconds, c.timeout) << v;
        EXPECT_EQ(options.filterMode, c.filter) << v;
        EXPECT_EQ(options.relay.halfClose, c.flag) << v;
        EXPECT_EQ(options.relay.keepAlive, c.flag) << v;
        EXPECT_EQ(options.log, c.flag) << v;
    }
}

TEST_F(PortOptionsTest, AnotherSectionsKeysAreNotRead) {
    const PortOptions options = load("PORT=80\n[TCP-PORT1]\nFILTER=1\nLISTENHOST=127.0.0.1\n");
    EXPECT_EQ(options.listenHost, "");
    EXPECT_EQ(options.filterMode, 0);
}

TEST_F(PortOptionsTest, ListenHostLosesItsBrackets) {
    EXPECT_EQ(load("LISTENHOST = 127.0.0.1 \n").listenHost, "127.0.0.1");
    EXPECT_EQ(load("LISTENHOST=[::1]\n").listenHost, "::1");
    EXPECT_EQ(load("LISTENHOST=::1\n").listenHost, "::1");
    EXPECT_EQ(load("LISTENHOST=\n").listenHost, "");
}

TEST_F(PortOptionsTest, RuleListsKeepTheirOrderAndAtMostTenEntries) {
    testing::internal::CaptureStderr();
    const PortOptions options = load(
        "ALLOW= 10.0.0.0/8 ,\t[fd00::]/8,,garbage, 192.168.1.1,127.0.0.0/\n"
        "DENY=1.0.0.1,1.0.0.2,1.0.0.3,1.0.0.4,1.0.0.5,1.0.0.6,1.0.0.7,1.0.0.8,1.0.0.9,"
        "1.0.0.10,1.0.0.11,1.0.0.12\n");
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(options.allow, (std::vector<std::string>{"10.0.0.0/8", "[fd00::]/8", "garbage",
                                                       "192.168.1.1", "127.0.0.0/"}));
    ASSERT_EQ(options.deny.size(), 10U);
    EXPECT_EQ(options.deny.front(), "1.0.0.1");
    EXPECT_EQ(options.deny.back(), "1.0.0.10");
    EXPECT_EQ(said,
              "TCP-PORT0: ALLOW entries that are not rules never match: garbage, 127.0.0.0/\n"
              "TCP-PORT0: DENY has 12 entries; only the first 10 are used\n");
}

// The list is read into 4096 bytes; here the cut falls right after "10.0.0.0/", which as a
// rule would admit every IPv4 address.
TEST_F(PortOptionsTest, ARuleCutByTheReadBufferMatchesNothing) {
    const std::string blanks(4077, ' ');
    const PortOptions options = load("ALLOW=1.2.3.4," + blanks + ",10.0.0.0/8\n");
    EXPECT_EQ(options.allow, (std::vector<std::string>{"1.2.3.4", ""}));
}

TEST_F(PortOptionsTest, ASaveKeepsTheOptionLinesByteForByte) {
    const std::string lines = "LISTENHOST=[::1]\nFILTER=3\nALLOW= 127.0.0.0/8 ,::1\nLOG=1\n";
    load(lines);
    savePortSettings(path_, 0, {1, 8080, "127.0.0.1", 80, 128});
    std::ifstream in(path_, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_NE(text.find(lines), std::string::npos) << text;
}

}  // namespace

namespace {

struct DestinationCase {
    std::string lines;
    std::vector<Destination> destinations;
    Balance balance;
    int proxyProtocol;
};

TEST_F(PortOptionsTest, DestinationsBalanceAndProxyProtocolAreRead) {
    const std::vector<DestinationCase> cases = {
        {"", {}, Balance::Failover, 0},
        {"DESTINATIONS=b.example:81, [::1]:82\nBALANCE=roundRobin\nPROXYPROTOCOL=2\n",
         {{"b.example", 81}, {"::1", 82}},
         Balance::RoundRobin,
         2},
        {"DESTINATIONS=bad,c:1\nBALANCE=random\nPROXYPROTOCOL=3\n",
         {{"c", 1}},
         Balance::Failover,
         0},
        {"DESTINATIONS=a:1,a:2,a:3,a:4,a:5,a:6,a:7,a:8\nPROXYPROTOCOL=1\n",
         {{"a", 1}, {"a", 2}, {"a", 3}, {"a", 4}, {"a", 5}, {"a", 6}, {"a", 7}},
         Balance::Failover,
         1},
    };
    for (const DestinationCase& c : cases) {
        const PortOptions options = load(c.lines);
        EXPECT_EQ(options.moreDestinations, c.destinations) << c.lines;
        EXPECT_EQ(options.balance, c.balance) << c.lines;
        EXPECT_EQ(options.proxyProtocol, c.proxyProtocol) << c.lines;
    }
}

// A file without the keys does not gain them; a changed value is written, and a list left
// as loaded keeps even its malformed entries.
TEST_F(PortOptionsTest, DestinationKeysAreWrittenOnlyWhenChanged) {
    const auto fileText = [this] {
        std::ifstream in(path_, std::ios::binary);
        return std::string{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    };
    load("PORT=8080\n");
    ForwardConfig loaded = loadForwardConfig(path_, 0);
    saveForwardOptions(path_, 0, loaded, loaded);
    EXPECT_EQ(fileText(), "[TCP-PORT0]\nPORT=8080\n");

    ForwardConfig changed = loaded;
    changed.moreDestinations = {{"::1", 81}, {"b", 82}};
    changed.balance = Balance::RoundRobin;
    changed.proxyProtocol = 1;
    saveForwardOptions(path_, 0, loaded, changed);
    EXPECT_EQ(fileText(),
              "[TCP-PORT0]\nPORT=8080\nDESTINATIONS=[::1]:81,b:82\n"
              "BALANCE=ROUNDROBIN\nPROXYPROTOCOL=1\n");
    EXPECT_EQ(loadForwardConfig(path_, 0), changed);

    load("DESTINATIONS=x y:1,b:2\n");
    loaded = loadForwardConfig(path_, 0);
    changed = loaded;
    changed.relay.keepAlive = true;
    saveForwardOptions(path_, 0, loaded, changed);
    EXPECT_NE(fileText().find("DESTINATIONS=x y:1,b:2\n"), std::string::npos);
}

}  // namespace
