// Uses the installed headers and links the installed library; built by .ci/run, not run.
#include "CoreSystem/NM/NMClient.h"

#include <cstdio>

int main() {
    NM::NMClient client(true);
    std::printf("InstallCheck channel index: %d\n", client.getChannelIndex("InstallCheck"));
    return 0;
}
