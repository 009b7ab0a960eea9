// Running the kojelly tool for the end-to-end tests; see cli_run.hpp.
#include "cli_run.hpp"

namespace e2e {

RunResult kojelly(std::vector<std::string> args, Env env, std::string input) {
    RunRequest run;
    run.program = KOJELLY_CLI_PATH;
    run.args = std::move(args);
    run.env = std::move(env);
    run.input = std::move(input);
    return run_child(run);
}

std::string show(const RunResult &r) {
    return "exit " + std::to_string(r.status) + (r.timed_out ? " (timed out)" : "") +
           "\n--- stdout\n" + r.out + "\n--- stderr\n" + r.err;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return lines;
}

}  // namespace e2e
