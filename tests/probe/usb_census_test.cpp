#include "probe/usb_census.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace quorvellan {
namespace {

using test::temp_dir;

enum class kind { file, directory, link };

struct entry {
    std::string name;
    kind type;
};

TEST(CountUsbDevices, CountsDeviceNamesOnly)
{
    struct {
        const char* what;
        std::vector<entry> entries;
        std::int32_t expected;
    } cases[] = {
        {"empty directory", {}, 0},
        {"root hubs, devices and interfaces",
         {{"usb1", kind::link},
          {"1-0:1.0", kind::link},
          {"1-1", kind::link},
          {"1-1:1.0", kind::link},
          {"1-1.3", kind::link},
          {"1-1.3:1.0", kind::link}},
         2},
        {"a trailing hyphen counts, no hyphen does not",
         {{"7-", kind::file}, {"12", kind::file}},
         1},
        {"entry type is not consulted",
         {{"1-1", kind::file}, {"1-2", kind::directory}, {"2-1.4.3", kind::link}},
         3},
        {"first byte must be a digit",
         {{"a1-1", kind::file}, {"-1", kind::file}, {" 1-1", kind::file}},
         0},
        {"a colon anywhere excludes", {{"1-1:", kind::file}, {"1:-1", kind::file}}, 0},
    };
    for (const auto& c : cases) {
        temp_dir dir;
        for (const auto& e : c.entries) {
            const std::string path = dir.file(e.name);
            if (e.type == kind::file) {
                dir.write(e.name, "");
            } else if (e.type == kind::directory) {
                ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
            } else {
                ASSERT_EQ(symlink("../../devices/platform/usb", path.c_str()), 0);
            }
        }
        EXPECT_EQ(count_usb_devices(dir.path().c_str()), c.expected) << c.what;
    }
}

TEST(CountUsbDevices, MissingDirectoryCountsZero)
{
    temp_dir dir;
    EXPECT_EQ(count_usb_devices(dir.file("absent").c_str()), 0);
    EXPECT_EQ(count_usb_devices(dir.write("1-1", "").c_str()), 0);  // not a directory
}

}  // namespace
}  // namespace quorvellan
