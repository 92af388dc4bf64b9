// Fuzz target for the USB/IP import reply parser: whatever answers on a
// device's USB/IP port can send any bytes, and an accepted reply decides
// what vhci-hcd is told. It must not crash or leak; read whole or as a
// beginning, the bytes must get the same verdict; a reply it accepts must
// be exactly a header and one record for the bus id asked, must stop being
// accepted when cut short, followed by one byte more, or asked for another
// bus id, and must read back the same when written again from its record.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "support/usbip_reply.h"
#include "usb/usbip_import.h"

namespace quorvellan::discover {
namespace {

// The bus id asked for: the record's own whenever there is one to read, so
// that the accepting paths are reached.
std::string asked_for(std::string_view reply)
{
    constexpr std::size_t at = USBIP_IMPORT_HEADER_BYTES + 256;
    if (reply.size() < at + 32) {
        return "1-1";
    }
    const std::string_view field = reply.substr(at, 32);
    return std::string(field.substr(0, field.find('\0')));
}

[[noreturn]] void fail(const char* what, std::size_t size)
{
    std::fprintf(stderr, "import_fuzz: %s (reply of %zu bytes)\n", what, size);
    std::abort();
}

void check_agreement(const import_reply& open, const import_reply& whole, std::size_t size)
{
    if (whole.state == devlist_state::incomplete) {
        fail("a whole reply left incomplete", size);
    }
    if (open.state == devlist_state::incomplete
            ? whole.fault != import_fault::truncated
            : open.state != whole.state || open.fault != whole.fault ||
                  !(open.device == whole.device)) {
        fail("read whole and as a beginning, the bytes got different verdicts", size);
    }
    if (whole.state != devlist_state::complete && !(whole.device == usb_export{})) {
        fail("a device kept from a reply not accepted", size);
    }
    if ((whole.fault == import_fault::failure_status) != (whole.status != 0)) {
        fail("a failing status without its fault, or the fault without one", size);
    }
}

void check_accepted(std::string_view reply, const std::string& busid, const import_reply& accepted)
{
    if (reply.size() != USBIP_IMPORT_REPLY_BYTES || accepted.device.busid != busid ||
        !accepted.device.interfaces.empty()) {
        fail("accepted a reply that is not one record for the bus id asked", reply.size());
    }
    for (const std::size_t cut : {reply.size() - 1, reply.size() / 2, std::size_t{7}}) {
        if (parse_import_reply(reply.substr(0, cut), busid, false).state !=
            devlist_state::incomplete) {
            fail("the beginning of an accepted reply is not incomplete", reply.size());
        }
    }
    if (parse_import_reply(std::string(reply) + '\0', busid).fault !=
        import_fault::trailing_bytes) {
        fail("a byte past an accepted reply was not refused", reply.size());
    }
    if (parse_import_reply(reply, busid + "0").fault != import_fault::other_busid) {
        fail("a reply for another bus id was accepted", reply.size());
    }
    // Written again from the record, the reply must read back the same.
    usb_export device = accepted.device;
    device.interfaces.resize(static_cast<unsigned char>(reply.back()));
    const std::string again = test::usbip_import_reply(device);
    if (again.size() != reply.size() ||
        !(parse_import_reply(again, busid).device == accepted.device)) {
        fail("the record does not read back as it was read", reply.size());
    }
}

}  // namespace
}  // namespace quorvellan::discover

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace quorvellan::discover;
    const std::string_view reply(reinterpret_cast<const char*>(data), size);
    const std::string busid = asked_for(reply);
    const import_reply whole = parse_import_reply(reply, busid, true);
    check_agreement(parse_import_reply(reply, busid, false), whole, size);
    if (whole.state == devlist_state::complete) {
        check_accepted(reply, busid, whole);
    }
    return 0;
}
