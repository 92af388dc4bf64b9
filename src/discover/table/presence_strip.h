// A device's presence over the last day, as the page draws it: one cell per
// ten minutes of wall-clock time, at a fixed size per row.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace quorvellan::discover {

constexpr std::size_t PRESENCE_CELLS = 144;
constexpr std::chrono::seconds PRESENCE_CELL{600};

struct presence_strip {
    // Oldest first: 'u' online at some time in the cell, 'o' only offline,
    // '-' not yet known.
    std::array<char, PRESENCE_CELLS> cells = blank();
    std::int64_t newest = -1;  // the newest cell's number, counted from the epoch

    static constexpr std::array<char, PRESENCE_CELLS> blank()
    {
        std::array<char, PRESENCE_CELLS> cells{};
        for (char& cell : cells) {
            cell = '-';
        }
        return cells;
    }
};

// The device is online (or not) now. A wall clock stepped back marks the
// newest cell rather than rewriting the past.
void presence_mark(presence_strip& strip, std::chrono::system_clock::time_point now, bool online);

// The end of the newest cell, or of the cell holding now when none is marked.
std::chrono::system_clock::time_point presence_end(const presence_strip& strip,
                                                   std::chrono::system_clock::time_point now);

}  // namespace quorvellan::discover
