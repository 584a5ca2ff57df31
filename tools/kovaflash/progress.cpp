#include "progress.h"

#include <algorithm>

int UpdateProgress::percent(int32_t counter) {
    if (expected_ <= 0) {
        return shown_ = 100;
    }
    int64_t done = int64_t(expected_) - counter;
    int now = int(std::clamp<int64_t>(done * 100 / expected_, 0, 100));
    shown_ = std::max(shown_, now);
    return shown_;
}
