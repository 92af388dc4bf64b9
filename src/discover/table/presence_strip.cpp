#include "table/presence_strip.h"

#include <algorithm>

namespace quorvellan::discover {

namespace {

std::int64_t cell_of(std::chrono::system_clock::time_point when)
{
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count();
    // Floor, so that a clock before 1970 still counts cells forwards.
    const std::int64_t size = PRESENCE_CELL.count();
    return seconds >= 0 ? seconds / size : -((-seconds + size - 1) / size);
}

}  // namespace

void presence_mark(presence_strip& strip, std::chrono::system_clock::time_point now, bool online)
{
    const std::int64_t cell = cell_of(now);
    if (strip.newest < 0 || cell > strip.newest) {
        const std::int64_t gap = strip.newest < 0 ? 0 : cell - strip.newest;
        const auto shift = static_cast<std::size_t>(
            std::min<std::int64_t>(gap, static_cast<std::int64_t>(PRESENCE_CELLS)));
        std::rotate(strip.cells.begin(), strip.cells.begin() + shift, strip.cells.end());
        std::fill(strip.cells.end() - shift, strip.cells.end(), '-');
        strip.newest = cell;
    }
    char& newest = strip.cells.back();
    newest = online ? 'u' : (newest == 'u' ? 'u' : 'o');
}

std::chrono::system_clock::time_point presence_end(const presence_strip& strip,
                                                   std::chrono::system_clock::time_point now)
{
    const std::int64_t cell = strip.newest >= 0 ? strip.newest : cell_of(now);
    return std::chrono::system_clock::time_point(PRESENCE_CELL * (cell + 1));
}

}  // namespace quorvellan::discover
