// The programs' exit paths for tests that link modules without an entry:
// close the log the way the programs do, then exit with the number.
#include <cstdlib>

#include "log.h"

[[noreturn]] void ostrivel_clean_up(int exitnum)
{
    log_exit();
    exit(exitnum);
}

[[noreturn]] void quillmar_clean_up(int exitnum)
{
    log_exit();
    exit(exitnum);
}
