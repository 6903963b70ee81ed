// "coresys board ...": the simulated board under the host root (files and formats: docs/board.md).
#include "BoardCommands.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Command.h"
#include "CoreSystem/Platform/Linux/Board.h"
#include "Registers.h"

namespace Coresys {
namespace {

namespace Board = CoreSystem::Platform::Board;

constexpr std::size_t kMaxMemoryRead = 1u << 20;

std::string ErrorText() {
    return std::strerror(errno);
}

/// The host root, which must be set: the board lives under it and nowhere else.
std::string RootOrFail() {
    std::string root = Board::Root();
    if (root.empty())
        Fail(kExitFailure, "CORESYSTEM_ROOT is not set: the simulated board lives under the host root");
    return root;
}

/// The host root of an existing board.
std::string BoardOrFail() {
    std::string root = RootOrFail();
    if (!Board::Exists(root))
        Fail(kExitFailure, "no board under " + root + " (create one with 'coresys board init')");
    return root;
}

/// Bytes as hex: two lowercase digits each, a blank between them, 16 to a line.
std::string HexLines(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    static const char digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
        text += (i % 16 == 15 || i + 1 == bytes.size()) ? '\n' : ' ';
    }
    return text;
}

/// Hex digits in pairs, blanks allowed between the bytes.
std::vector<std::uint8_t> ParseHex(const std::string& text) {
    std::vector<std::uint8_t> bytes;
    std::string digits;
    for (const char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            Fail(kExitUsage, std::string("'") + c + "' is not a hex digit");
        digits += c;
    }
    if (digits.empty() || digits.size() % 2 != 0)
        Fail(kExitUsage, "the hex text must hold whole bytes (two digits each)");
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::uint64_t AddressOrFail(const std::string& text) {
    const auto address = ParseNumber(text, Board::kMemorySize - 1);
    if (!address)
        Fail(kExitUsage, "bad address '" + text + "' (0x followed by hex digits, below 0x100000000)");
    return *address;
}

struct OtpOptions {
    std::string bank;
    int type = 0;
    bool hex = false;
    std::string file;
};

void Init(const std::string& writeTarget) {
    const std::string root = RootOrFail();
    if (!Board::Create(root, *Board::WriteTargetNamed(writeTarget))) {
        Fail(kExitFailure, "cannot create the board under " + root + ": " + ErrorText());
    }
    std::cout << ("board created under " + root + " (OTP writes land on " + writeTarget + ")\n")
              << std::flush;
}

void OtpRead(const OtpOptions& options) {
    const std::string root = BoardOrFail();
    const auto block = Board::ReadOtp(root, *Board::BankNamed(options.bank), options.type);
    if (!block)
        Fail(kExitFailure,
             "cannot read " + options.bank + " block " + std::to_string(options.type) + ": " + ErrorText());
    if (options.hex) {
        std::cout << HexLines(*block) << std::flush;
    } else {
        std::cout.write(reinterpret_cast<const char*>(block->data()),
                        static_cast<std::streamsize>(block->size()));
        std::cout.flush();
    }
}

void OtpWrite(const OtpOptions& options) {
    const std::string root = BoardOrFail();
    std::ifstream file(options.file, std::ios::binary);
    if (!file) Fail(kExitFailure, "cannot open " + options.file);
    const Board::Block block((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (block.size() != Board::kOtpBlockSize) {
        Fail(kExitFailure, options.file + " holds " + std::to_string(block.size()) +
                               " bytes; an OTP block is " + std::to_string(Board::kOtpBlockSize));
    }
    if (!Board::StoreOtp(root, *Board::BankNamed(options.bank), options.type, block)) {
        Fail(kExitFailure,
             "cannot write " + options.bank + " block " + std::to_string(options.type) + ": " + ErrorText());
    }
}

void MemRead(const std::string& addressText, std::size_t length) {
    const std::string root = BoardOrFail();
    const std::uint64_t address = AddressOrFail(addressText);
    if (length == 0 || length > kMaxMemoryRead) {
        Fail(kExitUsage, "the length must be 1 to " + std::to_string(kMaxMemoryRead) + " bytes");
    }
    std::vector<std::uint8_t> bytes(length);
    if (!Board::ReadMemory(root, address, bytes.data(), bytes.size())) {
        Fail(kExitFailure,
             "cannot read " + std::to_string(length) + " bytes at " + addressText + ": " + ErrorText());
    }
    std::cout << HexLines(bytes) << std::flush;
}

void MemWrite(const std::string& addressText, const std::vector<std::string>& hex) {
    const std::string root = BoardOrFail();
    const std::uint64_t address = AddressOrFail(addressText);
    std::string text;
    for (const std::string& word : hex) text += word + " ";
    const std::vector<std::uint8_t> bytes = ParseHex(text);
    if (!Board::WriteMemory(root, address, bytes.data(), bytes.size())) {
        Fail(kExitFailure, "cannot write " + std::to_string(bytes.size()) + " bytes at " + addressText +
                               ": " + ErrorText());
    }
}

void Log(bool clear) {
    const std::string root = BoardOrFail();
    if (clear) {
        if (!Board::ClearLog(root)) Fail(kExitFailure, "cannot clear the log: " + ErrorText());
        return;
    }
    const auto text = Board::ReadLog(root);
    if (!text) Fail(kExitFailure, "cannot read the log: " + ErrorText());
    std::cout << *text << std::flush;
}

struct FailOptions {
    std::string call;
    std::string error;
    unsigned count = 1;
    bool clear = false;
};

void FailCommand(const FailOptions& options) {
    const std::string root = BoardOrFail();
    if (options.clear) {
        if (!Board::ClearFaults(root))
            Fail(kExitFailure, "cannot clear the pending failures: " + ErrorText());
        return;
    }
    if (options.call.empty()) {  // list what is pending
        std::string text;
        for (const auto& rule : Board::Faults(root)) {
            text += rule.call + " " + Board::ErrorName(rule.error) + " " + std::to_string(rule.count) + "\n";
        }
        std::cout << text << std::flush;
        return;
    }
    const auto call = Board::FaultCallNamed(options.call);
    if (!call)
        Fail(kExitUsage, "unknown call '" + options.call + "' (devctl, devctl-0x<command>, i2c or mmap)");
    if (options.error.empty()) Fail(kExitUsage, "name the error the call is to fail with (e.g. EIO)");
    const int error = Board::ErrorNumber(options.error);
    if (error <= 0)
        Fail(kExitUsage, "unknown error '" + options.error + "' (a name such as EIO, or its number)");
    if (!Board::AddFault(root, {*call, error, options.count})) {
        Fail(kExitFailure, "cannot record the failure: " + ErrorText());
    }
}

void Register(const std::string& name, const std::vector<std::string>& args) {
    BoardOrFail();
    const int status = RunRegisterCommand(name, args, "coresys");
    if (status != 0) throw CLI::RuntimeError(status);
}

}  // namespace

void AddBoardCommands(CLI::App& app) {
    CLI::App* board =
        app.add_subcommand("board", "The simulated board under CORESYSTEM_ROOT (see docs/board.md)");
    board->require_subcommand(1);

    auto writeTarget = std::make_shared<std::string>("nor");
    CLI::App* init = board->add_subcommand("init",
                                           "Create a fresh board: device nodes, erased OTP banks, zero "
                                           "memory, empty log (resets an existing one)");
    init->add_option("--write-target", *writeTarget, "Bank that the device's OTP write commands program")
        ->check(CLI::IsMember({"nor", "legacy", "both"}));
    init->callback([writeTarget] { Init(*writeTarget); });

    CLI::App* otp =
        board->add_subcommand("otp", "Program and read the OTP banks directly, as a programming station");
    otp->require_subcommand(1);
    auto otpOptions = std::make_shared<OtpOptions>();
    for (const bool write : {false, true}) {
        CLI::App* command = otp->add_subcommand(write ? "write" : "read",
                                                write ? "Replace a block with the 256 bytes of FILE"
                                                      : "Print a block: 256 raw bytes, or hex with --hex");
        command->add_option("--bank", otpOptions->bank, "nor or legacy")
            ->required()
            ->check(CLI::IsMember({"nor", "legacy"}));
        command->add_option("--type", otpOptions->type, "Block type")->required()->check(CLI::Range(1, 3));
        if (write) {
            command->add_option("file", otpOptions->file, "File of exactly 256 bytes")->required();
            command->callback([otpOptions] { OtpWrite(*otpOptions); });
        } else {
            command->add_flag("--hex", otpOptions->hex, "Print hex, 16 bytes to a line");
            command->callback([otpOptions] { OtpRead(*otpOptions); });
        }
    }

    CLI::App* mem =
        board->add_subcommand("mem", "Read and write physical memory (registers, the boot record)");
    mem->require_subcommand(1);
    auto address = std::make_shared<std::string>();
    auto length = std::make_shared<std::size_t>(0);
    auto hex = std::make_shared<std::vector<std::string>>();
    CLI::App* memRead =
        mem->add_subcommand("read", "Print LENGTH bytes at ADDRESS as hex, 16 bytes to a line");
    memRead->add_option("address", *address, "Physical address, 0x...")->required();
    memRead->add_option("length", *length, "Number of bytes")->required();
    memRead->callback([address, length] { MemRead(*address, *length); });
    CLI::App* memWrite = mem->add_subcommand("write", "Store bytes given as hex at ADDRESS");
    memWrite->add_option("address", *address, "Physical address, 0x...")->required();
    memWrite->add_option("hex", *hex, "Bytes as hex digits, blanks allowed between bytes")->required();
    memWrite->callback([address, hex] { MemWrite(*address, *hex); });

    auto clear = std::make_shared<bool>(false);
    CLI::App* log = board->add_subcommand("log", "Print the event log, one device event a line");
    log->add_flag("--clear", *clear, "Empty the log instead");
    log->callback([clear] { Log(*clear); });

    auto failOptions = std::make_shared<FailOptions>();
    CLI::App* fail = board->add_subcommand(
        "fail",
        "Make the next calls fail in any process: CALL ERRNO [--count N]; no arguments list what is pending");
    fail->add_option("call", failOptions->call, "devctl, devctl-0x<command>, i2c or mmap");
    fail->add_option("errno", failOptions->error, "Error name (EIO) or number");
    fail->add_option("--count", failOptions->count, "How many calls fail")->check(CLI::Range(1u, 1000000u));
    fail->add_flag("--clear", failOptions->clear, "Remove every pending failure");
    fail->callback([failOptions] { FailCommand(*failOptions); });

    for (const char* name : {"in32", "out32"}) {
        auto args = std::make_shared<std::vector<std::string>>();
        const bool store = std::string(name) == "out32";
        CLI::App* command =
            board->add_subcommand(name, store ? "Store VALUE in the 32-bit register at ADDRESS (logged)"
                                              : "Print the 32-bit register at ADDRESS as 0x%08x");
        command->add_option("args", *args, store ? "ADDRESS VALUE" : "ADDRESS")
            ->expected(store ? 2 : 1)
            ->required();
        command->callback([name, args] { Register(name, *args); });
    }
}

}  // namespace Coresys
