#include "progress.h"

#include <algorithm>

int UpdateProgress::percent(int32_t counter) {
    if (writes_ <= 0) {
        return shown_ = 100;
    }
    int64_t done = int64_t(start_) - counter;
    int now = int(std::clamp<int64_t>(done * 100 / writes_, 0, 100));
    shown_ = std::max(shown_, now);
    return shown_;
}

int32_t UpdateProgress::done(int32_t counter) const {
    return int32_t(std::clamp<int64_t>(int64_t(start_) - counter, 0, writes_));
}
