// Catalog views of the session and the server's fixed catalogs: sys.dm_exec_sessions (this
// session), systypes, sysusers, XACT_STATE, and HAS_PERMS_BY_NAME (the logins here may do anything).
#include "Session.h"

#include <sqlite3.h>

#include <string>

void Session::RegisterSessionViews() {
    sqlite3_create_function_v2(
        db_, "sandbox_session", 1, SQLITE_UTF8, this,
        [](sqlite3_context* ctx, int, sqlite3_value** argv) {
            const auto* s = static_cast<const Session*>(sqlite3_user_data(ctx));
            const unsigned char* p = sqlite3_value_text(argv[0]);
            const std::string what = p ? reinterpret_cast<const char*>(p) : "";
            std::string text;
            if (what == "spid") return sqlite3_result_int(ctx, s->spid_);
            if (what == "date_first") return sqlite3_result_int(ctx, s->dateFirst_);
            if (what == "text_size") return sqlite3_result_int64(ctx, s->textSize_);
            if (what == "transaction_count") return sqlite3_result_int(ctx, s->tranCount_);
            if (what == "login_name") text = s->user_;
            if (what == "host_name") text = s->hostName_;
            if (what == "program_name") text = s->appName_;
            if (what == "language") text = s->language_;
            if (what == "date_format") text = s->dateOrder_;
            sqlite3_result_text(ctx, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        },
        nullptr, nullptr, nullptr);
    // XACT_STATE(): 1 inside a transaction, 0 outside (a transaction here is never left uncommittable).
    sqlite3_create_function_v2(
        db_, "xact_state", 0, SQLITE_UTF8, this,
        [](sqlite3_context* ctx, int, sqlite3_value**) {
            sqlite3_result_int(ctx, static_cast<const Session*>(sqlite3_user_data(ctx))->tranCount_ > 0 ? 1 : 0);
        },
        nullptr, nullptr, nullptr);
    sqlite3_create_function_v2(
        db_, "has_perms_by_name", -1, SQLITE_UTF8, nullptr,
        [](sqlite3_context* ctx, int argc, sqlite3_value** argv) {
            if (argc < 3 || argc > 5) return sqlite3_result_error(ctx, "HAS_PERMS_BY_NAME takes 3 to 5 arguments", -1);
            if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
            sqlite3_result_int(ctx, 1);
        },
        nullptr, nullptr, nullptr);
    sqlite3_exec(db_, R"(
CREATE VIEW IF NOT EXISTS sys_DM_EXEC_SESSIONS AS SELECT sandbox_session('spid') AS session_id,
  sandbox_session('host_name') AS host_name, sandbox_session('program_name') AS program_name,
  sandbox_session('login_name') AS login_name, sandbox_session('login_name') AS original_login_name, 'running' AS status,
  db_id() AS database_id, sandbox_session('language') AS language, sandbox_session('date_format') AS date_format,
  sandbox_session('date_first') AS date_first, sandbox_session('text_size') AS text_size, 1 AS is_user_process,
  sandbox_session('transaction_count') AS open_transaction_count, 2 AS transaction_isolation_level;
CREATE VIEW IF NOT EXISTS systypes AS SELECT column1 AS name, column2 AS xtype, 0 AS status, column2 AS xusertype,
  column3 AS length, column4 AS xprec, column5 AS xscale, 0 AS tdefault, 0 AS domain, 4 AS uid, 0 AS reserved,
  CASE WHEN column2 IN (35, 99, 167, 175, 231, 239) THEN 872468488 END AS collationid, column6 AS usertype,
  CASE WHEN column2 IN (165, 167, 231) THEN 1 ELSE 0 END AS variable, 1 AS allownulls, column2 AS type, NULL AS printfmt,
  column4 AS prec, column5 AS scale,
  CASE WHEN column2 IN (35, 99, 167, 175, 231, 239) THEN 'SQL_Latin1_General_CP1_CI_AS' END AS collation
  FROM (VALUES ('image', 34, 16, 0, 0, 20), ('text', 35, 16, 0, 0, 19), ('uniqueidentifier', 36, 16, 0, 0, 0),
    ('date', 40, 3, 10, 0, 0), ('time', 41, 5, 16, 7, 0), ('datetime2', 42, 8, 27, 7, 0), ('datetimeoffset', 43, 10, 34, 7, 0),
    ('tinyint', 48, 1, 3, 0, 5), ('smallint', 52, 2, 5, 0, 6), ('int', 56, 4, 10, 0, 7), ('smalldatetime', 58, 4, 16, 0, 22),
    ('real', 59, 4, 24, 0, 23), ('money', 60, 8, 19, 4, 11), ('datetime', 61, 8, 23, 3, 12), ('float', 62, 8, 53, 0, 8),
    ('sql_variant', 98, 8016, 0, 0, 0), ('ntext', 99, 16, 0, 0, 0), ('bit', 104, 1, 1, 0, 16), ('decimal', 106, 17, 38, 38, 24),
    ('numeric', 108, 17, 38, 38, 10), ('smallmoney', 122, 4, 10, 4, 21), ('bigint', 127, 8, 19, 0, 0),
    ('varbinary', 165, 8000, 0, 0, 4), ('varchar', 167, 8000, 0, 0, 2), ('binary', 173, 8000, 0, 0, 3),
    ('char', 175, 8000, 0, 0, 1), ('nvarchar', 231, 8000, 0, 0, 0), ('nchar', 239, 8000, 0, 0, 0), ('xml', 241, -1, 0, 0, 0),
    ('sysname', 231, 256, 0, 0, 0));
CREATE VIEW IF NOT EXISTS sysusers AS SELECT column1 AS uid, 0 AS status, column2 AS name, NULL AS sid, NULL AS roles,
  '2003-04-08 09:10:42.287' AS createdate, '2003-04-08 09:10:42.287' AS updatedate, 0 AS altuid, NULL AS password,
  column1 AS gid, NULL AS environ, column3 AS hasdbaccess, 0 AS islogin, 0 AS isntname, 0 AS isntgroup, 0 AS isntuser,
  column4 AS issqluser, 0 AS isaliased, column5 AS issqlrole, 0 AS isapprole
  FROM (VALUES (0, 'public', 0, 0, 1), (1, 'dbo', 1, 1, 0), (2, 'guest', 0, 1, 0), (3, 'INFORMATION_SCHEMA', 0, 1, 0), (4, 'sys', 0, 1, 0));
)",
                 nullptr, nullptr, nullptr);
    RegisterCatalogViews();
}
