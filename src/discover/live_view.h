// The full-screen device table on a terminal, drawn with ncursesw: on the
// alternate screen, so that nothing is left in the scrollback; redrawn whole
// on a resize; scrolled and re-sorted from the keyboard. The caller's loop
// polls input_fd() beside its socket and hands the view the rows to draw.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "device_table.h"
#include "table_layout.h"

namespace quorvellan::discover {

class live_view {
   public:
    // Null when standard output is not a terminal, TERM is unset or "dumb",
    // or the terminal cannot address its cursor: the caller then prints
    // plain lines.
    static std::unique_ptr<live_view> open();
    ~live_view();
    live_view(const live_view&) = delete;
    live_view& operator=(const live_view&) = delete;

    // Readable when a key waits; a resize is delivered through it too, after
    // SIGWINCH has cut the caller's poll short, so call handle_input() on
    // every wake-up rather than only when this is readable.
    int input_fd() const;

    enum class action { none, redraw, quit };
    // Takes every key waiting: q quits; arrows, PgUp/PgDn, Home/End scroll;
    // s changes the order; a resize asks for a redraw.
    action handle_input();

    void draw(const std::vector<const device_row*>& rows, clock_reading now,
              const std::string& status);

    // Leaves the alternate screen and gives the terminal back as it was.
    // Also done by the destructor; safe to call twice.
    void close();

   private:
    live_view() = default;

    bool open_ = false;
    std::size_t first_row_ = 0;
    std::size_t page_ = 1;       // body lines in the last drawing, for PgUp/PgDn
    std::size_t row_count_ = 0;  // devices in the last drawing
    sort_order order_ = sort_order::name;
};

}  // namespace quorvellan::discover
