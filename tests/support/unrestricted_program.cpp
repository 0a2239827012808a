// dispset.exe's start without its first step, the DLL search restriction (never shipped): the
// client loads the driver library by its full path, and what that library imports is looked
// for along the default search order, the program's own folder first.
#include "driver_client/driver_client.h"

int main() {
    InitializeDriverInterface();
    return 0;
}
