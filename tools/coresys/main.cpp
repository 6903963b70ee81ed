// coresys: the host tool that plays the simulated device's other processes and looks inside them.
// Each group of subcommands registers itself here; errors go to standard error as "coresys: ...".
#include <CLI/CLI.hpp>

#include <exception>
#include <iostream>

#include "AppCommands.h"
#include "BackupCommands.h"
#include "BoardCommands.h"
#include "Command.h"
#include "ConfCommands.h"
#include "HardwareCommands.h"
#include "DbCommands.h"
#include "ImageCommands.h"
#include "ListCommands.h"
#include "NmCommands.h"
#include "ScreenService.h"

namespace Coresys {

void Fail(int status, const std::string& message) {
    std::cout.flush();
    std::cerr << ("coresys: " + message + "\n") << std::flush;  // one write: lines of processes never mix
    throw CLI::RuntimeError(status);
}

}  // namespace Coresys

int main(int argc, char** argv) {
    try {
        CLI::App app{"Host tool of the simulated device: plays its other processes and inspects them.",
                     "coresys"};
        app.require_subcommand(1);
        Coresys::AddNmCommands(app);
        Coresys::AddBackupCommands(app);
        Coresys::AddAppCommand(app);
        Coresys::AddConfCommands(app);
        Coresys::AddImageCommands(app);
        Coresys::AddDbCommands(app);
        Coresys::AddBoardCommands(app);
        Coresys::AddHardwareCommands(app);
        Coresys::AddListCommands(app);
        Coresys::AddScreenServiceCommand(app);
        try {
            app.parse(argc, argv);
        } catch (const CLI::RuntimeError& e) {
            return e.get_exit_code();  // the command has reported its own outcome
        } catch (const CLI::ParseError& e) {
            if (e.get_exit_code() == 0) return app.exit(e);  // --help
            std::cerr << "coresys: " << e.what() << "\nRun with --help for usage." << std::endl;
            return Coresys::kExitUsage;
        }
    } catch (const std::exception& e) {
        std::cout.flush();
        std::cerr << "coresys: " << e.what() << std::endl;
        return Coresys::kExitFailure;
    }
    return 0;
}
