// The process store on SQLite 3. One connection for the life of the program;
// the ProcInfo table is made at start and dropped at exit.
#include "db_sqlite3.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <glib.h>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <sqlite3.h>

#include "log.h"
#include "paths.h"
#include "proc_record.h"

namespace {

struct sqlite3_closer {
    void operator()(sqlite3 *db) const { sqlite3_close(db); }
};
struct sqlite3_finalizer {
    void operator()(sqlite3_stmt *stmt) const { sqlite3_finalize(stmt); }
};
using statement = std::unique_ptr<sqlite3_stmt, sqlite3_finalizer>;

struct sqlite3_modules {
    std::unique_ptr<sqlite3, sqlite3_closer> db;
    // Compiled once per connection, then bound row by row: the existence
    // query, and the UPDATE and INSERT of one process.
    statement exists;
    statement update;
    statement insert;
    // The last listing, compiled once for as long as its sort stays.
    statement listing;
    std::string listing_sql;
    quillmar_db_row_fn list_row = nullptr; // takes each row of a listing
    bool mending = false;                   // a damaged file is being replaced
    bool mend_failed = false;               // it could not be: tried once only
    uint64_t made = 0;                      // tables made, the first included
};

sqlite3_modules s3modules;

constexpr char create_table[] =
    " \t\tCREATE TABLE ProcInfo(Pid INT PRIMARY KEY NOT NULL,Pr INT,Nice INT,S INT,Virt INT,Res INT,Shr INT,"
    "CpuTime INT,Time CHAR(280),Comm CHAR(280),Affinity INT,CpuList CHAR(280),MinFlt INT,CMinFlt INT,MajFlt INT,"
    "CMajFlt INT,CmdLine CHAR(280));";

// "SELECT *" yields the columns in the order of the CREATE statement, and
// rows are decoded by the column table: the two must agree.
constexpr bool create_table_follows_columns()
{
    const std::string_view sql = create_table;
    size_t pos = sql.find('(');
    for (const proc_store_column &c : proc_store_columns) {
        if (pos == std::string_view::npos)
            return false;
        const std::string_view name = c.name;
        if (sql.substr(pos + 1, name.size()) != name || sql[pos + 1 + name.size()] != ' ')
            return false;
        pos = sql.find(',', pos + 1);
    }
    return pos == std::string_view::npos;
}
static_assert(create_table_follows_columns());

// Statements carry process names and command lines as they were read, not
// always UTF-8. The table keeps those bytes; the log shows the text with
// each invalid byte replaced.
class printable {
public:
    explicit printable(const char *text) : text_(text)
    {
        if (!g_utf8_validate(text, -1, nullptr))
            text_ = copy_ = g_utf8_make_valid(text, -1);
    }
    printable(const printable &) = delete;
    printable &operator=(const printable &) = delete;
    ~printable() { g_free(copy_); }
    const char *c_str() const { return text_; }

private:
    const char *text_;
    gchar *copy_ = nullptr;
};

const char *errmsg()
{
    return sqlite3_errmsg(s3modules.db.get());
}

// Statements are finalized before their connection closes, or it stays open.
void connection_close()
{
    s3modules.exists.reset();
    s3modules.update.reset();
    s3modules.insert.reset();
    s3modules.listing.reset();
    s3modules.db.reset();
}

// The row statements as the log shows them, values written in; the bound
// form of each is the same text with every conversion ('%s' with its quotes)
// made a parameter, so the two cannot drift apart.
constexpr char exists_sql[] = "SELECT Pid FROM ProcInfo WHERE Pid == %ld;";
constexpr char update_sql[] =
    "UPDATE ProcInfo SET \t\t\tPr = %ld, Nice = %ld, S = %d, Virt = %ld, Res = %ld, \t\t\tShr = %ld, "
    "CpuTime = %ld, Time = '%s', Comm = '%s', Affinity = %ld, \t\t\tCpuList = '%s', MinFlt = %ld, "
    "CMinFlt = %ld, MajFlt = %ld, CMajFlt = %ld, \t\t\tCmdLine = '%s' WHERE Pid = %ld;";
constexpr char insert_sql[] =
    "INSERT INTO ProcInfo \t\t\t(Pid, Pr, Nice, S, Virt, \t\t\tRes, Shr, CpuTime, Time, Comm, \t\t\t"
    "Affinity, CpuList, MinFlt, CMinFlt, MajFlt, \t\t\tCMajFlt, CmdLine) VALUES \t\t\t(%ld, %ld, %ld, "
    "%d, %ld, \t\t\t%ld, %ld, %ld, '%s', '%s', \t\t\t%ld, '%s', %ld, %ld, %ld, \t\t\t%ld, '%s');";

std::string bound_form(const char *sql)
{
    std::string out;
    for (const char *c = sql; *c; c++) {
        if (c[0] == '\'' && c[1] == '%' && c[2] == 's' && c[3] == '\'') {
            out += '?';
            c += 3;
        } else if (c[0] == '%' && c[1] == 'l' && c[2] == 'd') {
            out += '?';
            c += 2;
        } else if (c[0] == '%' && c[1] == 'd') {
            out += '?';
            c += 1;
        } else {
            out += *c;
        }
    }
    return out;
}

// The cached statement, compiled on first use; null when it does not compile.
sqlite3_stmt *cached(statement &stmt, const char *sql)
{
    if (!stmt) {
        sqlite3_stmt *raw = nullptr;
        if (sqlite3_prepare_v2(s3modules.db.get(), bound_form(sql).c_str(), -1, &raw, nullptr) != SQLITE_OK)
            return nullptr;
        stmt.reset(raw);
    }
    return stmt.get();
}

// Binds and steps a cached statement once; the step's result, or -1 when
// the statement does not compile. A statement that fails to run (its table
// was dropped and made again, say) is compiled afresh and run once more, so
// that only a text that no longer compiles counts as a failure.
template <typename Bind> int run_cached(statement &stmt, const char *sql, const Bind &bind)
{
    int rc = SQLITE_ERROR;
    for (int attempt = 0; attempt < 2; attempt++) {
        sqlite3_stmt *raw = cached(stmt, sql);
        if (!raw)
            return -1;
        bind(raw);
        rc = sqlite3_step(raw);
        sqlite3_reset(raw);
        if (rc == SQLITE_ROW || rc == SQLITE_DONE || rc == SQLITE_CONSTRAINT)
            break;
        stmt.reset();
    }
    return rc;
}

bool mend_if_damaged();

bool sqlite3_exec_sql(const char *sql)
{
    vskprint(LOG_LEVEL_INFO, __func__, "sqlite3 prepare to exec sql %s\n", printable(sql).c_str());
    char *err = nullptr;
    if (sqlite3_exec(s3modules.db.get(), sql, nullptr, nullptr, &err) == SQLITE_OK)
        return true;
    vskprint(LOG_LEVEL_ERROR, __func__, "sqlite3 exec sql failed with msg %s\n", errmsg());
    sqlite3_free(err);
    mend_if_damaged();
    return false;
}

// Opens the file and makes the table; SQLite's code when the file cannot be
// opened.
int store_open()
{
    sqlite3 *db = nullptr;
    connection_close();
    // Only the main loop uses the connection: SQLite need not lock it.
    int rc = sqlite3_open_v2(paths::process_db, &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    s3modules.db.reset(db);
    if (rc != SQLITE_OK) {
        vskprint(LOG_LEVEL_ERROR, "sqlite3_db_init", "sqlite3 database creation failed with msg %s\n", errmsg());
        vskprint(LOG_LEVEL_ERROR, "sqlite3_db_init", "process explorer will not work properly\n");
        return rc;
    }
    vskprint(LOG_LEVEL_INFO, "sqlite3_db_init", "sqlite3 database is created successfully\n");
    // A damaged file fails each of these; it is judged once, after the last.
    const bool mending = std::exchange(s3modules.mending, true);
    sqlite3_exec_sql("PRAGMA synchronous = OFF;");
    char sql[4096];
    snprintf(sql, sizeof(sql), "%s", create_table);
    sqlite3_exec_sql(sql);
    // A run that ended without its clean-up leaves its table behind; its rows
    // name processes that may no longer exist.
    sqlite3_exec_sql("DELETE FROM ProcInfo;");
    s3modules.mending = mending;
    s3modules.made++;
    return SQLITE_OK;
}

// A file SQLite finds is no database, or corrupt (a crash mid-write, a worn
// card, a full disk), would fail every refresh for good. Its table is scratch,
// so the file is moved aside and the store made anew; SQLite has dealt with
// any journal of it before judging it. Only a file SQLite judged so is moved,
// and the move replaces only a copy judged so before. True when the store was
// made anew.
bool mend_if_damaged()
{
    const int rc = sqlite3_errcode(s3modules.db.get()) & 0xff;
    if ((rc != SQLITE_NOTADB && rc != SQLITE_CORRUPT) || s3modules.mending || s3modules.mend_failed)
        return false;
    vskprint(LOG_LEVEL_ERROR, "sqlite3_db_mend", "sqlite3 database %s is damaged (%s): it is kept as %s and made anew\n",
             paths::process_db, errmsg(), paths::process_db_damaged);
    const bool in_transaction = !sqlite3_get_autocommit(s3modules.db.get());
    connection_close();
    if (rename(paths::process_db, paths::process_db_damaged) != 0) {
        vskprint(LOG_LEVEL_ERROR, "sqlite3_db_mend", "sqlite3 database %s could not be moved aside, errno: %d\n",
                 paths::process_db, errno);
        s3modules.mend_failed = true;
    }
    s3modules.mending = true;
    // A refresh whose transaction was cut short goes on in one on the new file.
    const bool made = store_open() == SQLITE_OK && !s3modules.mend_failed &&
                      (!in_transaction || sqlite3_exec_sql("BEGIN;"));
    s3modules.mending = false;
    return made;
}

int64_t sqlite3_db_init()
{
    vskprint(LOG_LEVEL_INFO, __func__, "sqlite3 prepare to init database\n");
    const int rc = store_open();
    if (rc == SQLITE_OK)
        mend_if_damaged();
    return rc;
}

bool sqlite3_exec_prepare_v2(const char *sql)
{
    vskprint(LOG_LEVEL_INFO, __func__, "sqlite3 prepare to exec prepare_v2 %s\n", printable(sql).c_str());
    sqlite3_stmt *raw = nullptr;
    if (sqlite3_prepare_v2(s3modules.db.get(), sql, -1, &raw, nullptr) != SQLITE_OK) {
        vskprint(LOG_LEVEL_ERROR, __func__, "sqlite3 exec prepare_v2 failed with msg %s\n", errmsg());
        return false;
    }
    statement stmt(raw);
    sqlite3_step(stmt.get());
    return true;
}

// The statement text as the log shows it, values written in, as text that
// SQL would read back the same (quotes doubled).
void log_row_statement(const proc_info &p, bool update)
{
    if (log_level_off(LOG_LEVEL_INFO))
        return;
    char time[2 * sizeof(p.time)], comm[2 * sizeof(p.comm)], cpulist[2 * sizeof(p.cpulist)],
        cmdline[2 * sizeof(p.cmdline)];
    sql_quote(p.time, time, sizeof(time));
    sql_quote(p.comm, comm, sizeof(comm));
    sql_quote(p.cpulist, cpulist, sizeof(cpulist));
    sql_quote(p.cmdline, cmdline, sizeof(cmdline));
    char text[4096];
    if (update)
        snprintf(text, sizeof(text), update_sql, static_cast<long>(p.priority), static_cast<long>(p.nice), p.state,
                 static_cast<long>(p.virt), static_cast<long>(p.res), static_cast<long>(p.shr),
                 static_cast<long>(p.cputime), time, comm, static_cast<long>(p.affinity), cpulist,
                 static_cast<long>(p.minflt), static_cast<long>(p.cminflt), static_cast<long>(p.majflt),
                 static_cast<long>(p.cmajflt), cmdline, static_cast<long>(p.pid));
    else
        snprintf(text, sizeof(text), insert_sql, static_cast<long>(p.pid), static_cast<long>(p.priority),
                 static_cast<long>(p.nice), p.state, static_cast<long>(p.virt), static_cast<long>(p.res),
                 static_cast<long>(p.shr), static_cast<long>(p.cputime), time, comm, static_cast<long>(p.affinity),
                 cpulist, static_cast<long>(p.minflt), static_cast<long>(p.cminflt), static_cast<long>(p.majflt),
                 static_cast<long>(p.cmajflt), cmdline);
    vskprint(LOG_LEVEL_INFO, "sqlite3_exec_prepare_v2", "sqlite3 prepare to exec prepare_v2 %s\n",
             printable(text).c_str());
}

// Runs the UPDATE or the INSERT of one row, its values bound.
int run_row_statement(const proc_info &p, bool update)
{
    return run_cached(update ? s3modules.update : s3modules.insert, update ? update_sql : insert_sql,
                      [&](sqlite3_stmt *stmt) {
                          // The INSERT names every column in table order; the UPDATE sets
                          // all but Pid in that order and names the row by Pid last.
                          int n = 1;
                          auto bind = [&](const proc_store_column &c) {
                              switch (c.kind) {
                              case proc_column_kind::integer: sqlite3_bind_int64(stmt, n++, p.*c.integer); break;
                              case proc_column_kind::state: sqlite3_bind_int64(stmt, n++, p.state); break;
                              case proc_column_kind::text: {
                                  const std::string_view text = proc_column_text(p, c);
                                  sqlite3_bind_text(stmt, n++, text.data(), static_cast<int>(text.size()),
                                                    SQLITE_STATIC);
                                  break;
                              }
                              }
                          };
                          const proc_store_column &pid = proc_store_column_of(proc_column::Pid);
                          for (const proc_store_column &c : proc_store_columns)
                              if (!update || &c != &pid)
                                  bind(c);
                          if (update)
                              bind(pid);
                      });
}

// One process's row in one statement: the UPDATE of its stored row, and the
// INSERT only when no row has its pid. The log shows the statement that
// wrote the row. False when the row was not written.
bool write_row_once(const proc_info &p)
{
    bool update = true;
    int rc = run_row_statement(p, update);
    if (rc == SQLITE_DONE && sqlite3_changes(s3modules.db.get()) == 0) {
        update = false;
        rc = run_row_statement(p, update);
    }
    log_row_statement(p, update);
    if (rc == SQLITE_DONE)
        return true;
    vskprint(LOG_LEVEL_ERROR, "sqlite3_exec_prepare_v2", "sqlite3 exec prepare_v2 failed with msg %s\n", errmsg());
    return false;
}

// A row that found the file damaged goes to the store made anew.
bool sqlite3_write_row(const proc_info &p)
{
    return write_row_once(p) || (mend_if_damaged() && write_row_once(p));
}

// Integers are read whole: affinity masks past CPU 31 and fault counters
// past 2^31 do not fit the 32-bit accessor.
int64_t integer_or(sqlite3_stmt *stmt, int col, int64_t missing)
{
    return sqlite3_column_type(stmt, col) == SQLITE_INTEGER ? sqlite3_column_int64(stmt, col) : missing;
}

// Texts come back byte for byte as they were stored, valid UTF-8 or not.
void text_or_placeholder(sqlite3_stmt *stmt, int col, std::span<char> field)
{
    const bool is_text = sqlite3_column_type(stmt, col) == SQLITE_TEXT;
    const std::string_view text =
        is_text ? std::string_view(reinterpret_cast<const char *>(sqlite3_column_text(stmt, col)),
                                   static_cast<size_t>(sqlite3_column_bytes(stmt, col)))
                : "----";
    const size_t n = strnlen(text.data(), std::min(text.size(), field.size() - 1));
    memcpy(field.data(), text.data(), n);
    field[n] = '\0';
}

proc_info decode_row(sqlite3_stmt *stmt)
{
    proc_info info{};
    for (size_t i = 0; i < proc_column_count; i++) {
        const proc_store_column &c = proc_store_columns[i];
        const int col = static_cast<int>(i);
        switch (c.kind) {
        case proc_column_kind::integer: info.*c.integer = integer_or(stmt, col, -1); break;
        case proc_column_kind::state:
            info.state = sqlite3_column_type(stmt, col) == SQLITE_INTEGER
                             ? static_cast<char>(sqlite3_column_int(stmt, col) & 0xff)
                             : '-';
            break;
        case proc_column_kind::text: text_or_placeholder(stmt, col, c.text(info)); break;
        }
    }
    return info;
}

// The existence test: true exactly when a row with this pid is stored.
bool sqlite3_query_exists(int64_t pid)
{
    int rc = run_cached(s3modules.exists, exists_sql, [&](sqlite3_stmt *stmt) { sqlite3_bind_int64(stmt, 1, pid); });
    if (rc < 0) {
        vskprint(LOG_LEVEL_ERROR, "sqlite3_query", "sqlite3 query pid %ld failed with msg %s\n",
                 static_cast<long>(pid), errmsg());
        return false;
    }
    return rc == SQLITE_ROW;
}

bool sqlite3_query(int64_t pid, bool is_desc, const char *colname)
{
    vskprint(LOG_LEVEL_INFO, __func__, "sqlite3 prepare to check process %ld whether or not it exists\n",
             static_cast<long>(pid));
    if (pid != 0)
        return sqlite3_query_exists(pid);
    char sql[4096];
    // equal keys keep a stable order from one refresh to the next
    snprintf(sql, sizeof(sql), "SELECT * FROM ProcInfo ORDER BY %s %s, Pid ASC;", colname, is_desc ? "DESC" : "ASC");

    statement &stmt = s3modules.listing;
    if (s3modules.listing_sql != sql)
        stmt.reset();
    sqlite3_stmt *raw = nullptr;
    if (!stmt && sqlite3_prepare_v2(s3modules.db.get(), sql, -1, &raw, nullptr) != SQLITE_OK) {
        vskprint(LOG_LEVEL_ERROR, __func__, "sqlite3 query pid %ld failed with msg %s\n", static_cast<long>(pid),
                 errmsg());
        mend_if_damaged();
        return false;
    }
    if (!stmt) {
        stmt.reset(raw);
        s3modules.listing_sql = sql;
    }
    int64_t count = 0;
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        count++;
        if (s3modules.list_row)
            s3modules.list_row(decode_row(stmt.get()));
    }
    sqlite3_reset(stmt.get());
    if (rc != SQLITE_DONE) {
        vskprint(LOG_LEVEL_ERROR, __func__, "sqlite3 query pid %ld failed with msg %s\n", static_cast<long>(pid),
                 errmsg());
        stmt.reset(); // the connection closes only without open statements
        mend_if_damaged();
    }
    return count > 0;
}

void sqlite3_db_clean()
{
    vskprint(LOG_LEVEL_INFO, __func__, "sqlite3 prepare to clean up table ProcInfo\n");
    sqlite3_exec_sql("DROP TABLE ProcInfo;");
    connection_close();
}

void sqlite3_list_to(quillmar_db_row_fn row)
{
    s3modules.list_row = row;
}

uint64_t sqlite3_made()
{
    return s3modules.made;
}

const quillmar_db_operate sqlite3_operate = {
    .quillmar_db_init = sqlite3_db_init,
    .quillmar_db_query = sqlite3_query,
    .quillmar_db_exec_sql = sqlite3_exec_sql,
    .quillmar_db_exec_prepare = sqlite3_exec_prepare_v2,
    .quillmar_db_exec_row = sqlite3_write_row,
    .quillmar_db_clean = sqlite3_db_clean,
    .quillmar_db_list_to = sqlite3_list_to,
    .quillmar_db_made = sqlite3_made,
};

} // namespace

void sql_quote(const char *text, char *out, size_t size)
{
    size_t o = 0;
    for (const char *c = text; *c && o + 1 < size; c++) {
        if (*c == '\'') {
            if (o + 2 >= size)
                break;
            out[o++] = '\'';
        }
        out[o++] = *c;
    }
    out[o] = '\0';
}

quillmar_db_operate db_get_sqlite3_operate()
{
    vskprint(LOG_LEVEL_INFO, __func__, "sqlite3 will be up and running\n");
    return sqlite3_operate;
}
