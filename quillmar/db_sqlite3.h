// The process store on SQLite 3: the ProcInfo table in the assistant's
// database file.
#pragma once

#include <cstddef>

#include "database.h"

quillmar_db_operate db_get_sqlite3_operate();

// The body of an SQL string literal, for statements the log shows: each '
// doubled, cut to whole characters and pairs within size.
void sql_quote(const char *text, char *out, size_t size);
