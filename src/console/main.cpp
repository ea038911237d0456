// The program's entry: the menu is the whole program.
#include "console/console.h"

int main() {
    return RunMenu();
}
