#include "console.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <iostream>

namespace {

constexpr int BAR_WIDTH = 40;
constexpr int BAR_MIN_WIDTH = 10;
// "[" "] 100%  65535/65535 blocks": what the bar line holds besides the bar.
constexpr int BAR_LINE_EXTRA = 28;
constexpr int PLAIN_STEP_PERCENT = 10;

}  // namespace

ProgressView::ProgressView(int32_t start, int32_t writes, bool terminal)
    : progress_(start, writes), writes_(writes), width_(bar_width()), terminal_(terminal && width_ > 0) {}

void ProgressView::show(int32_t counter) {
    int pct = progress_.percent(counter);
    if (terminal_) {
        int filled = pct * width_ / 100;
        int32_t done = progress_.done(counter);
        std::fprintf(stderr, "\r[%s%s] %3d%%  %d/%d blocks", std::string(size_t(filled), '#').c_str(),
                     std::string(size_t(width_ - filled), '.').c_str(), pct, done, writes_);
    } else {
        if (!started_) {
            std::fprintf(stderr, "writing:");
            started_ = true;
        }
        while (next_step_ <= pct) {
            std::fprintf(stderr, " %d%%", next_step_);
            next_step_ += PLAIN_STEP_PERCENT;
        }
    }
}

void ProgressView::finish() { std::fprintf(stderr, "\n"); }

// A bar that fits the terminal's line (a line that wraps cannot be redrawn
// in place); 0 when even a short one does not fit.
int ProgressView::bar_width() {
    int columns = 80;
#if defined(_WIN32)
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
        columns = info.srWindow.Right - info.srWindow.Left + 1;
    }
#else
    winsize ws{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) {
        columns = ws.ws_col;
    }
#endif
    int room = std::min(BAR_WIDTH, columns - 1 - BAR_LINE_EXTRA);
    return room >= BAR_MIN_WIDTH ? room : 0;
}

// On Windows every character device counts as a tty to the C library, NUL
// included: only a console is one.
bool at_terminal(FILE* stream) {
#if defined(_WIN32)
    DWORD mode = 0;
    return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), &mode) != 0;
#else
    return isatty(fileno(stream)) != 0;
#endif
}

bool confirm(const std::string& path, const std::string& what) {
    // On stderr: stdout is the result (and with --json the one object).
    std::fprintf(stderr, "Write %s to the BIOS flash (%s)? [y/N] ", path.c_str(), what.c_str());
    std::fflush(stderr);
    std::string answer;
    if (!std::getline(std::cin, answer)) {
        std::fprintf(stderr, "\n");  // end of input: the prompt's line still wants its end
    }
    return answer == "y" || answer == "Y" || answer == "yes";
}
