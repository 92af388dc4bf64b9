// A scratch directory for one test, removed with everything in it afterwards.
#pragma once

#include <string>

namespace quorvellan::test {

class temp_dir {
   public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    const std::string& path() const
    {
        return path_;
    }
    std::string file(const std::string& name) const
    {
        return path_ + "/" + name;
    }

    // Writes contents (any bytes) to name inside the directory; returns its path.
    std::string write(const std::string& name, const std::string& contents) const;

   private:
    std::string path_;
};

}  // namespace quorvellan::test
