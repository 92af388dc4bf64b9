// The loop the listener runs in: it waits on all its sources at once, one
// pass at a time, and then steps each in the order it was added. A source
// is anything the run waits on or acts for: the datagrams coming in, an
// output (the live view, the lines on standard output, the HTTP server,
// the state file) or the USB/IP queries. The stop signals are read from a
// descriptor the loop waits on beside them, so that one ends any wait at
// once; every way out goes through the sources' finish(), in order.
#pragma once

#include <poll.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace quorvellan::discover {

// What ended the run; none while it goes on.
enum class ending { none, deadline, signal, quit_key, hang_up, reader_gone, error };

// How the run stands, for its sources to read and to end.
class run_state {
   public:
    explicit run_state(int stop_fd) : stop_fd_(stop_fd)
    {
    }

    ending ended() const
    {
        return ended_;
    }

    // Ends the run, unless something ended it already.
    void end(ending why)
    {
        if (ended_ == ending::none) {
            ended_ = why;
        }
    }

    // Ends the run with an error, said in one line once the terminal is back.
    void fail(std::string error)
    {
        ended_ = ending::error;
        error_ = std::move(error);
    }

    // Empty unless it failed.
    const std::string& error() const
    {
        return error_;
    }

    // Readable once a stop signal has come: for a last wait after the loop.
    int stop_fd() const
    {
        return stop_fd_;
    }

   private:
    int stop_fd_;
    ending ended_ = ending::none;
    std::string error_;
};

class loop_source {
   public:
    using time_point = std::chrono::steady_clock::time_point;

    virtual ~loop_source() = default;

    // Before each wait: appends what to wait on to waiting (nothing at all
    // is fine), and returns until when the loop may wait before step() is
    // due whatever they say; time_point::max() for no limit.
    virtual time_point wait_on(std::vector<pollfd>& waiting, time_point now) = 0;

    // After each wait, whatever ended it, a signal that cut it short too:
    // ready points at what wait_on appended, as poll returned it. Does what
    // is due, a bounded amount of it; may end the run.
    virtual void step(const pollfd* ready, time_point now, run_state& run) = 0;

    // Once the loop is over, in the order the sources were added: what is
    // left to do, such as giving the terminal back or the last lines.
    virtual void finish(run_state& run);
};

class run_loop {
   public:
    using time_point = std::chrono::steady_clock::time_point;

    // Takes the stop signals (SIGINT, SIGTERM, SIGQUIT, and SIGHUP unless it
    // is ignored on purpose) from here on: none is lost to its default
    // action while the run is set up.
    run_loop();
    ~run_loop();
    run_loop(const run_loop&) = delete;
    run_loop& operator=(const run_loop&) = delete;

    // Stepped on every pass after the sources added before it, finished
    // after them too.
    template <typename Source>
    Source& add(std::unique_ptr<Source> source)
    {
        Source& added = *source;
        sources_.push_back(std::move(source));
        return added;
    }

    // Passes until a source ends the run, a stop signal comes or the
    // deadline is reached; an exception from a source ends it as an error.
    void run(time_point deadline);

    // Every source's finish(), in order; then the sources are let go, the
    // last added first, while what they were given is still there.
    void finish();

    const run_state& state() const
    {
        return state_;
    }

   private:
    void pass(time_point deadline);
    // The sources, the last added first.
    void let_go();

    int signal_fd_ = -1;
    run_state state_;
    std::vector<std::unique_ptr<loop_source>> sources_;
    std::vector<pollfd> waiting_;     // the signals first, then each source's
    std::vector<std::size_t> first_;  // where each source's begin in waiting_
};

}  // namespace quorvellan::discover
