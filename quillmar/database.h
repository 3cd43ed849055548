// The process store as the rest of the assistant sees it: one table of
// operations, whatever the database behind it.
#pragma once

#include <cstdint>

struct proc_info;

struct quillmar_db_operate {
    int64_t (*quillmar_db_init)();
    bool (*quillmar_db_query)(int64_t pid, bool is_desc, const char *colname);
    bool (*quillmar_db_exec_sql)(const char *sql);
    bool (*quillmar_db_exec_prepare)(const char *sql);
    // One process's row, its values bound to a statement compiled once per
    // connection: the UPDATE when update is true, else the INSERT. Logs the
    // statement text with its values, as quillmar_db_exec_prepare does.
    bool (*quillmar_db_exec_row)(const proc_info &row, bool update);
    void (*quillmar_db_clean)();
};

quillmar_db_operate db_get_operate();
