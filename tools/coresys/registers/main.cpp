// The board's shell commands in32 and out32 on a development host (one source, built twice; the
// program's name says which). Put their folder first on PATH to run scripts written for the target.
#include <string>
#include <vector>

#include "Registers.h"

int main(int argc, char** argv) {
    return Coresys::RunRegisterCommand(
        CORESYS_REGISTER_COMMAND, std::vector<std::string>(argv + 1, argv + argc), CORESYS_REGISTER_COMMAND);
}
