// Machine identifiers: the serial number of the system volume.
#pragma once

#include <boost/signals2/signal.hpp>

#include <string>

namespace vt {

// Eight lowercase hexadecimal digits; "00000000" when the serial is 0 or
// cannot be read.
std::string volumeSerialText();

class sysinfo {
public:
    sysinfo();
    virtual ~sysinfo();
    sysinfo(const sysinfo&) = delete;
    sysinfo& operator=(const sysinfo&) = delete;

    // Emits the serial text under the name the caller gives the fact (the
    // monitor measures; what the log calls it is the controller's word).
    void reportVolumeId(const std::string& name);

    boost::signals2::signal<void(const std::string&, const std::string&)> sysInfoSignal;
};

}  // namespace vt
