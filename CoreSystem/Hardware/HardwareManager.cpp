// The control device's descriptor and command path, and the shutdown sequences: register
// read-modify-writes through device mappings and, on M2, two writes to the power-management chip.
#include "CoreSystem/Hardware/HardwareManager.h"

#include <fcntl.h>
#include <sched.h>
#include <cstdint>
#include <mutex>

#include "CoreSystem/Platform/Device.h"
#include "CoreSystem/Platform/Slog.h"

namespace CoreSystem {

namespace {

constexpr int kLogCode = 12345;
constexpr int kLogSeverity = _SLOG_DEBUG1;

/// Descriptor lock: guards gControlDescriptor.
std::mutex gDescriptorLock;
int gControlDescriptor = -1;
/// Control-call lock: one device command at a time on the control device.
std::mutex gControlCallLock;
/// Shutdown lock: one shutdown sequence at a time.
std::mutex gShutdownLock;

// General-purpose I/O blocks of M2 and E2: base + 0x04 pin directions, base + 0x08 output levels.
constexpr std::uint64_t kGpio0Direction = 0xE6050004, kGpio0Output = 0xE6050008;
constexpr std::uint64_t kGpio3Direction = 0xE6053004, kGpio3Output = 0xE6053008;
constexpr std::uint64_t kGpio5Output = 0xE6055008;
/// The iMX35 watchdog's 16-bit control register: storing 0 asserts the software reset.
constexpr std::uint64_t kImx35WatchdogControl = 0x53FDC000;

constexpr std::uint32_t Bit(int n) {
    return std::uint32_t{1} << n;
}

/// One 32-bit register, mapped for the object's life. When the mapping fails, every access
/// through it is skipped (logged once) and the sequence goes on.
class Register {
public:
    explicit Register(std::uint64_t address) : port_(Platform::mmap_device_io(4, address)) {
        if (port_ == MAP_DEVICE_FAILED) {
            Platform::slogf(kLogCode, kLogSeverity,
                            "HardwareManager: cannot map the register at 0x%08llx, access skipped",
                            static_cast<unsigned long long>(address));
        }
    }
    ~Register() {
        if (mapped()) Platform::munmap_device_io(port_, 4);
    }
    Register(const Register&) = delete;
    Register& operator=(const Register&) = delete;

    void set(std::uint32_t mask) {
        if (mapped()) Platform::out32(port_, Platform::in32(port_) | mask);
    }
    void clear(std::uint32_t mask) {
        if (mapped()) Platform::out32(port_, Platform::in32(port_) & ~mask);
    }
    void store16(std::uint16_t value) {
        if (mapped()) Platform::out16(port_, value);
    }

private:
    bool mapped() const { return port_ != MAP_DEVICE_FAILED; }
    std::uintptr_t port_;
};

/// One write of `data` to register `reg` of the power-management chip on the I2C bus `fd`.
void PmicWrite(int fd, std::uint8_t reg, std::uint8_t data, const char* done) {
    constexpr std::uint32_t kPmicAddress = 0x5A;
    i2c_send_t header{};
    header.slave.addr = kPmicAddress;
    header.slave.fmt = I2C_ADDRFMT_7BIT;
    header.len = 2;
    header.stop = 1;
    iov_t parts[3];
    SETIOV(&parts[0], &header, sizeof header);
    SETIOV(&parts[1], &reg, 1);
    SETIOV(&parts[2], &data, 1);
    if (Platform::devctlv(fd, DCMD_I2C_SEND, 3, 0, parts, nullptr, nullptr) == EOK) {
        Platform::slogf(kLogCode, kLogSeverity, "%s", done);
    } else {
        Platform::slogf(kLogCode, kLogSeverity,
                        "HardwareManager: M2 PMIC i2c_write failed: reg = %x data = %x", reg, data);
    }
}

void ShutdownM2() {
    Platform::slogf(kLogCode, kLogSeverity, "HardwareManager: Shutdown M2");
    Register(kGpio3Direction).set(Bit(31));
    Register(kGpio0Direction).set(Bit(0));
    Register gpio0Output(kGpio0Output);  // kept until the chip has been told
    gpio0Output.clear(Bit(0));
    {
        Register gpio3Output(kGpio3Output);
        gpio3Output.clear(Bit(15));
        gpio3Output.set(Bit(31));
    }
    Platform::slogf(kLogCode, kLogSeverity, "HardwareManager: Resetting H7 & USB hub");
    // Left open: the board is going down.
    const int i2c = Platform::OpenDevice("/dev/i2c6", O_RDWR);
    PmicWrite(i2c, 0x11, 0x69, "HardwareManager: M2 PMIC Watchdog Enabled");
    PmicWrite(i2c, 0x13, 0x01, "HardwareManager: M2 PMIC Watchdog Timer Reset");
    gpio0Output.clear(Bit(8));
}

}  // namespace

int IplControlDescriptor(DeviceFamily family) {
    int descriptor;
    {
        std::lock_guard<std::mutex> lock(gDescriptorLock);
        if (gControlDescriptor < 0 && IsM2OrE2(family))
            gControlDescriptor = Platform::OpenDevice("/dev/iplctl", O_RDWR);
        if (gControlDescriptor < 0) gControlDescriptor = -1;
        descriptor = gControlDescriptor;
    }
    sched_yield();
    return descriptor;
}

int IplControlDescriptor() {
    return IplControlDescriptor(GetDeviceFamily());
}

int IplDevctl(int fd, int dcmd, void* data, std::size_t bytes, int* info) {
    int result;
    {
        std::lock_guard<std::mutex> lock(gControlCallLock);
        result = Platform::devctl(fd, dcmd, data, bytes, info);
    }
    sched_yield();
    return result;
}

void HardwareManager::Shutdown(DeviceFamily family) {
    {
        std::lock_guard<std::mutex> lock(gShutdownLock);
        switch (family) {
            case kFamilyM2:
                ShutdownM2();
                break;
            case kFamilyE2:
                Platform::slogf(kLogCode, kLogSeverity, "HardwareManager: Shutdown E2");
                Register(kGpio5Output).clear(Bit(21));
                break;
            case kFamilyIMX35:
                Platform::slogf(kLogCode, kLogSeverity, "HardwareManager: Shutdown iMX35");
                Register(kImx35WatchdogControl).store16(0);
                break;
            case kFamilyUnknown:
                break;
        }
    }
    sched_yield();
}

void HardwareManager::Shutdown() {
    Shutdown(GetDeviceFamily());
}

}  // namespace CoreSystem
