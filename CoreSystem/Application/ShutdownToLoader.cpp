// HardwareManager::ShutdownToLoader: defined here, beside the application framework, because it
// notifies the CAN application over NM and finds its files in the storage layout, which the
// hardware layer does not depend on.
#include "CoreSystem/Application/ShutdownToLoader.h"

#include <sched.h>
#include <unistd.h>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "CoreSystem/Application/ApplicationMessage.h"
#include "CoreSystem/Hardware/BlockChecksum.h"
#include "CoreSystem/Hardware/HardwareManager.h"
#include "CoreSystem/Hardware/OtpReader.h"
#include "CoreSystem/NM/NMClient.h"
#include "CoreSystem/Platform/Device.h"
#include "CoreSystem/Platform/Posix.h"
#include "CoreSystem/Platform/Slog.h"
#include "CoreSystem/Storage/StorageLayout.h"
#include "CoreSystem/Utilities/Utilities.h"

namespace CoreSystem {

namespace {

constexpr int kLogCode = 12345;
constexpr int kLogSeverity = _SLOG_DEBUG1;
constexpr unsigned kSettleMs = 250;

/// Loader-shutdown lock: one loader sequence at a time; held while Shutdown() takes its own lock.
std::mutex gLoaderShutdownLock;

/// A 4-byte register mapping. A mapping that failed is logged and every access through it is
/// skipped: the sequence goes on without writing through a bad handle.
class Port {
public:
    explicit Port(std::uint64_t address) : port_(Platform::mmap_device_io(4, address)) {
        if (port_ == MAP_DEVICE_FAILED)
            Platform::slogf(kLogCode, kLogSeverity, "HardwareManager: cannot map the register at 0x%08llx, access skipped",
                            static_cast<unsigned long long>(address));
    }
    void set(std::uint32_t mask) const {
        if (mapped()) Platform::out32(port_, Platform::in32(port_) | mask);
    }
    void clear(std::uint32_t mask) const {
        if (mapped()) Platform::out32(port_, Platform::in32(port_) & ~mask);
    }
    void store(std::uint32_t value) const {
        if (mapped()) Platform::out32(port_, value);
    }
    void release() const {
        if (mapped()) Platform::munmap_device_io(port_, 4);
    }

private:
    bool mapped() const { return port_ != MAP_DEVICE_FAILED; }
    std::uintptr_t port_;
};

constexpr std::uint32_t Bit(int n) {
    return std::uint32_t{1} << n;
}

void NotifyCanApplication() {
    std::string name = kCanApplication;
    if (!Utilities::IsAccessible(AutoloadAccessPath(AppPath(name)), 3)) return;
    NM::NMClient client(false);
    const int index = client.getChannelIndex(kCanApplicationAction);
    ApplicationMessage notice(4);
    notice.setId(kLoaderNoticeId);
    notice.setArgument(0);
    (void)client.send(index, notice.data(), static_cast<int>(notice.size()));
    Platform::delay(kSettleMs);
}

/// Leaves the boot command block in device memory: magic, covered words, command, then the
/// checksum of the covered bytes as they stand (words 3-18 keep what the memory holds).
void WriteBootCommand(void* memory) {
    volatile auto* words = static_cast<volatile std::uint32_t*>(memory);
    words[0] = kBootRecordMagic;
    words[1] = kBootCommandCoveredWords;
    words[2] = kBootCommandLoader;
    std::uint32_t copy[kBootRecordWords];
    for (std::size_t i = 0; i < kBootRecordWords; ++i) copy[i] = words[i];
    words[kBootCommandCoveredWords] = BlockChecksum(copy, kBootCommandCoveredWords * 4);
}

void ShutdownToLoaderM2E2() {
    NotifyCanApplication();
    // Reset lines of the H7 and the USB hub (general-purpose I/O blocks 0 and 3).
    {
        const Port direction3(0xE6053004);
        direction3.set(Bit(31));
        direction3.release();
        const Port direction0(0xE6050004);
        direction0.set(Bit(0));
        direction0.release();
        const Port output0(0xE6050008);  // left mapped: the board is going down
        const Port output3(0xE6053008);
        output0.clear(Bit(0));
        output3.clear(Bit(15));
        output3.set(Bit(31));
        output3.release();
    }
    Platform::slogf(kLogCode, kLogSeverity, "HardwareManager: Resetting H7 & USB hub");
    const Port output1(0xE6051008);
    output1.clear(Bit(1));
    Platform::delay(kSettleMs);
    Platform::slogf(kLogCode, kLogSeverity, "HardwareManager: ShutdownToLoader M2");

    void* block = Platform::mmap_device_memory(nullptr, kBootRecordSize, PROT_WRITE | PROT_NOCACHE, 0,
                                               kBootRecordAddress);
    if (block == MAP_FAILED) {
        Platform::slogf(kLogCode, kLogSeverity, "HardwareManager: cannot map the boot command block, not written");
    } else {
        WriteBootCommand(block);
    }

    // Watchdog reset: clock supply (module stop), reset enable, then the watchdog itself; the upper
    // half of each stored value is the register's write key.
    const Port stop0(0xE6150120), stop1(0xE6150140), resetEnable(0xE6160054), control2(0xE6020008),
        counter(0xE6020000), control1(0xE6020004);
    stop0.clear(Bit(2));
    stop1.clear(Bit(2));
    resetEnable.store(0xA55A0002);
    control2.store(0xA5A53FFF);
    counter.store(0x5A5AFFFF);
    control1.store(0xA5A5A588);
    if (block != MAP_FAILED) Platform::munmap_device_memory(block, kBootRecordSize);
    for (const Port* port : {&stop0, &stop1, &resetEnable, &control2, &counter, &control1, &output1}) port->release();
}

void ShutdownToLoaderIMX35() {
    Platform::slogf(kLogCode, kLogSeverity, "HardwareManager: ShutdownToLoader iMX35");
    sync();
    (void)std::system(LoaderShutdownCommand(LoaderScriptPath()).c_str());
    HardwareManager::Shutdown(kFamilyIMX35);
}

bool IsPlainPath(const std::string& path) {
    for (const char c : path) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                           c == '/' || c == '.' || c == '_' || c == '+' || c == '-';
        if (!plain) return false;
    }
    return true;
}

}  // namespace

std::string LoaderShutdownCommand(const std::string& scriptPath) {
    std::string script = scriptPath;
    if (!IsPlainPath(scriptPath)) {
        script = "'";
        for (const char c : scriptPath) script += c == '\'' ? std::string("'\\''") : std::string(1, c);
        script += "'";
    }
    return "out32 0x53f80018 `in32 0x53f80018 | awk -f " + script + "`";
}

std::string LoaderScriptPath() {
    // The grave accent that ends the command substitution belongs to the name on the target.
    std::string name = "bootToLoader.awk`";
    std::string path = AutoloadAccessPath(AppPath(name));
    path.pop_back();
    return path;
}

void HardwareManager::ShutdownToLoader(DeviceFamily family) {
    {
        std::lock_guard<std::mutex> lock(gLoaderShutdownLock);
        if (IsM2OrE2(family)) ShutdownToLoaderM2E2();
        if (family == kFamilyIMX35) ShutdownToLoaderIMX35();
    }
    sched_yield();
}

void HardwareManager::ShutdownToLoader() {
    ShutdownToLoader(GetDeviceFamily());
}

}  // namespace CoreSystem
