// The kojelly tool as the end-to-end tests run it: the binary built beside them, started as a
// child process with arguments, extra environment and standard input; and the small readers of
// its output that several tests share.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "child_process.hpp"

namespace e2e {

using Env = std::vector<std::pair<std::string, std::string>>;

RunResult kojelly(std::vector<std::string> args, Env env = {}, std::string input = {});

// The exit status, standard output and standard error of a run, for a failure message.
std::string show(const RunResult &r);

// The lines of a text, without their line ends; a final line end adds no empty line.
std::vector<std::string> lines_of(const std::string &text);

}  // namespace e2e
