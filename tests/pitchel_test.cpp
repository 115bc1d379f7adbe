// pitchel as a user runs it: its exact output, its exit status, and the
// bytes a plain socket receives from it.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "plain_udp.h"
#include "process.h"
#include "wine.h"

namespace {

const std::string usage =
    "Usage: pitchel [-bind <ip>] <host/ip> <port> <msg>\n"
    "       pitchel [-bind <ip>] <host/ip> <port> -f <file>\n";

process_output pitchel(const std::vector<std::string>& args) { return run_program(PITCHEL_PATH, args); }

void expect_output(const process_output& r, const std::string& out, int status) {
    EXPECT_EQ(r.out, text_output(out));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, exit_status(status));
}

std::filesystem::path temp_file(const std::string& name, const std::string& contents) {
    std::filesystem::path path = std::filesystem::temp_directory_path() / name;
    std::ofstream(path, std::ios::binary) << contents;
    return path;
}

// Windows binds the address asked for; wine binds every local address and
// only reports the one asked for.
const char* const wine_binds_any = "wine binds UDP sockets to 0.0.0.0 whatever address is asked: wine ";

class PitchelSends : public testing::Test {
protected:
    void SetUp() override { peer = plain_udp_open(); }
    void TearDown() override { plain_udp_close(&peer); }
    std::string port() const { return std::to_string(peer.port); }
    std::string received() {
        std::string data;
        EXPECT_TRUE(plain_udp_receive(&peer, &data, 5000)) << "no datagram arrived";
        return data;
    }
    void expect_nothing_sent() {
        std::string data;
        EXPECT_FALSE(plain_udp_receive(&peer, &data, 200)) << "a datagram arrived";
    }
    plain_udp peer{};
};

}  // namespace

TEST(PitchelUsage, TooFewArgumentsPrintUsage) {
    expect_output(pitchel({}), usage, 1);
    expect_output(pitchel({"127.0.0.1", "9"}), usage, 1);
}

TEST(PitchelUsage, BindWithoutEverythingAfterItPrintsUsage) {
    expect_output(pitchel({"-bind", "127.0.0.1", "127.0.0.1"}), usage, 1);
    expect_output(pitchel({"-bind", "127.0.0.1", "127.0.0.1", "9"}), usage, 1);
}

TEST(PitchelUsage, FileOptionWithoutANamePrintsUsage) {
    expect_output(pitchel({"127.0.0.1", "9", "-f"}), usage, 1);
}

TEST(PitchelFailures, AddressesThatDoNotResolve) {
    expect_output(pitchel({"0.0.0.0", "9", "hi"}), "invalid host/ip 0.0.0.0\n", -2);
    expect_output(pitchel({"-bind", "0.0.0.0", "127.0.0.1", "9", "hi"}), "invalid host/ip 0.0.0.0\n", -2);
}

TEST(PitchelFailures, ImpossiblePorts) {
    struct row {
        const char* port;
        const char* shown;
    };
    for (row r : {row{"0", "0"}, {"-5", "-5"}, {"65536", "65536"}, {"abc", "0"}, {"", "0"},
                  {"99999999999", "2147483647"}, {"-99999999999", "-2147483648"}}) {
        SCOPED_TRACE(r.port);
        expect_output(pitchel({"127.0.0.1", r.port, "hi"}), std::string("impossible port ") + r.shown + "\n", 1);
    }
}

TEST(PitchelFailures, BindToAnAddressThatIsNotLocal) {
    if (const char* wine = wine_version()) GTEST_SKIP() << wine_binds_any << wine;
    expect_output(pitchel({"-bind", "192.0.2.1", "127.0.0.1", "9", "hi"}), "cannot initialize socket err -2\n", -1);
}

// -v adds the C library's reason.
TEST(PitchelFailures, FileThatIsMissing) {
    expect_output(pitchel({"127.0.0.1", "9", "-f", "no/such/file"}), "file 'no/such/file' not found\n", 1);
    expect_output(pitchel({"-v", "127.0.0.1", "9", "-f", "no/such/file"}),
                  "file 'no/such/file' not found\nreason: " + std::string(std::strerror(ENOENT)) + " (" +
                      std::to_string(ENOENT) + ")\n",
                  1);
}

