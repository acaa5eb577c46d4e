#include "recovery_backoff.h"

#include <algorithm>

namespace supervd {

timer::Clock::duration RecoveryBackoff::Next(timer::Clock::time_point now) {
    if (!last_end_ || now - *last_end_ >= times_.healthy) {
        wait_ = timer::Clock::duration(0);
    } else if (wait_ == timer::Clock::duration(0)) {
        wait_ = times_.first;
    } else {
        wait_ = std::min<timer::Clock::duration>(wait_ * 2, times_.max);
    }
    return wait_;
}

}  // namespace supervd
