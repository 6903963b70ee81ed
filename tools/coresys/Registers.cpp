// in32 and out32 through mmap_device_io, in32() and out32() of the platform layer.
#include "Registers.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "CoreSystem/Platform/Device.h"

namespace Coresys {

namespace Platform = CoreSystem::Platform;

std::optional<std::uint64_t> ParseNumber(const std::string& text, std::uint64_t max) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 20 ||
        digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos) {
        return std::nullopt;
    }
    errno = 0;
    const unsigned long long value = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (errno == ERANGE || value > max) return std::nullopt;
    return value;
}

int RunRegisterCommand(const std::string& name, const std::vector<std::string>& args,
                       const std::string& prefix) {
    const bool store = name == "out32";
    auto fail = [&](const std::string& message) {
        std::cout.flush();
        std::cerr << (prefix + ": " + message + "\n") << std::flush;
        return 1;
    };
    if (args.size() != (store ? 2u : 1u))
        return fail(store ? "usage: out32 ADDRESS VALUE" : "usage: in32 ADDRESS");
    const auto address = ParseNumber(args[0], 0xFFFFFFFCu);
    if (!address || *address % 4 != 0)
        return fail("bad address '" + args[0] + "' (a 4-byte aligned 32-bit address)");
    const auto value = store ? ParseNumber(args[1], 0xFFFFFFFFu) : std::optional<std::uint64_t>(0);
    if (!value) return fail("bad value '" + args[1] + "' (0x followed by hex digits, or decimal)");
    const std::uintptr_t port = Platform::mmap_device_io(4, *address);
    if (port == MAP_DEVICE_FAILED) {
        return fail("cannot map the register at " + args[0] + ": " + std::strerror(errno));
    }
    if (store) {
        Platform::out32(port, static_cast<std::uint32_t>(*value));
    } else {
        char line[16];
        std::snprintf(line, sizeof line, "0x%08x\n", Platform::in32(port));
        std::cout << line << std::flush;
    }
    Platform::munmap_device_io(port, 4);
    return 0;
}

}  // namespace Coresys
