// The state file (--state): the devices the listener knows, kept across
// restarts, so that a device that fell silent is still known as offline,
// with when it was last heard, after the listener restarts, rather than
// vanishing with the restart. A JSON document that names its format,
// replaced whole or not at all, and bounded in size as the table is.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "table/device_table.h"

namespace quorvellan::discover {

constexpr char STATE_FORMAT[] = "quorvellan-discover state";
constexpr int STATE_VERSION = 1;
// A row holds its announcement, written no longer than the datagram it was
// read from, and a few facts beside it.
constexpr std::size_t MAX_STATE_ROW_BYTES = MAX_DATAGRAM_BYTES + 512;
constexpr std::size_t MAX_STATE_BYTES = 1024 + MAX_DEVICES * MAX_STATE_ROW_BYTES;

// The table as the state file keeps it.
std::string state_text(const device_table& table);

// The devices of a state file's text; nullopt, with why in problem, for a
// text that is no state file of this program or a damaged one.
std::optional<std::vector<known_device>> read_state(std::string_view text, std::string& problem);

// The devices kept in the file at path; none when there is no file yet. A
// file that cannot be used (damaged, another program's or larger than
// MAX_STATE_BYTES) is renamed to path.bad, so that it is neither lost nor
// read again; that, or a file that cannot be read, is said in one line in
// said.
std::vector<known_device> load_state(const std::string& path, std::string& said);

// Replaces the file at path with text, whole or not at all: a temporary
// file beside it, on disk before it is renamed over the old one. What went
// wrong, or "".
std::string write_state(const std::string& path, const std::string& text);

// When the state is worth writing: soon after the table changed (an event),
// at most once per gap; and now and then whatever happened, so that the
// times a device was last heard are never old by much after a crash.
constexpr std::chrono::seconds STATE_WRITE_GAP{10};
constexpr std::chrono::minutes STATE_REFRESH{5};

class state_schedule {
   public:
    explicit state_schedule(std::chrono::steady_clock::time_point start) : last_(start)
    {
    }

    // changes: a count that grows with every change of the table.
    bool due(std::chrono::steady_clock::time_point now, std::uint64_t changes);

   private:
    std::chrono::steady_clock::time_point last_;
    std::uint64_t changes_ = 0;
};

// Writes the state file on a thread of its own, so that a slow disk's
// flush never holds up the datagrams. One write at a time; a text waiting
// to be written is replaced by a newer one.
class state_writer {
   public:
    explicit state_writer(std::string path);
    // Writes what is waiting, then stops.
    ~state_writer();
    state_writer(const state_writer&) = delete;
    state_writer& operator=(const state_writer&) = delete;

    void write(std::string text);

    // Waits until every text given is written.
    void finish();

    // Why writing failed, once for each new reason; nullopt otherwise.
    std::optional<std::string> take_failure();

   private:
    void run();

    const std::string path_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<std::string> waiting_;
    bool writing_ = false;
    bool stopping_ = false;
    std::string failure_;
    bool failure_told_ = false;
    std::thread thread_;  // last, so that it starts after the rest
};

}  // namespace quorvellan::discover
