// Running the kojelly tool for the end-to-end tests; see cli_run.hpp.
#include "cli_run.hpp"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace e2e {

RunResult kojelly(std::vector<std::string> args, Env env, std::string input) {
    RunRequest run;
    run.program = KOJELLY_CLI_PATH;
    run.args = std::move(args);
    run.env = std::move(env);
    run.input = std::move(input);
    return run_child(run);
}

int closed_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

std::string show(const RunResult &r) {
    return "exit " + std::to_string(r.status) + (r.timed_out ? " (timed out)" : "") +
           "\n--- stdout\n" + r.out + "\n--- stderr\n" + r.err;
}

Doc parse(std::string_view text) {
    return json_doc::read(text);
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
