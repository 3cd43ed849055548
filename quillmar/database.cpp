// Chooses the store behind the process explorer: SQLite 3.
#include "database.h"

#include "db_sqlite3.h"
#include "log.h"

quillmar_db_operate db_get_operate()
{
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to get database operate with sqlite3\n");
    return db_get_sqlite3_operate();
}
