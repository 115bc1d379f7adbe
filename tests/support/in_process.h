// Runs a program's run function in this process, as its main would, with
// its output captured.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

struct in_process_result {
    int status;
    std::string out;
};

// All that was written to `file` from its start.
inline std::string read_back(std::FILE* file) {
    std::rewind(file);
    std::string text;
    for (int c; (c = std::fgetc(file)) != EOF;) text.push_back(static_cast<char>(c));
    return text;
}

// `run(argc, argv, out)` with `name` before `args`; whatever it writes to `out`.
template <typename Run>
in_process_result run_in_process(const char* name, std::vector<std::string> args, Run run) {
    args.insert(args.begin(), name);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::FILE* out = std::tmpfile();
    int status = run(static_cast<int>(args.size()), argv.data(), out);
    std::string text = read_back(out);
    std::fclose(out);
    return {status, text};
}
