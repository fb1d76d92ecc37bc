#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/relay/relay_fixture.h"
#include "tests/support/file_text.h"
#include "tests/support/spawned_process.h"

namespace fs = std::filesystem;

namespace {

// Real servers that read the PROXY header, as `make deps` or the bench installs them:
// each gets a folder of its own, a config written here and loopback ports picked here, and
// must name the client the relay told it about.
class ProxyPeersTest : public RelayTest {
  protected:
    void SetUp() override {
        RelayTest::SetUp();
        std::string pattern = (fs::temp_directory_path() / "proxy-peers-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        fs::permissions(dir, fs::perms::all);
        int probe = loopback::listenIpv6(port6);
        if (probe >= 0) {
            close(probe);
        }
        port4 = loopback::freePort();
    }
    void TearDown() override {
        server.reset();
        std::error_code ignored;
        fs::remove_all(dir, ignored);
        RelayTest::TearDown();
    }

    void write(const std::string& name, const std::string& text) const {
        std::ofstream(dir / name) << text;
    }

    // Waits until the server takes connections on its IPv4 port.
    bool serving() {
        for (int i = 0; i < 100; ++i) {
            int fd = loopback::connectTo(port4, 1s);
            if (fd >= 0) {
                close(fd);
                return true;
            }
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    // One request through the relay from ::1 or 127.0.0.1; the client's port.
    int requestThroughRelay(bool ipv6, const std::string& request) {
        return whileRelaying([&] {
            int fd = ipv6 ? socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0)
                          : socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            SocketAddress to;
            parseNumericAddress(ipv6 ? "::1" : "127.0.0.1", relayPort, to);
            loopback::setTimeouts(fd, 10s);
            int port = 0;
            SocketAddress local;
            local.length = sizeof local.storage;
            std::string address;
            unsigned int localPort = 0;
            if (connect(fd, to.get(), to.length) == 0 &&
                getsockname(fd, local.get(), &local.length) == 0 &&
                addressToText(local, address, localPort)) {
                port = static_cast<int>(localPort);
                loopback::sendAll(fd, request.data(), request.size());
                shutdown(fd, SHUT_WR);
                loopback::receiveUntilClosed(fd);
            }
            close(fd);
            return port;
        });
    }

    // Relays clients of both families with each header version to the server's ports, and
    // expects each client's address and port in what found() reads.
    void expectRealClients(const std::string& request,
                           const std::function<std::string(const std::string&)>& found) {
        for (const int version : {1, 2}) {
            for (const bool ipv6 : {false, true}) {
                if (ipv6 && port6 == 0) {
                    continue;
                }
                config.proxyProtocol = version;
                config.listenHost = "";
                // The client's end is passed on, and the answer still comes back.
                config.relay.halfClose = true;
                startRelay(ipv6 ? port6 : port4, ipv6 ? "::1" : "127.0.0.1");
                const int clientPort = requestThroughRelay(ipv6, request);
                ASSERT_GT(clientPort, 0);
                const std::string expected =
                    std::string(ipv6 ? "::1" : "127.0.0.1") + ":" + std::to_string(clientPort);
                EXPECT_NE(found(expected).find(expected), std::string::npos)
                    << "version " << version << ", expected " << expected;
                repeater.stop();
            }
        }
    }

    fs::path dir;
    int port4 = 0;
    int port6 = 0;
    std::unique_ptr<SpawnedProcess> server;
};

TEST_F(ProxyPeersTest, NginxLogsTheRealClient) {
    if (!fs::exists("/usr/sbin/nginx")) {
        GTEST_SKIP() << "nginx is not installed (make deps installs it)";
    }
    const std::string d = dir.string();
    std::string listen6 =
        port6 != 0 ? "listen [::1]:" + std::to_string(port6) + " proxy_protocol;" : "";
    write("nginx.conf", "daemon off; worker_processes 1; pid " + d +
                            "/nginx.pid;\n"
                            "error_log " +
                            d +
                            "/error.log;\n"
                            "events { worker_connections 64; }\n"
                            "http {\n"
                            " log_format peer '$proxy_protocol_addr:$proxy_protocol_port';\n"
                            " access_log " +
                            d +
                            "/access.log peer;\n"
                            " client_body_temp_path " +
                            d + "/body; proxy_temp_path " + d +
                            "/proxy;\n"
                            " fastcgi_temp_path " +
                            d + "/fcgi; uwsgi_temp_path " + d +
                            "/uwsgi;\n"
                            " scgi_temp_path " +
                            d +
                            "/scgi;\n"
                            " server { listen 127.0.0.1:" +
                            std::to_string(port4) + " proxy_protocol; " + listen6 +
                            " location / { return 200 \"ok\\n\"; } }\n"
                            "}\n");
    server = std::make_unique<SpawnedProcess>(
        std::vector<std::string>{"/usr/sbin/nginx", "-p", d, "-c", d + "/nginx.conf"},
        std::vector<std::string>{}, SpawnOptions{{}, d, d + "/stderr.txt", -1});
    ASSERT_TRUE(server->started());
    ASSERT_TRUE(serving()) << readFile(dir / "error.log");
    expectRealClients("GET / HTTP/1.0\r\n\r\n", [&](const std::string& expected) {
        // nginx writes the line once the request is done, just before it closes.
        std::string log;
        for (int i = 0;
             i < 100 && (log = readFile(dir / "access.log")).find(expected) == std::string::npos;
             ++i) {
            std::this_thread::sleep_for(20ms);
        }
        return log;
    });
}

TEST_F(ProxyPeersTest, HaproxyLogsTheRealClient) {
    if (!fs::exists("/usr/sbin/haproxy")) {
        GTEST_SKIP() << "haproxy is not installed (make deps installs it)";
    }
    loopback::Server echo(loopback::echo);
    std::string bind6 =
        port6 != 0 ? " bind [::1]:" + std::to_string(port6) + " accept-proxy\n" : "";
    write("haproxy.cfg",
          "global\n log stdout format raw local0\n"
          "defaults\n mode tcp\n log global\n timeout connect 5s\n"
          " timeout client 5s\n timeout server 5s\n"
          "frontend in\n bind 127.0.0.1:" +
              std::to_string(port4) + " accept-proxy\n" + bind6 +
              " log-format \"client=%ci:%cp\"\n default_backend out\n"
              "backend out\n server echo 127.0.0.1:" +
              std::to_string(echo.port()) + "\n");
    server = std::make_unique<SpawnedProcess>(
        std::vector<std::string>{"/usr/sbin/haproxy", "-db", "-f", (dir / "haproxy.cfg").string()},
        std::vector<std::string>{},
        SpawnOptions{{}, dir.string(), (dir / "stderr.txt").string(), -1});
    ASSERT_TRUE(server->started());
    ASSERT_TRUE(serving()) << readFile(dir / "stderr.txt");
    expectRealClients("hello", [&](const std::string& expected) {
        return server->standardOutputUntil("client=" + expected, 5s);
    });
}

}  // namespace
