// The USB/IP device list: the request a client sends to learn which USB
// devices a server shares, and the server's reply read into plain records.
// The reply comes from the network, so every count, length and string in it
// is checked before use, and a reply with any fault is refused whole.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvellan::discover {

constexpr std::uint16_t USBIP_VERSION = 0x0111;  // v1.1.1, the only one there is
constexpr std::uint16_t USBIP_REQ_DEVLIST = 0x8005;
constexpr std::uint16_t USBIP_REP_DEVLIST = 0x0005;
// version, code, status, then the number of devices
constexpr std::size_t USBIP_REPLY_HEADER_BYTES = 12;
// path[256], busid[32], then 24 bytes of numbers
constexpr std::size_t USBIP_DEVICE_BYTES = 312;
constexpr std::size_t USBIP_INTERFACE_BYTES = 4;
// Far more than any device has ports for; a larger count is refused before
// anything is kept for it, which bounds what a reply can make us hold.
constexpr std::uint32_t USBIP_MAX_DEVICES = 128;
constexpr std::size_t USBIP_MAX_REPLY_BYTES =
    USBIP_REPLY_HEADER_BYTES +
    USBIP_MAX_DEVICES * (USBIP_DEVICE_BYTES + 255 * USBIP_INTERFACE_BYTES);

struct usb_class_triple {
    std::uint8_t code = 0;
    std::uint8_t subclass = 0;
    std::uint8_t protocol = 0;

    bool operator==(const usb_class_triple& other) const
    {
        return code == other.code && subclass == other.subclass && protocol == other.protocol;
    }
};

// One device a server shares, as its reply describes it. The names are not
// the reply's: usb_name_database fills them from this machine's database.
struct usb_export {
    std::string busid;  // e.g. "1-1.2", what `usbip attach -b` takes
    std::uint32_t busnum = 0;
    std::uint32_t devnum = 0;
    std::uint32_t speed = 0;  // see usb_speed_name
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::uint16_t bcd_device = 0;
    usb_class_triple device_class;
    std::uint8_t configuration = 0;  // 0: unconfigured, and then no interfaces are listed
    std::uint8_t configurations = 0;
    std::vector<usb_class_triple> interfaces;  // of the active configuration

    std::string vendor_name;   // empty when the database has none
    std::string product_name;  // likewise
    std::string class_name;    // likewise, see usb_name_database::name

    bool operator==(const usb_export& other) const;
};

// "low", "full", "high", "wireless", "super", "super_plus", or "unknown".
const char* usb_speed_name(std::uint32_t speed);
// The same for a person, with the rate: "full speed (12 Mbit/s)".
const char* usb_speed_text(std::uint32_t speed);

// A USB vendor or product id as four hex digits, e.g. "0403".
std::string usb_id(std::uint16_t id);

enum class devlist_fault {
    none,
    truncated,          // the connection ended before the count's devices came
    trailing_bytes,     // more bytes than the count allows
    wrong_version,      // not 0x0111
    wrong_code,         // not a device list reply
    failure_status,     // the server said it failed
    too_many_devices,   // a count above USBIP_MAX_DEVICES
    unterminated_path,  // a path without its NUL
    unterminated_busid,
    not_a_busid,      // empty, or with a byte no bus id has: it goes into a command line
    duplicate_busid,  // a bus id listed twice: one port holds one device
};

// Short human text, e.g. "bus id without its end".
const char* describe(devlist_fault fault);

enum class devlist_state {
    incomplete,  // a sound beginning: more bytes are needed
    complete,
    refused,  // no more bytes can mend it
};

struct devlist_reply {
    devlist_state state = devlist_state::incomplete;
    devlist_fault fault = devlist_fault::none;
    std::vector<usb_export> devices;  // only when complete
};

// OP_REQ_DEVLIST, ready to send.
std::array<char, 8> devlist_request();

// What every reply starts with.
struct usbip_reply_header {
    std::uint16_t version = 0;
    std::uint16_t code = 0;
    std::uint32_t status = 0;  // 0: done
};

// The first 8 bytes at `at`, which the caller has checked are there.
usbip_reply_header read_reply_header(const unsigned char* at);

// One device's USBIP_DEVICE_BYTES at `at` (which the caller has checked are
// there) into device, its interfaces left alone; the fault, if any, after
// which device is not to be used. The import reply holds the same record.
devlist_fault read_device_record(const unsigned char* at, usb_export& device);

// received: every byte of the reply so far; ended: whether the server has
// closed the connection, after which an incomplete reply is a truncated one.
devlist_reply parse_devlist_reply(std::string_view received, bool ended = true);

}  // namespace quorvellan::discover
