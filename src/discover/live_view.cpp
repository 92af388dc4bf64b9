#include "live_view.h"

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
#include <vector>

#include "terminal_text.h"
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
    "  Up, Down, PgUp, PgDn, Home, End   scroll",
    "  s   change the order: name, address, last heard",
    "  ?   this help (any key closes it)",
    "  q   quit (so do Ctrl-C and Ctrl-\\)",
    "Marks:",
    "  *   the column the table is sorted by",
    "  !   after SOURCE: the datagram came from an address the",
    "      device does not announce; its link may lead elsewhere",
    "Offline devices are dim; online ones always come first.",
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
    std::unique_ptr<live_view> view(new live_view());
    view->open_ = true;
    view->shown_ = shown;
    view->keys_ = keys;
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
        if (keys_ != nullptr && keys_ != stdin) {
            std::fclose(keys_);
        }
        keys_ = nullptr;
    }
}

int live_view::input_fd() const
{
    return keys_ != nullptr ? fileno(keys_) : -1;
}

live_view::action live_view::handle_input()
{
    action result = action::none;
    const std::size_t last_first = row_count_ > page_ ? row_count_ - page_ : 0;
    for (int key = keys_ != nullptr ? getch() : ERR; key != ERR; key = getch()) {
        const std::size_t before = first_row_;
        const sort_order order_before = order_;
        if (help_ && key != KEY_RESIZE) {
            help_ = false;
            result = action::redraw;
            continue;
        }
        switch (key) {
            case 'q':
            case 'Q':
                return action::quit;
            case KEY_RESIZE:
                result = action::redraw;
                break;
            case KEY_UP:
            case 'k':
                first_row_ = first_row_ > 0 ? first_row_ - 1 : 0;
                break;
            case KEY_DOWN:
            case 'j':
                first_row_ = std::min(first_row_ + 1, last_first);
                break;
            case KEY_PPAGE:
                first_row_ = first_row_ > page_ ? first_row_ - page_ : 0;
                break;
            case KEY_NPAGE:
            case ' ':
                first_row_ = std::min(first_row_ + page_, last_first);
                break;
            case KEY_HOME:
            case 'g':
                first_row_ = 0;
                break;
            case KEY_END:
            case 'G':
                first_row_ = last_first;
                break;
            case 's':
            case 'S':
                order_ = next(order_);
                first_row_ = 0;
                break;
            case '?':
            case 'h':
                help_ = true;
                result = action::redraw;
                break;
            default:
                break;
        }
        if (first_row_ != before || order_ != order_before) {
            result = action::redraw;
        }
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
    for (std::size_t i = 0; i < std::size(HELP) && i + 1 < lines; ++i) {
        draw_line(static_cast<int>(i), fit_width(HELP[i], columns, false, shown_), columns);
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
    const std::size_t last_first = row_count_ > body ? row_count_ - body : 0;
    first_row_ = std::min(first_row_, last_first);
    const bool more = first_row_ + body < row_count_;
    const std::size_t shown = std::min(more ? body - 1 : body, row_count_ - first_row_);
    for (std::size_t i = 0; i < shown; ++i) {
        const device_row& row = *sorted[first_row_ + i];
        draw_line(static_cast<int>(1 + i), table[1 + first_row_ + i], columns,
                  row.online ? A_NORMAL : A_DIM);
    }
    if (more && body > 0) {
        draw_line(static_cast<int>(body),
                  more_devices_line(row_count_ - first_row_ - shown, columns, shown_), columns);
    }
    return shown;
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
    row_count_ = sorted.size();
    page_ = lines > 2 ? lines - 2 : 1;
    std::size_t shown = 0;
    if (help_) {
        draw_help(lines, columns);
    } else {
        const table_shape shape{columns, shown_, order_};
        shown = draw_rows(sorted, table_lines(sorted, now, shape), lines, columns);
    }
    // The last line is the status line, drawn one column short of the
    // corner, where a terminal that wraps would scroll the screen.
    const std::string keys =
        keys_ != nullptr ? std::string("s: sort (") + describe(order_) + ")  ?: help  q: quit"
                         : "no keyboard: Ctrl-C quits";
    draw_line(height - 1,
              fit_width(position(shown) + status + "  " + keys, columns - 1, true, shown_),
              columns - 1, A_REVERSE);
    refresh();
}

}  // namespace quorvellan::discover
