#include "datagram_input.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <unistd.h>

#include <iostream>
#include <optional>
#include <string>

namespace quorvellan::discover {
namespace {

// Bounded, so that a flood cannot hold off the redraw, the output or the
// deadline.
constexpr int MAX_BATCHES_PER_WAKE = 16;

}  // namespace

datagram_input::datagram_input(int socket, session& listening, bool screen_taken)
    : socket_(socket),
      listening_(listening),
      screen_taken_(screen_taken),
      subnets_({getifaddrs, freeifaddrs, if_nametoindex})
{
}

datagram_input::~datagram_input()
{
    if (socket_ >= 0) {
        close(socket_);
    }
}

loop_source::time_point datagram_input::wait_on(std::vector<pollfd>& waiting, time_point)
{
    waiting.push_back({socket_, POLLIN, 0});
    return next_tick_;
}

void datagram_input::step(const pollfd* ready, time_point now, run_state& run)
{
    if (now >= next_tick_) {
        tick(now);
    }
    if ((ready->revents & POLLNVAL) != 0) {
        run.fail("the socket was lost");
    } else if (ready->revents != 0) {
        receive();
    }
}

void datagram_input::finish(run_state&)
{
    if (socket_ >= 0) {
        close(socket_);
        socket_ = -1;
    }
}

void datagram_input::tick(time_point now)
{
    subnets_.refresh();
    listening_.on_tick();
    if (!screen_taken_) {
        if (const std::optional<std::string> hint = listening_.take_hint()) {
            std::cerr << "quorvellan-discover: " << *hint << std::endl;
        }
    }
    next_tick_ = now + std::chrono::seconds(1);
}

void datagram_input::receive()
{
    for (int batch = 0; batch < MAX_BATCHES_PER_WAKE; ++batch) {
        const std::size_t count = incoming_.receive(socket_);
        for (std::size_t i = 0; i < count; ++i) {
            listening_.on_datagram(incoming_[i], subnets_.of(incoming_[i].interface_index));
        }
        listening_.stats().kernel_drops = incoming_.kernel_drops();
        if (count < receiver::BATCH) {
            break;
        }
    }
}

}  // namespace quorvellan::discover
