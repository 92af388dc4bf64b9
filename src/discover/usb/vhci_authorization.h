// Who lets a device on a vhci port in. The kernel authorizes what arrives
// on a root hub whose authorized_default is 1 before anyone can look; so
// around its own attach the listener sets its port's root hub to 0 (a
// hold), and puts the person's setting back as soon as its device has
// arrived, held. A device that a person attached with usbip meanwhile
// arrives held too: it is let in as the person's setting would have done,
// so that usbip attach beside the listener keeps working. A hub the person
// set to 0 is left as it is: then nothing is let in but what passed the
// check. A marker in the run directory remembers the person's setting
// while a hold lasts, so that a run ended inside one does not leave it.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "usb/sysfs_attribute.h"
#include "usb/usb_descriptors.h"
#include "usb/vhci_ports.h"

namespace quorvellan::discover {

// The device on the port once it has arrived (its directory under
// SYSFS/bus/usb/devices), or "" while it has not.
std::string arrived_device_path(const std::string& sysfs, const vhci_port& port);

// Its descriptors, readable while it is held.
descriptor_reading read_arrived_device(const std::string& device_path);

// Lets it in: the kernel configures it and drivers bind. "" or one line.
std::string authorize_device(const std::string& device_path,
                             const attribute_writer& write = write_attribute);

class new_device_hold {
   public:
    new_device_hold(std::string sysfs, std::string run_dir,
                    attribute_writer write = write_attribute);

    // Until as many releases: devices arriving on the root hub ("usb3")
    // stay unauthorized. "" or one line.
    std::string hold(const std::string& root_hub);
    // The person's setting back on the last release. "" or one line.
    std::string release(const std::string& root_hub);
    // Puts back what a run that ended inside a hold left held.
    void restore_left_over();

   private:
    struct held {
        int count = 0;
        std::string setting;  // the person's, e.g. "1"
    };
    std::string default_path(const std::string& root_hub) const;
    std::string marker_path(const std::string& root_hub) const;

    std::string sysfs_;
    std::string run_dir_;
    attribute_writer write_;
    std::map<std::string, held> held_;
};

// Authorizes the devices on ports other than ours that arrived held while
// their hub's setting (now back) lets devices in; the ports it let in.
std::vector<unsigned> authorize_others(const std::string& sysfs,
                                       const std::vector<vhci_port>& ports,
                                       const std::vector<unsigned>& ours,
                                       const attribute_writer& write = write_attribute);

}  // namespace quorvellan::discover
