// The process explorer's records and the columns of its table.
#include "proc_record.h"

machine_info minfo = {.cpu_count = 0, .mtime = -1, .memtotal = 0};

std::string_view proc_column_text(const proc_info &p, const proc_store_column &c)
{
    // The accessor only locates the field; nothing is written through it.
    const std::span<char> field = c.text(const_cast<proc_info &>(p));
    size_t len = 0;
    while (len < field.size() && field[len] != '\0')
        len++;
    return {field.data(), len};
}
