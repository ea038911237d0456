// The program's entry: no arguments give the menu, arguments one command.
#include "cli/cli.h"
#include "console/console.h"
#include "platform/process.h"

int main(int argc, char** argv) {
    platform::PrepareHeap();
    platform::PrepareWrites();
    if (argc > 1) {
        platform::PreparePipes();
        return RunCommandLine(argc, argv);
    }
    return RunMenu();
}
