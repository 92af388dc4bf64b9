// Prometheus's text exposition format (0.0.4), written from a small table of
// metric families: each family once, with one HELP and one TYPE line and all
// its samples together, label values escaped and made valid UTF-8, no
// timestamps. Values from the network reach it as label values only.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvellan::discover {

constexpr char EXPOSITION_CONTENT_TYPE[] = "text/plain; version=0.0.4; charset=utf-8";

using metric_labels = std::vector<std::pair<const char*, std::string>>;

struct metric_sample {
    metric_labels labels;
    double value = 0;
};

struct metric_family {
    const char* name;
    const char* type;  // "gauge" or "counter"
    const char* help;
    std::vector<metric_sample> samples;
};

// A label value as the format reads it: \ " and line feed escaped, and any
// byte that is not part of well-formed UTF-8 replaced by U+FFFD, since one
// bad label value would cost the whole scrape.
std::string exposition_label_value(std::string_view value);

// Integers without a fraction, anything else to the millisecond.
std::string exposition_value(double value);

// Appends one family, HELP, TYPE and samples, to out.
void render_family(const metric_family& family, std::string& out);

// The same in parts, for a family written a few samples at a time: its HELP
// and TYPE once, then its samples, all of them before the next family's.
void render_head(const metric_family& family, std::string& out);
void render_samples(const metric_family& family, std::string& out);

std::string render_exposition(const std::vector<metric_family>& families);

}  // namespace quorvellan::discover
