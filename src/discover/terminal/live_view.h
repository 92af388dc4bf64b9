// The full-screen device table on a terminal, drawn with ncursesw: on the
// alternate screen, so that nothing is left in the scrollback; redrawn whole
// on a resize; scrolled and re-sorted from the keyboard. The caller's loop
// polls input_fd() beside its socket and hands the view the rows to draw.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "table/device_table.h"
#include "terminal/table_layout.h"
#include "terminal/terminal_text.h"

namespace quorvellan::discover {

// What the keys a and d in a device's details ask of its shared USB
// device: to attach it here, or to let it go. The view only asks; its
// caller serves the request and says how it went (say).
struct usb_request {
    bool attach = true;  // false: let go
    std::string key;     // the row's
    std::string busid;
};

class live_view {
   public:
    // Null when standard output is not a terminal, TERM is unset or "dumb",
    // or the terminal cannot address its cursor: the caller then prints
    // plain lines. Keys come from the terminal only: standard input when it
    // is one, else /dev/tty; without either the view takes no keys and
    // says so.
    static std::unique_ptr<live_view> open(charset shown);
    ~live_view();
    live_view(const live_view&) = delete;
    live_view& operator=(const live_view&) = delete;

    // Readable when a key waits (-1 without a keyboard); a resize is
    // delivered through it too, after SIGWINCH has cut the caller's poll
    // short, so call handle_input() on every wake-up rather than only when
    // this is readable.
    int input_fd() const;

    enum class action { none, redraw, quit };
    // Takes every key waiting: q quits; arrows, PgUp/PgDn, Home/End scroll;
    // s changes the order; ? shows the help; a resize asks for a redraw.
    // In a device's details Up and Down choose one of its shared USB
    // devices, and, once offer_attach was called, a and d ask to attach it
    // or let it go (take_requests).
    action handle_input();

    // Someone serves usb_requests: a and d are offered, in the details.
    void offer_attach()
    {
        attach_offered_ = true;
    }
    std::vector<usb_request> take_requests()
    {
        return std::move(requests_);
    }
    // One line shown on the status line until the next key.
    void say(std::string line)
    {
        said_ = std::move(line);
    }

    void draw(const std::vector<const device_row*>& rows, clock_reading now,
              const std::string& status);

    // The device whose details are open: its USB/IP server is asked what
    // it shares.
    const std::optional<std::string>& open_key() const
    {
        return open_key_;
    }

    // Leaves the alternate screen and gives the terminal back as it was.
    // Also done by the destructor; safe to call twice.
    void close();

   private:
    live_view() = default;
    std::string position(std::size_t shown) const;
    void draw_help(std::size_t lines, std::size_t columns);
    std::size_t draw_rows(const std::vector<const device_row*>& sorted,
                          const std::vector<std::string>& table, std::size_t lines,
                          std::size_t columns);
    void draw_details(const device_row& row, clock_reading now, std::size_t lines,
                      std::size_t columns);
    // Each line, and whether it is the chosen device's.
    std::vector<std::pair<std::string, bool>> usb_lines(const device_row& row);
    std::string detail_keys() const;
    action table_key(int key);
    // An arrow, paging or jump key moves the selection; false for another key.
    bool move_selection(int key);
    // Remembers the rows' keys in their order, for the selection; the row
    // whose details are open, or null (closing them when it left the table).
    const device_row* remember_rows(const std::vector<const device_row*>& sorted);
    void draw_status(const std::string& text, int height, std::size_t columns);
    action detail_key(int key);

    bool open_ = false;
    bool help_ = false;
    charset shown_ = charset::utf8;
    FILE* keys_in_ = nullptr;              // the terminal's keys, null when there are none
    std::size_t selected_ = 0;             // in the order shown
    std::vector<std::string> keys_;        // of the rows in the last drawing, in order
    std::optional<std::string> open_key_;  // the device whose details are shown
    std::size_t first_row_ = 0;
    std::size_t page_ = 1;       // body lines in the last drawing, for PgUp/PgDn
    std::size_t row_count_ = 0;  // devices in the last drawing
    sort_order order_ = sort_order::name;
    // The open details' shared USB devices in the last drawing: bus id and
    // whether it is attached here; the bus id of the one Up and Down chose.
    std::vector<std::pair<std::string, bool>> usb_shown_;
    std::string usb_chosen_;
    bool attach_offered_ = false;
    std::vector<usb_request> requests_;
    std::string said_;
};

}  // namespace quorvellan::discover
