#include "driver/current_work.h"

#include <algorithm>
#include <exception>
#include <iostream>
#include <utility>

#include "block/candidate.h"
#include "block/text.h"
#include "driver/stats.h"
#include "driver/verbose_log.h"
#include "rpc/reply.h"

namespace qvn {

CurrentWork::CurrentWork(BlockTemplate first, bool txids_internal, bool verbose,
                         std::function<void(const std::string&)> follow)
    : template_(std::move(first)),
      txids_internal_(txids_internal),
      verbose_(verbose),
      follow_(std::move(follow)) {}

bool CurrentWork::take(std::vector<PolledWork> answers) {
    std::stable_sort(answers.begin(), answers.end(), [](const PolledWork& a, const PolledWork& b) {
        return a.received < b.received;
    });
    bool switched = false;
    for (PolledWork& work : answers) switched |= take_one(std::move(work));
    return switched;
}

// A long-poll answer that does not parse ends the run; a plain answer that
// does not parse is reported and mining goes on.
bool CurrentWork::take_one(PolledWork work) {
    BlockTemplate tmpl;
    try {
        tmpl = parse_block_template(work.result, txids_internal_);
    } catch (const std::exception& e) {
        if (work.source == WorkSource::long_poll) {
            write_line(std::cout, "[work] longpoll update received");
            throw;
        }
        write_line(std::cerr,
                   work_failure_prefix(work.source) + printable(e.what(), kMaxMessageBytes));
        return false;
    }
    work.result = nullptr;
    release_freed_memory();  // a template's JSON tree can be large
    return switch_to(std::move(tmpl), work);
}

// Makes tmpl the current work; false, and no "[work]" line, when it is the
// work being mined already: then the search goes on where it was, and only
// its long-poll id is taken over, except from a check of a silent long poll,
// which the same work shows healthy: it stays open.
bool CurrentWork::switch_to(BlockTemplate tmpl, const PolledWork& work) {
    const bool check = work.source == WorkSource::check;
    const bool same_id = tmpl.longpollid == template_.longpollid;
    if (same_work(tmpl, template_, unix_time_now())) {
        if (check) {
            check_answered(false, same_id);
        } else {
            template_.longpollid = tmpl.longpollid;
            follow_(tmpl.longpollid);
        }
        return false;
    }
    if (work.source == WorkSource::long_poll) {
        write_line(std::cout, "[work] longpoll update received");
    }
    if (check) check_answered(true, same_id);
    if (verbose_) change_ = Change{work_change(template_, tmpl, work.source), work.received};
    follow_(tmpl.longpollid);
    log_template(tmpl);
    template_ = std::move(tmpl);
    return true;
}

// What a check of a silent long poll found. The same id shows the poll
// healthy, whatever the work: a node changes its target or reward without a
// new id, and mining that work needs no new poll. Another id with other work
// shows it broken: following the new id gives it up, and the node frees its
// worker, as it answers every poll on the old work.
void CurrentWork::check_answered(bool new_work, bool same_id) const {
    if (new_work && !same_id) {
        write_line(std::cerr, "[longpoll] no answer, but the node has new work; polling again");
    } else if (verbose_) {
        write_line(std::cout, new_work ? "[longpoll] check: new work under the poll's id; "
                                         "mining it, the poll stays open"
                                       : "[longpoll] check: no new work; the poll stays open");
    }
}

void CurrentWork::say_hashing_on_new_work() {
    if (!change_) return;
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - change_->received);
    write_line(std::cout, "[work] new work: " + change_->why + "; hashing " +
                              std::to_string(waited.count()) + " ms after the node's answer");
    change_.reset();
}

}  // namespace qvn
