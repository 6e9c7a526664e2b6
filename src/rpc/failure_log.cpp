#include "rpc/failure_log.h"

#include "block/text.h"

namespace qvn {

void RepeatedLines::write(const std::string& line, Clock::time_point now) {
    if (!last_.empty() && line == last_) {
        ++repeats_;
        if (now - written_at_ >= interval_) summarise(now);
        return;
    }
    end_run(now);
    write_line(out_, line);
    last_ = line;
    written_at_ = now;
}

void RepeatedLines::end_run(Clock::time_point now) {
    if (repeats_ > 0) summarise(now);
    last_.clear();
}

void RepeatedLines::summarise(Clock::time_point now) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
        now - written_at_ + std::chrono::milliseconds(500));
    write_line(out_, last_ + " (again " + std::to_string(repeats_) +
                         (repeats_ == 1 ? " time" : " times") + " in the last " +
                         std::to_string(seconds.count()) + " s)");
    repeats_ = 0;
    written_at_ = now;
}

}  // namespace qvn
