// The option reader both programs share, and each program's command line
// read through it: every rule, one table per program.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>
#include <vector>

#include "catchel.h"
#include "cmdline/cmdline.h"
#include "fault.h"
#include "in_process.h"
#include "pitchel.h"
#include "plain_udp.h"

namespace {

using argument_list = std::vector<std::string>;

in_process_result pitchel(const argument_list& args) { return run_in_process("pitchel", args, [](int argc, char** argv, std::FILE* out) {
        return pitchel_run(argc, argv, out, nullptr);
    }); }

in_process_result catchel(const argument_list& args) {
    static std::atomic<int> stop{1};  // should it get as far as its loop, it ends at once
    return run_in_process("catchel", args, [](int argc, char** argv, std::FILE* out) {
        return catchel_run(argc, argv, out, &stop);
    });
}

const cli_option test_options[] = {
    {"-a", cli_value::none, nullptr, 0, 0, "a flag", false},
    {"-t", cli_value::text, "<text>", 0, 0, "some text", false},
    {"-n", cli_value::number, "<n>", -3, 300, "a number", false},
    {"-q", cli_value::text, "<text>", 0, 0, "quiet when missing", true},
    {"-o", cli_value::number, "<byte>", 0, 255, "a byte", false},
};
constexpr int test_option_count = 5;

const std::string help_usage_re = "(Usage: [^\n]*\n( {7}[^\n]*\n)+)(  -[^\n]*\n)+";

struct command_line {
    argument_list args;
    std::string out;  // exact, or a pattern after a leading '^'
    int status;
};

void expect_results(const std::vector<command_line>& rows, in_process_result (*run)(const argument_list&)) {
    for (const command_line& r : rows) {
        std::string trace;
        for (const std::string& a : r.args) trace += a + " ";
        SCOPED_TRACE(trace);
        in_process_result got = run(r.args);
        if (r.out[0] == '^') {
            EXPECT_TRUE(std::regex_match(got.out, std::regex(r.out.substr(1)))) << got.out;
        } else {
            EXPECT_EQ(got.out, r.out);
        }
        EXPECT_EQ(got.status, r.status);
    }
}

}  // namespace

