#include "support/json_schema.h"

#include <cmath>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace quorvellan::test {
namespace {

using nlohmann::json;

bool has_type(const json& value, const std::string& type)
{
    if (type == "integer") {
        // The schema's integer is a number with no fraction, however written.
        return value.is_number() && std::floor(value.get<double>()) == value.get<double>();
    }
    return (type == "string" && value.is_string()) || (type == "object" && value.is_object()) ||
           (type == "array" && value.is_array()) || (type == "number" && value.is_number()) ||
           (type == "boolean" && value.is_boolean()) || (type == "null" && value.is_null());
}

// Compiled once per pattern: the fuzz target checks many datagrams.
bool matches(const std::string& text, const std::string& pattern)
{
    static std::map<std::string, std::regex> compiled;
    auto found = compiled.find(pattern);
    if (found == compiled.end()) {
        found = compiled.emplace(pattern, std::regex(pattern)).first;
    }
    return std::regex_search(text, found->second);
}

std::size_t characters(const std::string& text)
{
    std::size_t count = 0;
    for (const unsigned char c : text) {
        count += (c & 0xC0) != 0x80;
    }
    return count;
}

// A nested value is named by its type: dumping it would recurse as deep as
// the datagram nests.
std::string shown(const json& value)
{
    return value.is_structured() ? std::string(value.type_name()) : value.dump();
}

void check(const json& schema, const json& value, const std::string& member,
           std::vector<schema_violation>& found)
{
    for (const auto& [keyword, arg] : schema.items()) {
        bool ok = true;
        if (keyword == "type") {
            ok = has_type(value, arg.get<std::string>());
        } else if (keyword == "const") {
            ok = value == arg;
        } else if (keyword == "required") {
            for (const auto& name : arg) {
                ok = ok && value.is_object() && value.contains(name.get<std::string>());
            }
        } else if (keyword == "properties") {
            for (const auto& [name, sub] : arg.items()) {
                if (value.is_object() && value.contains(name)) {
                    check(sub, value.at(name), member.empty() ? name : member + "." + name, found);
                }
            }
        } else if (keyword == "maxLength") {
            ok = !value.is_string() ||
                 characters(value.get<std::string>()) <= arg.get<std::size_t>();
        } else if (keyword == "pattern") {
            ok = !value.is_string() || matches(value.get<std::string>(), arg.get<std::string>());
        } else if (keyword == "minimum" || keyword == "maximum") {
            ok = !value.is_number() || (keyword == "minimum" ? value >= arg : value <= arg);
        } else if (keyword != "$schema" && keyword != "$id" && keyword != "title" &&
                   keyword != "description") {
            found.push_back({member, keyword, "schema keyword not checked here"});
            continue;
        }
        if (!ok) {
            found.push_back({member, keyword, shown(arg) + " fails on " + shown(value)});
        }
    }
}

}  // namespace

std::vector<schema_violation> check_schema(const json& schema, const json& value)
{
    std::vector<schema_violation> found;
    check(schema, value, "", found);
    return found;
}

std::string describe(const std::vector<schema_violation>& violations)
{
    std::string text;
    for (const schema_violation& v : violations) {
        text += (v.member.empty() ? "" : v.member + ": ") + v.keyword + " " + v.detail + "; ";
    }
    return text;
}

json load_schema(const std::string& path)
{
    std::ifstream file(path);
    if (!file) {
        throw std::runtime_error("cannot read schema " + path);
    }
    std::stringstream text;
    text << file.rdbuf();
    return json::parse(text.str());
}

}  // namespace quorvellan::test
