// A directory of its own for one test's files, made under GoogleTest's temporary directory and
// removed with everything in it when the object goes.
#pragma once

#include <sys/stat.h>

#include <string>

namespace e2e {

class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    // Empty when the directory could not be made.
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    // Writes bytes to the file name in the directory with this mode and returns its path; empty
    // when it could not.
    std::string write(const std::string &name, const std::string &bytes, mode_t mode = 0600) const;
    // The whole content of a file; empty when it cannot be read.
    static std::string read(const std::string &path);

private:
    std::string path_;
};

}  // namespace e2e
