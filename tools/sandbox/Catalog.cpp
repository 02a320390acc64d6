// The catalog tables and views every database file carries, and the rows DDL writes into them.
#include "Catalog.h"
#include "ServerState.h"
#include "SqliteUtil.h"
#include "TSql.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstring>

#include <stdexcept>

void ExecOrThrow(sqlite3* db, const std::string& sql) {
    char* err = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        std::string msg = err ? err : "sqlite error";
        sqlite3_free(err);
        throw std::runtime_error(msg + " in: " + sql.substr(0, 200));
    }
}

namespace {

void DataTypeFacts(const SqlType& t, std::string& dataType, SqlValue& charMax, SqlValue& octets, SqlValue& prec, SqlValue& radix,
                   SqlValue& scale, SqlValue& dtPrec) {
    const std::string name = t.Name();
    dataType = name.substr(0, name.find('('));
    auto setNum = [&](int p, int r, int s) {
        prec = SqlValue::FromInt(p);
        radix = SqlValue::FromInt(r);
        scale = r == 10 ? SqlValue::FromInt(s) : SqlValue{};
    };
    switch (t.kind) {
    case SqlType::Int:
        setNum(10, 10, 0);
        break;
    case SqlType::BigInt:
        setNum(19, 10, 0);
        break;
    case SqlType::SmallInt:
        setNum(5, 10, 0);
        break;
    case SqlType::TinyInt:
        setNum(3, 10, 0);
        break;
    case SqlType::Decimal:
    case SqlType::Numeric:
        setNum(t.precision, 10, t.scale);
        break;
    case SqlType::Money:
        setNum(19, 10, 4);
        break;
    case SqlType::SmallMoney:
        setNum(10, 10, 4);
        break;
    case SqlType::Float:
        setNum(53, 2, 0);
        break;
    case SqlType::Real:
        setNum(24, 2, 0);
        break;
    case SqlType::DateTime:
        dtPrec = SqlValue::FromInt(3);
        break;
    case SqlType::SmallDateTime:
        dtPrec = SqlValue::FromInt(0);
        break;
    case SqlType::Date:
        dtPrec = SqlValue::FromInt(0);
        break;
    case SqlType::Time:
    case SqlType::DateTime2:
    case SqlType::DateTimeOffset:
        dtPrec = SqlValue::FromInt(t.scale);
        break;
    case SqlType::Char:
    case SqlType::VarChar:
    case SqlType::Binary:
    case SqlType::VarBinary:
        charMax = SqlValue::FromInt(t.length);
        octets = SqlValue::FromInt(t.length);
        break;
    case SqlType::NChar:
    case SqlType::NVarChar:
        charMax = SqlValue::FromInt(t.length);
        octets = SqlValue::FromInt(t.length < 0 ? -1 : t.length * 2);
        break;
    case SqlType::Text:
    case SqlType::Image:
        charMax = SqlValue::FromInt(2147483647);
        octets = SqlValue::FromInt(2147483647);
        break;
    case SqlType::NText:
        charMax = SqlValue::FromInt(1073741823);
        octets = SqlValue::FromInt(2147483646);
        break;
    case SqlType::Xml:
        charMax = SqlValue::FromInt(-1);
        octets = SqlValue::FromInt(-1);
        break;
    default:
        break;
    }
}

}  // namespace

std::string SqliteTypeText(const SqlType& t) {
    std::string n = t.Name();
    const size_t p = n.find("(max)");
    if (p != std::string::npos) n.replace(p, 5, "(-1)");
    return n;
}

int NewObjectId(sqlite3* db) {
    SqlStmt st;
    int id = 245575913;
    if (sqlite3_prepare_v2(db, "SELECT coalesce(max(id), 245575880) + 33 FROM __objects", -1, st.Out(), nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
        id = sqlite3_column_int(st, 0);
    st.Reset();
    return id;
}

std::string SystemConstraintName(const std::string& prefix, const std::string& table, const std::string& column, int id) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(id));
    return prefix + "__" + table.substr(0, 9) + "__" + (column.empty() ? std::string() : column.substr(0, 5) + "__") + hex;
}

