// dispset: sets the first NVIDIA display's setting at offset 72 of its display record to 2,
// through the driver interface client. No arguments, no output, always exit code 0.
#include <string.h>

#include "driver_client/driver_client.h"
#include "loader/search_order.h"

int main(int, char**, char**) {
    // Before the driver library is loaded: what it imports must come from the system
    // directory, never from this program's folder, the working folder or PATH.
    RestrictDllSearchToSystemDirectory();
    if (InitializeDriverInterface() != kDriverOk) {
        return 0;
    }

    GpuHandle gpus[kMaxPhysicalGpus];
    uint32_t gpuCount;
    DisplayHandle display = 0;
    uint32_t companion = 0;
    // Cleared so that a failed query hands back zeros rather than stack contents.
    DisplayRecord record;
    memset(&record, 0, sizeof(record));
    record.version = kDisplayRecordVersionWord;

    // The driver's statuses are not consulted: each step runs with whatever the earlier
    // calls left in the handle and the companion value.
    EnumPhysicalGpus(gpus, &gpuCount);
    EnumDisplayHandle(0, &display);
    QueryDisplayRecord(display, &record, &companion);
    record.setting = kDisplaySettingValue;
    ApplyDisplayRecord(display, &record, companion);
    return 0;
}
