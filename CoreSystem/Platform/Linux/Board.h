// The simulated board of a development host: its files under the host root, read and written by
// the platform layer's device calls, by coresys and by the tests. Layout and formats: docs/board.md.
// Host only: framework code reaches the board through Device.h, never through this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace CoreSystem::Platform::Board {

inline constexpr std::size_t kOtpBlockSize = 256;  ///< bytes of one OTP block
inline constexpr int kOtpBlockTypes = 3;           ///< block types 1..3, stored in this order
inline constexpr std::uint64_t kMemorySize = std::uint64_t{1} << 32;  ///< physical address space
inline constexpr const char* kControlDevice = "/dev/iplctl";
inline constexpr const char* kI2cDevice = "/dev/i2c6";

enum class Bank { Nor, Legacy };
/// Where the device's OTP write commands land.
enum class WriteTarget { Nor, Legacy, Both };

using Block = std::vector<std::uint8_t>;  ///< one OTP block, kOtpBlockSize bytes

/// "nor", "legacy" (and "both" for a write target), as in the settings file and coresys.
const char* Name(Bank bank);
const char* Name(WriteTarget target);
std::optional<Bank> BankNamed(const std::string& name);
std::optional<WriteTarget> WriteTargetNamed(const std::string& name);

/// The host root of this process (CORESYSTEM_ROOT), empty when unset: then there is no board.
std::string Root();
/// The board's own directory under `root`.
std::string Directory(const std::string& root);
/// Host path of a board file ("memory", "log", ...) under `root`.
std::string FilePath(const std::string& root, const char* name);

/// Creates a fresh board under `root` (which is created when missing): device nodes, erased OTP
/// banks (0xFF), zero memory, an empty log, no pending failures, the given write target. An
/// existing board is reset in place. true, or false with errno.
bool Create(const std::string& root, WriteTarget target = WriteTarget::Nor);
/// True when `root` holds a board.
bool Exists(const std::string& root);
/// The board's write target; nullopt with errno when the settings cannot be read or are invalid.
std::optional<WriteTarget> ReadWriteTarget(const std::string& root);

/// Reads block `type` (1..3) of `bank`; nullopt with errno (EINVAL for a bad type).
std::optional<Block> ReadOtp(const std::string& root, Bank bank, int type);
/// Replaces block `type` of `bank` with `block` (kOtpBlockSize bytes), as a programming station
/// does. true, or false with errno.
bool StoreOtp(const std::string& root, Bank bank, int type, const Block& block);
/// The device's write command: programs `block` into the write target's bank(s). Programming only
/// clears bits (erased is 0xFF); a block that does not read back as written gives EIO. Returns
/// EOK or an error number.
int ProgramOtp(const std::string& root, int type, const Block& block);

/// Physical memory (zero until written), shared with every process that maps it. true, or false
/// with errno (ENXIO beyond the address space).
bool ReadMemory(const std::string& root, std::uint64_t address, void* bytes, std::size_t length);
bool WriteMemory(const std::string& root, std::uint64_t address, const void* bytes, std::size_t length);

/// Descriptor of the event log opened for appending and locked (flock) for the caller, so that
/// what it does before it writes its line keeps the log's order; close() releases it. -1 with errno.
int LockLog(const std::string& root);
/// Appends `line` (no newline) to the event log in a single write. true, or false with errno.
bool AppendLog(const std::string& root, const std::string& line);
/// The log's text; nullopt with errno when it cannot be read.
std::optional<std::string> ReadLog(const std::string& root);
bool ClearLog(const std::string& root);

/// A pending injected failure: the next `count` calls named `call` fail with `error`.
struct FaultRule {
    std::string call;  ///< "devctl", "devctl-0x<8 hex digits>", "i2c" or "mmap"
    int error;
    unsigned count;
};
/// The canonical form of a call name, or nullopt when it names no call that can fail.
std::optional<std::string> FaultCallNamed(const std::string& name);
/// Adds a rule after the pending ones. true, or false with errno.
bool AddFault(const std::string& root, const FaultRule& rule);
std::vector<FaultRule> Faults(const std::string& root);
bool ClearFaults(const std::string& root);
/// Takes one failure of the first pending rule naming one of `calls`: its error number, or 0.
/// Safe against other processes doing the same.
int TakeFault(const std::string& root, std::initializer_list<std::string> calls);

/// "EIO" for EIO; the number in decimal for an error without a name; "0" for EOK.
std::string ErrorName(int error);
/// The error number of a name such as "EIO" or of a decimal number; 0 when unknown.
int ErrorNumber(const std::string& name);

}  // namespace CoreSystem::Platform::Board
