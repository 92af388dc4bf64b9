// The announcements coming in, as a source of the run loop: the UDP socket
// read a bounded number of batches per wake, each datagram handed to the
// session with the subnets of the interface it arrived on; and the table's
// tick, once a second.
#pragma once

#include <vector>

#include "net/udp_socket.h"
#include "run_loop.h"
#include "session.h"

namespace quorvellan::discover {

class datagram_input : public loop_source {
   public:
    // socket: open_udp_socket's, closed by finish() or the destructor.
    // screen_taken: the live view shows the status line, and with it the
    // hint about a silence; without it the hint goes to standard error.
    datagram_input(int socket, session& listening, bool screen_taken);
    ~datagram_input() override;
    datagram_input(const datagram_input&) = delete;
    datagram_input& operator=(const datagram_input&) = delete;

    time_point wait_on(std::vector<pollfd>& waiting, time_point now) override;
    void step(const pollfd* ready, time_point now, run_state& run) override;
    void finish(run_state& run) override;

   private:
    void tick(time_point now);
    void receive();

    int socket_;
    session& listening_;
    bool screen_taken_;
    receiver incoming_;
    interface_subnets subnets_;
    time_point next_tick_ = time_point::min();
};

}  // namespace quorvellan::discover
