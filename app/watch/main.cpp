// dispset-watch: runs dispset.exe at its start and again after every event that can make the
// display driver put its own settings back (app/watch/watcher.h). One per session; no
// arguments, no output, exit code 0.
#include "app/watch/watcher.h"
#include "loader/search_order.h"

int main(int, char**, char**) {
    // Before user32 and wtsapi32 are loaded: what they import comes from the system
    // directory only.
    RestrictDllSearchToSystemDirectory();
    return RunWatcher();
}