TEST(PitchelFailures, FileThatOpensButCannotBeRead) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows opens no directory as a file: pitchel reports one as not found";
#endif
    std::string dir = std::filesystem::temp_directory_path().string();
    expect_output(pitchel({"127.0.0.1", "9", "-f", dir}), "cannot read file '" + dir + "'\n", 1);
    expect_output(pitchel({"-v", "127.0.0.1", "9", "-f", dir}),
                  "cannot read file '" + dir + "'\nreason: " + std::strerror(EISDIR) + " (" + std::to_string(EISDIR) +
                      ")\n",
                  1);
}

TEST_F(PitchelSends, MessageTravelsWithItsZeroByte) {
    expect_output(pitchel({"127.0.0.1", port(), "hello"}), "", 0);
    EXPECT_EQ(received(), std::string("hello\0", 6));
}

TEST_F(PitchelSends, MessageWithBlanksIsOneArgument) {
    expect_output(pitchel({"localhost", port(), "two words", "ignored"}), "", 0);
    EXPECT_EQ(received(), std::string("two words\0", 10));
}

TEST_F(PitchelSends, PortReadsItsLeadingNumber) {
    expect_output(pitchel({"127.0.0.1", port() + "x", "hi"}), "", 0);
    EXPECT_EQ(received(), std::string("hi\0", 3));
}

TEST_F(PitchelSends, BoundSenderSendsFromItsAddress) {
    if (const char* wine = wine_version()) GTEST_SKIP() << wine_binds_any << wine;
    expect_output(pitchel({"-bind", "127.0.0.2", "127.0.0.1", port(), "hi"}), "", 0);
    std::string data;
    std::uint16_t from_port = 0;
    std::uint32_t from_ip = 0;
    ASSERT_TRUE(plain_udp_receive(&peer, &data, 5000, &from_port, &from_ip));
    EXPECT_EQ(from_ip, 0x7f000002u);
    EXPECT_NE(from_port, 0);
}

TEST_F(PitchelSends, EmptyFileIsAnEmptyDatagram) {
    std::filesystem::path file = temp_file("pitchel-empty-" + port(), "");
    expect_output(pitchel({"127.0.0.1", port(), "-f", file.string()}), "", 0);
    EXPECT_EQ(received(), "");
    std::filesystem::remove(file);
}

TEST_F(PitchelSends, LongFileIsCutToItsFirst9999Bytes) {
    std::string contents;
    for (int i = 0; i < 12000; ++i) contents.push_back(static_cast<char>(i * 7 % 256));
    std::filesystem::path file = temp_file("pitchel-long-" + port(), contents);
    expect_output(pitchel({"127.0.0.1", port(), "-f", file.string()}), "", 0);
    EXPECT_EQ(received(), contents.substr(0, 9999));
    expect_nothing_sent();
    std::filesystem::remove(file);
}

TEST_F(PitchelSends, FileTravelsExactlyAsStored) {
    std::string contents("a\0b\r\n\xff", 6);
    std::filesystem::path file = temp_file("pitchel-raw-" + port(), contents);
    expect_output(pitchel({"127.0.0.1", port(), "-f", file.string()}), "", 0);
    EXPECT_EQ(received(), contents);
    std::filesystem::remove(file);
}

TEST(PitchelNobodyListens, SendStillSucceeds) {
    expect_output(pitchel({"127.0.0.1", std::to_string(plain_free_port()), "hi"}), "", 0);
}

TEST(PitchelSendsIpv6, EveryFormOfTheAddressReachesThePeer) {
    plain_udp peer = plain_udp_open_ipv6();
    std::string port = std::to_string(peer.port);
    for (const std::vector<std::string>& args : {std::vector<std::string>{"::1", port, "hello"},
                                                 {"[::1]", port, "hello"},
                                                 {"-bind", "::1", "0:0::1", port, "hello"}}) {
        SCOPED_TRACE(args[0]);
        expect_output(pitchel(args), "", 0);
        std::string data;
        EXPECT_TRUE(plain_udp_receive(&peer, &data, 5000)) << "no datagram arrived";
        EXPECT_EQ(data, std::string("hello\0", 6));
    }
    plain_udp_close(&peer);
}
