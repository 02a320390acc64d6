// Catalog views computed when a query reads them: sys.sql_modules, sys.indexes and
// sys.index_columns, the constraint views, sys.types, sys.triggers, sys.parameters and
// sys.identity_columns, and sys.objects with the key constraints and foreign keys. Each reads an
// eponymous SQLite virtual table whose rows the session makes on the spot, so that sp_helpindex
// and sys.indexes give one answer; the views are the connection's own (temp), over its database.
// Also OBJECT_DEFINITION.
#include "Session.h"
#include "SqliteUtil.h"

#include <sqlite3.h>

#include <cctype>
#include <map>

namespace {

using Row = std::vector<SqlValue>;

// The columns every view of objects starts with, as sys.objects has them.
#define OBJECT_COLUMNS                                                                                                                 \
    "name nvarchar(128), object_id int, principal_id int, schema_id int, parent_object_id int, type char(2), type_desc nvarchar(60), " \
    "create_date datetime, modify_date datetime, is_ms_shipped bit, is_published bit, is_schema_published bit"

struct ViewDef {
    const char* view;     // the view's name here (sys.indexes is sys_INDEXES)
    const char* source;   // the virtual table's name and the name its rows are asked by
    const char* columns;  // declared as SQL Server types them
};

const ViewDef kViews[] = {
    {"sys_SQL_MODULES", "sql_modules",
     "object_id int, definition nvarchar(max), uses_ansi_nulls bit, uses_quoted_identifier bit, is_schema_bound bit, "
     "uses_database_collation bit, is_recompiled bit, null_on_null_input bit, execute_as_principal_id int, uses_native_compilation bit"},
    {"sys_INDEXES", "indexes",
     "object_id int, name nvarchar(128), index_id int, type tinyint, type_desc nvarchar(60), is_unique bit, data_space_id int, "
     "ignore_dup_key bit, is_primary_key bit, is_unique_constraint bit, fill_factor tinyint, is_padded bit, is_disabled bit, "
     "is_hypothetical bit, allow_row_locks bit, allow_page_locks bit, has_filter bit, filter_definition nvarchar(max)"},
    {"sys_INDEX_COLUMNS", "index_columns",
     "object_id int, index_id int, index_column_id int, column_id int, key_ordinal tinyint, partition_ordinal tinyint, "
     "is_descending_key bit, is_included_column bit"},
    {"sys_KEY_CONSTRAINTS", "key_constraints", OBJECT_COLUMNS ", unique_index_id int, is_system_named bit"},
    {"sys_FOREIGN_KEYS", "foreign_keys",
     OBJECT_COLUMNS ", referenced_object_id int, key_index_id int, is_disabled bit, is_not_for_replication bit, is_not_trusted bit, "
                    "delete_referential_action tinyint, delete_referential_action_desc nvarchar(60), update_referential_action tinyint, "
                    "update_referential_action_desc nvarchar(60), is_system_named bit"},
    {"sys_FOREIGN_KEY_COLUMNS", "foreign_key_columns",
     "constraint_object_id int, constraint_column_id int, parent_object_id int, parent_column_id int, referenced_object_id int, "
     "referenced_column_id int"},
    {"sys_CHECK_CONSTRAINTS", "check_constraints",
     OBJECT_COLUMNS ", is_disabled bit, is_not_for_replication bit, is_not_trusted bit, parent_column_id int, definition nvarchar(max), "
                    "uses_database_collation bit, is_system_named bit"},
    {"sys_DEFAULT_CONSTRAINTS", "default_constraints", OBJECT_COLUMNS ", parent_column_id int, definition nvarchar(max), is_system_named bit"},
    {"sys_TYPES", "types",
     "name nvarchar(128), system_type_id tinyint, user_type_id int, schema_id int, principal_id int, max_length smallint, "
     "precision tinyint, scale tinyint, collation_name nvarchar(128), is_nullable bit, is_user_defined bit, is_assembly_type bit, "
     "default_object_id int, rule_object_id int, is_table_type bit"},
    {"sys_TRIGGERS", "triggers",
     "name nvarchar(128), object_id int, parent_class tinyint, parent_class_desc nvarchar(60), parent_id int, type char(2), "
     "type_desc nvarchar(60), create_date datetime, modify_date datetime, is_ms_shipped bit, is_disabled bit, "
     "is_not_for_replication bit, is_instead_of_trigger bit"},
    {"sys_PARAMETERS", "parameters",
     "object_id int, name nvarchar(128), parameter_id int, system_type_id tinyint, user_type_id int, max_length smallint, "
     "precision tinyint, scale tinyint, is_output bit, is_cursor_ref bit, has_default_value bit, is_xml_document bit, "
     "default_value sql_variant, xml_collection_id int, is_readonly bit, is_nullable bit"},
    {nullptr, "key_objects", OBJECT_COLUMNS},
    {nullptr, "identity", "object_id int, column_id int, seed_value sql_variant, increment_value sql_variant, last_value sql_variant"},
};

// ---------------------------------------------------------------- the virtual table

struct RowsTable : sqlite3_vtab {
    Session* session = nullptr;
    const ViewDef* def = nullptr;
};

struct RowsCursor : sqlite3_vtab_cursor {
    std::vector<Row> rows;
    size_t at = 0;
};

struct ModuleData {
    Session* session;
    const ViewDef* def;
};

int Connect(sqlite3* db, void* aux, int, const char* const*, sqlite3_vtab** out, char**) {
    const auto* data = static_cast<const ModuleData*>(aux);
    // (max) is written (-1) to SQLite, as the catalog declares such columns.
    std::string schema = std::string("CREATE TABLE x(") + data->def->columns + ")";
    for (size_t at; (at = schema.find("(max)")) != std::string::npos;) schema.replace(at, 5, "(-1)");
    if (const int rc = sqlite3_declare_vtab(db, schema.c_str()); rc != SQLITE_OK) return rc;
    auto* table = new RowsTable{};
    table->session = data->session;
    table->def = data->def;
    *out = table;
    return SQLITE_OK;
}

int Filter(sqlite3_vtab_cursor* c, int, const char*, int, sqlite3_value**) {
    auto* cursor = static_cast<RowsCursor*>(c);
    auto* table = static_cast<RowsTable*>(c->pVtab);
    try {
        cursor->rows = table->session->CatalogViewRows(table->def->source);
    } catch (const std::exception& e) {
        sqlite3_free(table->zErrMsg);
        table->zErrMsg = sqlite3_mprintf("%s", e.what());
        return SQLITE_ERROR;
    }
    cursor->at = 0;
    return SQLITE_OK;
}

int Column(sqlite3_vtab_cursor* c, sqlite3_context* ctx, int i) {
    const auto* cursor = static_cast<RowsCursor*>(c);
    const Row& r = cursor->rows[cursor->at];
    const SqlValue v = static_cast<size_t>(i) < r.size() ? r[static_cast<size_t>(i)] : SqlValue{};
    ResultValue(ctx, v);
    return SQLITE_OK;
}

// Eponymous only (no xCreate): the table exists under its module's name, read-only.
const sqlite3_module& RowsModule() {
    static const sqlite3_module m = [] {
        sqlite3_module x{};
        x.xConnect = Connect;
        x.xBestIndex = [](sqlite3_vtab*, sqlite3_index_info* info) {
            info->estimatedCost = 1000;
            return SQLITE_OK;
        };
        x.xDisconnect = [](sqlite3_vtab* t) {
            delete static_cast<RowsTable*>(t);
            return SQLITE_OK;
        };
        x.xOpen = [](sqlite3_vtab*, sqlite3_vtab_cursor** out) {
            *out = new RowsCursor{};
            return SQLITE_OK;
        };
        x.xClose = [](sqlite3_vtab_cursor* c) {
            delete static_cast<RowsCursor*>(c);
            return SQLITE_OK;
        };
        x.xFilter = Filter;
        x.xNext = [](sqlite3_vtab_cursor* c) {
            ++static_cast<RowsCursor*>(c)->at;
            return SQLITE_OK;
        };
        x.xEof = [](sqlite3_vtab_cursor* c) {
            const auto* cursor = static_cast<RowsCursor*>(c);
            return cursor->at >= cursor->rows.size() ? 1 : 0;
        };
        x.xColumn = Column;
        x.xRowid = [](sqlite3_vtab_cursor* c, sqlite3_int64* rowid) {
            *rowid = static_cast<sqlite3_int64>(static_cast<RowsCursor*>(c)->at);
            return SQLITE_OK;
        };
        return x;
    }();
    return m;
}

// ---------------------------------------------------------------- rows made here

std::vector<Row> QueryRows(sqlite3* db, const std::string& sql) {
    std::vector<Row> rows;
    SqlStmt st;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, st.Out(), nullptr) != SQLITE_OK) return rows;
    while (sqlite3_step(st) == SQLITE_ROW) {
        Row r;
        for (int c = 0; c < sqlite3_column_count(st); ++c) r.push_back(ColumnValue(st, c));
        rows.push_back(std::move(r));
    }
    return rows;
}

