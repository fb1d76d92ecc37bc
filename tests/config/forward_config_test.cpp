#include "config/forward_config.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

struct FieldChange {
    std::string field;
    std::function<void(ForwardConfig&)> change;
};

// A reload tells changed forwards from unchanged ones by this comparison alone, so every
// field must take part in it.
TEST(ForwardConfigTest, EveryFieldTakesPartInTheComparison) {
    const std::vector<FieldChange> changes = {
        {"name", [](ForwardConfig& c) { c.name = "web"; }},
        {"udp", [](ForwardConfig& c) { c.udp = true; }},
        {"listenPort", [](ForwardConfig& c) { c.listenPort = 8080; }},
        {"forwardHost", [](ForwardConfig& c) { c.forwardHost = "::1"; }},
        {"forwardPort", [](ForwardConfig& c) { c.forwardPort = 80; }},
        {"bufferSizeKb", [](ForwardConfig& c) { c.bufferSizeKb = 64; }},
        {"listenHost", [](ForwardConfig& c) { c.listenHost = "127.0.0.1"; }},
        {"filter.mode", [](ForwardConfig& c) { c.filter.mode = CIpFilter::kLoopbackOnly; }},
        {"filter.allow",
         [](ForwardConfig& c) {
             c.filter.allowCount = 1;
             c.filter.allowList[0] = "10.0.0.0/8";
         }},
        {"filter.deny",
         [](ForwardConfig& c) {
             c.filter.denyCount = 1;
             c.filter.denyList[0] = "10.0.0.1";
         }},
        {"halfClose", [](ForwardConfig& c) { c.relay.halfClose = true; }},
        {"connectTimeout", [](ForwardConfig& c) { c.relay.connectTimeoutSeconds = 5; }},
        {"idleTimeout", [](ForwardConfig& c) { c.relay.idleTimeoutSeconds = 5; }},
        {"keepAlive", [](ForwardConfig& c) { c.relay.keepAlive = true; }},
        {"log", [](ForwardConfig& c) { c.log = true; }},
        {"logPath", [](ForwardConfig& c) { c.logPath = "/tmp/other.log"; }},
        {"moreDestinations",
         [](ForwardConfig& c) {
             c.moreDestinations = {{"b", 81}};
         }},
        {"balance", [](ForwardConfig& c) { c.balance = Balance::RoundRobin; }},
        {"proxyProtocol", [](ForwardConfig& c) { c.proxyProtocol = 2; }},
    };
    const ForwardConfig base;
    for (const auto& [field, change] : changes) {
        ForwardConfig changed = base;
        change(changed);
        EXPECT_FALSE(changed == base) << field;
        EXPECT_TRUE(changed == ForwardConfig(changed)) << field;
    }
}

// Entries past a list's count never decide anything, so they do not make filters differ.
TEST(ForwardConfigTest, FilterEntriesPastTheCountDoNotCount) {
    CIpFilter a;
    a.mode = CIpFilter::kAllowDenyLists;
    a.allowCount = 1;
    a.allowList[0] = "127.0.0.1";
    CIpFilter b = a;
    b.allowList[1] = "10.0.0.0/8";
    EXPECT_TRUE(a == b);
    b.allowCount = 2;
    EXPECT_FALSE(a == b);
    b.allowCount = 99;  // held to the list's size like everywhere else
    a.allowCount = CIpFilter::kListSize;
    a.allowList[1] = "10.0.0.0/8";
    EXPECT_TRUE(a == b);
}

}  // namespace
