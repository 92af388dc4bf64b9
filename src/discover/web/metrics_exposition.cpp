#include "web/metrics_exposition.h"

#include <cmath>
#include <cstdio>

#include "wire/utf8.h"

namespace quorvellan::discover {

std::string exposition_label_value(std::string_view value)
{
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size();) {
        const utf8_char ch = decode_utf8(value.data(), value.size(), i);
        if (ch.length == 0) {
            out += "\xEF\xBF\xBD";
            i += 1;
            continue;
        }
        const char c = value[i];
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out.append(value, i, ch.length);
        }
        i += ch.length;
    }
    return out;
}

std::string exposition_value(double value)
{
    char text[32];
    if (value == std::floor(value) && std::fabs(value) < 1e15) {
        std::snprintf(text, sizeof text, "%.0f", value);
    } else {
        std::snprintf(text, sizeof text, "%.3f", value);
    }
    return text;
}

void render_head(const metric_family& family, std::string& out)
{
    out += std::string("# HELP ") + family.name + " " + family.help + "\n";
    out += std::string("# TYPE ") + family.name + " " + family.type + "\n";
}

void render_samples(const metric_family& family, std::string& out)
{
    for (const metric_sample& sample : family.samples) {
        out += family.name;
        for (std::size_t i = 0; i < sample.labels.size(); ++i) {
            out += (i == 0 ? "{" : ",");
            out += sample.labels[i].first;
            out += "=\"" + exposition_label_value(sample.labels[i].second) + "\"";
        }
        out += sample.labels.empty() ? " " : "} ";
        out += exposition_value(sample.value) + "\n";
    }
}

void render_family(const metric_family& family, std::string& out)
{
    render_head(family, out);
    render_samples(family, out);
}

std::string render_exposition(const std::vector<metric_family>& families)
{
    std::string out;
    for (const metric_family& family : families) {
        render_family(family, out);
    }
    return out;
}

}  // namespace quorvellan::discover
