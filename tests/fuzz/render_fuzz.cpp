// Fuzz target for the renderer: any six field values and any count must give
// one JSON object of at most 511 bytes that a strict parser accepts, with the
// ten members in their fixed order.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "beacon/announcement.h"

namespace {

// Splits the input at NUL bytes into the fields, in record order; whatever
// is left over fills the count.
quorvellan::announcement facts_from(const std::uint8_t* data, std::size_t size)
{
    quorvellan::announcement facts;
    std::memset(&facts, 0, sizeof facts);
    char* fields[] = {facts.name, facts.hostname, facts.version,
                      facts.mac,  facts.ip_ap,    facts.ip_lan};
    const std::size_t capacities[] = {sizeof facts.name,    sizeof facts.hostname,
                                      sizeof facts.version, sizeof facts.mac,
                                      sizeof facts.ip_ap,   sizeof facts.ip_lan};
    std::size_t at = 0;
    for (std::size_t f = 0; f < 6; ++f) {
        std::size_t length = 0;
        // A field may fill its buffer with no NUL: the renderer must cope.
        while (at < size && data[at] != 0 && length < capacities[f]) {
            fields[f][length++] = static_cast<char>(data[at++]);
        }
        ++at;
    }
    for (std::size_t i = 0; i < sizeof facts.usb_devices && at < size; ++i, ++at) {
        facts.usb_devices = static_cast<std::int32_t>(
            (static_cast<std::uint32_t>(facts.usb_devices) << 8) | data[at]);
    }
    return facts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    char out[quorvellan::ANNOUNCE_CAPACITY];
    const std::size_t length = quorvellan::render_announcement(facts_from(data, size), out);
    const auto parsed = nlohmann::ordered_json::parse(out, out + length, nullptr, false);
    if (length > quorvellan::ANNOUNCE_CAPACITY - 1 || std::strlen(out) != length ||
        !parsed.is_object() || parsed.size() != 10 || parsed.begin().key() != "id" ||
        std::prev(parsed.end()).key() != "usb_devices") {
        std::abort();
    }
    return 0;
}
