#include "table/state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

#include <nlohmann/json.hpp>

namespace quorvellan::discover {
namespace {

using json = nlohmann::ordered_json;
using std::chrono::nanoseconds;
using std::chrono::system_clock;

// Times to the nanosecond, so that a restored device is last heard exactly
// when it was, in its metric too; any time a device can have been heard
// at, far from overflowing the clock.
constexpr std::int64_t LATEST_NANOSECONDS = std::int64_t{1} << 62;

std::int64_t nanoseconds_of(system_clock::time_point when)
{
    return std::chrono::duration_cast<nanoseconds>(when.time_since_epoch()).count();
}

// Written as the datagram's members are, raw UTF-8 and the shortest
// escapes, so that it is never longer than the datagram it was read from.
std::string text_of(const json& value)
{
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

json announcement_object(const announcement_record& a)
{
    json object;
#define QUORVELLAN_STATE_CONSTANT(member, text) object[#member] = text;
#define QUORVELLAN_STATE_FIELD(member, ...) object[#member] = a.member;
    QUORVELLAN_ANNOUNCEMENT_MEMBERS(QUORVELLAN_STATE_CONSTANT, QUORVELLAN_STATE_FIELD,
                                    QUORVELLAN_STATE_FIELD, QUORVELLAN_STATE_FIELD)
#undef QUORVELLAN_STATE_CONSTANT
#undef QUORVELLAN_STATE_FIELD
    return object;
}

json device_state(const known_device& known)
{
    return {{"announcement", announcement_object(known.announcement)},
            {"source", known.source},
            {"first_source", known.first_source},
            {"first_heard_ns", nanoseconds_of(known.first_heard)},
            {"last_heard_ns", nanoseconds_of(known.last_heard)},
            {"presence",
             {{"newest", known.presence.newest},
              {"cells", std::string(known.presence.cells.begin(), known.presence.cells.end())}}}};
}

const json* member(const json& object, const char* name)
{
    const auto found = object.find(name);
    return found != object.end() ? &*found : nullptr;
}

bool read_address(const json& object, const char* name, std::string& into)
{
    const json* value = member(object, name);
    if (value == nullptr || !value->is_string() ||
        !is_ipv4_literal(value->get_ref<const std::string&>())) {
        return false;
    }
    into = value->get<std::string>();
    return true;
}

bool read_time(const json& object, const char* name, system_clock::time_point& into)
{
    const json* value = member(object, name);
    if (value == nullptr || !value->is_number_integer() || value->get<std::int64_t>() < 0 ||
        value->get<std::int64_t>() > LATEST_NANOSECONDS) {
        return false;
    }
    into = system_clock::time_point(std::chrono::duration_cast<system_clock::duration>(
        nanoseconds(value->get<std::int64_t>())));
    return true;
}

bool read_presence(const json& object, presence_strip& into)
{
    const json* value = member(object, "presence");
    const json* newest =
        value != nullptr && value->is_object() ? member(*value, "newest") : nullptr;
    const json* cells = value != nullptr && value->is_object() ? member(*value, "cells") : nullptr;
    if (newest == nullptr || !newest->is_number_integer() || newest->get<std::int64_t>() < -1 ||
        newest->get<std::int64_t>() > LATEST_NANOSECONDS || cells == nullptr ||
        !cells->is_string()) {
        return false;
    }
    const std::string& text = cells->get_ref<const std::string&>();
    if (text.size() != PRESENCE_CELLS || text.find_first_not_of("uo-") != std::string::npos) {
        return false;
    }
    into.newest = newest->get<std::int64_t>();
    std::copy(text.begin(), text.end(), into.cells.begin());
    return true;
}

// One device, or why not. Its announcement is judged as a datagram is.
std::string read_device(const json& object, known_device& into)
{
    if (!object.is_object()) {
        return "is no object";
    }
    const json* announced = member(object, "announcement");
    if (announced == nullptr || !announced->is_object()) {
        return "has no announcement";
    }
    const parse_result parsed = parse_announcement(text_of(*announced));
    if (!parsed.accepted()) {
        return std::string("has an announcement refused (") + describe(parsed.reason) +
               (parsed.member.empty() ? "" : " \"" + parsed.member + "\"") + ")";
    }
    into.announcement = parsed.record;
    if (!read_address(object, "source", into.source) ||
        !read_address(object, "first_source", into.first_source)) {
        return "has no source address";
    }
    if (!read_time(object, "first_heard_ns", into.first_heard) ||
        !read_time(object, "last_heard_ns", into.last_heard)) {
        return "has no times it was heard";
    }
    if (!read_presence(object, into.presence)) {
        return "has no presence strip";
    }
    return "";
}

// All of text to fd, or false with errno set.
bool write_all(int fd, const std::string& text)
{
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0) {
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

// The file's bytes, up to one past the bound; nullopt with errno set when
// it cannot be read (ENOENT: there is none).
std::optional<std::string> read_bounded(const std::string& path)
{
    // Not blocking on a FIFO someone put there.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        const int failed = !S_ISREG(status.st_mode) && S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
        close(fd);
        errno = failed;
        return std::nullopt;
    }
    std::string text;
    char buffer[64 * 1024];
    while (text.size() <= MAX_STATE_BYTES) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            const int failed = errno;
            close(fd);
            errno = failed;
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
    return text;
}

std::string directory_of(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string state_text(const device_table& table)
{
    json devices = json::array();
    for (const device_row* row : table.rows()) {
        devices.push_back(device_state(table.known(*row)));
    }
    const json state = {{"format", STATE_FORMAT},
                        {"version", STATE_VERSION},
                        {"written", rfc3339_utc(table.now().wall)},
                        {"devices", std::move(devices)}};
    return text_of(state) + "\n";
}

std::optional<std::vector<known_device>> read_state(std::string_view text, std::string& problem)
{
    if (text.size() > MAX_STATE_BYTES) {
        problem = "larger than " + std::to_string(MAX_STATE_BYTES) + " bytes";
        return std::nullopt;
    }
    const json state = json::parse(text.begin(), text.end(), nullptr, false);
    if (state.is_discarded()) {
        problem = "not JSON: damaged, or another program's";
        return std::nullopt;
    }
    const json* format = state.is_object() ? member(state, "format") : nullptr;
    if (format == nullptr || *format != STATE_FORMAT) {
        problem = "not a state file of quorvellan-discover";
        return std::nullopt;
    }
    const json* version = member(state, "version");
    if (version == nullptr || *version != STATE_VERSION) {
        problem = "of another version of quorvellan-discover";
        return std::nullopt;
    }
    const json* devices = member(state, "devices");
    if (devices == nullptr || !devices->is_array() || devices->size() > MAX_DEVICES) {
        problem = "damaged: no list of at most " + std::to_string(MAX_DEVICES) + " devices";
        return std::nullopt;
    }
    std::vector<known_device> known(devices->size());
    std::set<std::string> keys;
    for (std::size_t i = 0; i < known.size(); ++i) {
        std::string wrong = read_device((*devices)[i], known[i]);
        if (wrong.empty() &&
            !keys.insert(row_key(known[i].announcement, known[i].first_source)).second) {
            wrong = "is listed twice";
        }
        if (!wrong.empty()) {
            problem = "damaged: device " + std::to_string(i + 1) + " " + wrong;
            return std::nullopt;
        }
    }
    return known;
}

std::vector<known_device> load_state(const std::string& path, std::string& said)
{
    const std::optional<std::string> text = read_bounded(path);
    if (!text) {
        if (errno != ENOENT) {
            said = "cannot read the state file " + path + ": " + std::strerror(errno) +
                   "; starting without it";
        }
        return {};
    }
    std::string problem;
    std::optional<std::vector<known_device>> known = read_state(*text, problem);
    if (known) {
        return std::move(*known);
    }
    const std::string aside = path + ".bad";
    said = "the state file " + path + " is " + problem +
           (rename(path.c_str(), aside.c_str()) == 0
                ? "; set aside as " + aside
                : "; cannot set it aside as " + aside + " (" + std::strerror(errno) + ")") +
           ", starting without it";
    return {};
}

std::string write_state(const std::string& path, const std::string& text)
{
    const std::string temporary = path + ".tmp";
    const auto failed = [&path](const std::string& doing) {
        const std::string reason = std::strerror(errno);
        return "cannot write the state file " + path + " (" + doing + "): " + reason;
    };
    const int fd =
        open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return failed("creating " + temporary);
    }
    if (!write_all(fd, text) || fsync(fd) != 0) {
        const std::string failure = failed("writing " + temporary);
        close(fd);
        unlink(temporary.c_str());
        return failure;
    }
    close(fd);
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string failure = failed("renaming " + temporary);
        unlink(temporary.c_str());
        return failure;
    }
    // The rename itself on disk too.
    const std::string directory = directory_of(path);
    const int directory_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory_fd >= 0) {
        fsync(directory_fd);
        close(directory_fd);
    }
    return "";
}

bool state_schedule::due(std::chrono::steady_clock::time_point now, std::uint64_t changes)
{
    const auto since = now - last_;
    if (since < STATE_WRITE_GAP || (changes == changes_ && since < STATE_REFRESH)) {
        return false;
    }
    last_ = now;
    changes_ = changes;
    return true;
}

state_writer::state_writer(std::string path) : path_(std::move(path)), thread_([this] { run(); })
{
}

state_writer::~state_writer()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void state_writer::write(std::string text)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        waiting_ = std::move(text);
    }
    changed_.notify_all();
}

void state_writer::finish()
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !waiting_ && !writing_; });
}

std::optional<std::string> state_writer::take_failure()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (failure_.empty() || failure_told_) {
        return std::nullopt;
    }
    failure_told_ = true;
    return failure_;
}

void state_writer::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return waiting_ || stopping_; });
        if (!waiting_) {
            return;
        }
        const std::string text = std::move(*waiting_);
        waiting_.reset();
        writing_ = true;
        lock.unlock();
        const std::string failure = write_state(path_, text);
        lock.lock();
        writing_ = false;
        if (failure != failure_) {
            failure_ = failure;
            failure_told_ = false;
        }
        changed_.notify_all();
    }
}

}  // namespace quorvellan::discover
