#include "usb/vhci_records.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <sstream>

#include "usb/sysfs_attribute.h"

namespace quorvellan::discover {
namespace {

std::string record_path(const std::string& run_dir, unsigned port)
{
    return run_dir + "/port" + std::to_string(port);
}

// "port12" -> 12; anything else is not a record's name.
std::optional<unsigned> port_of(std::string_view name)
{
    if (name.substr(0, 4) != "port" || name.size() == 4 || name.size() > 8) {
        return std::nullopt;
    }
    unsigned port = 0;
    for (const char c : name.substr(4)) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        port = port * 10 + static_cast<unsigned>(c - '0');
    }
    return port;
}

}  // namespace

std::optional<vhci_record> parse_vhci_record(unsigned port, std::string_view text)
{
    std::istringstream fields{std::string(text)};
    vhci_record record;
    record.port = port;
    std::string more;
    if (!(fields >> record.host >> record.service >> record.busid) || fields >> more ||
        record.service.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return record;
}

std::string make_run_dir(const std::string& run_dir)
{
    if (mkdir(run_dir.c_str(), 0700) != 0 && errno != EEXIST) {
        return file_failure(errno, run_dir);
    }
    return {};
}

std::string write_vhci_record(const std::string& run_dir, const vhci_record& record)
{
    if (std::string failure = make_run_dir(run_dir); !failure.empty()) {
        return failure;
    }
    const std::string path = record_path(run_dir, record.port);
    const int error =
        write_text_file(path, record.host + ' ' + record.service + ' ' + record.busid + '\n');
    return error == 0 ? std::string() : file_failure(error, path);
}

void remove_vhci_record(const std::string& run_dir, unsigned port)
{
    unlink(record_path(run_dir, port).c_str());
}

std::vector<vhci_record> read_vhci_records(const std::string& run_dir)
{
    std::vector<vhci_record> records;
    DIR* directory = opendir(run_dir.c_str());
    if (directory == nullptr) {
        return records;
    }
    while (const dirent* entry = readdir(directory)) {
        const std::optional<unsigned> port = port_of(entry->d_name);
        std::string text;
        if (!port || read_text_file(record_path(run_dir, *port), text) != 0) {
            continue;
        }
        if (std::optional<vhci_record> record = parse_vhci_record(*port, text)) {
            records.push_back(std::move(*record));
        }
    }
    closedir(directory);
    std::sort(records.begin(), records.end(),
              [](const vhci_record& a, const vhci_record& b) { return a.port < b.port; });
    return records;
}

vhci_adoption adopt_attachments(const std::vector<vhci_port>& ports,
                                const std::vector<vhci_record>& records)
{
    vhci_adoption adoption;
    for (const vhci_record& record : records) {
        const auto port = std::find_if(ports.begin(), ports.end(),
                                       [&](const vhci_port& p) { return p.number == record.port; });
        if (port != ports.end() && port->state == VHCI_PORT_USED) {
            adoption.attached.emplace_back(*port, record);
        } else {
            adoption.stale.push_back(record);
        }
    }
    return adoption;
}

}  // namespace quorvellan::discover
