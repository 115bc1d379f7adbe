// The figures both programs serve to Prometheus, judged by Prometheus' own
// tools where the machine has them, and the HTTP server against clients
// that do not play by the rules.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "catchel_start.h"
#include "metrics/metrics.h"
#include "plain_tcp.h"
#include "plain_udp.h"
#include "process.h"

namespace fs = std::filesystem;

namespace {

const std::vector<std::pair<const char*, http_verdict>> request_rows = {
    {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", http_verdict::metrics},
    {"GET /metrics?name[]=a HTTP/1.0\n\n", http_verdict::metrics},
    {"GET /metrics HTTP/1.1\r\nHost: x\r\n", http_verdict::incomplete},
    {"GET /met", http_verdict::incomplete},
    {"GET / HTTP/1.1\r\n\r\n", http_verdict::not_found},
    {"POST /metrics HTTP/1.1\r\n\r\n", http_verdict::not_allowed},
    {"GET /metrics SPDY/3\r\n\r\n", http_verdict::malformed},
    {"GET  /metrics HTTP/1.1\r\n\r\n", http_verdict::malformed},
    {"\x16\x03\x01\x02", http_verdict::malformed},  // a TLS hello
    {"GET /metrics HTTP/1.1\r\nX: yyyyyyyyyyyyyy", http_verdict::too_large},  // fills the room given below
};

TEST(HttpRequest, IsJudgedAsFarAsItHasCome) {
    for (const auto& [request, verdict] : request_rows) {
        std::string text(request);
        std::size_t room = verdict == http_verdict::too_large ? text.size() : METRICS_REQUEST_MAX;
        EXPECT_EQ(http_judge_request(text.data(), text.size(), room), verdict) << request;
    }
}

// A tool of Prometheus' from the PATH, or empty.
std::string tool(const char* name) {
#ifdef _WIN32
    (void)name;
    return "";
#else
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        if (fs::exists(fs::path(dir) / name)) return (fs::path(dir) / name).string();
    }
    return "";
#endif
}

#define NEED_TOOL(var, name)                                                                  \
    std::string var = tool(name);                                                             \
    if (var.empty()) GTEST_SKIP() << name << " is not installed (Debian: prometheus packages)"

// One HTTP GET to 127.0.0.1:`port`, its whole answer; empty while nothing listens.
std::string http_get(std::uint16_t port, const std::string& path) {
    plain_sockets_start();
    plain_tcp client{socket(AF_INET, SOCK_STREAM, 0), 0};
    sockaddr_in to = plain_address(loopback_ip, port);
    if (connect(client.sock, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        plain_tcp_close(&client);
        return "";
    }
    plain_tcp_send(&client, "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    std::string answer;
    while (plain_tcp_read(&client, &answer, 5000) > 0) {
    }
    plain_tcp_close(&client);
    return answer;
}

std::string body_of(const std::string& answer) {
    std::size_t end = answer.find("\r\n\r\n");
    return end == std::string::npos ? "" : answer.substr(end + 4);
}

// Waits until the GET is answered 200, up to ten seconds.
std::string page_when_served(std::uint16_t port, const std::string& path = "/metrics") {
    for (int i = 0; i < 100; ++i) {
        std::string answer = http_get(port, path);
        if (answer.rfind("HTTP/1.1 200", 0) == 0 || answer.rfind("HTTP/1.0 200", 0) == 0) return body_of(answer);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return "";
}

std::string port_text(std::uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

// A folder of its own for a test's files, removed with it.
struct scratch {
    fs::path dir = fs::temp_directory_path() / ("metrics-test-" + std::to_string(plain_free_port()));
    scratch() { fs::create_directories(dir); }
    ~scratch() { fs::remove_all(dir); }
};

int shell(const std::string& command) { return std::system(command.c_str()); }

std::string read_file(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// One figure out of a page, as "name{labels} value": its value, or -1.
double figure(const std::string& page, const std::string& series) {
    std::size_t at = page.find("\n" + series + " ");
    return at == std::string::npos ? -1 : std::atof(page.c_str() + at + series.size() + 2);
}

}  // namespace

TEST(Metrics, BothPagesPassPromtool) {
    NEED_TOOL(promtool, "promtool");
    scratch files;
    std::uint16_t catchel_port = 0;
    std::uint16_t catchel_http = plain_free_port();
    running_program* catchel = start_catchel({"-echo", "-q", "-metrics", port_text(catchel_http)}, &catchel_port);
    ASSERT_NE(catchel, nullptr);
    std::uint16_t pitchel_http = plain_free_port();
    running_program* pitchel = start_program(PITCHEL_PATH, {"-seq", "-n", "20", "-r", "100", "-reply", "3", "-q",
                                                             "-metrics", port_text(pitchel_http), "127.0.0.1",
                                                             std::to_string(catchel_port), "x"});
    for (auto [name, port] : {std::pair{"catchel", catchel_http}, std::pair{"pitchel", pitchel_http}}) {
        std::string page = page_when_served(port);
        ASSERT_NE(page, "") << name;
        std::ofstream(files.dir / name) << page;
        std::string check = promtool + " check metrics < " + (files.dir / name).string() + " > " +
                            (files.dir / "said").string() + " 2>&1";
        EXPECT_EQ(shell(check), 0) << name << ": " << read_file(files.dir / "said");
        EXPECT_EQ(read_file(files.dir / "said"), "") << name;
    }
    EXPECT_EQ(wait_program(pitchel).status, 0);
    stop_program(catchel);
}

TEST(Metrics, PortTakenIsALineAndStatusOneBeforeAnything) {
    plain_tcp holder = plain_tcp_listen();
    for (const char* program : {CATCHEL_PATH, PITCHEL_PATH}) {
        std::vector<std::string> args = {"-v", "-metrics", port_text(holder.port), "127.0.0.1",
                                         std::to_string(plain_free_port())};
        if (program == std::string(CATCHEL_PATH)) args.erase(args.begin() + 3);  // catchel takes a port alone
        else args.push_back("x");
        process_output r = run_program(program, args);
        EXPECT_EQ(r.status, exit_status(1)) << program;
        EXPECT_EQ(r.out.rfind(text_output("cannot serve metrics on " + port_text(holder.port) + "\nreason: "), 0), 0u)
            << r.out;
    }
    plain_tcp_close(&holder);
}

#ifndef _WIN32
// Clients that hold, flood or break off, while datagrams arrive: every
// datagram is printed, and a well-behaved scrape is still answered.
TEST(Metrics, HostileClientsHoldUpNoDatagram) {
    std::uint16_t port = 0;
    std::uint16_t http = plain_free_port();
    running_program* catchel = start_catchel({"-metrics", port_text(http)}, &port);
    ASSERT_NE(catchel, nullptr);
    ASSERT_NE(page_when_served(http), "");
    plain_tcp silent = plain_tcp_connect(http);
    plain_tcp halved = plain_tcp_connect(http);
    plain_tcp_send(&halved, "GET /metr");
    std::thread flooding([http] {
        plain_tcp flood = plain_tcp_connect(http);
        plain_tcp_send(&flood, "GET /metrics HTTP/1.1\r\nX: " + std::string(1 << 20, 'y'));
        plain_tcp_close(&flood);
    });
    std::vector<plain_tcp> crowd;
    for (int i = 0; i < 1000; ++i) crowd.push_back(plain_tcp_connect(http));
    plain_udp sender = plain_udp_open();
    constexpr int datagrams = 200;
    for (int i = 1; i <= datagrams; ++i) {
        ASSERT_TRUE(plain_udp_send(&sender, "d" + std::to_string(i), port));
        if (i % 20 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(wait_for_output(catchel, "udp " + std::to_string(datagrams) + " from", 10000))
        << output_so_far(catchel).size();
    for (plain_tcp& c : crowd) plain_tcp_close(&c);
    flooding.join();
    std::string rest;
    EXPECT_EQ(plain_tcp_read(&silent, &rest, 5000), 0) << "the silent client is closed after its time";
    EXPECT_NE(page_when_served(http), "");
    plain_tcp_close(&silent);
    plain_tcp_close(&halved);
    plain_udp_close(&sender);
    process_output r = stop_program(catchel);
    for (int i = 1; i <= datagrams; ++i) {
        EXPECT_NE(r.out.find(":\n\nd" + std::to_string(i) + "\n"), std::string::npos) << i;
    }
}
#endif

TEST(Metrics, NodeExporterReadsTheFile) {
    NEED_TOOL(exporter, "prometheus-node-exporter");
    scratch files;
    std::uint16_t port = 0;
    running_program* catchel =
        start_catchel({"-q", "-i", "1", "-metrics-file", (files.dir / "catchel.prom").string()}, &port);
    ASSERT_NE(catchel, nullptr);
    plain_udp sender = plain_udp_open();
    for (int i = 0; i < 7; ++i) ASSERT_TRUE(plain_udp_send(&sender, "x", port));
    std::uint16_t http = plain_free_port();
    running_program* node = start_program(exporter, {"--collector.disable-defaults", "--collector.textfile",
                                                     "--collector.textfile.directory=" + files.dir.string(),
                                                     "--web.listen-address=" + port_text(http)});
    double seen = -1;
    for (int i = 0; i < 50 && seen != 7; ++i) {
        std::string page = page_when_served(http);
        seen = figure(page, "catchel_datagrams_received_total");
        EXPECT_EQ(figure(page, "node_textfile_scrape_error"), 0) << page;
        if (seen != 7) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_EQ(seen, 7);
    stop_program(node);
    stop_program(catchel);
    plain_udp_close(&sender);
    EXPECT_FALSE(fs::exists(files.dir / "catchel.prom.tmp"));
}

#ifndef _WIN32  // Prometheus runs on Linux, and ends its prober with a signal
// The result of a PromQL query, the value of its first series; -1 for none.
double query(std::uint16_t port, const std::string& promql) {
    std::string encoded;
    for (char c : promql) {
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') {
            encoded += c;
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
            encoded += hex;
        }
    }
    std::string body = body_of(http_get(port, "/api/v1/query?query=" + encoded));
    std::smatch value;
    if (!std::regex_search(body, value, std::regex(R"re("value":\[[0-9.]+,"([^"]+)"\])re"))) return -1;
    return std::atof(value[1].str().c_str());
}

// The bucket of the round-trip histograms a value in seconds falls in.
int bucket_of(double seconds) {
    int i = 0;
    while (i < int(METRICS_BUCKETS) && seconds * 1e6 > double(metrics_bucket_bounds_us[i]) + 0.5) ++i;
    return i;
}

TEST(Metrics, PrometheusAgreesWithTheProgramsOwnFigures) {
    NEED_TOOL(prometheus, "prometheus");
    scratch files;
    std::uint16_t catchel_http = plain_free_port();
    std::uint16_t pitchel_http = plain_free_port();
    std::uint16_t prometheus_http = plain_free_port();
    std::ofstream(files.dir / "p.yml") << "global: {scrape_interval: 1s, scrape_timeout: 500ms}\n"
                                          "scrape_configs:\n- job_name: pair\n  static_configs:\n"
                                          "  - targets: ['"
                                       << port_text(catchel_http) << "', '" << port_text(pitchel_http) << "', '"
                                       << port_text(prometheus_http) << "']\n";
    running_program* server = start_program(
        prometheus, {"--config.file=" + (files.dir / "p.yml").string(), "--storage.tsdb.path=" +
                     (files.dir / "data").string(), "--web.listen-address=" + port_text(prometheus_http)});
    // Its targets are scraped some seconds after it starts: once it has scraped itself, they are too.
    for (int i = 0; i < 150 && query(prometheus_http, "up{instance='" + port_text(prometheus_http) + "'}") != 1; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::uint16_t port = 0;
    // It ends three seconds after the last probe: time for its last scrapes.
    running_program* catchel =
        start_catchel({"-echo", "-q", "-stats", "-w", "3", "-metrics", port_text(catchel_http)}, &port);
    ASSERT_NE(catchel, nullptr);
    // An endless prober, ended once Prometheus has seen its replies for a while.
    running_program* prober = start_program(PITCHEL_PATH, {"-seq", "-n", "0", "-r", "100", "-reply", "1", "-q",
                                                           "-metrics", port_text(pitchel_http), "127.0.0.1",
                                                           std::to_string(port), "x"});
    for (int i = 0; i < 100 && query(prometheus_http, "pitchel_replies_total") < 200; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    process_output pitchel = terminate_program(prober);
    process_output stats = wait_program(catchel);
    std::smatch summary;
    std::regex figures(R"(replies (\d+) lost (\d+) .* p50/p90/p99 ([0-9.]+)/)");
    ASSERT_TRUE(std::regex_search(pitchel.out, summary, figures))
        << pitchel.out;
    std::smatch total;
    ASSERT_TRUE(std::regex_search(stats.out, total, std::regex(R"(total datagrams (\d+))"))) << stats.out;
    // catchel's last scrapes came after its last datagram.
    EXPECT_EQ(query(prometheus_http, "max_over_time(catchel_datagrams_received_total[5m])"), std::stod(total[1]));
    // The prober's last scrape came at most a second, 100 probes, before its end.
    double replies = query(prometheus_http, "max_over_time(pitchel_replies_total[5m])");
    EXPECT_GE(replies, 200);
    EXPECT_LE(replies, std::stod(summary[1]));
    EXPECT_GE(replies, std::stod(summary[1]) - 150);
    EXPECT_EQ(query(prometheus_http, "max_over_time(pitchel_probes_lost_total[5m])"), std::stod(summary[2]));
    double p50 =
        query(prometheus_http, "histogram_quantile(0.5, max_over_time(pitchel_round_trip_seconds_bucket[5m]))");
    EXPECT_LE(std::abs(bucket_of(p50) - bucket_of(std::stod(summary[3]) / 1000)), 1) << p50 << " " << summary[3];
    stop_program(server);
}
#endif
