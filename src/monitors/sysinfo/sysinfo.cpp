#include "monitors/sysinfo/sysinfo.h"

#include "common/hex.h"
#include "platform/os.h"

namespace vt {

std::string volumeSerialText() {
    char volumeName[261] = {};
    char fsName[261] = {};
    os::DWORD serial = 0, flags = 0;
    os::GetVolumeInformationA("C:\\", volumeName, sizeof volumeName, &serial, nullptr, &flags, fsName, sizeof fsName);
    return hex::number(serial, 8);
}

sysinfo::sysinfo() = default;
sysinfo::~sysinfo() = default;

void sysinfo::reportVolumeId(const std::string& name) {
    const std::string serial = volumeSerialText();
    if (!serial.empty()) sysInfoSignal(name, serial);
}

}  // namespace vt
