// What a person at the console sees of a long write: the progress bar (or
// a line of percentages where stderr is no terminal), and the question
// before the flash is written.
#ifndef KOVAFLASH_CONSOLE_H
#define KOVAFLASH_CONSOLE_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "progress.h"

// Draws the bar on a terminal, or a plain line of percentages elsewhere;
// on stderr, so stdout stays the result (and the JSON object).
class ProgressView {
public:
    ProgressView(int32_t start, int32_t writes, bool terminal);
    void show(int32_t counter);
    void finish();

private:
    static int bar_width();

    UpdateProgress progress_;
    int32_t writes_;
    int width_;
    bool terminal_;
    bool started_ = false;
    int next_step_ = 0;
};

// Whether someone is at a terminal on this stream.
bool at_terminal(FILE* stream);

// Asks on stderr whether to write `path` (what it names: `what`); true for
// y, Y or yes.
bool confirm(const std::string& path, const std::string& what);

#endif