TEST(OptionReader, EveryRule) {
    struct row {
        argument_list args;
        int result;                  // the first positional index, or a CLI_ result
        std::vector<std::string> values;  // per option: "" absent, else the text found
        long long number;            // -n's or -o's value when found
        std::string problem;         // cli_print_problem's line
    };
    const row rows[] = {
        {{}, 1, {"", "", "", ""}, 0, ""},
        {{"x", "-a"}, 1, {"", "", "", ""}, 0, ""},                              // stops at the first positional
        {{"-a", "-t", "hi", "x"}, 4, {"-a", "hi", "", ""}, 0, ""},
        {{"-t", "one", "-a", "-t", "two"}, 6, {"-a", "two", "", ""}, 0, ""},   // any order; the last one counts
        {{"-t", "-a"}, 3, {"", "-a", "", ""}, 0, ""},                          // a value may look like an option
        {{"-n", "-3", "-7"}, 3, {"", "", "-3", ""}, -3, ""},                   // range ends count; -7 is positional
        {{"-n", "300"}, 3, {"", "", "300", ""}, 300, ""},
        {{"-b"}, 1, {"", "", "", ""}, 0, ""},                                   // unknown: positional
        {{"-n", "301"}, CLI_PROBLEM, {}, 0, "invalid value 301 for -n\n"},
        {{"-n", "-4"}, CLI_PROBLEM, {}, 0, "invalid value -4 for -n\n"},
        {{"-n", "12x"}, CLI_PROBLEM, {}, 0, "invalid value 12x for -n\n"},
        {{"-n", ""}, CLI_PROBLEM, {}, 0, "invalid value  for -n\n"},
        {{"-n", "99999999999999999999"}, CLI_PROBLEM, {}, 0, "invalid value 99999999999999999999 for -n\n"},
        {{"-o", "0xb8"}, 3, {"", "", "", "", "0xb8"}, 184, ""},               // a byte in hexadecimal too
        {{"-o", "0XfF"}, 3, {"", "", "", "", "0XfF"}, 255, ""},
        {{"-o", "0x100"}, CLI_PROBLEM, {}, 0, "invalid value 0x100 for -o\n"},
        {{"-o", "0x"}, CLI_PROBLEM, {}, 0, "invalid value 0x for -o\n"},
        {{"-o", "0x-1"}, CLI_PROBLEM, {}, 0, "invalid value 0x-1 for -o\n"},
        {{"-o", "0x0x5"}, CLI_PROBLEM, {}, 0, "invalid value 0x0x5 for -o\n"},
        {{"-n", "0x10"}, CLI_PROBLEM, {}, 0, "invalid value 0x10 for -n\n"},  // not a byte: decimal alone
        {{"-a", "-t"}, CLI_PROBLEM, {}, 0, "missing value for -t\n"},
        {{"-q"}, CLI_PROBLEM, {}, 0, ""},
        {{"-a", "--help", "-n", "1000"}, CLI_HELP, {}, 0, ""},
        {{"-h"}, CLI_HELP, {}, 0, ""},
        {{"-help"}, CLI_HELP, {}, 0, ""},
        {{"--version", "-h"}, CLI_VERSION, {}, 0, ""},
        {{"x", "--help"}, 1, {"", "", "", ""}, 0, ""},
    };
    for (const row& r : rows) {
        std::string trace;
        for (const std::string& a : r.args) trace += a + " ";
        SCOPED_TRACE(trace);
        argument_list args = r.args;
        args.insert(args.begin(), "program");
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        cli_found found[test_option_count];
        cli_problem problem{};
        int result = cli_read_options(static_cast<int>(argv.size()), argv.data(), test_options, test_option_count,
                                      found, &problem);
        EXPECT_EQ(result, r.result);
        for (std::size_t i = 0; i < r.values.size(); ++i) {
            EXPECT_EQ(found[i].given, !r.values[i].empty()) << test_options[i].name;
            if (found[i].given) {
                EXPECT_STREQ(found[i].text, r.values[i].c_str()) << test_options[i].name;
            }
        }
        for (int numbered : {2, 4}) {
            if (!r.values.empty() && found[numbered].given) {
                EXPECT_EQ(found[numbered].number, r.number);
            }
        }
        if (result == CLI_PROBLEM) {
            in_process_result printed = run_in_process("program", {}, [&problem](int, char**, std::FILE* out) {
                cli_print_problem(out, &problem);
                return 0;
            });
            EXPECT_EQ(printed.out, r.problem);
        }
    }
}

TEST(OptionReader, HelpListsEveryOptionOnALineOfItsOwn) {
    in_process_result printed = run_in_process("program", {}, [](int, char**, std::FILE* out) {
        cli_print_options(out, test_options, test_option_count);
        return 0;
    });
    for (const char* line : {"  -a ", "  -t <text> ", "  -n <n> ", "  -q <text> ", "  -h, --help ", "  --version "}) {
        EXPECT_NE(("\n" + printed.out).find(std::string("\n") + line), std::string::npos) << line;
    }
}

using ProgramOptions = balanced_test;

