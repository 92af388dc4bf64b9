// Reading a file whole (a sysfs attribute, a rules file), writing one of
// ours, and writing one sysfs attribute, with the errno kept: what failed decides the one line a
// person reads (not loaded, not permitted).
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace quorvellan::discover {

// The file's whole text into text; 0 or the errno.
int read_text_file(const std::string& path, std::string& text);

// Writes a file of ours whole, made if need be (mode 0600); 0 or the errno.
int write_text_file(const std::string& path, std::string_view text);

// Writes text to the attribute at path in one write, as the kernel wants
// it; 0 or the errno.
int write_attribute(const std::string& path, std::string_view text);

// One line for a file or attribute that could not be used: "not permitted
// to use PATH: attaching USB devices takes root" when it was denied, else
// "PATH: " and why.
std::string file_failure(int error, const std::string& path);

// Where a unit writes attributes: write_attribute, or a test's list of calls.
using attribute_writer = std::function<int(const std::string& path, std::string_view text)>;

}  // namespace quorvellan::discover
