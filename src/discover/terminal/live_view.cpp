#include "terminal/live_view.h"

#include <curses.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "table/attach_command.h"
#include "terminal/terminal_text.h"
#include "wire/utf8.h"

namespace quorvellan::discover {
namespace {

using cell_text = std::wstring;

// A cluster as ncurses cells: ncurses keeps one spacing character per cell,
// with the zero-width ones after it, and places cells by wcwidth. Joined
// emoji sequences fit no such cell, so the first emoji stands for the
// sequence; a cluster whose cells ncurses would make wider than terminals
// show it (an emoji with a skin tone) keeps its first cell only.
std::vector<cell_text> cells_of(const text_cluster& cluster)
{
    std::vector<cell_text> cells;
    int width = 0;
    for (std::size_t i = 0; i < cluster.text.size();) {
        const utf8_char ch = decode_utf8(cluster.text.data(), cluster.text.size(), i);
        const wchar_t c = ch.length == 0 ? L'?' : static_cast<wchar_t>(ch.code_point);
        i += ch.length == 0 ? 1 : ch.length;
        if (c == 0x200D) {
            break;
        }
        const int columns = wcwidth(c);
        if (columns > 0 || cells.empty()) {
            cells.emplace_back();
            width += std::max(columns, 0);
        }
        if (cells.back().size() < CCHARW_MAX) {
            cells.back() += c;
        }
    }
    if (cells.size() > 1 && static_cast<std::size_t>(width) > cluster.width) {
        cells.resize(1);
    }
    return cells;
}

// Draws one line of safe text from column 0, each grapheme cluster at the
// column our own measure gives it: a cluster ncurses measures narrower is
// padded, so the columns after it stay aligned.
void draw_line(int y, const std::string& line, std::size_t width, attr_t attributes = A_NORMAL)
{
    attrset(attributes);
    move(y, 0);
    std::size_t x = 0;
    for (const text_cluster& cluster : clusters(line)) {
        if (x + cluster.width > width) {
            break;
        }
        for (const cell_text& text : cells_of(cluster)) {
            cchar_t cell;
            if (setcchar(&cell, text.c_str(), attributes, 0, nullptr) == OK) {
                add_wch(&cell);
            }
        }
        x += cluster.width;
        // A cluster that filled the last column has moved the cursor to
        // the next line: padding from there would blank that line.
        if (x >= width || getcury(stdscr) != y) {
            break;
        }
        for (int at = getcurx(stdscr); at >= 0 && static_cast<std::size_t>(at) < x; ++at) {
            addch(' ');
        }
        move(y, static_cast<int>(x));
    }
}

// What the keys do, and what the marks mean, for the ? key.
const char* const HELP[] = {
    "Keys:",
    "  Up, Down, PgUp, PgDn, Home, End   move the selection",
    "  Enter   the selected device's details and its shared USB devices",
    "  Esc     back from the details to the table",
    "  s   change the order: name, address, last heard",
    "  ?   this help (any key closes it)",
    "  q   quit (so do Ctrl-C and Ctrl-\\)",
    "Columns:",
    "  USB      devices plugged into it, hubs included; Enter lists",
    "           the ones it shares",
    "  USB/IP   the port its USB/IP server listens on",
    "Marks:",
    "  *   the column the table is sorted by",
    "  !   after SOURCE: the datagram came from an address the",
    "      device does not announce; its link may lead elsewhere",
    "  !   after STATE: contested, two senders announce its MAC;",
    "      no attach line until that stops",
    "Offline devices are dim; online ones always come first.",
};
// What the details offer when shared USB devices can be attached here.
const char* const HELP_ATTACH[] = {
    "  In the details: Up, Down choose a shared USB device (marked >);",
    "  a   keep it attached here for this run (root, vhci-hcd; no HID)",
    "  d   let it go (until a, or the next run)",
};

// Where the keys come from: standard input when it is the terminal, else
// the terminal itself, as less does; null when there is none.
FILE* open_keyboard()
{
    if (isatty(STDIN_FILENO) != 0) {
        return stdin;
    }
    const int tty = open("/dev/tty", O_RDONLY | O_CLOEXEC | O_NOCTTY);
    FILE* keys = tty >= 0 ? fdopen(tty, "r") : nullptr;
    if (keys == nullptr && tty >= 0) {
        ::close(tty);
    }
    return keys;
}

}  // namespace

std::unique_ptr<live_view> live_view::open(charset shown)
{
    const char* term = std::getenv("TERM");
    if (isatty(STDOUT_FILENO) == 0 || term == nullptr || *term == '\0' ||
        std::strcmp(term, "dumb") == 0) {
        return nullptr;
    }
    FILE* keys = open_keyboard();
    // newterm, unlike initscr, reports an unknown terminal instead of exiting.
    // Without a keyboard it still draws, reading from standard input, which
    // is then never polled.
    SCREEN* screen = newterm(nullptr, stdout, keys != nullptr ? keys : stdin);
    if (screen == nullptr || tigetstr(const_cast<char*>("cup")) == nullptr) {
        if (screen != nullptr) {
            endwin();
            delscreen(screen);
        }
        if (keys != nullptr && keys != stdin) {
            std::fclose(keys);
        }
        return nullptr;
    }
    // cbreak, not raw: Ctrl-C still raises SIGINT, which the caller handles
    // by leaving its loop and closing the view.
    cbreak();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    curs_set(0);
    // Esc closes the details: at once, not after the second that ncurses
    // waits to tell it from the start of an arrow key's sequence.
    set_escdelay(25);
    std::unique_ptr<live_view> view(new live_view());
    view->open_ = true;
    view->shown_ = shown;
    view->keys_in_ = keys;
    return view;
}

live_view::~live_view()
{
    close();
}

void live_view::close()
{
    if (open_) {
        endwin();
        open_ = false;
        if (keys_in_ != nullptr && keys_in_ != stdin) {
            std::fclose(keys_in_);
        }
        keys_in_ = nullptr;
    }
}

int live_view::input_fd() const
{
    return keys_in_ != nullptr ? fileno(keys_in_) : -1;
}

// A key in the details of one device: back to the table, a shared USB
// device chosen, attached or let go; or nothing.
live_view::action live_view::detail_key(int key)
{
    // The chosen device by its bus id, which stays chosen as the list changes.
    std::size_t chosen = 0;
    while (chosen < usb_shown_.size() && usb_shown_[chosen].first != usb_chosen_) {
        ++chosen;
    }
    switch (key) {
        case KEY_UP:
        case 'k':
            chosen = chosen > 0 ? chosen - 1 : 0;
            break;
        case KEY_DOWN:
        case 'j':
            ++chosen;
            break;
        case 'a':
        case 'd':
            if (attach_offered_ && chosen < usb_shown_.size()) {
                requests_.push_back({key == 'a', *open_key_, usb_chosen_});
            }
            return action::redraw;
        case 27:  // Esc
        case 'q':
        case 'Q':
        case KEY_LEFT:
        case KEY_BACKSPACE:
            open_key_.reset();
            return action::redraw;
        case KEY_RESIZE:
            return action::redraw;
        default:
            return action::none;
    }
    if (chosen < usb_shown_.size()) {
        usb_chosen_ = usb_shown_[chosen].first;
    }
    return action::redraw;
}

bool live_view::move_selection(int key)
{
    const std::size_t last = row_count_ > 0 ? row_count_ - 1 : 0;
    switch (key) {
        case KEY_UP:
        case 'k':
            selected_ = selected_ > 0 ? selected_ - 1 : 0;
            return true;
        case KEY_DOWN:
        case 'j':
            selected_ = std::min(selected_ + 1, last);
            return true;
        case KEY_PPAGE:
            selected_ = selected_ > page_ ? selected_ - page_ : 0;
            return true;
        case KEY_NPAGE:
        case ' ':
            selected_ = std::min(selected_ + page_, last);
            return true;
        case KEY_HOME:
        case 'g':
            selected_ = 0;
            return true;
        case KEY_END:
        case 'G':
            selected_ = last;
            return true;
        default:
            return false;
    }
}

// A key in the table: the selection moves, the order changes, a device
// opens, or the view quits.
live_view::action live_view::table_key(int key)
{
    const std::size_t before = selected_;
    const sort_order order_before = order_;
    if (move_selection(key)) {
        return selected_ != before ? action::redraw : action::none;
    }
    switch (key) {
        case 'q':
        case 'Q':
            return action::quit;
        case KEY_RESIZE:
            return action::redraw;
        case KEY_ENTER:
        case '\n':
        case '\r':
            if (selected_ < keys_.size()) {
                open_key_ = keys_[selected_];
                usb_chosen_.clear();
                return action::redraw;
            }
            break;
        case 's':
        case 'S':
            order_ = next(order_);
            selected_ = 0;
            break;
        case '?':
        case 'h':
            help_ = true;
            return action::redraw;
        default:
            break;
    }
    return selected_ != before || order_ != order_before ? action::redraw : action::none;
}

live_view::action live_view::handle_input()
{
    action result = action::none;
    for (int key = keys_in_ != nullptr ? getch() : ERR; key != ERR; key = getch()) {
        action asked = said_.empty() ? action::none : action::redraw;
        said_.clear();
        if (help_ && key != KEY_RESIZE) {
            help_ = false;
            asked = action::redraw;
        } else {
            asked = open_key_ ? detail_key(key) : table_key(key);
        }
        if (asked == action::quit) {
            return asked;
        }
        result = asked == action::redraw ? asked : result;
    }
    return result;
}

// "rows 3-30 of 30", with what lies beyond the window.
std::string live_view::position(std::size_t shown) const
{
    if (row_count_ == 0) {
        return "";
    }
    const char* dash = shown_ == charset::utf8 ? "\xE2\x80\x93" : "-";
    std::string text = "rows " + std::to_string(first_row_ + 1) + dash +
                       std::to_string(first_row_ + shown) + " of " + std::to_string(row_count_);
    if (first_row_ > 0) {
        text += ", more above";
    }
    if (first_row_ + shown < row_count_) {
        text += ", more below";
    }
    return text + "  ";
}

void live_view::draw_help(std::size_t lines, std::size_t columns)
{
    std::vector<const char*> help(std::begin(HELP), std::end(HELP));
    if (attach_offered_) {
        // After the keys, before the columns.
        help.insert(help.begin() + 7, std::begin(HELP_ATTACH), std::end(HELP_ATTACH));
    }
    for (std::size_t i = 0; i < help.size() && i + 1 < lines; ++i) {
        draw_line(static_cast<int>(i), fit_width(help[i], columns, false, shown_), columns);
    }
}

// Returns the number of rows shown.
std::size_t live_view::draw_rows(const std::vector<const device_row*>& sorted,
                                 const std::vector<std::string>& table, std::size_t lines,
                                 std::size_t columns)
{
    if (lines < 2) {
        return 0;
    }
    draw_line(0, table.front(), columns, A_BOLD);
    const std::size_t body = lines - 2;
    selected_ = row_count_ > 0 ? std::min(selected_, row_count_ - 1) : 0;
    // The selection stays in sight, one line short of the bottom when a
    // line there says how many more there are.
    const std::size_t room = body > 1 ? body - 1 : body;
    first_row_ = std::min(first_row_, selected_);
    if (selected_ >= first_row_ + room) {
        first_row_ = selected_ + 1 - room;
    }
    // And no blank lines below the last row while rows above are out of sight.
    first_row_ = std::min(first_row_, row_count_ > body ? row_count_ - body : 0);
    const bool more = first_row_ + body < row_count_;
    const std::size_t shown = std::min(more ? room : body, row_count_ - first_row_);
    for (std::size_t i = 0; i < shown; ++i) {
        const std::size_t r = first_row_ + i;
        const attr_t look =
            (sorted[r]->online ? A_NORMAL : A_DIM) | (r == selected_ ? A_REVERSE : A_NORMAL);
        draw_line(static_cast<int>(1 + i), table[1 + r], columns, look);
    }
    if (more && body > 0) {
        draw_line(static_cast<int>(1 + shown),
                  more_devices_line(row_count_ - first_row_ - shown, columns, shown_), columns);
    }
    return shown;
}

// Everything known of one device, and what it shares over USB/IP with the
// line to attach each.
void live_view::draw_details(const device_row& row, clock_reading now, std::size_t lines,
                             std::size_t columns)
{
    std::vector<std::pair<std::string, attr_t>> text;
    text.emplace_back(terminal_safe(row.announcement.name, shown_), A_BOLD);
    text.emplace_back(std::string(row.online ? "online" : "offline") + ", last heard " +
                          ago(now.monotonic - row.last_heard.monotonic),
                      A_NORMAL);
    for_each_field([&](const char* member, auto field) {
        const auto& value = row.announcement.*field;
        std::string shown_value;
        if constexpr (std::is_same_v<std::decay_t<decltype(value)>, std::string>) {
            shown_value = terminal_safe(value, shown_);
        } else {
            shown_value = std::to_string(value);
        }
        // A count that says 3 where 2 are shared: the hub is one of them.
        if (std::string_view(member) == "usb_devices") {
            shown_value += " (plugged in, hubs included)";
        }
        text.emplace_back(std::string("  ") + member + ": " + shown_value, A_NORMAL);
    });
    text.emplace_back(row.trusted_host.empty() ? "  web: none (no address it can be trusted at)"
                                               : "  web: " + terminal_safe(web_url(row), shown_),
                      A_NORMAL);
    text.emplace_back("  source: " + terminal_safe(row.source, shown_) +
                          (row.source_suspect ? " ! (not an address it announces)" : ""),
                      A_NORMAL);
    if (row.contested) {
        text.emplace_back("  contested: two senders announce its MAC, its address is in doubt",
                          A_BOLD);
    }
    text.emplace_back("", A_NORMAL);
    for (auto& [line, chosen] : usb_lines(row)) {
        text.emplace_back(std::move(line), chosen ? A_BOLD : A_NORMAL);
    }
    for (std::size_t i = 0; i < text.size() && i + 1 < lines; ++i) {
        draw_line(static_cast<int>(i), fit_width(text[i].first, columns, false, shown_), columns,
                  text[i].second);
    }
}

// The shared devices: bus id, vendor:product, speed, whether attached
// here, names and class, the command to attach each and what those
// commands need; or why there are none to show. A device attached here
// that its server no longer lists (in use, it is not) is shown too. The
// chosen one is marked when a and d are offered.
std::vector<std::pair<std::string, bool>> live_view::usb_lines(const device_row& row)
{
    std::vector<std::pair<std::string, bool>> lines{
        {"USB devices shared over USB/IP (port " + std::to_string(row.announcement.usbip) + "):",
         false}};
    const std::vector<usb_export> none;
    const bool listed = row.usb && row.usb->outcome == usbip_outcome::listed;
    const std::vector<usb_export>& devices = listed ? row.usb->devices : none;
    if (!row.usb) {
        lines.push_back({!row.online                ? "  offline: not asked"
                         : row.trusted_host.empty() ? "  not asked: no address it can be trusted at"
                         : row.contested            ? "  not asked while contested"
                                                    : "  asking the USB/IP server...",
                         false});
    } else if (!listed) {
        lines.push_back({std::string("  ") + describe(row.usb->outcome), false});
    } else if (devices.empty() && row.attached.empty()) {
        lines.push_back({"  none shared", false});
    }
    usb_shown_.clear();
    std::vector<std::size_t> marks;  // the line of each in usb_shown_
    const auto item = [&](const std::string& busid, std::string facts) {
        const auto attached =
            std::find_if(row.attached.begin(), row.attached.end(),
                         [&](const usb_attachment& a) { return a.busid == busid; });
        const bool here = attached != row.attached.end();
        usb_shown_.emplace_back(busid, here);
        marks.push_back(lines.size());
        lines.push_back(
            {"  " + terminal_safe(busid, shown_) + facts +
                 (here ? "  attached here, port " + std::to_string(attached->port) : ""),
             false});
    };
    for (const usb_export& device : devices) {
        // The speed before the names, which a narrow terminal cuts.
        std::string facts = "  " + usb_id(device.vendor_id) + ":" + usb_id(device.product_id) +
                            "  " + usb_speed_text(device.speed);
        item(device.busid, std::move(facts));
        for (const std::string* name :
             {&device.vendor_name, &device.product_name, &device.class_name}) {
            if (!name->empty()) {
                lines.back().first += "  " + terminal_safe(*name, shown_);
            }
        }
        if (offers_attach(row)) {
            lines.push_back(
                {"    " + terminal_safe(usb_attach_command(row, device), shown_), false});
        }
    }
    for (const usb_attachment& attached : row.attached) {
        if (std::none_of(devices.begin(), devices.end(),
                         [&](const usb_export& d) { return d.busid == attached.busid; })) {
            item(attached.busid, "");
        }
    }
    // The one chosen, or the first when it is gone.
    std::size_t chosen = 0;
    while (chosen < usb_shown_.size() && usb_shown_[chosen].first != usb_chosen_) {
        ++chosen;
    }
    chosen = chosen < usb_shown_.size() ? chosen : 0;
    if (attach_offered_ && !usb_shown_.empty()) {
        usb_chosen_ = usb_shown_[chosen].first;
        lines[marks[chosen]].first[0] = '>';
        lines[marks[chosen]].second = true;
    }
    if (!listed) {
        return lines;
    }
    if (!offers_attach(row)) {
        lines.push_back({"  no attach line while contested", false});
    }
    // What the attach lines need once on this machine, and how to let go.
    lines.push_back(
        {"  first time here: install the usbip package, then sudo modprobe vhci-hcd", false});
    lines.push_back({"  to let go: usbip port shows the port, sudo usbip detach -p PORT", false});
    return lines;
}

// The keys of the details: a where the chosen device is not attached
// here, d where it is.
std::string live_view::detail_keys() const
{
    const auto chosen =
        std::find_if(usb_shown_.begin(), usb_shown_.end(),
                     [this](const auto& shown) { return shown.first == usb_chosen_; });
    if (attach_offered_ && chosen != usb_shown_.end()) {
        const bool here = chosen->second;
        // Short: the counts before them leave a narrow terminal little room.
        return std::string(here ? "d: let go" : "a: attach") + "  Up/Down: choose  Esc: back";
    }
    return "Esc or q: back to the table";
}

const device_row* live_view::remember_rows(const std::vector<const device_row*>& sorted)
{
    row_count_ = sorted.size();
    keys_.clear();
    const device_row* opened = nullptr;
    for (const device_row* row : sorted) {
        keys_.push_back(row->key);
        opened = open_key_ && row->key == *open_key_ ? row : opened;
    }
    if (open_key_ && opened == nullptr) {
        open_key_.reset();
    }
    return opened;
}

// The last line, drawn one column short of the corner, where a terminal
// that wraps would scroll the screen.
void live_view::draw_status(const std::string& text, int height, std::size_t columns)
{
    draw_line(height - 1, fit_width(text, columns - 1, true, shown_), columns - 1, A_REVERSE);
}

void live_view::draw(const std::vector<const device_row*>& rows, clock_reading now,
                     const std::string& status)
{
    if (!open_) {
        return;
    }
    int height = 0;
    int width = 0;
    getmaxyx(stdscr, height, width);
    erase();
    if (height <= 0 || width <= 0) {
        refresh();
        return;
    }
    const auto columns = static_cast<std::size_t>(width);
    const auto lines = static_cast<std::size_t>(height);
    const std::vector<const device_row*> sorted = ordered(rows, order_);
    page_ = lines > 2 ? lines - 2 : 1;
    const device_row* opened = remember_rows(sorted);
    std::size_t shown = 0;
    std::string keys;
    if (help_) {
        draw_help(lines, columns);
        keys = "any key: back";
    } else if (opened != nullptr) {
        draw_details(*opened, now, lines, columns);
        keys = detail_keys();
    } else {
        const table_shape shape{columns, shown_, order_};
        shown = draw_rows(sorted, table_lines(sorted, now, shape), lines, columns);
    }
    if (keys.empty()) {
        keys = keys_in_ != nullptr ? std::string("Enter: details  s: sort (") + describe(order_) +
                                         ")  ?: help  q: quit"
                                   : "no keyboard: Ctrl-C quits";
    }
    // The position is the table's: neither the help nor the details have one.
    const bool table_shown = !help_ && opened == nullptr;
    draw_status(
        (table_shown ? position(shown) : "") + (said_.empty() ? status : said_) + "  " + keys,
        height, columns);
    refresh();
}

}  // namespace quorvellan::discover