std::string TextOf(const Row& r, size_t i) { return i < r.size() && r[i].type != SqlValue::Null ? r[i].AsText() : std::string(); }

// A module's tokens before its body: up to the first AS outside parentheses that does not type a
// parameter (@p AS int).
std::vector<Token> Header(const std::string& source) {
    std::vector<Token> t = Tokenize(source);
    int depth = 0;
    for (size_t i = 0; i < t.size(); ++i) {
        if (t[i].IsOp("(")) ++depth;
        if (t[i].IsOp(")")) --depth;
        if (depth == 0 && t[i].Is("AS") && !(i > 0 && t[i - 1].kind == Token::Variable)) {
            t.resize(i);
            break;
        }
    }
    return t;
}

// Whether the words come one after another among the tokens (WITH RECOMPILE, INSTEAD OF).
bool HasWords(const std::vector<Token>& t, std::initializer_list<const char*> words) {
    for (size_t i = 0; i + words.size() <= t.size(); ++i) {
        size_t k = 0;
        for (const char* w : words) {
            if (!t[i + k].Is(w)) break;
            ++k;
        }
        if (k == words.size()) return true;
    }
    return false;
}

// A type's system_type_id, max_length, precision and scale as sys.columns and sys.types give them.
struct TypeFacts {
    int systemTypeId = 0, maxLength = 0, precision = 0, scale = 0;
    bool character = false;
};

