#include "beacon/announcement.h"

#include <cstring>

#include "beacon/json_string.h"

namespace quorvellan {
namespace {

struct text_writer {
    char* out;
    std::size_t length;

    void literal(const char* text)
    {
        const std::size_t n = std::strlen(text);
        std::memcpy(out + length, text, n);
        length += n;
    }

    // Fields are read up to their capacity even if a writer forgot the NUL.
    template <std::size_t N>
    void value(const char (&text)[N], std::size_t max_bytes)
    {
        length += json_string_append(out + length, max_bytes, text, strnlen(text, N));
    }

    void integer(std::int32_t number)
    {
        // Work in unsigned so that the most negative value has a magnitude.
        std::uint32_t magnitude = static_cast<std::uint32_t>(number);
        if (number < 0) {
            out[length++] = '-';
            magnitude = 0u - magnitude;
        }
        char digits[10];
        std::size_t count = 0;
        do {
            digits[count++] = static_cast<char>('0' + magnitude % 10u);
            magnitude /= 10u;
        } while (magnitude != 0u);
        while (count > 0) {
            out[length++] = digits[--count];
        }
    }
};

}  // namespace

std::size_t render_announcement(const announcement& facts, char (&out)[ANNOUNCE_CAPACITY])
{
    // The fixed text is 131 bytes; with every value at its carried maximum
    // and an 11-byte count the payload is 460 bytes, inside the capacity.
    text_writer w{out, 0};
    w.literal("{\"id\":\"quorvellan_link\",\"name\":\"");
    w.value(facts.name, CARRIED_NAME_MAX);
    w.literal("\",\"hostname\":\"");
    w.value(facts.hostname, CARRIED_NAME_MAX);
    w.literal("\",\"version\":\"");
    w.value(facts.version, CARRIED_VERSION_MAX);
    w.literal("\",\"mac\":\"");
    w.value(facts.mac, CARRIED_VERSION_MAX);
    w.literal("\",\"ip_ap\":\"");
    w.value(facts.ip_ap, CARRIED_ADDRESS_MAX);
    w.literal("\",\"ip_lan\":\"");
    w.value(facts.ip_lan, CARRIED_ADDRESS_MAX);
    w.literal("\",\"http\":80,\"usbip\":3240,\"usb_devices\":");
    w.integer(facts.usb_devices);
    w.literal("}");
    out[w.length] = '\0';
    return w.length;
}

}  // namespace quorvellan
