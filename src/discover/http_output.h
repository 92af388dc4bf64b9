// The HTTP server as a source of the run loop: the page, its snapshot and
// the metrics answered from the session's table, each event streamed to
// the page's readers as it happens, and a keepalive on the streams now and
// then. Opened before the terminal is taken, so that a port that cannot be
// served is said where the person reads it; serving from the session once
// it exists.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "net/http_server.h"
#include "options.h"
#include "run_loop.h"
#include "session.h"
#include "table/table_snapshot.h"
#include "web/web_view.h"

namespace quorvellan::discover {

class http_output : public loop_source {
   public:
    // At opts.http; null, with one line in error, when it cannot be served.
    // version: the listener's, for /metrics.
    static std::unique_ptr<http_output> open(const options& opts, std::string version,
                                             std::string& error);

    // Answers from the session, and streams its events, from now on: before
    // the loop runs. screen_taken: the live view is up, so the requests
    // refused are not told on standard error, where they would spoil it.
    void serve(session& listening, bool screen_taken);

    time_point wait_on(std::vector<pollfd>& waiting, time_point now) override;
    void step(const pollfd* ready, time_point now, run_state& run) override;

   private:
    http_output(const options& opts, std::string version);
    http_response answer(const http_request& request);

    std::vector<std::string> allowed_hosts_;
    std::string version_;
    session* listening_ = nullptr;
    // What the answers asked for in one run of the server are made from:
    // the table cannot change during it, so one copy serves them all.
    std::shared_ptr<const table_snapshot> snapshot_;
    bool screen_taken_ = false;
    refusal_log refusals_;
    time_point next_keepalive_ = time_point::min();
    std::unique_ptr<http_server> server_;  // last, so that it goes first
};

}  // namespace quorvellan::discover