TypeFacts TypeFactsOf(sqlite3* db, const SqlType& t) {
    TypeFacts f;
    std::string base = t.Name();
    base = base.substr(0, base.find('('));
    SqlStmt st;
    if (sqlite3_prepare_v2(db, "SELECT xtype, length, xprec, xscale FROM systypes WHERE name = ? AND name <> 'sysname'", -1, st.Out(), nullptr) ==
        SQLITE_OK) {
        sqlite3_bind_text(st, 1, base.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(st) == SQLITE_ROW) {
            f.systemTypeId = sqlite3_column_int(st, 0);
            f.maxLength = sqlite3_column_int(st, 1);
            f.precision = sqlite3_column_int(st, 2);
            f.scale = sqlite3_column_int(st, 3);
        }
    }
    switch (t.kind) {
    case SqlType::Char:
    case SqlType::VarChar:
    case SqlType::Binary:
    case SqlType::VarBinary:
        f.maxLength = t.length;
        f.character = t.kind == SqlType::Char || t.kind == SqlType::VarChar;
        break;
    case SqlType::NChar:
    case SqlType::NVarChar:
        f.maxLength = t.length < 0 ? -1 : t.length * 2;
        f.character = true;
        break;
    case SqlType::Text:
    case SqlType::NText:
        f.character = true;
        break;
    case SqlType::Decimal:
    case SqlType::Numeric:
        f.precision = t.precision;
        f.scale = t.scale;
        f.maxLength = 5 + 4 * ((t.precision > 9) + (t.precision > 19) + (t.precision > 28));
        break;
    case SqlType::Time:
    case SqlType::DateTime2:
    case SqlType::DateTimeOffset: {
        // Fewer fractional digits: a shorter value and fewer characters.
        const int fraction = t.scale;
        f.scale = fraction;
        f.precision = f.precision - (7 - fraction) - (fraction == 0 ? 1 : 0);
        const int bytes = fraction <= 2 ? 3 : fraction <= 4 ? 4 : 5;
        f.maxLength = bytes + (t.kind == SqlType::DateTime2 ? 3 : t.kind == SqlType::DateTimeOffset ? 5 : 0);
        break;
    }
    default:
        break;
    }
    return f;
}

