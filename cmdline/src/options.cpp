#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "cmdline/cmdline.h"
#include "version.h"

namespace {

bool is_one_of(const char* arg, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        if (std::strcmp(arg, name) == 0) return true;
    }
    return false;
}

const cli_option* find_option(const char* arg, const cli_option* table, int count) {
    for (int i = 0; i < count; ++i) {
        if (std::strcmp(arg, table[i].name) == 0) return &table[i];
    }
    return nullptr;
}

// A byte's value is often written in hexadecimal ("-tos 0xb8"), as its bits matter.
bool is_byte_value(const cli_option* option) { return option->min >= 0 && option->max <= 255; }

// The digits after "0x", nothing else; false for none or a value beyond a byte's.
bool read_hex_byte(const char* digits, long long* number) {
    *number = 0;
    for (const char* at = digits; *at != '\0'; ++at) {
        int digit = std::isxdigit(static_cast<unsigned char>(*at)) == 0 ? -1
                    : *at <= '9'                                     ? *at - '0'
                                                                     : (std::tolower(*at) - 'a' + 10);
        if (digit < 0) return false;
        *number = *number * 16 + digit;
        if (*number > 255) return false;
    }
    return *digits != '\0';
}

// The whole text as a decimal number within the option's range, or for a
// byte a hexadecimal one after 0x.
bool read_number(const cli_option* option, const char* text, long long* number) {
    if (is_byte_value(option) && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        return read_hex_byte(text + 2, number) && *number >= option->min && *number <= option->max;
    }
    char* end = nullptr;
    errno = 0;
    *number = std::strtoll(text, &end, 10);
    return end != text && *end == '\0' && errno == 0 && *number >= option->min && *number <= option->max;
}

void print_option_line(std::FILE* out, const std::string& synopsis, const char* help) {
    std::fprintf(out, "  %-18s %s\n", synopsis.c_str(), help);
}

}  // namespace

int cli_read_options(int argc, char** argv, const cli_option* table, int count, cli_found* found,
                     cli_problem* problem) {
    for (int i = 0; i < count; ++i) found[i] = cli_found{false, nullptr, 0};
    int next = 1;
    while (next < argc) {
        const char* arg = argv[next];
        if (is_one_of(arg, {"-h", "-help", "--help"})) return CLI_HELP;
        if (is_one_of(arg, {"--version"})) return CLI_VERSION;
        const cli_option* option = find_option(arg, table, count);
        if (option == nullptr) break;
        cli_found* slot = &found[option - table];
        *slot = cli_found{true, arg, 0};
        ++next;
        if (option->value == cli_value::none) continue;
        *problem = cli_problem{option, next < argc ? argv[next] : nullptr};
        if (problem->value == nullptr) return CLI_PROBLEM;
        if (option->value == cli_value::number && !read_number(option, problem->value, &slot->number)) {
            return CLI_PROBLEM;
        }
        slot->text = argv[next++];
    }
    return next;
}

void cli_print_problem(std::FILE* out, const cli_problem* problem) {
    if (problem->needs != nullptr) {
        std::fprintf(out, "%s needs %s\n", problem->option->name, problem->needs);
    } else if (problem->value != nullptr) {
        std::fprintf(out, "invalid value %s for %s\n", problem->value, problem->option->name);
    } else if (!problem->option->bare_usage_when_missing) {
        std::fprintf(out, "missing value for %s\n", problem->option->name);
    }
}

void cli_print_options(std::FILE* out, const cli_option* table, int count) {
    for (int i = 0; i < count; ++i) {
        std::string synopsis = table[i].name;
        if (table[i].value_name != nullptr) synopsis += std::string(" ") + table[i].value_name;
        print_option_line(out, synopsis, table[i].help);
    }
    print_option_line(out, "-h, --help", "show this help");
    print_option_line(out, "--version", "show the program's name and version");
}

int cli_usage(std::FILE* out, const cli_program* program) {
    std::fputs(program->usage, out);
    return program->usage_status;
}

int cli_help_usage(std::FILE* out, const cli_program* program) {
    std::fputs(program->help_usage != nullptr ? program->help_usage : program->usage, out);
    return program->usage_status;
}

int cli_answer_problem(std::FILE* out, const cli_program* program, const cli_problem* problem) {
    cli_print_problem(out, problem);
    return cli_usage(out, program);
}

int cli_read_command_line(int argc, char** argv, const cli_program* program, cli_found* found, std::FILE* out,
                          int* status) {
    cli_problem problem{};
    int next = cli_read_options(argc, argv, program->options, program->option_count, found, &problem);
    if (next > 0) return next;
    *status = 0;
    if (next == CLI_HELP) {
        cli_help_usage(out, program);
        cli_print_options(out, program->options, program->option_count);
    } else if (next == CLI_VERSION) {
        std::fprintf(out, "%s %s\n", program->name, project_version);
    } else {
        *status = cli_answer_problem(out, program, &problem);
    }
    return 0;
}
