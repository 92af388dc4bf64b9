#include "beacon/announcement.h"

#include <cstring>

#include "beacon/json_string.h"

namespace quorvellan {
namespace {

// The template's fixed text, the pieces around its seven values in order.
constexpr const char* TEMPLATE_PIECES[] = {
    "{\"id\":\"quorvellan_link\",\"name\":\"",
    "\",\"hostname\":\"",
    "\",\"version\":\"",
    "\",\"mac\":\"",
    "\",\"ip_ap\":\"",
    "\",\"ip_lan\":\"",
    "\",\"http\":80,\"usbip\":3240,\"usb_devices\":",
    "}",
};

constexpr std::size_t fixed_text_length()
{
    std::size_t length = 0;
    for (const char* piece : TEMPLATE_PIECES) {
        while (piece[0] != '\0') {
            ++length;
            ++piece;
        }
    }
    return length;
}

constexpr std::size_t LONGEST_COUNT = 11;  // "-2147483648"

// Every value at its carried maximum must still fit: the payload is never cut.
static_assert(fixed_text_length() + 2 * CARRIED_NAME_MAX + CARRIED_VERSION_MAX + CARRIED_MAC_MAX +
                      2 * CARRIED_ADDRESS_MAX + LONGEST_COUNT <=
                  ANNOUNCE_CAPACITY - 1,
              "carried caps too large for the announcement capacity");

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
    text_writer w{out, 0};
    w.literal(TEMPLATE_PIECES[0]);
    w.value(facts.name, CARRIED_NAME_MAX);
    w.literal(TEMPLATE_PIECES[1]);
    w.value(facts.hostname, CARRIED_NAME_MAX);
    w.literal(TEMPLATE_PIECES[2]);
    w.value(facts.version, CARRIED_VERSION_MAX);
    w.literal(TEMPLATE_PIECES[3]);
    w.value(facts.mac, CARRIED_MAC_MAX);
    w.literal(TEMPLATE_PIECES[4]);
    w.value(facts.ip_ap, CARRIED_ADDRESS_MAX);
    w.literal(TEMPLATE_PIECES[5]);
    w.value(facts.ip_lan, CARRIED_ADDRESS_MAX);
    w.literal(TEMPLATE_PIECES[6]);
    w.integer(facts.usb_devices);
    w.literal(TEMPLATE_PIECES[7]);
    out[w.length] = '\0';
    return w.length;
}

}  // namespace quorvellan
