// The process store as the rest of the assistant sees it: one table of
// operations, whatever the database behind it.
#pragma once

#include <cstdint>

struct proc_info;

// Takes one row of a listing: the view's gtk2_flush_clist.
using quillmar_db_row_fn = void (*)(proc_info info);

struct quillmar_db_operate {
    int64_t (*quillmar_db_init)();
    bool (*quillmar_db_query)(int64_t pid, bool is_desc, const char *colname);
    bool (*quillmar_db_exec_sql)(const char *sql);
    bool (*quillmar_db_exec_prepare)(const char *sql);
    // One process's row, its values bound to statements compiled once per
    // connection: the stored row of its pid is updated, or else inserted.
    // Logs the statement text with its values, as quillmar_db_exec_prepare
    // does. True when the row was written.
    bool (*quillmar_db_exec_row)(const proc_info &row);
    void (*quillmar_db_clean)();
    // Where the rows of every later listing go. The view hands its own
    // function over, so that the store calls up into no view of its own.
    void (*quillmar_db_list_to)(quillmar_db_row_fn row);
    // How many times the table has been made: the rows written before it
    // was last made (a damaged file replaced) are gone.
    uint64_t (*quillmar_db_made)();
};

quillmar_db_operate db_get_operate();
