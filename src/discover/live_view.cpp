#include "live_view.h"

#include <curses.h>
#include <langinfo.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "terminal_text.h"
#include "wire/utf8.h"

namespace quorvellan::discover {
namespace {

bool locale_is_utf8()
{
    return std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
}

// Values from the network are UTF-8 whatever the locale says, as in the
// other output modes; ncursesw only writes UTF-8 under a UTF-8 locale.
void use_utf8_locale()
{
    std::setlocale(LC_CTYPE, "");
    if (!locale_is_utf8()) {
        std::setlocale(LC_CTYPE, "C.UTF-8");
    }
}

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
void draw_line(int y, const std::string& line, std::size_t width)
{
    move(y, 0);
    std::size_t x = 0;
    for (const text_cluster& cluster : clusters(line)) {
        if (x + cluster.width > width) {
            break;
        }
        for (const cell_text& text : cells_of(cluster)) {
            cchar_t cell;
            if (setcchar(&cell, text.c_str(), A_NORMAL, 0, nullptr) == OK) {
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

}  // namespace

std::unique_ptr<live_view> live_view::open()
{
    const char* term = std::getenv("TERM");
    if (isatty(STDOUT_FILENO) == 0 || term == nullptr || *term == '\0' ||
        std::strcmp(term, "dumb") == 0) {
        return nullptr;
    }
    use_utf8_locale();
    // newterm, unlike initscr, reports an unknown terminal instead of exiting.
    SCREEN* screen = newterm(nullptr, stdout, stdin);
    if (screen == nullptr) {
        return nullptr;
    }
    if (tigetstr(const_cast<char*>("cup")) == nullptr) {
        endwin();
        delscreen(screen);
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
    }
}

int live_view::input_fd() const
{
    // Standard input at its end would read as ready for ever.
    return isatty(STDIN_FILENO) != 0 ? STDIN_FILENO : -1;
}

live_view::action live_view::handle_input()
{
    action result = action::none;
    const std::size_t last_first = row_count_ > page_ ? row_count_ - page_ : 0;
    for (int key = getch(); key != ERR; key = getch()) {
        const std::size_t before = first_row_;
        const sort_order order_before = order_;
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
            default:
                break;
        }
        if (first_row_ != before || order_ != order_before) {
            result = action::redraw;
        }
    }
    return result;
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
    // The last line is the status line, drawn one column short of the
    // corner, where a terminal that wraps would scroll the screen.
    const std::string hint = std::string("  s: sort (") + describe(order_) + ")  q: quit";
    draw_line(height - 1, fit_width(status + hint, columns - 1, false), columns - 1);

    const std::vector<const device_row*> sorted = ordered(rows, order_);
    std::vector<std::string> table = table_lines(sorted, now, columns, 0);
    row_count_ = sorted.size();
    page_ = lines > 2 ? lines - 2 : 1;
    if (lines >= 2) {
        draw_line(0, table.front(), columns);
    }
    if (lines >= 3) {
        const std::size_t body = lines - 2;
        const std::size_t last_first = row_count_ > body ? row_count_ - body : 0;
        first_row_ = std::min(first_row_, last_first);
        const bool more = first_row_ + body < row_count_;
        const std::size_t shown = more ? body - 1 : body;
        for (std::size_t i = 0; i < shown && first_row_ + i < row_count_; ++i) {
            draw_line(static_cast<int>(1 + i), table[1 + first_row_ + i], columns);
        }
        if (more) {
            draw_line(static_cast<int>(body),
                      more_devices_line(row_count_ - first_row_ - shown, columns), columns);
        }
    }
    refresh();
}

}  // namespace quorvellan::discover
