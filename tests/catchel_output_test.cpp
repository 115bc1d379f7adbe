// catchel's standard output, and pitchel's with -reply, as the system hands
// it over: a full disk, a reader that went away or stopped reading, a
// terminal, a descriptor that was never open, and interrupts that arrive
// while records are still to be written. POSIX only:
// these are POSIX descriptors and signals.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "formats.h"
#include "plain_udp.h"

extern char** environ;

namespace {

constexpr int wait_ms = 10000;
constexpr int no_output = -1;

struct child {
    pid_t pid;
    std::uint16_t port;
};

// `args` (the program first) with `out` as its standard output (closed for
// no_output) and the interrupts at their default actions; SIGPIPE as this
// test program has it unless `default_sigpipe`.
pid_t spawn(const std::vector<std::string>& args, int out, bool default_sigpipe = false) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (out == no_output) {
        posix_spawn_file_actions_addclose(&actions, 1);
    } else {
        posix_spawn_file_actions_adddup2(&actions, out, 1);
    }
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&defaults, s);
    if (default_sigpipe) sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return pid;
}

// catchel on a free port, spawned as above with `options` before the port.
// Returns once the port is held.
child start(int out, bool default_sigpipe = false, const std::vector<std::string>& options = {}) {
    std::uint16_t port = plain_free_port();
    std::vector<std::string> args{CATCHEL_PATH};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(std::to_string(port));
    pid_t pid = spawn(args, out, default_sigpipe);
    for (int waited = 0; waited < wait_ms && !plain_port_held(0, port); waited += 10) usleep(10000);
    return child{pid, port};
}

// The wait status once the child ends, killing it after `wait_ms`.
int finish(pid_t pid) {
    int status = 0;
    for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; waited += 10) {
        if (waited == wait_ms) kill(pid, SIGKILL);
        usleep(10000);
    }
    return status;
}

// Reads `fd` until `text` is in what was read, the end, or `wait_ms`.
std::string read_until(int fd, const std::string& text) {
    std::string got;
    pollfd entry{fd, POLLIN, 0};
    while (got.find(text) == std::string::npos && poll(&entry, 1, wait_ms) == 1) {
        char buffer[65536];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

std::string record(std::uint64_t number, std::uint16_t from, const std::string& text) {
    return "udp " + std::to_string(number) + " from 127.0.0.1:" + std::to_string(from) + " sz " +
           std::to_string(text.size()) + " :\n\n" + text + "\n";
}

// pitchel -reply with a peer that answers `replies` times; its pid.
pid_t start_replies(int out, int seconds, const plain_udp& peer, int replies) {
    pid_t pid = spawn({PITCHEL_PATH, "-reply", std::to_string(seconds), "127.0.0.1", std::to_string(peer.port), "go"},
                      out);
    std::string got;
    std::uint16_t pitchel_port = 0;
    EXPECT_TRUE(plain_udp_receive(&peer, &got, wait_ms, &pitchel_port));
    for (int i = 1; i <= replies; ++i) plain_udp_send(&peer, "reply " + std::to_string(i), pitchel_port);
    return pid;
}

std::uint64_t sequence_of(const std::string& probe) {
    std::uint64_t sequence = 0;
    for (std::size_t i = 8; i < 16 && probe.size() >= 24; ++i) {
        sequence = sequence << 8 | static_cast<unsigned char>(probe[i]);
    }
    return sequence;
}

// Counts every probe that reaches `peer` until `done`; echoes them back but
// those numbered in `dropped`, and none once `answering` is cleared.
struct echo_peer {
    const plain_udp* peer;
    std::vector<std::uint64_t> dropped;
    std::atomic<bool> answering{true};
    std::atomic<bool> done{false};
    std::atomic<std::uint64_t> received{0};

    void run() {
        std::string data;
        std::uint16_t from_port = 0;
        while (!done.load()) {
            if (!plain_udp_receive(peer, &data, 100, &from_port)) continue;
            received.fetch_add(1);
            bool drop = std::find(dropped.begin(), dropped.end(), sequence_of(data)) != dropped.end();
            if (answering.load() && !drop) plain_udp_send(peer, data, from_port);
        }
    }
};

class CatchelOutput : public testing::Test {
protected:
    static void SetUpTestSuite() { signal(SIGPIPE, SIG_IGN); }  // children inherit it unless told otherwise
    void SetUp() override { sender = plain_udp_open(); }
    void TearDown() override { plain_udp_close(&sender); }
    void send(const child& c, const std::string& data) { ASSERT_TRUE(plain_udp_send(&sender, data, c.port)); }
    plain_udp sender{};
};

}  // namespace

TEST_F(CatchelOutput, FailedWriteEndsWithStatus3) {
    int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    int reader_gone[2];
    ASSERT_EQ(pipe(reader_gone), 0);
    close(reader_gone[0]);
    for (int out : {full, reader_gone[1]}) {
        child c = start(out);
        send(c, "lost");
        // pitchel's reply is lost the same way.
        for (pid_t pid : {c.pid, start_replies(out, 5, sender, 1)}) {
            int status = finish(pid);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << "wait status " << status;
        }
    }
    close(full);
    close(reader_gone[1]);
}

TEST_F(CatchelOutput, ReaderGoneWithDefaultSigpipeEndsAsCatWould) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    child c = start(ends[1], true);
    close(ends[1]);
    send(c, "lost");
    int status = finish(c.pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << "wait status " << status;
}

// While catchel is held in a write to a pipe nobody reads, datagrams queue
// on its socket; then the interrupt. Whatever it read must come out as
// whole records, numbered without a gap, and it must end by that signal.
TEST_F(CatchelOutput, InterruptWritesEveryRecordReadThenEndsBySignal) {
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal_number));
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        child c = start(ends[1]);
        close(ends[1]);
        send(c, "first");
        std::string out = read_until(ends[0], record(1, sender.port, "first"));
        const std::string block(8000, 'F');
        for (int i = 0; i < 16; ++i) send(c, block);
        usleep(200000);  // lets catchel fill the pipe; nothing below depends on how far it got
        kill(c.pid, signal_number);
        out += read_until(ends[0], "no such text");
        close(ends[0]);
        int status = finish(c.pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << "wait status " << status;
        std::string expected = record(1, sender.port, "first");
        for (int n = 2; expected.size() < out.size(); ++n) expected += record(n, sender.port, block);
        EXPECT_EQ(out, expected);
    }
}

