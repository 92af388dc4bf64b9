// Names for USB vendor and product ids and for USB classes, from this
// machine's hardware database (udev's hwdb), never from the network.
// Without the database, or for an id it lacks, a name is empty and the ids
// stand alone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "usb/usbip_devlist.h"

struct udev;
struct udev_hwdb;

namespace quorvellan::discover {

// The classes that say what a device is: its own, or, where it leaves
// that to its interfaces (class 0), its interfaces' classes, each once, in
// order. None for an unconfigured device of class 0, which lists no
// interfaces.
std::vector<usb_class_triple> classes_of(const usb_export& device);

class usb_name_database {
   public:
    // Opens the database once; it is memory-mapped, so lookups are cheap.
    usb_name_database();
    ~usb_name_database();
    usb_name_database(const usb_name_database&) = delete;
    usb_name_database& operator=(const usb_name_database&) = delete;

    bool available() const
    {
        return hwdb_ != nullptr;
    }

    std::string vendor(std::uint16_t vendor_id) const;
    std::string product(std::uint16_t vendor_id, std::uint16_t product_id) const;
    // e.g. "Human Interface Device"; empty for a class it does not know.
    std::string class_name(std::uint8_t code) const;

    // Fills the device's vendor, product and class names; a device of
    // several classes gets them joined by ", ".
    void name(usb_export& device) const;

   private:
    std::string lookup(const std::string& modalias, const char* key) const;

    udev* udev_ = nullptr;
    udev_hwdb* hwdb_ = nullptr;
};

}  // namespace quorvellan::discover
