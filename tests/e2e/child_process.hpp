// Runs a program as a child process for the end-to-end tests: arguments, extra environment
// variables and standard input given, standard output, standard error and the exit status
// collected, and a deadline after which the child is killed so that a hung run fails the test
// instead of the whole suite.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

struct RunResult {
    int status = -1;  // the exit status; 128 + signal for a child killed by one
    bool timed_out = false;
    std::string out;
    std::string err;
};

struct RunRequest {
    std::string program;
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> env;  // added to (or replacing) ours
    std::string input;                                     // standard input, then end of file
    // When not empty: the child gets SIGTERM as soon as its standard output holds this text, as
    // a user stops a server once it is up.
    std::string terminate_after;
    std::chrono::milliseconds deadline{60000};
};

RunResult run_child(const RunRequest &run);

}  // namespace e2e
