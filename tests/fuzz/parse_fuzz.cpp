// Fuzz target for the listener's datagram parser: anyone on the network can
// send it any bytes. It must not crash or leak; what it accepts must be one
// JSON object that the published schema allows, with the record holding the
// object's members;
// and what the schema allows it must accept, save for repeated member names
// and integers written with a fraction or exponent, which it refuses on purpose.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "support/json_schema.h"
#include "table/announcement_parser.h"
#include "utf8_reference.h"

#ifndef DOCS_DIR
#error "DOCS_DIR must name the directory that holds announcement.schema.json"
#endif

namespace quorvellan::discover {
namespace {

using nlohmann::json;

const json& schema()
{
    static const json loaded = test::load_schema(DOCS_DIR "/announcement.schema.json");
    return loaded;
}

// Finds a member name repeated within one object, at any depth; a parsed
// json object keeps only the last of them and cannot tell.
class repeat_finder : public nlohmann::json_sax<json> {
   public:
    bool repeated = false;

    bool start_object(std::size_t) override
    {
        open_.emplace_back();
        return true;
    }
    bool key(string_t& name) override
    {
        repeated = repeated || !open_.back().insert(name).second;
        return true;
    }
    bool end_object() override
    {
        open_.pop_back();
        return true;
    }
    bool null() override
    {
        return true;
    }
    bool boolean(bool) override
    {
        return true;
    }
    bool number_integer(number_integer_t) override
    {
        return true;
    }
    bool number_unsigned(number_unsigned_t) override
    {
        return true;
    }
    bool number_float(number_float_t, const string_t&) override
    {
        return true;
    }
    bool string(string_t&) override
    {
        return true;
    }
    bool binary(binary_t&) override
    {
        return true;
    }
    bool start_array(std::size_t) override
    {
        return true;
    }
    bool end_array() override
    {
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override
    {
        return false;
    }

   private:
    std::vector<std::set<std::string>> open_;
};

bool has_repeated_member(std::string_view datagram)
{
    repeat_finder finder;
    json::sax_parse(datagram.begin(), datagram.end(), &finder);
    return finder.repeated;
}

// The record as the datagram's members give it, or false when a member is
// missing or of another type; an integer must be written as one. Bounds are
// the schema's business.
bool record_from(const json& object, announcement_record& record)
{
    bool complete = true;
    for_each_field([&](const char* member, auto field) {
        using value_type = std::decay_t<decltype(record.*field)>;
        const bool typed = object.contains(member) && (std::is_same_v<value_type, std::string>
                                                           ? object[member].is_string()
                                                           : object[member].is_number_integer());
        if (complete && typed) {
            record.*field = object[member].get<value_type>();
        }
        complete = complete && typed;
    });
    return complete;
}

[[noreturn]] void fail(const char* what, std::string_view datagram, const std::string& more = {})
{
    std::fprintf(stderr, "parse_fuzz: %s %s\ndatagram: %.*s\n", what, more.c_str(),
                 static_cast<int>(datagram.size()), datagram.data());
    std::abort();
}

void check_parsing(const std::uint8_t* data, std::size_t size)
{
    const std::string_view datagram(reinterpret_cast<const char*>(data), size);

    // Cut short by the receive buffer: never an announcement, whatever it holds.
    const std::size_t longer = size + 1 + (size > 0 ? data[0] : 0);
    if (parse_announcement(datagram, longer).reason != rejection::too_large ||
        parse_announcement(datagram.substr(0, size / 2), size + 1).reason != rejection::too_large) {
        fail("a datagram longer than what was received was not refused as too large", datagram);
    }

    const auto result = parse_announcement(datagram, size);
    const bool readable = size <= MAX_DATAGRAM_BYTES && test::is_utf8(datagram);
    const json object = readable ? json::parse(datagram, nullptr, false) : json();
    if (!readable || object.is_discarded() || !object.is_object()) {
        if (result.accepted()) {
            fail("accepted what is not one JSON object in UTF-8 within 2 KiB", datagram);
        }
        return;
    }
    const bool repeated = has_repeated_member(datagram);
    const std::string broken = test::describe(test::check_schema(schema(), object));
    announcement_record expected;
    const bool complete = record_from(object, expected);
    if (result.accepted()) {
        if (repeated || !broken.empty() || !complete) {
            fail("accepted against the schema:", datagram,
                 repeated   ? "repeated member"
                 : complete ? broken
                            : "member missing or mistyped");
        }
        if (result.record != expected) {
            fail("the record is not the datagram's members", datagram);
        }
    } else if (broken.empty() && !repeated && complete) {
        // Given the schema, only an integer written as 80.0 or 8e1 leaves the
        // record incomplete.
        fail("refused what the schema allows:", datagram,
             describe(result.reason) + std::string(" ") + result.member);
    }
}

}  // namespace
}  // namespace quorvellan::discover

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    quorvellan::discover::check_parsing(data, size);
    return 0;
}
