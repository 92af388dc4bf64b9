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

}  // namespace quorvellan::discover
