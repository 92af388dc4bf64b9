// Fuzz target for the USB/IP device list parser: whatever answers on a
// device's USB/IP port can send any bytes. It must not crash or leak; read
// whole or as a beginning, the bytes must get the same verdict; a reply it
// accepts must be exactly as long as its records and its count say, and
// must stop being accepted when cut short or followed by one byte more.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "support/usbip_reply.h"
#include "usb/usbip_devlist.h"

namespace quorvellan::discover {
namespace {

[[noreturn]] void fail(const char* what, std::size_t size)
{
    std::fprintf(stderr, "devlist_fuzz: %s (reply of %zu bytes)\n", what, size);
    std::abort();
}

// Open: the bytes so far of a reply still coming; whole: all of it.
void check_agreement(const devlist_reply& open, const devlist_reply& whole, std::size_t size)
{
    if (whole.state == devlist_state::incomplete) {
        fail("a whole reply left incomplete", size);
    }
    if (open.state == devlist_state::incomplete
            ? whole.fault != devlist_fault::truncated
            : open.state != whole.state || open.fault != whole.fault ||
                  open.devices != whole.devices) {
        fail("read whole and as a beginning, the bytes got different verdicts", size);
    }
    if (whole.state != devlist_state::complete && !whole.devices.empty()) {
        fail("devices kept from a reply not accepted", size);
    }
}

std::size_t length_of(const devlist_reply& accepted)
{
    std::size_t length = USBIP_REPLY_HEADER_BYTES;
    for (const usb_export& device : accepted.devices) {
        length += USBIP_DEVICE_BYTES + device.interfaces.size() * USBIP_INTERFACE_BYTES;
        if (device.busid.empty() || device.busid.size() >= 32 ||
            device.busid.find('\0') != std::string::npos) {
            fail("accepted a bus id that is none", 0);
        }
    }
    return length;
}

void check_accepted(std::string_view reply, const devlist_reply& accepted)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(reply.data());
    const std::uint32_t count =
        static_cast<std::uint32_t>(bytes[8]) << 24 | bytes[9] << 16 | bytes[10] << 8 | bytes[11];
    if (count != accepted.devices.size() || length_of(accepted) != reply.size()) {
        fail("accepted a reply whose count or length is not its records'", reply.size());
    }
    for (const std::size_t cut : {reply.size() - 1, reply.size() / 2, std::size_t{11}}) {
        if (cut < reply.size() &&
            parse_devlist_reply(reply.substr(0, cut), false).state != devlist_state::incomplete) {
            fail("the beginning of an accepted reply is not incomplete", reply.size());
        }
    }
    if (parse_devlist_reply(std::string(reply) + '\0').fault != devlist_fault::trailing_bytes) {
        fail("a byte past an accepted reply was not refused", reply.size());
    }
    // Written again from the records, the reply must read back the same.
    const std::string again = test::usbip_reply(accepted.devices);
    if (again.size() != reply.size() || parse_devlist_reply(again).devices != accepted.devices) {
        fail("the records do not read back as they were read", reply.size());
    }
}

}  // namespace
}  // namespace quorvellan::discover

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace quorvellan::discover;
    const std::string_view reply(reinterpret_cast<const char*>(data), size);
    const devlist_reply whole = parse_devlist_reply(reply, true);
    check_agreement(parse_devlist_reply(reply, false), whole, size);
    if (whole.state == devlist_state::complete) {
        check_accepted(reply, whole);
    }
    return 0;
}