// An object's definition (of the object o): a module's source, a constraint's expression, a rule's
// or bound default's whole CREATE statement (their source column holds the expression alone).
const char* const kDefinition =
    "CASE WHEN trim(o.xtype) IN ('R', 'D') AND o.parent_obj = 0 THEN (SELECT group_concat(text, '') FROM (SELECT text FROM __comments c "
    "WHERE c.id = o.id ORDER BY number, colid)) ELSE coalesce(o.source, (SELECT group_concat(text, '') FROM (SELECT text FROM __comments c "
    "WHERE c.id = o.id ORDER BY number, colid))) END";

}  // namespace

std::vector<std::vector<SqlValue>> Session::CatalogViewRows(const std::string& view) {
    std::vector<Row> out;
    auto I = [](std::int64_t v) { return SqlValue::FromInt(v); };
    auto T = [](std::string s) { return SqlValue::FromText(std::move(s)); };
    if (view == "sql_modules") {
        for (const Row& r : QueryRows(db_, std::string("SELECT o.id, ") + kDefinition +
                                               " FROM __objects o WHERE (trim(o.xtype) IN ('P', 'V', 'FN', 'IF', 'TF', 'TR') OR (trim(o.xtype) IN ('R', 'D') AND o.parent_obj = 0)) "
                                               "AND o.name NOT LIKE '#%' "
                                               "ORDER BY o.id")) {
            const std::string definition = TextOf(r, 1);
            const auto t = Header(definition);
            bool schemaBound = false;
            for (size_t i = 1; i < t.size(); ++i) schemaBound = schemaBound || (t[i].Is("SCHEMABINDING") && (t[i - 1].Is("WITH") || t[i - 1].IsOp(",")));
            out.push_back({r[0], T(definition), I(1), I(1), I(schemaBound), I(0), I(HasWords(t, {"WITH", "RECOMPILE"})),
                           I(HasWords(t, {"NULL", "ON", "NULL", "INPUT"})), SqlValue{}, I(0)});
        }
    } else if (view == "triggers") {
        for (const Row& r : QueryRows(db_, std::string("SELECT o.name, o.id, o.parent_obj, o.crdate, ") + kDefinition +
                                               " FROM __objects o WHERE trim(o.xtype) = 'TR' ORDER BY o.id")) {
            const auto t = Header(TextOf(r, 4));
            out.push_back({r[0], r[1], I(1), T("OBJECT_OR_COLUMN"), r[2], T("TR"), T("SQL_TRIGGER"), r[3], r[3], I(0), I(0),
                           I(HasWords(t, {"NOT", "FOR", "REPLICATION"})), I(HasWords(t, {"INSTEAD", "OF"}))});
        }
    } else if (view == "types") {
        for (const Row& r : QueryRows(db_, "SELECT name, xtype, length, xprec, xscale, collation FROM systypes ORDER BY name")) {
            const bool sysname = TextOf(r, 0) == "sysname";
            out.push_back({r[0], r[1], sysname ? I(256) : r[1], I(4), SqlValue{}, r[2], r[3], r[4], r[5], I(!sysname), I(0), I(0), I(0), I(0), I(0)});
        }
        std::map<std::string, std::int64_t> ids;
        for (const Row& r : QueryRows(db_, "SELECT upper(name), id FROM __objects")) ids[TextOf(r, 0)] = r[1].i;
        for (const Row& r : QueryRows(db_, "SELECT t.rowid, t.name, t.base, t.nullable, (SELECT object FROM __typebinds b WHERE b.type = t.name AND "
                                           "b.kind = 'D'), (SELECT object FROM __typebinds b WHERE b.type = t.name AND b.kind = 'R') FROM __types t "
                                           "ORDER BY t.rowid")) {
            SqlType base;
            if (!ParseSqlType(TextOf(r, 2), base)) continue;
            const TypeFacts f = TypeFactsOf(db_, base);
            auto bound = [&](size_t i) {
                const auto it = ids.find(Upper(TextOf(r, i)));
                return it == ids.end() ? I(0) : I(it->second);
            };
            out.push_back({r[1], I(f.systemTypeId), I(256 + r[0].i), I(1), SqlValue{}, I(f.maxLength), I(f.precision), I(f.scale),
                           f.character ? T("SQL_Latin1_General_CP1_CI_AS") : SqlValue{}, I(r[3].i != 0), I(1), I(0), bound(4), bound(5), I(0)});
        }
    } else if (view == "parameters") {
        for (const Row& r : QueryRows(db_, std::string("SELECT o.id, ") + kDefinition +
                                               ", trim(o.xtype) FROM __objects o WHERE trim(o.xtype) IN ('P', 'FN', 'IF', 'TF') AND o.name NOT LIKE '#%' "
                                               "ORDER BY o.id")) {
            const std::string source = TextOf(r, 1);
            Module m;
            try {
                m = ParseModuleHeader(source);
            } catch (...) {
                continue;
            }
            if (TextOf(r, 2) == "FN") {
                // A scalar function's value: parameter 0, unnamed, an output.
                const auto t = Tokenize(source);
                size_t k = 0;
                while (k < t.size() && !t[k].Is("RETURNS")) ++k;
                size_t end = k + 1;
                while (end < t.size() && !t[end].Is("AS") && !t[end].Is("WITH") && !t[end].Is("BEGIN")) ++end;
                SqlType returns;
                std::string written = k + 1 < end && end < t.size() ? source.substr(t[k + 1].pos, t[end].pos - t[k + 1].pos) : std::string();
                while (!written.empty() && std::isspace(static_cast<unsigned char>(written.back()))) written.pop_back();
                if (!written.empty() && ParseSqlType(written, returns)) {
                    const TypeFacts f = TypeFactsOf(db_, returns);
                    out.push_back({r[0], T(""), I(0), I(f.systemTypeId), I(f.systemTypeId), I(f.maxLength), I(f.precision), I(f.scale), I(1), I(0),
                                   I(0), I(0), SqlValue{}, I(0), I(0), I(1)});
                }
            }
            const std::string upper = Upper(source);
            for (size_t k = 0; k < m.params.size(); ++k) {
                // The name as the source writes it (the header gives it upper-cased).
                std::string name = m.params[k].first;
                if (const size_t at = upper.find(name); at != std::string::npos) name = source.substr(at, name.size());
                const TypeFacts f = TypeFactsOf(db_, m.params[k].second);
                out.push_back({r[0], T(name), I(static_cast<std::int64_t>(k) + 1), I(f.systemTypeId), I(f.systemTypeId), I(f.maxLength), I(f.precision),
                               I(f.scale), I(k < m.outputs.size() && m.outputs[k]), I(0), I(0), I(0), SqlValue{}, I(0), I(0), I(1)});
            }
        }
    } else if (view == "identity") {
        for (const Row& r : QueryRows(db_, "SELECT c.object_id, c.colid, c.table_name, s.seed, s.inc, s.reseeded FROM __columns c "
                                           "LEFT JOIN __identity_seed s ON s.tbl = c.table_name WHERE c.is_identity = 1")) {
            const auto id = IdentityOf(TextOf(r, 2));
            if (!id) continue;
            // Nothing inserted yet: the last value the table had is still the one before its seed.
            const auto stepped = QueryRows(db_, "SELECT current FROM __identity WHERE tbl = " + SqlLiteral(TextOf(r, 2)) +
                                                    " UNION ALL SELECT seq FROM sqlite_sequence WHERE name = " + SqlLiteral(TextOf(r, 2)));
            const bool inserted = (!stepped.empty() && stepped[0][0].type == SqlValue::Integer && stepped[0][0].i != id->seed - id->increment) ||
                                  (r[5].type != SqlValue::Null && r[5].i != 0);
            out.push_back({r[0], r[1], I(id->seed), I(id->increment), inserted ? I(id->current) : SqlValue{}});
        }
    } else {
        return ConstraintViewRows(view);
    }
    return out;
}