// Nobody reads the pipe: the write of the records read never ends. One
// interrupt ends catchel once that write has stood still for a second, a
// second interrupt at once; either way by that signal.
TEST_F(CatchelOutput, StuckOutputEndsByTheInterrupt) {
    for (int signals : {1, 2}) {
        SCOPED_TRACE(signals);
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        child c = start(ends[1]);
        for (int i = 0; i < 16; ++i) send(c, std::string(8000, 'S'));
        usleep(200000);  // lets catchel fill the pipe
        for (int i = 0; i < signals; ++i) kill(c.pid, SIGTERM);
        int status = finish(c.pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "wait status " << status;
        for (int fd : ends) close(fd);
    }
}

// Each reply can be read from the pipe while pitchel still waits for more;
// an interrupt then ends it by that signal, nothing read left out.
TEST_F(CatchelOutput, PitchelRepliesLeaveAsReadAndAnInterruptKeepsThem) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    pid_t pid = start_replies(ends[1], 60, sender, 5);
    close(ends[1]);
    std::string expected;
    for (int n = 1; n <= 5; ++n) expected += record(n, sender.port, "reply " + std::to_string(n));
    std::string out = read_until(ends[0], expected);
    kill(pid, SIGINT);
    out += read_until(ends[0], "no such text");
    close(ends[0]);
    int status = finish(pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << "wait status " << status;
    EXPECT_EQ(out, expected);
}

TEST_F(CatchelOutput, ControlBytesReachATerminalAsCatVShowsThemAndAPipeAsTheyAre) {
    // Then lone bytes from 0x80 up, a C1 control as UTF-8, a surrogate, an
    // overlong form, a code point past U+10FFFF, and valid UTF-8.
    const std::string payload =
        "\x1b]0;owned\x07 A\rB\x7f\tC\xc3\xa9\x01"
        "\x9b[31m\xe9!\xc2\x9b\xed\xa0\x80\xc0\xaf\xf4\x90\x80\x80\xe2\x82\xac\xf0\x9f\x98\x80";
    int terminal = -1;
    int device = -1;
    ASSERT_EQ(openpty(&terminal, &device, nullptr, nullptr, nullptr), 0);
    termios raw{};
    tcgetattr(device, &raw);
    cfmakeraw(&raw);  // no line-end translation between catchel and this test
    tcsetattr(device, TCSANOW, &raw);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    struct row {
        int write_end;
        int read_end;
        std::string shown;
    };
    const std::string shown =
        "^[]0;owned^G A^MB^?\tC\xc3\xa9^A"
        "M-^[[31mM-i!M-BM-^[M-mM- M-^@M-@M-/M-tM-^PM-^@M-^@\xe2\x82\xac\xf0\x9f\x98\x80";
    for (const row& r : {row{device, terminal, shown}, row{ends[1], ends[0], payload}}) {
        child c = start(r.write_end);
        send(c, payload);
        std::string expected = record(1, sender.port, r.shown);
        expected.replace(expected.find(" sz ") + 4, std::to_string(r.shown.size()).size(),
                         std::to_string(payload.size()));
        EXPECT_EQ(read_until(r.read_end, expected), expected);
        kill(c.pid, SIGKILL);
        finish(c.pid);
    }
    for (int fd : {terminal, device, ends[0], ends[1]}) close(fd);
}

TEST_F(CatchelOutput, ClosedStandardOutputIsTheNullDeviceNotASocket) {
    child c = start(no_output);
    char target[PATH_MAX] = {};
    std::string link = "/proc/" + std::to_string(c.pid) + "/fd/1";
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/dev/null");
    send(c, "to nowhere");
    usleep(200000);
    EXPECT_EQ(waitpid(c.pid, nullptr, WNOHANG), 0) << "catchel ended";
    kill(c.pid, SIGKILL);
    finish(c.pid);
}

// Stopped, catchel reads nothing while a burst larger than its receive
// buffer arrives: the kernel drops the rest, after the last datagram it
// keeps, and catchel tells them when -w ends the run. Every datagram sent is
// either printed or counted among the drops, in -v's lines or in JSON.
TEST_F(CatchelOutput, KernelDropsAreToldByTheEndOfTheRun) {
    // catchel asks for 4 MiB, which the system caps at rmem_max and then
    // doubles for its bookkeeping: more than that many bytes must come.
    int asked = 4 << 20;
    if (std::FILE* limit = std::fopen("/proc/sys/net/core/rmem_max", "r")) {
        int cap = 0;
        if (std::fscanf(limit, "%d", &cap) == 1 && cap > 0) asked = std::min(asked, cap);
        std::fclose(limit);
    }
    const std::string data(1400, 'b');
    const int burst = 2 * asked / static_cast<int>(data.size()) + 1000;
    for (bool json : {false, true}) {
        SCOPED_TRACE(json ? "-json" : "-v");
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        child c = start(ends[1], false, {json ? "-json" : "-v", "-w", "1"});
        close(ends[1]);
        ASSERT_EQ(kill(c.pid, SIGSTOP), 0);
        for (int i = 0; i < burst; ++i) send(c, data);
        ASSERT_EQ(kill(c.pid, SIGCONT), 0);
        std::string out = read_until(ends[0], "no such text");
        finish(c.pid);
        close(ends[0]);
        long long told = 0;
        int records = 0;
        const std::string lead = json ? "\"dropped\":" : "kernel dropped ";
        for (std::size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
            std::string line = out.substr(at, end - at);
            std::size_t count = line.find(lead);
            // JSON counts all drops so far; each of -v's lines those since the last.
            if (count != std::string::npos) {
                long long n = std::stoll(line.substr(count + lead.size()));
                told = json ? std::max(told, n) : told + n;
            }
            records += line.rfind(json ? "{\"n\":" : "udp ", 0) == 0;
        }
        EXPECT_GT(told, 0);
        EXPECT_EQ(records + told, burst);
    }
}

// A reader of the pipe has each interval line while catchel still runs.
TEST_F(CatchelOutput, IntervalLinesReachAPipeAsTheyAreWritten) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    child c = start(ends[1], false, {"-i", "1", "-json", "-q"});
    close(ends[1]);
    send(c, "one");
    std::string out = read_until(ends[0], "}}\n");
    EXPECT_EQ(waitpid(c.pid, nullptr, WNOHANG), 0) << "catchel ended";
    kill(c.pid, SIGINT);
    finish(c.pid);
    close(ends[0]);
    json_object outer;
    json_object line;
    ASSERT_TRUE(parse_json_line(out.substr(0, out.find('\n')), &outer) &&
                parse_json_line(value_of(outer, "interval"), &line)) << out;
    std::int64_t end_us = 0;
    EXPECT_TRUE(parse_utc(value_of(line, "time"), &end_us)) << out;
}

