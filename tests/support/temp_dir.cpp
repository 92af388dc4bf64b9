#include "support/temp_dir.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>

namespace quorvellan::test {

temp_dir::temp_dir()
{
    char pattern[] = "/tmp/quorvellan-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

temp_dir::~temp_dir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string temp_dir::write(const std::string& name, const std::string& contents) const
{
    const std::string full = file(name);
    std::FILE* f = std::fopen(full.c_str(), "wb");
    const bool written =
        f != nullptr && std::fwrite(contents.data(), 1, contents.size(), f) == contents.size();
    if (f != nullptr && std::fclose(f) != 0) {
        throw std::runtime_error("cannot close " + full);
    }
    if (!written) {
        throw std::runtime_error("cannot write " + full);
    }
    return full;
}

}  // namespace quorvellan::test
