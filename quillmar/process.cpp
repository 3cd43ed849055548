// The process collector: reads every process of /proc into the store.
#include "process.h"

machine_info minfo = {.cpu_count = 0, .mtime = -1, .memtotal = 0};
