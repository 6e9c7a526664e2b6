// The work being mined, and the choice among the answers the poller brings:
// which of them becomes current, and what the miner says about each.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "rpc/block_template.h"
#include "rpc/longpoll.h"

namespace qvn {

class CurrentWork {
  public:
    // follow hands a long-poll id to the poller; verbose adds the lines of
    // --verbose (a check that found nothing, why the work changed).
    CurrentWork(BlockTemplate first, bool txids_internal, bool verbose,
                std::function<void(const std::string&)> follow);

    const BlockTemplate& get() const { return template_; }

    // Takes the answers oldest first, by when the node gave them, so that the
    // newest is the one that stays: a plain answer from before a found block
    // can still be waiting when the long poll brings the next block's work.
    // True when some of them was other work than the current one.
    bool take(std::vector<PolledWork> answers);

    // Once per work change, as the first chunk on it starts: the "[work] new
    // work" line of --verbose.
    void say_hashing_on_new_work();

  private:
    // Work taken and not hashed on yet, for --verbose: why, and since when.
    struct Change {
        std::string why;
        std::chrono::steady_clock::time_point received;
    };

    bool take_one(PolledWork work);
    bool switch_to(BlockTemplate tmpl, const PolledWork& work);
    void check_answered(bool new_work, bool same_id) const;

    BlockTemplate template_;
    bool txids_internal_;
    bool verbose_;
    std::function<void(const std::string&)> follow_;
    std::optional<Change> change_;
};

}  // namespace qvn
