// "coresys otp", "coresys hwinfo", "coresys board checksum" and "coresys board shutdown": the
// framework's own paths (logging, cache and all) run in this process on the simulated board.
#include "HardwareCommands.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>

#include "Command.h"
#include "CoreSystem/Hardware/BlockChecksum.h"
#include "CoreSystem/Hardware/HardwareInfo.h"
#include "CoreSystem/Hardware/HardwareManager.h"
#include "CoreSystem/Platform/Linux/Board.h"
#include "CoreSystem/Utilities/SmallHelpers.h"

namespace Coresys {
namespace {

namespace Hw = CoreSystem;

/// More than any file these commands take (an OTP block, a boot record image).
constexpr std::streamsize kMaxFileBytes = 1 << 20;

std::vector<std::uint8_t> ReadFileOrFail(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) Fail(kExitFailure, "cannot open " + path + ": " + std::strerror(errno));
    std::vector<std::uint8_t> bytes;
    char chunk[4096];
    while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
        bytes.insert(bytes.end(), chunk, chunk + file.gcount());
        if (static_cast<std::streamsize>(bytes.size()) > kMaxFileBytes)
            Fail(kExitFailure, path + " is larger than 1 MiB");
    }
    if (file.bad()) Fail(kExitFailure, "cannot read " + path);
    return bytes;
}

std::string FamilyName(Hw::DeviceFamily family) {
    switch (family) {
        case Hw::kFamilyIMX35:
            return "iMX35";
        case Hw::kFamilyM2:
            return "M2";
        case Hw::kFamilyE2:
            return "E2";
        default:
            return "unknown";
    }
}

void RequireOtpFamily(const std::string& what) {
    if (!Hw::IsM2OrE2()) {
        Fail(kExitFailure, what + ": boards of the " + FamilyName(Hw::GetDeviceFamily()) +
                               " family have no OTP data (DEVICEFAMILY must be M2 or E2)");
    }
}

struct OtpOptions {
    int type = 0;
    std::string bank = "auto";
    bool hex = false;
    std::string file;
};

void OtpRead(const OtpOptions& options) {
    const int bank = options.bank == "nor"      ? Hw::kOtpBankNor
                     : options.bank == "legacy" ? Hw::kOtpBankLegacy
                                                : Hw::kOtpBankAutomatic;
    const Hw::OtpBlock block = Hw::ReadOtpBlock(options.type, bank);
    if (block.empty()) {
        RequireOtpFamily("no OTP data");
        Fail(kExitFailure, "no OTP data: block " + std::to_string(options.type) +
                               " could not be read from the " + options.bank +
                               " bank (CORESYSTEM_SLOG=stderr shows the reader's log)");
    }
    if (options.hex) {
        Hw::hexDump(block.data(), static_cast<unsigned>(block.size()), "");
    } else {
        std::cout.write(reinterpret_cast<const char*>(block.data()),
                        static_cast<std::streamsize>(block.size()));
        std::cout.flush();
    }
}

void OtpWrite(const OtpOptions& options) {
    const std::vector<std::uint8_t> data = ReadFileOrFail(options.file);
    const int result = Hw::WriteOtpBlock(options.type, data);
    if (result == 0) return;
    if (result < 0) {
        RequireOtpFamily("write refused");
        if (data.empty() || data.size() > Hw::kOtpBlockSize) {
            Fail(kExitFailure, "write refused: " + options.file + " holds " + std::to_string(data.size()) +
                                   " bytes; a block takes 1 to 256 (shorter data is padded with zeros)");
        }
        Fail(kExitFailure, "write refused: " + options.file + " is not a valid type-" +
                               std::to_string(options.type) + " block (its length or checksum is wrong)");
    }
    Fail(kExitFailure, "the device failed the write of block " + std::to_string(options.type) + ": " +
                           std::strerror(result));
}

std::string Hex(std::uint64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llx", digits, static_cast<unsigned long long>(value));
    return text;
}

