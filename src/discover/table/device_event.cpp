#include "table/device_event.h"

namespace quorvellan::discover {

const char* describe(event_kind kind)
{
    switch (kind) {
        case event_kind::new_device:
            return "new";
        case event_kind::changed:
            return "changed";
        case event_kind::offline:
            return "offline";
        case event_kind::online:
            return "online";
        case event_kind::removed:
            return "removed";
        case event_kind::usb:
            return "usb";
        case event_kind::attached:
            return "attached";
        case event_kind::detached:
            return "detached";
        case event_kind::attach_failed:
            return "attach_failed";
    }
    return "changed";
}

const char* describe(removal reason)
{
    switch (reason) {
        case removal::evicted:
            return "evicted";
        case removal::forgotten:
            return "forgotten";
    }
    return "evicted";
}

const char* describe(detach_reason reason)
{
    switch (reason) {
        case detach_reason::by_rule:
            return "by rule";
        case detach_reason::moved:
            return "moved";
        case detach_reason::server_let_go:
            return "server let go";
        case detach_reason::link_lost:
            return "link lost";
        case detach_reason::refused:
            return "refused";
        case detach_reason::by_hand:
            return "by hand";
    }
    return "by rule";
}

}  // namespace quorvellan::discover
