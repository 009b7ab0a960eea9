// A program that runs beside a test while the test does other things: a server the tool is
// pointed at (the tool's own demo server, a TLS server). Its standard output and standard error
// arrive in one pipe, read when the test waits for a text; it is stopped with SIGTERM (SIGKILL
// if it does not end soon) when the object goes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

class BackgroundChild {
public:
    // Starts program (a path) with args and, besides this process's environment, env.
    BackgroundChild(const std::string &program, const std::vector<std::string> &args,
                    const std::vector<std::pair<std::string, std::string>> &env = {});
    ~BackgroundChild();
    BackgroundChild(const BackgroundChild &) = delete;
    BackgroundChild &operator=(const BackgroundChild &) = delete;

    // Reads the child's output until it holds text; false when the child ends, or the time runs
    // out, first.
    bool wait_for(const std::string &text, std::chrono::milliseconds within);
    // Reads the child's output until the regular expression pattern matches it, and returns
    // what its first group matched; empty when the child ends, or the time runs out, first.
    std::string wait_for_match(const std::string &pattern, std::chrono::milliseconds within);
    // What the child has written so far, as far as it has been read.
    const std::string &output() const { return output_; }
    // Why it could not be started; empty when it was.
    const std::string &error() const { return error_; }

private:
    bool read_until(const std::function<bool(const std::string &)> &done,
                    std::chrono::milliseconds within);

    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_;
    std::string error_;
};

// The program called name in a folder of PATH; empty when there is none.
std::string find_program(const std::string &name);

}  // namespace e2e