void HardwareInfo(bool json) {
    using Hw::OtpReader;
    OtpReader& otp = Hw::ProcessOtpReader();
    nlohmann::ordered_json info;
    info["DeviceFamily"] = Hw::GetDeviceFamily();
    for (const auto& getter : Hw::NumberGetters()) info[getter.name] = getter.get(otp);
    info["GetMacAddress"] = Hw::GetMacAddress(otp);
    info["GetMacAddressString"] = Hw::GetMacAddressString(otp);
    for (int type = 1; type <= 3; ++type) {
        info["GetInfoWord62"][std::to_string(type)] = Hw::GetInfoWord62(type, otp);
        info["HasValidOtpBlock"][std::to_string(type)] = Hw::HasValidOtpBlock(type, otp);
    }
    info["GetResourceList"] = nlohmann::json::array();
    for (const auto& entry : Hw::GetResourceList(otp)) {
        info["GetResourceList"].push_back({{"unit", entry.unit}, {"kind", entry.kind}, {"mode", entry.mode}});
    }
    if (json) {
        std::cout << info.dump(2) << std::endl;
        return;
    }
    std::string text;
    auto row = [&text](const std::string& name, const std::string& value) {
        char line[160];
        std::snprintf(line, sizeof line, "%-22s %s\n", name.c_str(), value.c_str());
        text += line;
    };
    row("DeviceFamily",
        std::to_string(Hw::GetDeviceFamily()) + " (" + FamilyName(Hw::GetDeviceFamily()) + ")");
    for (const auto& getter : Hw::NumberGetters()) {
        const std::uint32_t value = info[getter.name];
        if (std::strcmp(getter.name, "GetDisplayResolution") == 0) {
            row(getter.name, std::to_string(value & 0xFFFF) + " x " + std::to_string(value >> 16));
        } else {
            row(getter.name, std::to_string(value) + (value > 9 ? " (" + Hex(value, 8) + ")" : ""));
        }
    }
    row("GetMacAddress", Hex(info["GetMacAddress"], 16));
    row("GetMacAddressString", info["GetMacAddressString"]);
    for (const char* type : {"1", "2", "3"}) {
        row(std::string("GetInfoWord62(") + type + ")", Hex(info["GetInfoWord62"][type], 8));
    }
    for (const char* type : {"1", "2", "3"}) {
        row(std::string("HasValidOtpBlock(") + type + ")", info["HasValidOtpBlock"][type] ? "true" : "false");
    }
    const auto& resources = info["GetResourceList"];
    row("GetResourceList",
        std::to_string(resources.size()) + (resources.size() == 1 ? " entry" : " entries"));
    for (const auto& entry : resources) {
        row("", "unit " + entry["unit"].dump() + "  kind " + entry["kind"].dump() + "  mode " +
                    entry["mode"].dump());
    }
    std::cout << text << std::flush;
}

void Checksum(const std::string& path) {
    const std::vector<std::uint8_t> bytes = ReadFileOrFail(path);
    char line[16];
    std::snprintf(line, sizeof line, "0x%08x\n", Hw::BlockChecksum(bytes.data(), bytes.size()));
    std::cout << line << std::flush;
}

/// Runs the shutdown (or, with `toLoader`, the shutdown-to-loader) sequence of DEVICEFAMILY.
void Shutdown(bool toLoader) {
    const std::string root = CoreSystem::Platform::Board::Root();
    if (!CoreSystem::Platform::Board::Exists(root)) {
        Fail(kExitFailure, "no board under CORESYSTEM_ROOT (create one with 'coresys board init')");
    }
    if (Hw::GetDeviceFamily() == Hw::kFamilyUnknown) {
        Fail(kExitFailure,
             "DEVICEFAMILY names no family (iMX35, M2 or E2): there is no shutdown sequence to run");
    }
    if (toLoader) {
        Hw::HardwareManager::ShutdownToLoader();
    } else {
        Hw::HardwareManager::Shutdown();
    }
}

}  // namespace

void AddHardwareCommands(CLI::App& app) {
    CLI::App* otp =
        app.add_subcommand("otp", "Read and write OTP blocks through the framework (DEVICEFAMILY M2 or E2)");
    otp->require_subcommand(1);
    auto options = std::make_shared<OtpOptions>();
    CLI::App* read = otp->add_subcommand(
        "read", "Print a block as ReadOtpBlock returns it: 256 raw bytes, or a dump with --hex");
    read->add_option("--type", options->type, "Block type")->required()->check(CLI::Range(1, 3));
    read->add_option("--bank", options->bank,
                     "auto (cache, then where the probe finds the data), nor or legacy")
        ->check(CLI::IsMember({"auto", "nor", "legacy"}));
    read->add_flag("--hex", options->hex, "Offset, hex and characters, 16 bytes to a line");
    read->callback([options] { OtpRead(*options); });
    CLI::App* write =
        otp->add_subcommand("write", "Write FILE (1 to 256 bytes, padded with zeros) with WriteOtpBlock");
    write->add_option("--type", options->type, "Block type")->required()->check(CLI::Range(1, 3));
    write->add_option("file", options->file, "The block's bytes")->required();
    write->callback([options] { OtpWrite(*options); });

    auto json = std::make_shared<bool>(false);
    CLI::App* hwinfo =
        app.add_subcommand("hwinfo", "Every hardware-information getter's answer for this board");
    hwinfo->add_flag("--json", *json, "One JSON object keyed by getter name");
    hwinfo->callback([json] { HardwareInfo(*json); });

    CLI::App* board = app.get_subcommand("board");
    auto file = std::make_shared<std::string>();
    CLI::App* checksum =
        board->add_subcommand("checksum", "Print the block checksum of FILE's bytes as 0x%08x");
    checksum->add_option("file", *file, "Any file")->required();
    checksum->callback([file] { Checksum(*file); });
    board
        ->add_subcommand("shutdown",
                         "Run the hardware shutdown sequence of the DEVICEFAMILY family on the board")
        ->callback([] { Shutdown(false); });
    board
        ->add_subcommand("shutdown-to-loader",
                         "Restart the DEVICEFAMILY board into its boot loader: CAN notice, reset lines, "
                         "boot command block and watchdog (M2, E2), or the loader register and shutdown (iMX35)")
        ->callback([] { Shutdown(true); });
}

}  // namespace Coresys