void Session::RegisterCatalogViews() {
    for (const ViewDef& def : kViews)
        sqlite3_create_module_v2(db_, (std::string("__sys_") + def.source).c_str(), &RowsModule(), new ModuleData{this, &def},
                                 [](void* p) { delete static_cast<ModuleData*>(p); });
    sqlite3_create_function_v2(
        db_, "object_definition", 1, SQLITE_UTF8, this,
        [](sqlite3_context* ctx, int, sqlite3_value** argv) {
            auto* s = static_cast<Session*>(sqlite3_user_data(ctx));
            if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
            SqlStmt st;
            sqlite3_prepare_v2(s->db_, (std::string("SELECT ") + kDefinition + " FROM __objects o WHERE o.id = ? AND trim(o.xtype) <> 'U'").c_str(),
                               -1, st.Out(), nullptr);
            sqlite3_bind_int64(st, 1, sqlite3_value_int64(argv[0]));
            if (st && sqlite3_step(st) == SQLITE_ROW && sqlite3_column_type(st, 0) != SQLITE_NULL)
                sqlite3_result_text(ctx, reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), sqlite3_column_bytes(st, 0), SQLITE_TRANSIENT);
            else
                sqlite3_result_null(ctx);
        },
        nullptr, nullptr, nullptr);
    std::string sql;
    for (const ViewDef& def : kViews)
        if (def.view) sql += std::string("CREATE TEMP VIEW IF NOT EXISTS ") + def.view + " AS SELECT * FROM __sys_" + def.source + ";\n";
    sql += R"(
