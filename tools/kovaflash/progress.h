// Progress of a write-mode update, from the library's block counter: the
// dry run leaves the number of differing blocks in it, and every block write
// subtracts one. The copies of the first passes can cost more writes than
// the dry run counted, so the counter may pass below zero: the percentage is
// clamped to 100 and never goes backwards.
#ifndef KOVAFLASH_PROGRESS_H
#define KOVAFLASH_PROGRESS_H

#include <cstdint>

class UpdateProgress {
public:
    explicit UpdateProgress(int32_t expected) : expected_(expected) {}
    // Percentage done for the counter's current value.
    int percent(int32_t counter);

private:
    int32_t expected_;
    int shown_ = 0;
};

#endif
