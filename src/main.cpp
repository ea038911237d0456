// The program's entry: the menu is the whole program.
#include "console/console.h"
#include "platform/platform.h"

int main() {
    platform::PrepareHeap();
    platform::PrepareWrites();
    return RunMenu();
}