// An endless prober ends at the interrupt with its summary: every datagram
// the peer counted is in it, the probe the peer never answered is lost, and
// those sent after the peer fell silent, still within their -reply time,
// are not.
TEST_F(CatchelOutput, EndlessProbesEndAtTheInterruptWithTheSummary) {
    echo_peer echo{&sender, {5}};
    std::thread echoing(&echo_peer::run, &echo);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    pid_t pid = spawn({PITCHEL_PATH, "-seq", "-n", "0", "-r", "500", "-reply", "1", "-q", "-json", "127.0.0.1",
                       std::to_string(sender.port), "hi"},
                      ends[1]);
    close(ends[1]);
    for (int waited = 0; waited < wait_ms && echo.received.load() < 600; waited += 10) usleep(10000);
    echo.answering.store(false);
    usleep(300000);
    kill(pid, SIGINT);
    std::string out = read_until(ends[0], "no such text");
    close(ends[0]);
    int status = finish(pid);
    usleep(100000);  // the last datagrams reach the peer
    echo.done.store(true);
    echoing.join();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << "wait status " << status;
    std::size_t split = out.find('\n');
    json_object sent;
    json_object outer;
    json_object responder;
    ASSERT_TRUE(parse_json_line(out.substr(0, split), &sent)) << out;
    ASSERT_TRUE(parse_json_line(out.substr(split + 1, out.find('\n', split + 1) - split - 1), &outer) &&
                parse_json_line(value_of(outer, "responder"), &responder)) << out;
    EXPECT_EQ(value_of(sent, "sent"), std::to_string(echo.received.load()));
    EXPECT_EQ(value_of(responder, "lost"), "1");
    EXPECT_LT(std::stoull(value_of(responder, "replies")), echo.received.load() - 1);
}
