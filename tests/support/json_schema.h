// A checker for the few JSON Schema (draft 2020-12) keywords that
// docs/announcement.schema.json uses, so that the schema tests and the
// parser's fuzz target judge datagrams by the one published schema.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace quorvellan::test {

struct schema_violation {
    std::string member;   // dotted path of the member at fault; "" for the document
    std::string keyword;  // the rule broken, or a keyword this checker cannot apply
    std::string detail;
};

// Every rule of schema that value breaks. A keyword the checker does not know
// counts as broken, so the schema cannot grow a rule that goes unchecked.
std::vector<schema_violation> check_schema(const nlohmann::json& schema,
                                           const nlohmann::json& value);

// The violations as one line for a test message; "" when there are none.
std::string describe(const std::vector<schema_violation>& violations);

// Reads and parses a schema file; throws when it is missing or not JSON.
nlohmann::json load_schema(const std::string& path);

}  // namespace quorvellan::test
