// The check lines and the verdict, as text or as JSON objects.
#include <algorithm>

#include "words.h"

namespace {

const char* status_word(diag_status status) {
    switch (status) {
        case diag_status::ok: return "ok";
        case diag_status::problem: return "problem";
        case diag_status::unknown: break;
    }
    return "unknown";
}

std::string json_text(const std::string& text) {
    std::string quoted(1, '"');
    for (char c : text) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

std::vector<const diag_check*> problems_first(const std::vector<diag_check>& checks) {
    std::vector<const diag_check*> problems;
    for (const diag_check& check : checks) {
        if (check.status == diag_status::problem) problems.push_back(&check);
    }
    std::stable_sort(problems.begin(), problems.end(),
                     [](const diag_check* a, const diag_check* b) { return a->rank < b->rank; });
    return problems;
}

}  // namespace

diag_check diag_verdict(const std::vector<diag_check>& checks, const char* healthy) {
    std::vector<const diag_check*> problems = problems_first(checks);
    if (!problems.empty()) {
        std::string also;
        for (std::size_t i = 1; i < problems.size(); ++i) {
            if (i > 1) also += ", ";
            also += problems[i]->name;
        }
        std::string sentence = std::string(problems[0]->name) + ": " + problems[0]->sentence;
        if (!also.empty()) sentence += "; also: " + also;
        return diag_check{"verdict", diag_status::problem, problems[0]->rank, sentence};
    }
    if (healthy != nullptr) return diag_check{"verdict", diag_status::ok, diag_rank::facts, healthy};
    bool unknowns = std::any_of(checks.begin(), checks.end(),
                                [](const diag_check& c) { return c.status == diag_status::unknown; });
    return diag_check{"verdict", diag_status::unknown, diag_rank::facts,
                      std::string("nothing arrived and no check found why: is the sender sending (pitchel -why)?") +
                          (unknowns ? " The unknown checks above may tell more." : "")};
}

std::string diag_line(const diag_check* check, bool json) {
    if (!json) return std::string(check->name) + " " + status_word(check->status) + " " + check->sentence + "\n";
    return "{\"check\":" + json_text(check->name) + ",\"status\":" + json_text(status_word(check->status)) +
           ",\"text\":" + json_text(check->sentence) + "}\n";
}

std::string diag_verdict_line(const diag_check* verdict, const std::vector<diag_check>& checks, bool json) {
    if (!json) return diag_line(verdict, false);
    std::string causes;
    for (const diag_check* problem : problems_first(checks)) {
        if (!causes.empty()) causes += ",";
        causes += json_text(problem->name);
    }
    return "{\"verdict\":" + json_text(status_word(verdict->status)) + ",\"causes\":[" + causes +
           "],\"text\":" + json_text(verdict->sentence) + "}\n";
}
