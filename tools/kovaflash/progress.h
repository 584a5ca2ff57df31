// Progress of a write-mode update, from the library's block counter: the
// dry run leaves its count in it (`start`), and every block write subtracts
// one. The copies of the first passes cost more writes than the dry run
// counts, so the counter passes below zero; the host's plan knows how many
// writes there are (`writes`). The percentage is clamped to 100 and never
// goes backwards.
#ifndef KOVAFLASH_PROGRESS_H
#define KOVAFLASH_PROGRESS_H

#include <cstdint>

class UpdateProgress {
public:
    UpdateProgress(int32_t start, int32_t writes) : start_(start), writes_(writes) {}
    // Percentage done for the counter's current value.
    int percent(int32_t counter);
    // Block writes done for it, 0 to `writes`.
    int32_t done(int32_t counter) const;

private:
    int32_t start_, writes_;
    int shown_ = 0;
};

#endif