TEST_F(ProgramOptions, PitchelCommandLines) {
    const std::string usage =
        "Usage: pitchel [-bind <ip>] <host/ip> <port> <msg>\n"
        "       pitchel [-bind <ip>] <host/ip> <port> -f <file>\n";
    expect_results({
        {{}, usage, 1},
        {{"-bind"}, usage, 1},
        {{"-bind", "127.0.0.1"}, usage, 1},
        {{"-bind", "127.0.0.1", "127.0.0.1", "9"}, usage, 1},
        {{"-pcap", "a.pcap", "127.0.0.1"}, usage + "       pitchel [options] -pcap <file> <host/ip> <port>\n", 1},
        {{"-bind", "0.0.0.0", "127.0.0.1", "9", "hi"}, "invalid host/ip 0.0.0.0\n", -2},
        {{"--help"}, "^" + help_usage_re, 0},
        {{"-h", "127.0.0.1", "9", "hi"}, "^" + help_usage_re, 0},
        {{"-h"}, "^Usage: [^\n]*\n[^\n]*\n {7}pitchel \\[options\\] -pcap <file> <host/ip> <port>\n(  -[^\n]*\n)+", 0},
        {{"-help"}, "^" + help_usage_re, 0},
        {{"--version"}, "^pitchel [0-9]+\\.[0-9]+\\.[0-9]+\n", 0},
        {{"-7", "9", "hi"}, "invalid host/ip -7\n", -2},
        {{"-bind", "127.0.0.1", "::1", "9", "hi"}, "-bind 127.0.0.1 and ::1 are of different address families\n", -2},
        {{"-bind", "[::1]", "127.0.0.1", "9", "hi"}, "-bind [::1] and 127.0.0.1 are of different address families\n", -2},
        {{"-broadcast", "::1", "9", "hi"}, "-broadcast needs an IPv4 destination\n" + usage, 1},
        {{"-if", "no-such-if", "ff15::1", "9", "hi"}, "invalid interface no-such-if\n", -2}},
        pitchel);
    EXPECT_EQ(fault_count(fault_op::sendto), 0);
}

TEST_F(ProgramOptions, PitchelSendsWhatFollowsItsPositionalsAsTheyAre) {
    plain_udp peer = plain_udp_open();
    for (const char* message : {"-x", "--help", "-bind"}) {
        SCOPED_TRACE(message);
        EXPECT_EQ(pitchel({"127.0.0.1", std::to_string(peer.port), message}).status, 0);
        std::string got;
        ASSERT_TRUE(plain_udp_receive(&peer, &got, 5000));
        EXPECT_EQ(got, std::string(message) + '\0');
    }
    plain_udp_close(&peer);
}

TEST_F(ProgramOptions, CatchelCommandLines) {
    const std::string usage =
        "Usage: catchel [-bind <ip>] <port>\n"
        "       catchel [-bind <ip>] <multicast ip> <port>\n";
    expect_results({
        {{}, usage, -2},
        {{"-bind"}, usage, -2},
        {{"-bind", "127.0.0.1"}, usage, -2},
        {{"-7"}, "impossible port -7\n", 1},
        {{"-bind", "127.0.0.1", "-7"}, "impossible port -7\n", 1},
        {{"9", "--help"}, "impossible port 0\n", 1},
        {{"--help"}, "^" + help_usage_re, 0},
        {{"-h", "9"}, "^" + help_usage_re, 0},
        {{"-bind", "127.0.0.1", "-help"}, "^" + help_usage_re, 0},
        {{"--version"}, "^catchel [0-9]+\\.[0-9]+\\.[0-9]+\n", 0},
        {{"-6", "239.1.1.1", "9"}, "-6 needs an IPv6 group\n" + usage, -2},
        {{"-6", "-bind", "127.0.0.1", "9"}, "-6 needs an IPv6 -bind\n" + usage, -2},
        {{"-bind", "127.0.0.1", "ff15::1", "9"}, "-bind 127.0.0.1 and ff15::1 are of different address families\n", -2},
        {{"-if", "1", "-source", "10.9.0.1", "ff35::1:7", "9"},
         "-source 10.9.0.1 and ff35::1:7 are of different address families\n", -2},
        {{"-source", "fd00::1", "239.1.1.1", "9"}, "-source fd00::1 and 239.1.1.1 are of different address families\n",
         -2},
        {{"-if", "4294967297", "239.1.1.1", "9"}, "invalid interface 4294967297\n", -2},
        {{"-if", "no-such-if", "ff15::1", "9"}, "invalid interface no-such-if\n", -2}},
        catchel);
    EXPECT_EQ(fault_count(fault_op::socket), 0);
}
