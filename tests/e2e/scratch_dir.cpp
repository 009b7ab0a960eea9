// Scratch directories for the end-to-end tests; see scratch_dir.hpp.
#include "scratch_dir.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace e2e {

ScratchDir::ScratchDir() {
    std::string pattern = ::testing::TempDir() + "kojelly_XXXXXX";
    std::vector<char> text(pattern.begin(), pattern.end());
    text.push_back('\0');
    if (mkdtemp(text.data())) path_ = text.data();
}

ScratchDir::~ScratchDir() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string ScratchDir::write(const std::string &name, const std::string &bytes,
                              mode_t mode) const {
    const std::string target = file(name);
    {
        std::ofstream out(target, std::ios::binary | std::ios::trunc);
        out << bytes;
        if (!out.flush()) return {};
    }
    return chmod(target.c_str(), mode) == 0 ? target : std::string();
}

std::string ScratchDir::read(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace e2e
