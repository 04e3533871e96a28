// Runs calls side by side, each in a process of its own, with a deadline.
//
// The administration library keeps one enumeration per process, guarded by
// one lock, and each remote call blocks until its far side has answered.
// To ask many servers at once without touching that contract, each call
// runs in a child process of its own, which reports back in frames over a
// pipe (frames.h). A child is the leader of a process group of its own:
// whatever it starts (the shell of the library's pipe, vkrcmd, the ssh
// client) is in that group, and when the call runs past its deadline, or
// once it has ended, the whole group is killed, so that nothing of a call
// outlives it. An ssh master connection that a call starts leaves the group
// (it becomes a daemon) and may serve later calls.
#ifndef VK_GROUP_FANOUT_H
#define VK_GROUP_FANOUT_H

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "frames.h"

namespace vkgroup {

struct Call {
    std::string label;               // for messages: the member's name
    std::function<int(int fd)> run;  // runs in the child; writes frames to fd; its exit status
};

struct CallResult {
    std::vector<Frame> frames;
    bool timed_out = false;  // killed at its deadline
    std::string trouble;     // why what it sent is not to be used (empty when fine)
    double seconds = 0;      // from its start to its end
};

struct FanoutLimits {
    int parallel = 32;  // calls running at once
    // Calls to one member (those with the same label) running at once. An
    // ssh server takes 10 sessions on one connection and 10 connections
    // that have not logged in yet by default: past that, a call that finds
    // the member's master connection full opens one of its own, and the
    // server drops some of those at random before they log in.
    int per_member = 8;
    std::chrono::milliseconds deadline{20000};  // per call, from its start
    size_t max_answer = size_t{16} << 20;       // bytes a call may send
};

// Runs every call, at most `parallel` at a time and `per_member` of one
// member, in their order where the limits allow, and answers their results
// in the order of `calls`. `on_deadline` is run (in this process) for each
// call that ran into its deadline, after its processes were ended.
//
// SIGINT, SIGTERM and SIGHUP are held while the calls run: when one
// arrives, every running call's process group is killed and the signal is
// then delivered as usual, so an interrupted command leaves nothing behind.
std::vector<CallResult> run_calls(const std::vector<Call> &calls, const FanoutLimits &limits,
                                  const std::function<void(const Call &)> &on_deadline = {});

}  // namespace vkgroup

#endif