CREATE TEMP VIEW IF NOT EXISTS sys_OBJECTS AS SELECT name, id AS object_id, NULL AS principal_id, 1 AS schema_id,
  parent_obj AS parent_object_id, trim(xtype) AS type,
  CASE trim(xtype) WHEN 'U' THEN 'USER_TABLE' WHEN 'V' THEN 'VIEW' WHEN 'P' THEN 'SQL_STORED_PROCEDURE'
    WHEN 'FN' THEN 'SQL_SCALAR_FUNCTION' WHEN 'IF' THEN 'SQL_INLINE_TABLE_VALUED_FUNCTION'
    WHEN 'TF' THEN 'SQL_TABLE_VALUED_FUNCTION' WHEN 'TR' THEN 'SQL_TRIGGER' WHEN 'D' THEN 'DEFAULT_CONSTRAINT' WHEN 'C' THEN 'CHECK_CONSTRAINT'
    WHEN 'PK' THEN 'PRIMARY_KEY_CONSTRAINT' WHEN 'UQ' THEN 'UNIQUE_CONSTRAINT' WHEN 'F' THEN 'FOREIGN_KEY_CONSTRAINT' WHEN 'R' THEN 'RULE' END AS type_desc,
  crdate AS create_date, crdate AS modify_date, 0 AS is_ms_shipped, 0 AS is_published, 0 AS is_schema_published
  FROM main.__objects UNION ALL SELECT * FROM __sys_key_objects;
CREATE TEMP VIEW IF NOT EXISTS sysobjects AS SELECT * FROM main.sysobjects UNION ALL SELECT name, object_id, type, 1, 0, 0, 0, 0,
  parent_object_id, create_date, 0, 0, 0, type, 0, CASE type WHEN 'F' THEN 11 ELSE 10 END, 0, create_date, 0, 0, 0, 0, 0, 0, 0
  FROM __sys_key_objects;
CREATE TEMP VIEW IF NOT EXISTS sys_ALL_OBJECTS AS SELECT * FROM temp.sys_OBJECTS;
CREATE TEMP VIEW IF NOT EXISTS sys_ALL_COLUMNS AS SELECT * FROM main.sys_COLUMNS;
CREATE TEMP VIEW IF NOT EXISTS sys_IDENTITY_COLUMNS AS SELECT c.*, i.seed_value, i.increment_value, i.last_value,
  0 AS is_not_for_replication FROM main.sys_COLUMNS c JOIN __sys_identity i ON i.object_id = c.object_id AND i.column_id = c.column_id;
)";
    sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
}
