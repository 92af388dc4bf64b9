// quorvellan-discover: listens for device announcements and shows who is on
// the network. Wiring only: the options decide the run, listen_loop runs it.
#include <iostream>

#include "listen_loop.h"
#include "options.h"

int main(int argc, char** argv)
{
    using namespace quorvellan::discover;
    const options_result options = parse_options(argc, argv);
    if (!options.error.empty()) {
        std::cerr << "quorvellan-discover: " << options.error << '\n' << usage_text();
        return 2;
    }
    if (options.parsed.help) {
        std::cout << usage_text();
        return 0;
    }
    if (options.parsed.version) {
        std::cout << "quorvellan-discover " << QUORVELLAN_VERSION << '\n';
        return 0;
    }
    return run_listener(options.parsed);
}
