#include "monitors/sysinfo/sysinfo.h"

#include "platform/os.h"

namespace vt {

std::string volumeSerialText() {
    char volumeName[261] = {};
    char fsName[261] = {};
    os::DWORD serial = 0, flags = 0;
    os::GetVolumeInformationA("C:\\", volumeName, sizeof volumeName, &serial, nullptr, &flags, fsName, sizeof fsName);
    static const char digits[] = "0123456789abcdef";
    std::string text(8, '0');
    for (int i = 7; i >= 0; --i, serial >>= 4) text[std::size_t(i)] = digits[serial & 0xF];
    return text;
}

sysinfo::sysinfo() = default;
sysinfo::~sysinfo() = default;

void sysinfo::reportVolumeId(const std::string& name) {
    const std::string serial = volumeSerialText();
    if (!serial.empty()) sysInfoSignal(name, serial);
}

}  // namespace vt
