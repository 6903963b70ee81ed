// "coresys conf build|check|export": the host's way to make configuration images, to check one
// before it is used, and to see a record graph in the table-of-contents form.
#include "ConfCommands.h"

#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "Command.h"
#include "ConfDescription.h"
#include "CoreSystem/Platform/File.h"
#include "CoreSystem/SharedData/ConfTOC.h"
#include "CoreSystem/SharedData/ImageCheck.h"

namespace Coresys {
namespace {

namespace Platform = CoreSystem::Platform;

/// Largest table of contents export makes: copies recurse once per entry.
constexpr std::uint32_t kMaximumEntries = 65536;

/// Creates (or truncates) `path` and hands the descriptor to `write`; fails the command when the
/// file cannot be created, written or closed.
template <typename Write>
void WriteFile(const std::string& path, Write&& write) {
    const int fd = Platform::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) Fail(kExitFailure, path + ": cannot create: " + std::strerror(errno));
    const bool written = write(fd);
    const int error = errno;
    if (Platform::close(fd) != 0 || !written) {
        Fail(kExitFailure, path + ": cannot write: " + std::strerror(written ? errno : error));
    }
}

/// The image file at `path`, checked with `check`; fails the command with the first fault.
template <typename Check>
std::vector<std::uint8_t> ReadImage(const std::string& path, Check&& check) {
    const std::string bytes = ReadWholeFile(path);
    std::vector<std::uint8_t> image(bytes.begin(), bytes.end());
    if (const auto fault = check(image.data(), image.size()))
        Fail(kExitFailure, path + ": " + fault->message);
    return image;
}

void Build(const std::string& descriptionPath, const std::string& imagePath) {
    const conf::ImageDescription description = LoadDescription(descriptionPath);
    std::vector<std::uint8_t> image;
    std::string error;
    if (!conf::BuildImage(description, image, error)) Fail(kExitFailure, descriptionPath + ": " + error);
    if (const auto fault = conf::CheckImage(image.data(), image.size())) {
        Fail(kExitFailure, "the built image fails its check: " + fault->message);
    }
    WriteFile(imagePath, [&](int fd) { return Platform::WriteFully(fd, image.data(), image.size()); });
    std::cout << imagePath << ": " << image.size() << " bytes" << std::endl;
}

void Check(const std::string& imagePath) {
    ReadImage(imagePath, conf::CheckImage);
    std::cout << "ok" << std::endl;
}

/// Offsets are given in decimal or, with 0x, in hex.
std::uint32_t ParseOffset(const std::string& text) {
    const bool hex = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0;
    const std::string digits = hex ? text.substr(2) : text;
    std::size_t used = 0;
    unsigned long long value = 0;
    try {
        value = std::stoull(digits, &used, hex ? 16 : 10);
    } catch (const std::exception&) {
        used = 0;
    }
    if (digits.empty() || used != digits.size() || digits[0] == '-' || digits[0] == '+' ||
        value > 0xFFFFFFFFu) {
        Fail(kExitUsage, "--record " + text + ": expected an offset (decimal, or hex with 0x)");
    }
    return static_cast<std::uint32_t>(value);
}

struct ExportOptions {
    std::string image, record, output;
    std::uint32_t capacity = 4096;
};

void Export(const ExportOptions& options) {
    const conf::Offset offset = ParseOffset(options.record);
    std::vector<std::uint8_t> image = ReadImage(options.image, [&](const void* base, std::size_t size) {
        return conf::CheckRecordGraph(base, size, offset);
    });

    const conf::AllPrototypes prototypes;
    // One entry more than allowed shows that the graph does not fit.
    conf::ConfTOC toc(options.capacity + 1, 0, prototypes.table());
    const std::int32_t index = toc.copyReferenced(image.data(), image.data() + offset);
    if (index < 0 || toc.count() > options.capacity) {
        Fail(kExitFailure, "the record at offset " + std::to_string(offset) +
                               " and what it refers to need more than " + std::to_string(options.capacity) +
                               " entries (see --capacity)");
    }
    WriteFile(options.output, [&](int fd) { return toc.write(fd) >= 0; });
    std::cout << toc.count() << std::endl;
}

}  // namespace

void AddConfCommands(CLI::App& app) {
    CLI::App* confCommand = app.add_subcommand("conf", "Configuration images: build, check, export");
    confCommand->require_subcommand(1);

    auto paths = std::make_shared<std::pair<std::string, std::string>>();
    CLI::App* build = confCommand->add_subcommand(
        "build", "Build a configuration image from a JSON description (docs/configuration.md)");
    build->add_option("description", paths->first, "The description file (JSON)")->required();
    build->add_option("-o,--output", paths->second, "The image file to write")->required();
    build->callback([paths] { Build(paths->first, paths->second); });

    auto image = std::make_shared<std::string>();
    CLI::App* check = confCommand->add_subcommand(
        "check", "Check an image: prints ok, or the first fault with its offset (exit 1)");
    check->add_option("image", *image, "The image file")->required();
    check->callback([image] { Check(*image); });

    auto options = std::make_shared<ExportOptions>();
    CLI::App* exportCommand = confCommand->add_subcommand(
        "export",
        "Copy a record and what it refers to into a table of contents, write it and print its entry count");
    exportCommand->add_option("image", options->image, "The image file")->required();
    exportCommand->add_option("--record", options->record, "Offset of the record (decimal, or hex with 0x)")
        ->required();
    exportCommand->add_option("--capacity", options->capacity, "Entries the table of contents holds")
        ->check(CLI::Range(std::uint32_t{1}, kMaximumEntries));
    exportCommand->add_option("-o,--output", options->output, "The table-of-contents file to write")
        ->required();
    exportCommand->callback([options] { Export(*options); });
}

}  // namespace Coresys
