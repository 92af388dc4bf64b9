#include "probe/identity.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>

#include "support/temp_dir.h"

namespace quorvellan {
namespace {

using test::temp_dir;

// File contents for one probe run; nullopt leaves the file absent.
struct device_files {
    std::optional<std::string> name;
    std::optional<std::string> hostname;
    std::optional<std::string> version;
    std::optional<std::string> mac;
    std::optional<std::string> mac_fallback;
};

announcement probe(const device_files& files)
{
    temp_dir dir;
    auto place = [&](const char* file, const std::optional<std::string>& contents) {
        return contents ? dir.write(file, *contents) : dir.file(file);
    };
    const std::string name = place("name", files.name);
    const std::string hostname = place("hostname", files.hostname);
    const std::string version = place("version", files.version);
    const std::string mac = place("mac", files.mac);
    const std::string mac_fallback = place("mac_fallback", files.mac_fallback);
    const identity_paths paths{name.c_str(), hostname.c_str(), version.c_str(), mac.c_str(),
                               mac_fallback.c_str()};
    announcement facts;
    std::memset(&facts, 'Z', sizeof facts);  // every field must be written anew
    read_identity(facts, paths);
    return facts;
}

TEST(ReadIdentity, Name)
{
    struct {
        std::optional<std::string> file;
        std::string expected;
    } cases[] = {
        {std::nullopt, "Quorvellan Link"},
        {"", "Quorvellan Link"},
        {"\n", "Quorvellan Link"},
        {"\r\n", "Quorvellan Link"},
        {"\nKitchen\n", "Quorvellan Link"},
        {"Kitchen\n", "Kitchen"},
        {"Kitchen", "Kitchen"},
        {"Kitchen\rrest\n", "Kitchen"},
        {"Kitchen\r\n", "Kitchen"},
        {"first\nsecond\n", "first"},
        {std::string(100, 'n') + "\n", std::string(63, 'n')},
        {"caf\xC3\xA9 \"x\"\t\n", "caf\xC3\xA9 \"x\"\t"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(std::string(probe({c.file, {}, {}, {}, {}}).name), c.expected)
            << (c.file ? *c.file : "(missing)");
    }
}

TEST(ReadIdentity, HostName)
{
    struct {
        std::optional<std::string> file;
        std::string expected;
    } cases[] = {
        {std::nullopt, "quorvellan"},
        {"\n", "quorvellan"},
        {"gateway\n", "gateway"},
        {"gate\rway\n", "gate"},
        {std::string(64, 'h') + "\n", std::string(63, 'h')},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(std::string(probe({{}, c.file, {}, {}, {}}).hostname), c.expected)
            << (c.file ? *c.file : "(missing)");
    }
}

TEST(ReadIdentity, VersionKeepsAnEmptyLineAndCarriageReturns)
{
    struct {
        std::optional<std::string> file;
        std::string expected;
    } cases[] = {
        {std::nullopt, "unknown"},
        {"", "unknown"},
        {"\n", ""},
        {"\n2.1\n", ""},
        {"2.1.0\n", "2.1.0"},
        {"2.1.0\r\n", "2.1.0\r"},
        {"2.1\r0\n", "2.1\r0"},
        {std::string(40, 'v'), std::string(31, 'v')},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(std::string(probe({{}, {}, c.file, {}, {}}).version), c.expected)
            << (c.file ? *c.file : "(missing)");
    }
}

TEST(ReadIdentity, MacFallsBackOnlyWhenTheRadioFileCannotBeOpened)
{
    struct {
        const char* what;
        std::optional<std::string> radio;
        std::optional<std::string> bridge;
        std::string expected;
    } cases[] = {
        {"radio wins", "02:00:00:00:00:01\n", "02:00:00:00:00:02\n", "02:00:00:00:00:01"},
        {"bridge when radio missing", std::nullopt, "02:00:00:00:00:02\n", "02:00:00:00:00:02"},
        {"neither", std::nullopt, std::nullopt, ""},
        {"empty radio file", "", "02:00:00:00:00:02\n", ""},
        {"empty radio line", "\n", "02:00:00:00:00:02\n", ""},
        {"carriage return kept", "02:00:00:00:00:01\r\n", std::nullopt, "02:00:00:00:00:01\r"},
        {"empty bridge file", std::nullopt, "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(std::string(probe({{}, {}, {}, c.radio, c.bridge}).mac), c.expected) << c.what;
    }
}

// Only a regular file is read: a directory, a FIFO or a device node counts
// as a file that cannot be opened, so the MAC falls back to the bridge's
// file. A FIFO without a writer would block a plain open for good, and a
// device could block a read: the alarm ends the test then.
TEST(ReadIdentity, OnlyRegularFilesAreRead)
{
    temp_dir dir;
    const std::string fallback = dir.write("mac_fallback", "02:00:00:00:00:02\n");
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {dir.path(), fifo, std::string("/dev/zero")}) {
        const char* p = path.c_str();
        const identity_paths paths{p, p, p, p, fallback.c_str()};
        announcement facts;
        std::memset(&facts, 'Z', sizeof facts);
        alarm(10);
        read_identity(facts, paths);
        alarm(0);
        EXPECT_STREQ(facts.name, DEFAULT_NAME) << path;
        EXPECT_STREQ(facts.hostname, DEFAULT_HOSTNAME) << path;
        EXPECT_STREQ(facts.version, DEFAULT_VERSION) << path;
        EXPECT_STREQ(facts.mac, "02:00:00:00:00:02") << path;
    }
}

}  // namespace
}  // namespace quorvellan
