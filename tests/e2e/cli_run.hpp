// The kojelly tool as the end-to-end tests run it: the binary built beside them, started as a
// child process with arguments, extra environment and standard input; and the small readers of
// its output that several tests share.
#pragma once

#include <yyjson.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../support/json_doc.hpp"

#include "child_process.hpp"

namespace e2e {

using Env = std::vector<std::pair<std::string, std::string>>;

RunResult kojelly(std::vector<std::string> args, Env env = {}, std::string input = {});

// The tool's exit statuses as `kojelly --help` documents them: a test states what a user reads
// there, not what the tool's code says.
namespace exits {
constexpr int kExitTool = 1;
constexpr int kExitUsage = 2;
constexpr int kExitProbe = 3;
constexpr int kExitNoPlayer = 4;
constexpr int kExitPlayer = 5;
constexpr int kExitAuth = 11;
constexpr int kExitNotFound = 12;
constexpr int kExitThrottled = 13;
constexpr int kExitTransport = 14;
constexpr int kExitFail = 15;
constexpr int kExitInvalid = 18;
}  // namespace exits

// A port on 127.0.0.1 with nobody listening: bound once to learn a free number, then closed.
int closed_port();

// The exit status, standard output and standard error of a run, for a failure message.
std::string show(const RunResult &r);

using Doc = json_doc::Doc;

// A text the tool or a server printed, read as JSON; null when it is not JSON.
Doc parse(std::string_view text);

// The lines of a text, without their line ends; a final line end adds no empty line.
std::vector<std::string> lines_of(const std::string &text);

}  // namespace e2e