void RecordColumns(sqlite3* db, int objectId, const std::string& table, const std::vector<ColumnInfo>& cols, int firstColid) {
    SqlStmt st;
    sqlite3_prepare_v2(db,
                       "INSERT INTO __columns (object_id, table_name, colid, name, type_text, data_type, char_max, char_octets,"
                       " num_precision, num_radix, num_scale, dt_precision, is_nullable, is_identity, default_text)"
                       " VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
                       -1, st.Out(), nullptr);
    int colid = firstColid - 1;
    for (const auto& c : cols) {
        std::string dataType;
        SqlValue charMax, octets, prec, radix, scale, dtPrec;
        DataTypeFacts(c.type, dataType, charMax, octets, prec, radix, scale, dtPrec);
        sqlite3_reset(st);
        sqlite3_bind_int(st, 1, objectId);
        sqlite3_bind_text(st, 2, table.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(st, 3, ++colid);
        sqlite3_bind_text(st, 4, c.name.c_str(), -1, SQLITE_TRANSIENT);
        const std::string typeText = c.type.Declared();
        sqlite3_bind_text(st, 5, typeText.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 6, dataType.c_str(), -1, SQLITE_TRANSIENT);
        BindValue(st, 7, charMax);
        BindValue(st, 8, octets);
        BindValue(st, 9, prec);
        BindValue(st, 10, radix);
        BindValue(st, 11, scale);
        BindValue(st, 12, dtPrec);
        sqlite3_bind_text(st, 13, c.nullable ? "YES" : "NO", -1, SQLITE_STATIC);
        sqlite3_bind_int(st, 14, c.identity ? 1 : 0);
        if (c.defaultText.empty())
            sqlite3_bind_null(st, 15);
        else
            sqlite3_bind_text(st, 15, c.defaultText.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(st);
    }
    st.Reset();
}

namespace {

// A character column's collation, from its declared type (the server's default when it names none).
const char* const kCollationColumn =
    "collation_name nvarchar(128) GENERATED ALWAYS AS (CASE WHEN data_type IN ('char', 'varchar', 'text', 'nchar', 'nvarchar', "
    "'ntext') THEN CASE WHEN instr(type_text, ' COLLATE ') > 0 THEN substr(type_text, instr(type_text, ' COLLATE ') + 9) "
    "ELSE 'SQL_Latin1_General_CP1_CI_AS' END END) VIRTUAL";

}  // namespace

void ServerState::InitCatalog(sqlite3* db, const std::string& dbName, bool isMaster) {
    {
        // A database made before columns knew their collation gets it, and sys.columns shows it.
        SqlStmt info;
        bool exists = false, has = false;
        if (sqlite3_prepare_v2(db, "PRAGMA table_xinfo(__columns)", -1, info.Out(), nullptr) == SQLITE_OK)
            while (sqlite3_step(info) == SQLITE_ROW) {
                exists = true;
                has = has || std::strcmp(reinterpret_cast<const char*>(sqlite3_column_text(info, 1)), "collation_name") == 0;
            }
        info.Reset();
        if (exists && !has)
            ExecOrThrow(db, "ALTER TABLE __columns ADD COLUMN " + std::string(kCollationColumn) + "; DROP VIEW IF EXISTS sys_COLUMNS;");
    }
    ExecOrThrow(db, R"(
CREATE TABLE IF NOT EXISTS __objects (id int PRIMARY KEY, name nvarchar(128) COLLATE NOCASE NOT NULL, xtype char(2) NOT NULL,
  parent_obj int NOT NULL DEFAULT 0, crdate datetime NOT NULL, source ntext, params ntext);
CREATE TABLE IF NOT EXISTS __comments (id int NOT NULL, number smallint NOT NULL, colid smallint NOT NULL, text nvarchar(4000));
CREATE TABLE IF NOT EXISTS __columns (object_id int, table_name nvarchar(128) COLLATE NOCASE, colid int, name nvarchar(128) COLLATE NOCASE,
  type_text nvarchar(128), data_type nvarchar(128), char_max int, char_octets int, num_precision tinyint,
  num_radix smallint, num_scale int, dt_precision smallint, is_nullable varchar(3), is_identity int,
  default_text nvarchar(4000), )" + std::string(kCollationColumn) + R"();
CREATE VIEW IF NOT EXISTS sysobjects AS SELECT name, id, xtype, 1 AS uid, 0 AS info, 0 AS status,
  0 AS base_schema_ver, 0 AS replinfo, parent_obj, crdate, 0 AS ftcatid, 0 AS schema_ver, 0 AS stats_schema_ver,
  xtype AS type, 0 AS userstat,
  CASE trim(xtype) WHEN 'U' THEN 3 WHEN 'V' THEN 2 WHEN 'P' THEN 4 WHEN 'TR' THEN 8 WHEN 'D' THEN 6 WHEN 'C' THEN 9 ELSE 0 END AS sysstat, 0 AS indexdel, crdate AS refdate, 0 AS version, 0 AS deltrig,
  0 AS instrig, 0 AS updtrig, 0 AS seltrig, 0 AS category, 0 AS cache FROM __objects;
CREATE VIEW IF NOT EXISTS syscomments AS SELECT id, number, colid, 0 AS status, text AS ctext, 2 AS texttype,
  0 AS language, 0 AS encrypted, 0 AS compressed, text FROM __comments;
CREATE VIEW IF NOT EXISTS information_schema_tables AS SELECT )" +
                        SqlLiteral(dbName) +
                        R"( AS TABLE_CATALOG, 'dbo' AS TABLE_SCHEMA, name AS TABLE_NAME,
  CASE xtype WHEN 'U' THEN 'BASE TABLE' ELSE 'VIEW' END AS TABLE_TYPE FROM __objects WHERE xtype IN ('U', 'V');
CREATE VIEW IF NOT EXISTS information_schema_columns AS SELECT )" +
                        SqlLiteral(dbName) +
                        R"( AS TABLE_CATALOG, 'dbo' AS TABLE_SCHEMA, table_name AS TABLE_NAME,
  name AS COLUMN_NAME, colid AS ORDINAL_POSITION, default_text AS COLUMN_DEFAULT, is_nullable AS IS_NULLABLE,
  data_type AS DATA_TYPE, char_max AS CHARACTER_MAXIMUM_LENGTH, char_octets AS CHARACTER_OCTET_LENGTH,
  num_precision AS NUMERIC_PRECISION, num_radix AS NUMERIC_PRECISION_RADIX, num_scale AS NUMERIC_SCALE,
  dt_precision AS DATETIME_PRECISION FROM __columns;
CREATE VIEW IF NOT EXISTS sys_OBJECTS AS SELECT name, id AS object_id, NULL AS principal_id, 1 AS schema_id,
  parent_obj AS parent_object_id, trim(xtype) AS type,
  CASE trim(xtype) WHEN 'U' THEN 'USER_TABLE' WHEN 'V' THEN 'VIEW' WHEN 'P' THEN 'SQL_STORED_PROCEDURE'
    WHEN 'FN' THEN 'SQL_SCALAR_FUNCTION' WHEN 'IF' THEN 'SQL_INLINE_TABLE_VALUED_FUNCTION'
    WHEN 'TF' THEN 'SQL_TABLE_VALUED_FUNCTION' WHEN 'TR' THEN 'SQL_TRIGGER' WHEN 'D' THEN 'DEFAULT_CONSTRAINT' WHEN 'C' THEN 'CHECK_CONSTRAINT' END AS type_desc,
  crdate AS create_date, crdate AS modify_date, 0 AS is_ms_shipped, 0 AS is_published, 0 AS is_schema_published
  FROM __objects;
CREATE VIEW IF NOT EXISTS sys_TABLES AS SELECT * FROM sys_OBJECTS WHERE type = 'U';
CREATE VIEW IF NOT EXISTS sys_VIEWS AS SELECT * FROM sys_OBJECTS WHERE type = 'V';
CREATE VIEW IF NOT EXISTS sys_PROCEDURES AS SELECT * FROM sys_OBJECTS WHERE type = 'P';
CREATE VIEW IF NOT EXISTS sys_SCHEMAS AS SELECT 'dbo' AS name, 1 AS schema_id, 1 AS principal_id;
CREATE VIEW IF NOT EXISTS sys_COLUMNS AS SELECT object_id, name, colid AS column_id,
  CASE data_type WHEN 'int' THEN 56 WHEN 'bigint' THEN 127 WHEN 'smallint' THEN 52 WHEN 'tinyint' THEN 48
    WHEN 'bit' THEN 104 WHEN 'decimal' THEN 106 WHEN 'numeric' THEN 108 WHEN 'money' THEN 60 WHEN 'smallmoney' THEN 122
    WHEN 'float' THEN 62 WHEN 'real' THEN 59 WHEN 'datetime' THEN 61 WHEN 'smalldatetime' THEN 58 WHEN 'date' THEN 40
    WHEN 'time' THEN 41 WHEN 'datetime2' THEN 42 WHEN 'datetimeoffset' THEN 43 WHEN 'char' THEN 175
    WHEN 'varchar' THEN 167 WHEN 'nchar' THEN 239 WHEN 'nvarchar' THEN 231 WHEN 'text' THEN 35 WHEN 'ntext' THEN 99
    WHEN 'binary' THEN 173 WHEN 'varbinary' THEN 165 WHEN 'image' THEN 34 WHEN 'uniqueidentifier' THEN 36
    WHEN 'xml' THEN 241 WHEN 'sql_variant' THEN 98 END AS system_type_id,
  coalesce(char_octets, CASE data_type WHEN 'bigint' THEN 8 WHEN 'smallint' THEN 2 WHEN 'tinyint' THEN 1 WHEN 'bit' THEN 1
    WHEN 'float' THEN 8 WHEN 'datetime' THEN 8 WHEN 'date' THEN 3 WHEN 'uniqueidentifier' THEN 16 WHEN 'money' THEN 8
    WHEN 'time' THEN 5 WHEN 'datetime2' THEN 8 WHEN 'datetimeoffset' THEN 10 WHEN 'sql_variant' THEN 8016
    WHEN 'decimal' THEN 5 + 4 * ((num_precision > 9) + (num_precision > 19) + (num_precision > 28))
    WHEN 'numeric' THEN 5 + 4 * ((num_precision > 9) + (num_precision > 19) + (num_precision > 28)) ELSE 4 END) AS max_length,
  coalesce(num_precision, 0) AS precision, coalesce(num_scale, dt_precision, 0) AS scale,
  CASE is_nullable WHEN 'YES' THEN 1 ELSE 0 END AS is_nullable, is_identity, collation_name
  FROM __columns;
CREATE VIEW IF NOT EXISTS syscolumns AS SELECT name, object_id AS id, system_type_id AS xtype, 0 AS typestat,
  system_type_id AS xusertype, max_length AS length, precision AS xprec, scale AS xscale, column_id AS colid,
  column_id AS colorder, 0 AS cdefault, 0 AS domain, 0 AS number, 0 AS iscomputed, 0 AS isoutparam,
  is_nullable AS isnullable, collation_name AS collation, precision AS prec, scale FROM sys_COLUMNS;
)");
    if (isMaster) {
        ExecOrThrow(db, R"(
CREATE TABLE IF NOT EXISTS __databases (name nvarchar(128) PRIMARY KEY, dbid smallint, crdate datetime, filename nvarchar(260));
CREATE TABLE IF NOT EXISTS __logins (name nvarchar(128) PRIMARY KEY, password nvarchar(128));
CREATE VIEW IF NOT EXISTS sysdatabases AS SELECT name, dbid, NULL AS sid, 0 AS mode, 0 AS status, 0 AS status2,
  crdate, crdate AS reserved, 0 AS category, 150 AS cmptlevel, filename, 904 AS version FROM __databases;
CREATE VIEW IF NOT EXISTS sys_DATABASES AS SELECT name, dbid AS database_id, NULL AS source_database_id, NULL AS owner_sid,
  crdate AS create_date, 150 AS compatibility_level, 'SQL_Latin1_General_CP1_CI_AS' AS collation_name, 0 AS user_access,
  'MULTI_USER' AS user_access_desc, 0 AS is_read_only, 0 AS state, 'ONLINE' AS state_desc, 1 AS recovery_model,
  'FULL' AS recovery_model_desc FROM __databases;
)");
    }
}
