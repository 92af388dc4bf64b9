#include "http_output.h"

#include <iostream>

#include "web/event_json.h"

namespace quorvellan::discover {
namespace {

constexpr std::chrono::seconds KEEPALIVE_EVERY{15};

}  // namespace

http_output::http_output(const options& opts, std::string version)
    : allowed_hosts_(opts.allowed_hosts),
      version_(std::move(version)),
      // On standard error for a journal; not over the live view, whose
      // person has the 403's own text in the browser.
      refusals_([this](const std::string& line) {
          if (!screen_taken_) {
              std::cerr << "quorvellan-discover: " << line << std::endl;
          }
      })
{
}

std::unique_ptr<http_output> http_output::open(const options& opts, std::string version,
                                               std::string& error)
{
    std::unique_ptr<http_output> output(new http_output(opts, std::move(version)));
    http_limits limits;
    limits.proxies = opts.http_proxies;
    http_output* serving = output.get();
    output->server_ = http_server::open(
        *opts.http, limits,
        [serving](const http_request& request) { return serving->answer(request); }, error);
    return output->server_ ? std::move(output) : nullptr;
}

void http_output::serve(session& listening, bool screen_taken)
{
    listening_ = &listening;
    screen_taken_ = screen_taken;
    listening.subscribe([this](const event& happened) {
        if (server_->streams() > 0) {
            server_->push(event_message(happened));
        }
    });
}

http_response http_output::answer(const http_request& request)
{
    const auto snapshot = [this] {
        if (!snapshot_) {
            snapshot_ = take_snapshot(listening_->table(), listening_->stats());
        }
        return snapshot_;
    };
    return web_answer(request, {snapshot, allowed_hosts_, version_, &refusals_});
}

loop_source::time_point http_output::wait_on(std::vector<pollfd>& waiting, time_point now)
{
    waiting.push_back({server_->fd(), POLLIN, 0});
    const std::optional<std::chrono::milliseconds> due = server_->due_in();
    return std::min(next_keepalive_, due ? now + *due : time_point::max());
}

// Also when only a connection's time is up, which no descriptor tells.
void http_output::step(const pollfd*, time_point now, run_state&)
{
    server_->run();
    snapshot_.reset();
    if (now >= next_keepalive_) {
        server_->push(KEEPALIVE_MESSAGE);
        next_keepalive_ = now + KEEPALIVE_EVERY;
    }
}

}  // namespace quorvellan::discover
