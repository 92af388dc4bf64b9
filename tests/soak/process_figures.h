// The soak's own footprint as the kernel sees it: open descriptors and
// resident memory, read without touching the heap, so that taking a reading
// cannot change what the next reading finds.
#pragma once

namespace quorvellan::soak {

struct process_figures {
    long descriptors;  // entries of /proc/self/fd, the listing's own left out
    long vm_rss_kb;    // VmRSS of /proc/self/status
    long rss_anon_kb;  // RssAnon: heap, stack and other private memory
};

// Fields that cannot be read are -1.
process_figures read_process_figures();

}  // namespace quorvellan::soak
