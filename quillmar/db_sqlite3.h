// The process store on SQLite 3: the ProcInfo table in the assistant's
// database file.
#pragma once

#include "database.h"

quillmar_db_operate db_get_sqlite3_operate();
