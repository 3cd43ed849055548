// Fuzzes the service's request path on a simulated board: the text as the
// receiver takes it from a message, its classification, ostrivel_parse_cmd
// and the switch handlers, down to the board's files.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/ipc.h"
#include "log.h"
#include "ostrivel/ipc.h"
#include "ostrivel/ostrivel.h"
#include "paths.h"

static_assert(paths::simulated_board, "the request path is fuzzed on a simulated board only");

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Warnings name the errno of a failed write: the fuzz script looks for
    // writes that were refused outside the board.
    log_init(LOG_LEVEL_WARN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The 16 text bytes of a message, read as msg_receive reads them: at
    // most five characters, up to the first NUL.
    char text[msg_text_max + 1] = {};
    size_t len = strnlen(reinterpret_cast<const char *>(data), std::min(size, msg_text_max));
    memcpy(text, data, len);
    const bool feature = is_feature_request(text);
    int8_t status = request_handle(text);
    // The reply holds the feature bits, or 0 for a command (-1 for a SysRq
    // command the kernel did not take).
    if (status < sysrq_failed || status > 7 || (status < 0 && feature))
        __builtin_trap();
    return 0;
}
