// The system procedures people type and scripts call: sp_help, sp_helptext, sp_helpindex,
// sp_rename, sp_databases, sp_who and sp_spaceused. Each answers from the catalog with SQL Server's
// result sets (names, types, row contents) and its messages and errors.
#include "Catalog.h"
#include "Session.h"
#include "SqliteUtil.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <set>

namespace {

using Row = std::vector<SqlValue>;

SqlValue Text(std::string s) { return SqlValue::FromText(std::move(s)); }
SqlValue Int(std::int64_t v) { return SqlValue::FromInt(v); }

const SqlType kSysname = SqlType::Of(SqlType::NVarChar, 128);
const SqlType kYesNo = SqlType::Of(SqlType::VarChar, 35);

std::vector<Row> Query(sqlite3* db, const std::string& sql, const std::vector<std::string>& params = {}) {
    std::vector<Row> rows;
    SqlStmt st;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, st.Out(), nullptr) != SQLITE_OK) return rows;
    for (size_t k = 0; k < params.size(); ++k) sqlite3_bind_text(st, static_cast<int>(k) + 1, params[k].c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(st) == SQLITE_ROW) {
        Row r;
        for (int c = 0; c < sqlite3_column_count(st); ++c) r.push_back(ColumnValue(st, c));
        rows.push_back(std::move(r));
    }
    return rows;
}

bool Exec(sqlite3* db, const std::string& sql, const std::vector<std::string>& params = {}) {
    SqlStmt st;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, st.Out(), nullptr) != SQLITE_OK) return false;
    for (size_t k = 0; k < params.size(); ++k) sqlite3_bind_text(st, static_cast<int>(k) + 1, params[k].c_str(), -1, SQLITE_TRANSIENT);
    const int rc = sqlite3_step(st);
    return rc == SQLITE_DONE || rc == SQLITE_ROW;
}

// The parts of a multi-part name written as text: 'demo.dbo.[Order Lines]' gives demo, dbo and
// Order Lines; brackets and double quotes are removed and their doubled closers undone.
std::vector<std::string> NameParts(const std::string& name) {
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (c == '[' || c == '"') {
            const char close = c == '[' ? ']' : '"';
            for (++i; i < name.size(); ++i) {
                if (name[i] == close) {
                    if (i + 1 < name.size() && name[i + 1] == close) {
                        parts.back() += close;
                        ++i;
                        continue;
                    }
                    break;
                }
                parts.back() += name[i];
            }
        } else if (c == '.') {
            parts.emplace_back();
        } else if (c != ' ' || !parts.back().empty()) {
            parts.back() += c;
        }
    }
    for (auto& p : parts)
        while (!p.empty() && p.back() == ' ') p.pop_back();
    return parts;
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

bool LessNoCase(const std::string& a, const std::string& b) { return Lower(a) < Lower(b); }

// Text padded with spaces to a fixed-length column's width, as SQL Server sends char(n) and nchar(n).
std::string Padded(std::string s, size_t width) {
    if (s.size() < width) s.append(width - s.size(), ' ');
    return s;
}

// The object type words of sp_help, by xtype.
std::string ObjectTypeName(const std::string& xtype) {
    static const std::pair<const char*, const char*> kNames[] = {
        {"U", "user table"},    {"V", "view"},           {"P", "stored procedure"}, {"FN", "scalar function"},
        {"IF", "inline function"}, {"TF", "table function"}, {"TR", "trigger"},       {"D", "default (maybe cns)"},
        {"C", "check cns"},     {"PK", "primary key cns"}, {"UQ", "unique key cns"},  {"F", "foreign key cns"},
        {"R", "rule"},          {"S", "system table"}};
    for (const auto& [x, name] : kNames)
        if (xtype == x) return name;
    return xtype;
}

// sys.columns.max_length of a type.
int MaxLength(const SqlType& t) {
    switch (t.kind) {
    case SqlType::Int:
    case SqlType::Real:
    case SqlType::SmallMoney:
    case SqlType::SmallDateTime:
        return 4;
    case SqlType::BigInt:
    case SqlType::Float:
    case SqlType::Money:
    case SqlType::DateTime:
        return 8;
    case SqlType::SmallInt:
        return 2;
    case SqlType::TinyInt:
    case SqlType::Bit:
        return 1;
    case SqlType::Decimal:
    case SqlType::Numeric:
        return t.precision <= 9 ? 5 : t.precision <= 19 ? 9 : t.precision <= 28 ? 13 : 17;
    case SqlType::Date:
        return 3;
    case SqlType::Time:
        return t.scale <= 2 ? 3 : t.scale <= 4 ? 4 : 5;
    case SqlType::DateTime2:
        return t.scale <= 2 ? 6 : t.scale <= 4 ? 7 : 8;
    case SqlType::DateTimeOffset:
        return t.scale <= 2 ? 8 : t.scale <= 4 ? 9 : 10;
    case SqlType::Char:
    case SqlType::VarChar:
    case SqlType::Binary:
    case SqlType::VarBinary:
        return t.length;
    case SqlType::NChar:
    case SqlType::NVarChar:
        return t.length < 0 ? -1 : t.length * 2;
    case SqlType::Text:
    case SqlType::NText:
    case SqlType::Image:
    case SqlType::UniqueIdentifier:
        return 16;
    case SqlType::Variant:
        return 8016;
    case SqlType::Xml:
        return -1;
    }
    return 0;
}

// The precision ODBC reports for a type (OdbcPrec): digits, characters, or a date's characters.
std::optional<int> OdbcPrecision(const SqlType& t) {
    switch (t.kind) {
    case SqlType::Int:
        return 10;
    case SqlType::BigInt:
        return 19;
    case SqlType::SmallInt:
        return 5;
    case SqlType::TinyInt:
        return 3;
    case SqlType::Bit:
        return 1;
    case SqlType::Decimal:
    case SqlType::Numeric:
        return t.precision;
    case SqlType::Money:
        return 19;
    case SqlType::SmallMoney:
        return 10;
    case SqlType::Float:
        return 53;
    case SqlType::Real:
        return 24;
    case SqlType::DateTime:
        return 23;
    case SqlType::SmallDateTime:
        return 16;
    case SqlType::Date:
        return 10;
    case SqlType::Time:
        return 8 + t.scale + (t.scale > 0);
    case SqlType::DateTime2:
        return 19 + t.scale + (t.scale > 0);
    case SqlType::DateTimeOffset:
        return 26 + t.scale + (t.scale > 0);
    case SqlType::Char:
    case SqlType::VarChar:
    case SqlType::NChar:
    case SqlType::NVarChar:
    case SqlType::Binary:
    case SqlType::VarBinary:
        return t.length;
    case SqlType::Text:
    case SqlType::Image:
        return 2147483647;
    case SqlType::NText:
        return 1073741823;
    case SqlType::UniqueIdentifier:
        return 36;
    default:
        return std::nullopt;
    }
}

// The scale ODBC reports (OdbcScale): none for approximate numbers, dates and texts.
std::optional<int> OdbcScale(const SqlType& t) {
    switch (t.kind) {
    case SqlType::Int:
    case SqlType::BigInt:
    case SqlType::SmallInt:
    case SqlType::TinyInt:
    case SqlType::Bit:
    case SqlType::SmallDateTime:
        return 0;
    case SqlType::Decimal:
    case SqlType::Numeric:
        return t.scale;
    case SqlType::Money:
    case SqlType::SmallMoney:
        return 4;
    case SqlType::DateTime:
        return 3;
    case SqlType::Time:
    case SqlType::DateTime2:
    case SqlType::DateTimeOffset:
        return t.scale;
    default:
        return std::nullopt;
    }
}

std::string BaseName(const SqlType& t) {
    const std::string n = t.Name();
    return n.substr(0, n.find('('));
}

std::string Hex16(std::uint64_t v) {
    char buf[20];
    std::snprintf(buf, sizeof buf, "%016llX", static_cast<unsigned long long>(v * 0x9E3779B97F4A7C15ULL));
    return buf;
}

// A key's name as SQL Server makes one up: PK__Customer__A4AE64B8E2E4C25E.
std::string SystemKeyName(const char* prefix, const std::string& table, std::uint64_t seed) {
    return std::string(prefix) + "__" + table.substr(0, 8) + "__" + Hex16(seed);
}

// An identifier in SQL text renamed: bare words, "quoted" and [bracketed] names equal to from
// (whatever the case) become to, quoted; string literals are left alone.
std::string RenameIdentifier(const std::string& sql, const std::string& from, const std::string& to, size_t start = 0) {
    std::string out = sql.substr(0, start);
    auto word = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '@' || c == '#' || c == '$' || (c & 0x80); };
    for (size_t i = start; i < sql.size();) {
        const char c = sql[i];
        if (c == '\'') {
            size_t j = i + 1;
            while (j < sql.size() && !(sql[j] == '\'' && (j + 1 >= sql.size() || sql[j + 1] != '\''))) j += sql[j] == '\'' ? 2 : 1;
            out += sql.substr(i, j + 1 - i);
            i = j + 1;
            continue;
        }
        if (c == '"' || c == '[' || word(c)) {
            size_t j = i;
            std::string name;
            if (c == '"' || c == '[') {
                const char close = c == '[' ? ']' : '"';
                for (j = i + 1; j < sql.size(); ++j) {
                    if (sql[j] == close) {
                        if (j + 1 < sql.size() && sql[j + 1] == close) {
                            name += close;
                            ++j;
                            continue;
                        }
                        break;
                    }
                    name += sql[j];
                }
                ++j;
            } else {
                while (j < sql.size() && word(sql[j])) name += sql[j++];
            }
            out += SameNoCase(name, from) ? QuoteIdent(to) : sql.substr(i, j - i);
            i = j;
            continue;
        }
        out += c;
        ++i;
    }
    return out;
}

struct IndexFact {
    std::string name, stored;
    bool clustered = false, unique = false, primary = false, uniqueKey = false;
    std::vector<std::pair<std::string, bool>> keys;  // column, descending
    int created = 0;                                 // order of creation

    std::string Description() const {
        return std::string(clustered ? "clustered" : "nonclustered") + (unique ? ", unique" : "") +
               (primary ? ", primary key" : uniqueKey ? ", unique key" : "") + " located on PRIMARY";
    }
    std::string KeyText() const {
        std::string s;
        for (const auto& [c, desc] : keys) s += (s.empty() ? "" : ", ") + c + (desc ? "(-)" : "");
        return s;
    }
};

struct ForeignKey {
    std::string name, table, parent;
    std::vector<std::string> columns, refs;
    std::string onDelete = "No Action", onUpdate = "No Action";
    bool enabled = true;
};

struct ConstraintRow {
    int id = 0;          // a check's or default's object id
    std::string column;  // the column of a default, or of a check that reads one column
    std::string type, name, onDelete = "(n/a)", onUpdate = "(n/a)", enabled = "(n/a)", replication = "(n/a)", keys, reference;
};

std::string Action(const std::vector<Token>& p, size_t i) {
    if (i < p.size() && p[i].Is("CASCADE")) return "Cascade";
    if (i + 1 < p.size() && p[i].Is("SET")) return p[i + 1].Is("NULL") ? "Set_Null" : "Set_Default";
    return "No Action";
}

std::vector<std::string> NameList(const std::vector<Token>& p, size_t open) {
    std::vector<std::string> out;
    if (open >= p.size() || !p[open].IsOp("(")) return out;
    for (auto& c : SplitCommas(p, open + 1, MatchParen(p, open)))
        if (!c.empty()) out.push_back(NameOf(c[0]));
    return out;
}

// A foreign key of one part of a table's definition (a column with REFERENCES, or a table
// constraint); none when the part has no REFERENCES.
std::optional<ForeignKey> ForeignKeyOf(const std::vector<Token>& p) {
    size_t r = 0;
    while (r < p.size() && !p[r].Is("REFERENCES")) ++r;
    if (r + 1 >= p.size()) return std::nullopt;
    ForeignKey fk;
    if (r >= 2 && p[r - 2].Is("CONSTRAINT"))
        fk.name = NameOf(p[r - 1]);
    else if (p.size() > 1 && p[0].Is("CONSTRAINT"))
        fk.name = NameOf(p[1]);
    size_t f = 0;
    while (f + 1 < r && !(p[f].Is("FOREIGN") && p[f + 1].Is("KEY"))) ++f;
    if (f + 1 < r)
        fk.columns = NameList(p, f + 2);
    else if (p[0].IsName() && !p[0].Is("CONSTRAINT"))
        fk.columns.push_back(NameOf(p[0]));
    size_t q = r + 1;
    fk.parent = NameOf(p[q++]);
    while (q + 1 < p.size() && p[q].IsOp(".") && p[q + 1].IsName()) {
        fk.parent = NameOf(p[q + 1]);
        q += 2;
    }
    fk.refs = NameList(p, q);
    for (; q + 2 < p.size(); ++q)
        if (p[q].Is("ON") && p[q + 1].Is("DELETE"))
            fk.onDelete = Action(p, q + 2);
        else if (p[q].Is("ON") && p[q + 1].Is("UPDATE"))
            fk.onUpdate = Action(p, q + 2);
    return fk;
}

}  // namespace

// The procedures themselves: one call, one procedure.
class SystemProcedures {
public:
    SystemProcedures(Session& s, const std::string& upper, const std::vector<std::pair<std::string, SqlValue>>& args)
        : s_(s), db_(s.db_), args_(args) {
        proc_ = Lower(upper);
    }

    bool Run();
    // The rows of a catalog view made from what the procedures know: sys.indexes and the constraints.
    std::vector<Row> ViewRows(const std::string& view);
    // The name of the foreign key of the table that starts with the column (made up when unnamed).
    std::string ForeignKeyName(const std::string& table, const std::string& column) {
        for (const ForeignKey& k : ForeignKeys())
            if (SameNoCase(k.table, table) && !k.columns.empty() && SameNoCase(k.columns[0], column)) return k.name;
        return {};
    }

private:
    struct Object {
        int id = 0;
        std::string name, xtype, created, source;
    };

    SqlValue Arg(const char* name, size_t position) const { return ProcedureArgument(args_, name, position); }
    void Send(const std::vector<SqlColumn>& cols, const std::vector<Row>& rows) {
        s_.out_.Columns(cols);
        for (const Row& r : rows) s_.out_.Row(cols, r);
        std::uint16_t status = s_.nocount_ ? 0 : kDoneCount;
        if (s_.tranCount_ > 0) status |= kDoneInXact;
        s_.out_.Done(DoneKind::InProcedure, status, kCmdSelect, s_.nocount_ ? 0 : rows.size());
    }
    // PRINT and RAISERROR of an informational message inside the procedure.
    void Message(int number, int severity, const std::string& text, int line) {
        s_.out_.Message(false, number, 1, static_cast<std::uint8_t>(severity), text, s_.server_.ServerName(), proc_, line);
    }
    void Print(int line) { Message(0, 0, " ", line); }
    [[noreturn]] void Fail(int number, int severity, const std::string& text, int line) {
        throw SqlError{number, severity, 1, text, line, proc_, false};
    }
    std::string ColumnText(const Row& r, size_t i) const { return i < r.size() && r[i].type != SqlValue::Null ? r[i].AsText() : std::string(); }

    std::optional<Object> Find(const std::string& written, int line);
    std::string CheckedName(const SqlValue& v, const char* param, int line);
    std::vector<std::pair<std::string, SqlType>> Columns(int objectId);
    std::vector<IndexFact> Indexes(const Object& table);
    std::vector<ForeignKey> ForeignKeys();
    std::vector<ConstraintRow> Constraints(const Object& table);
    std::vector<ConstraintRow> ChecksAndDefaults(const Object& table);

    void Help();
    void HelpAll();
    void HelpType(const std::string& written, int line);
    void HelpIndexes(const Object& table, const std::string& written, int line);
    void HelpConstraints(const Object& table, const std::string& written);
    void HelpText();
    void HelpIndex();
    void Rename();
    void RenameObject(const Object& o, const std::string& to);
    void Databases();
    void Who();
    void SpaceUsed();

    Session& s_;
    sqlite3* db_;
    const std::vector<std::pair<std::string, SqlValue>>& args_;
    std::string proc_;
};

std::string SystemProcedures::CheckedName(const SqlValue& v, const char* param, int line) {
    if (v.type == SqlValue::Null)
        throw SqlError{201, 16, 4, "Procedure or function '" + proc_ + "' expects parameter '" + param + "', which was not supplied.", line,
                       proc_, false};
    return v.AsText();
}

std::optional<SystemProcedures::Object> SystemProcedures::Find(const std::string& written, int line) {
    const auto parts = NameParts(written);
    if (parts.size() >= 3 && !parts[parts.size() - 3].empty() && !SameNoCase(parts[parts.size() - 3], s_.dbName_))
        Fail(15250, 16, "The database name component of the object qualifier must be the name of the current database.", line);
    if (parts.size() >= 2 && !parts[parts.size() - 2].empty() && !SameNoCase(parts[parts.size() - 2], "dbo")) return std::nullopt;
    const auto rows = Query(db_, "SELECT id, name, trim(xtype), crdate, source FROM __objects WHERE lower(name) = lower(?)",
                            {s_.TempName(parts.back())});
    if (rows.empty()) return std::nullopt;
    Object o;
    o.id = static_cast<int>(rows[0][0].i);
    o.name = ColumnText(rows[0], 1);
    o.xtype = ColumnText(rows[0], 2);
    o.created = ColumnText(rows[0], 3);
    o.source = ColumnText(rows[0], 4);
    if (o.source.empty())
        for (const Row& r : Query(db_, "SELECT text FROM __comments WHERE id = ? ORDER BY number, colid", {std::to_string(o.id)}))
            o.source += ColumnText(r, 0);
    return o;
}

std::vector<std::pair<std::string, SqlType>> SystemProcedures::Columns(int objectId) {
    std::vector<std::pair<std::string, SqlType>> out;
    for (const Row& r : Query(db_, "SELECT name, type_text, is_nullable FROM __columns WHERE object_id = ? ORDER BY colid", {std::to_string(objectId)})) {
        SqlType t;
        if (!ParseSqlType(ColumnText(r, 1), t)) t = SqlType::Of(SqlType::NVarChar, 4000);
        out.emplace_back(ColumnText(r, 0), t);
    }
    return out;
}

std::vector<IndexFact> SystemProcedures::Indexes(const Object& table) {
    std::vector<IndexFact> out;
    std::set<std::string> uniqueKeys;
    for (const Row& r : Query(db_, "SELECT name FROM __constraints WHERE tbl = ? AND kind = 'UQ'", {table.name})) uniqueKeys.insert(Lower(ColumnText(r, 0)));
    auto keysOf = [&](const std::string& stored) {
        std::vector<std::pair<std::string, bool>> keys;
        for (const Row& k : Query(db_, "SELECT name, desc FROM pragma_index_xinfo(?) WHERE key = 1 ORDER BY seqno", {stored}))
            keys.emplace_back(ColumnText(k, 0), k[1].i != 0);
        return keys;
    };
    int created = 1000;
    for (const Row& r : Query(db_, "SELECT name, stored, is_unique, is_clustered, is_pk, columns FROM __indexes WHERE tbl = ? ORDER BY rowid",
                              {table.name})) {
        IndexFact f;
        f.created = ++created;
        f.name = ColumnText(r, 0);
        f.stored = ColumnText(r, 1);
        f.unique = r[2].i != 0;
        f.clustered = r[3].i != 0;
        f.primary = r[4].i != 0;
        // A key written in CREATE TABLE has no index of its own (stored is empty) and is a constraint.
        f.uniqueKey = !f.primary && (uniqueKeys.count(Lower(f.name)) > 0 || f.stored.empty());
        if (f.name == "PK" && f.stored.empty()) f.name = SystemKeyName(f.primary ? "PK" : "UQ", table.name, static_cast<std::uint64_t>(table.id));
        if (!f.stored.empty()) f.keys = keysOf(f.stored);
        if (f.keys.empty()) {
            const std::string list = ColumnText(r, 5);
            size_t from = 0;
            while (from <= list.size() && !list.empty()) {
                const size_t comma = list.find(',', from);
                f.keys.emplace_back(list.substr(from, comma == std::string::npos ? std::string::npos : comma - from), false);
                if (comma == std::string::npos) break;
                from = comma + 1;
            }
        }
        out.push_back(std::move(f));
    }
    // Keys SQLite made for a PRIMARY KEY or UNIQUE written in CREATE TABLE that the catalog above
    // does not hold.
    auto sameKeys = [](const IndexFact& a, const IndexFact& b) {
        if (a.keys.size() != b.keys.size()) return false;
        for (size_t k = 0; k < a.keys.size(); ++k)
            if (!SameNoCase(a.keys[k].first, b.keys[k].first)) return false;
        return true;
    };
    std::uint64_t seed = static_cast<std::uint64_t>(table.id) * 31;
    created = 0;
    for (const Row& r : Query(db_, "SELECT name, origin FROM pragma_index_list(?) WHERE origin IN ('u', 'pk') ORDER BY seq DESC", {table.name})) {
        IndexFact f;
        f.created = ++created;
        f.primary = ColumnText(r, 1) == "pk";
        f.unique = true;
        f.uniqueKey = !f.primary;
        f.clustered = f.primary;
        f.keys = keysOf(ColumnText(r, 0));
        const bool known = std::any_of(out.begin(), out.end(), [&](const IndexFact& o) {
            return (f.primary && o.primary) || (o.unique && !o.primary && !f.primary && sameKeys(o, f));
        });
        if (known) continue;
        f.name = SystemKeyName(f.primary ? "PK" : "UQ", table.name, ++seed);
        out.push_back(std::move(f));
    }
    std::sort(out.begin(), out.end(), [](const IndexFact& a, const IndexFact& b) { return LessNoCase(a.name, b.name); });
    return out;
}

std::vector<ForeignKey> SystemProcedures::ForeignKeys() {
    std::vector<ForeignKey> out;
    for (const Row& t : Query(db_, "SELECT o.id, o.name, m.sql FROM __objects o JOIN sqlite_master m ON m.type = 'table' AND m.name = o.name "
                                   "WHERE o.xtype = 'U' ORDER BY o.id")) {
        const std::string table = ColumnText(t, 1);
        std::vector<ForeignKey> keys;
        for (const Row& c : Query(db_, "SELECT clause, enabled FROM __constraints WHERE tbl = ? AND kind = 'F' ORDER BY rowid", {table})) {
            const auto tokens = Tokenize(ColumnText(c, 0));
            if (auto fk = ForeignKeyOf(tokens)) {
                fk->enabled = c[1].i != 0;
                keys.push_back(*fk);
            }
        }
        const auto tokens = Tokenize(ColumnText(t, 2));
        size_t open = 0;
        while (open < tokens.size() && !tokens[open].IsOp("(")) ++open;
        int unnamed = 0;
        for (auto& part : SplitCommas(tokens, open + 1, MatchParen(tokens, open))) {
            auto fk = ForeignKeyOf(part);
            if (!fk) continue;
            if (fk->name.empty())
                fk->name = SystemConstraintName("FK", table, fk->columns.empty() ? std::string() : fk->columns[0],
                                                static_cast<int>(t[0].i) + 7 * ++unnamed);
            if (std::none_of(keys.begin(), keys.end(), [&](const ForeignKey& k) { return SameNoCase(k.name, fk->name); })) keys.push_back(*fk);
        }
        for (auto& k : keys) {
            k.table = table;
            if (k.refs.empty()) {
                const auto pk = Query(db_, "SELECT name FROM pragma_table_info(?) WHERE pk > 0 ORDER BY pk", {k.parent});
                for (const Row& r : pk) k.refs.push_back(ColumnText(r, 0));
            }
            out.push_back(k);
        }
    }
    return out;
}

// A table's CHECK and DEFAULT constraints, each with its column when it has one.
std::vector<ConstraintRow> SystemProcedures::ChecksAndDefaults(const Object& table) {
    std::vector<ConstraintRow> out;
    const auto columns = Columns(table.id);
    std::map<std::string, bool> enabled;
    for (const Row& r : Query(db_, "SELECT name, enabled FROM __constraints WHERE tbl = ?", {table.name})) enabled[Lower(ColumnText(r, 0))] = r[1].i != 0;
    std::set<std::string> defaultTaken;
    for (const Row& r : Query(db_, "SELECT o.id, o.name, trim(o.xtype), (SELECT group_concat(text, '') FROM __comments c WHERE c.id = o.id) "
                                   "FROM __objects o WHERE o.parent_obj = ? AND trim(o.xtype) IN ('C', 'D') ORDER BY o.id",
                              {std::to_string(table.id)})) {
        ConstraintRow c;
        c.id = static_cast<int>(r[0].i);
        c.name = ColumnText(r, 1);
        c.keys = ColumnText(r, 3);
        if (ColumnText(r, 2) == "C") {
            // A check that reads one column is that column's.
            std::set<std::string> read;
            for (const Token& t : Tokenize(c.keys))
                if (t.IsName())
                    for (const auto& col : columns)
                        if (SameNoCase(col.first, NameOf(t))) read.insert(col.first);
            c.type = read.size() == 1 ? "CHECK on column " + *read.begin() : "CHECK Table Level ";
            if (read.size() == 1) c.column = *read.begin();
            const auto e = enabled.find(Lower(c.name));
            c.enabled = e == enabled.end() || e->second ? "Enabled" : "Disabled";
            c.replication = "Is_For_Replication";
        } else {
            auto column = Query(db_, "SELECT clause FROM __constraints WHERE tbl = ? AND lower(name) = lower(?) AND kind = 'D'", {table.name, c.name});
            std::string name = column.empty() ? std::string() : ColumnText(column[0], 0);
            if (name.empty())
                for (const Row& d : Query(db_, "SELECT name FROM __columns WHERE object_id = ? AND default_text = ? ORDER BY colid",
                                          {std::to_string(table.id), c.keys}))
                    if (defaultTaken.insert(Lower(ColumnText(d, 0))).second) {
                        name = ColumnText(d, 0);
                        break;
                    }
            defaultTaken.insert(Lower(name));
            c.type = "DEFAULT on column " + name;
            c.column = name;
        }
        out.push_back(c);
    }
    return out;
}

std::vector<ConstraintRow> SystemProcedures::Constraints(const Object& table) {
    std::vector<ConstraintRow> out;
    for (const IndexFact& f : Indexes(table)) {
        if (!f.primary && !f.uniqueKey) continue;
        ConstraintRow c;
        c.type = std::string(f.primary ? "PRIMARY KEY" : "UNIQUE") + (f.clustered ? " (clustered)" : " (non-clustered)");
        c.name = f.name;
        c.keys = f.KeyText();
        out.push_back(c);
    }
    for (ConstraintRow& c : ChecksAndDefaults(table)) out.push_back(std::move(c));
    for (const ForeignKey& fk : ForeignKeys()) {
        if (!SameNoCase(fk.table, table.name)) continue;
        ConstraintRow c;
        c.type = "FOREIGN KEY";
        c.name = fk.name;
        c.onDelete = fk.onDelete;
        c.onUpdate = fk.onUpdate;
        c.enabled = fk.enabled ? "Enabled" : "Disabled";
        c.replication = "Is_For_Replication";
        for (const auto& col : fk.columns) c.keys += (c.keys.empty() ? "" : ", ") + col;
        std::string refs;
        for (const auto& col : fk.refs) refs += (refs.empty() ? "" : ", ") + col;
        c.reference = "REFERENCES " + s_.dbName_ + ".dbo." + fk.parent + " (" + refs + ")";
        out.push_back(c);
    }
    std::sort(out.begin(), out.end(), [](const ConstraintRow& a, const ConstraintRow& b) { return LessNoCase(a.name, b.name); });
    return out;
}

// ---------------------------------------------------------------- catalog views

namespace {

// A name SQL Server made up for a constraint the DDL did not name: PK__Customer__A4AE64B8E2E4C25E.
bool SystemNamed(const std::string& name) {
    const size_t last = name.rfind("__");
    if (name.size() < 8 || name.compare(2, 2, "__") != 0 || last == std::string::npos || last <= 2) return false;
    const std::string hex = name.substr(last + 2);
    return (hex.size() == 8 || hex.size() == 16) && std::all_of(hex.begin(), hex.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

// A referential action's code and description in sys.foreign_keys.
std::pair<int, const char*> ActionCode(const std::string& action) {
    if (action == "Cascade") return {1, "CASCADE"};
    if (action == "Set_Null") return {2, "SET_NULL"};
    if (action == "Set_Default") return {3, "SET_DEFAULT"};
    return {0, "NO_ACTION"};
}

}  // namespace

std::vector<Row> SystemProcedures::ViewRows(const std::string& view) {
    std::vector<Row> out;
    std::vector<Object> tables;
    std::map<std::string, int> tableIds;
    for (const Row& r : Query(db_, "SELECT id, name, crdate FROM __objects WHERE trim(xtype) = 'U' AND name NOT LIKE '#%' ORDER BY id")) {
        Object t;
        t.id = static_cast<int>(r[0].i);
        t.name = ColumnText(r, 1);
        t.created = ColumnText(r, 2);
        tableIds[Lower(t.name)] = t.id;
        tables.push_back(t);
    }
    std::map<std::pair<int, std::string>, int> columnIds;
    for (const Row& r : Query(db_, "SELECT object_id, name, colid FROM __columns")) columnIds[{static_cast<int>(r[0].i), Lower(ColumnText(r, 1))}] = static_cast<int>(r[2].i);
    auto columnId = [&](int table, const std::string& column) {
        const auto it = columnIds.find({table, Lower(column)});
        return it == columnIds.end() ? SqlValue{} : Int(it->second);
    };
    // Keys and foreign keys added by ALTER TABLE are in the catalog with ids of their own; those
    // written in CREATE TABLE get their table's id and their place among them (the ids DDL gives
    // are 33 apart, so these meet none of them).
    std::map<std::string, int> catalogued;
    for (const Row& r : Query(db_, "SELECT name, id FROM __objects WHERE trim(xtype) IN ('PK', 'UQ', 'F')")) catalogued[Lower(ColumnText(r, 0))] = static_cast<int>(r[1].i);
    auto keyId = [&](const std::string& name, int table, int place) {
        const auto it = catalogued.find(Lower(name));
        return it == catalogued.end() ? std::make_pair(table + place, false) : std::make_pair(it->second, true);
    };
    auto objectRow = [&](const std::string& name, int id, int parent, const char* type, const char* desc, const std::string& created) {
        return Row{Text(name), Int(id), SqlValue{}, Int(1), Int(parent), Text(type), Text(desc), Text(created), Text(created), Int(0), Int(0), Int(0)};
    };
    // Each table's indexes with their ids: the clustered one 1, the others from 2 in order of creation.
    std::map<int, std::vector<std::pair<IndexFact, int>>> indexes;
    const bool checksOrDefaults = view == "check_constraints" || view == "default_constraints";
    for (const Object& t : checksOrDefaults ? std::vector<Object>{} : tables) {
        auto facts = Indexes(t);
        std::stable_sort(facts.begin(), facts.end(), [](const IndexFact& a, const IndexFact& b) { return a.created < b.created; });
        int next = 2;
        for (auto& f : facts) {
            const int id = f.clustered ? 1 : next++;
            indexes[t.id].emplace_back(std::move(f), id);
        }
    }
    const bool wantsKeys = view == "key_objects" || view == "key_constraints" || view == "foreign_keys" || view == "foreign_key_columns";
    const auto foreignKeys = wantsKeys ? ForeignKeys() : std::vector<ForeignKey>{};
    for (const Object& t : tables) {
        const auto& facts = indexes[t.id];
        if (view == "indexes" && std::none_of(facts.begin(), facts.end(), [](const auto& f) { return f.second == 1; }))
            out.push_back({Int(t.id), SqlValue{}, Int(0), Int(0), Text("HEAP"), Int(0), Int(1), Int(0), Int(0), Int(0), Int(0), Int(0), Int(0),
                           Int(0), Int(1), Int(1), Int(0), SqlValue{}});
        int place = 0;
        for (const auto& [f, indexId] : facts) {
            if (view == "indexes")
                out.push_back({Int(t.id), Text(f.name), Int(indexId), Int(f.clustered ? 1 : 2), Text(f.clustered ? "CLUSTERED" : "NONCLUSTERED"),
                               Int(f.unique), Int(1), Int(0), Int(f.primary), Int(f.uniqueKey), Int(0), Int(0), Int(0), Int(0), Int(1), Int(1),
                               Int(0), SqlValue{}});
            if (view == "index_columns") {
                int ordinal = 0;
                for (const auto& [column, descending] : f.keys) {
                    ++ordinal;
                    out.push_back({Int(t.id), Int(indexId), Int(ordinal), columnId(t.id, column), Int(ordinal), Int(0), Int(descending), Int(0)});
                }
            }
            if (!f.primary && !f.uniqueKey) continue;
            const auto [id, inCatalog] = keyId(f.name, t.id, ++place);
            Row r = objectRow(f.name, id, t.id, f.primary ? "PK" : "UQ", f.primary ? "PRIMARY_KEY_CONSTRAINT" : "UNIQUE_CONSTRAINT", t.created);
            if (view == "key_objects" && !inCatalog) out.push_back(r);
            if (view == "key_constraints") {
                r.push_back(Int(indexId));
                r.push_back(Int(SystemNamed(f.name)));
                out.push_back(r);
            }
        }
        for (const ForeignKey& fk : foreignKeys) {
            if (!SameNoCase(fk.table, t.name)) continue;
            const auto [id, inCatalog] = keyId(fk.name, t.id, ++place);
            const auto parent = tableIds.find(Lower(fk.parent));
            const SqlValue referenced = parent == tableIds.end() ? SqlValue{} : Int(parent->second);
            Row r = objectRow(fk.name, id, t.id, "F", "FOREIGN_KEY_CONSTRAINT", t.created);
            if (view == "key_objects" && !inCatalog) out.push_back(r);
            if (view == "foreign_keys") {
                // The referenced table's unique index on the referenced columns.
                SqlValue keyIndex;
                if (parent != tableIds.end())
                    for (const auto& [f, indexId] : indexes[parent->second]) {
                        if (!f.unique || f.keys.size() != fk.refs.size()) continue;
                        bool same = true;
                        for (size_t k = 0; k < fk.refs.size(); ++k) same = same && SameNoCase(f.keys[k].first, fk.refs[k]);
                        if (same) {
                            keyIndex = Int(indexId);
                            break;
                        }
                    }
                const auto del = ActionCode(fk.onDelete), upd = ActionCode(fk.onUpdate);
                for (SqlValue v : {referenced, keyIndex, Int(!fk.enabled), Int(0), Int(!fk.enabled), Int(del.first), Text(del.second), Int(upd.first),
                                   Text(upd.second), Int(SystemNamed(fk.name))})
                    r.push_back(v);
                out.push_back(r);
            }
            if (view == "foreign_key_columns")
                for (size_t k = 0; k < fk.columns.size(); ++k)
                    out.push_back({Int(id), Int(static_cast<std::int64_t>(k) + 1), Int(t.id), columnId(t.id, fk.columns[k]), referenced,
                                   k < fk.refs.size() && parent != tableIds.end() ? columnId(parent->second, fk.refs[k]) : SqlValue{}});
        }
        if (!checksOrDefaults) continue;
        const bool check = view == "check_constraints";
        for (const ConstraintRow& c : ChecksAndDefaults(t)) {
            if ((c.type.rfind("CHECK", 0) == 0) != check) continue;
            const auto created = Query(db_, "SELECT crdate FROM __objects WHERE id = ?", {std::to_string(c.id)});
            Row r = objectRow(c.name, c.id, t.id, check ? "C" : "D", check ? "CHECK_CONSTRAINT" : "DEFAULT_CONSTRAINT",
                              created.empty() ? t.created : ColumnText(created[0], 0));
            const SqlValue column = c.column.empty() ? Int(0) : columnId(t.id, c.column);
            if (check)
                for (SqlValue v : {Int(c.enabled == "Disabled"), Int(0), Int(c.enabled == "Disabled"), column, Text(c.keys), Int(0), Int(SystemNamed(c.name))})
                    r.push_back(v);
            else
                for (SqlValue v : {column, Text(c.keys), Int(SystemNamed(c.name))}) r.push_back(v);
            out.push_back(r);
        }
    }
    return out;
}

bool SystemProcedures::Run() {
    if (proc_ == "sp_help")
        Help();
    else if (proc_ == "sp_helptext")
        HelpText();
    else if (proc_ == "sp_helpindex")
        HelpIndex();
    else if (proc_ == "sp_rename")
        Rename();
    else if (proc_ == "sp_databases")
        Databases();
    else if (proc_ == "sp_who")
        Who();
    else if (proc_ == "sp_spaceused")
        SpaceUsed();
    else
        return false;
    s_.out_.ReturnStatus(0);
    s_.out_.Done(s_.procDepth_ > 0 ? DoneKind::InProcedure : DoneKind::Procedure, s_.tranCount_ > 0 ? kDoneInXact : 0, 0, 0);
    return true;
}

// ---------------------------------------------------------------- sp_help

void SystemProcedures::HelpAll() {
    std::vector<Row> rows;
    std::set<std::string> listed;
    std::vector<Object> tables;
    for (const Row& r : Query(db_, "SELECT id, name, trim(xtype) FROM __objects WHERE name NOT LIKE '#%'")) {
        rows.push_back({r[1], Text("dbo"), Text(ObjectTypeName(ColumnText(r, 2)))});
        listed.insert(Lower(ColumnText(r, 1)));
        if (ColumnText(r, 2) == "U") tables.push_back(Object{static_cast<int>(r[0].i), ColumnText(r, 1), "U", "", ""});
    }
    // Keys SQLite holds for the tables are objects of their own to SQL Server.
    for (const Object& t : tables)
        for (const IndexFact& f : Indexes(t))
            if ((f.primary || f.uniqueKey) && listed.insert(Lower(f.name)).second)
                rows.push_back({Text(f.name), Text("dbo"), Text(ObjectTypeName(f.primary ? "PK" : "UQ"))});
    for (const ForeignKey& fk : ForeignKeys())
        if (fk.table[0] != '#' && listed.insert(Lower(fk.name)).second) rows.push_back({Text(fk.name), Text("dbo"), Text(ObjectTypeName("F"))});
    std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
        if (a[2].s != b[2].s) return a[2].s > b[2].s;
        return LessNoCase(a[0].s, b[0].s);
    });
    Send({{"Name", kSysname, false}, {"Owner", kSysname}, {"Object_type", SqlType::Of(SqlType::NVarChar, 31)}}, rows);
    Print(116);
    std::vector<Row> types;
    for (const Row& r : Query(db_, "SELECT name, base, nullable FROM __types ORDER BY name")) {
        SqlType t;
        if (!ParseSqlType(ColumnText(r, 1), t)) continue;
        const std::string name = ColumnText(r, 0);
        auto bound = [&](const char* kind) {
            const auto b = Query(db_, "SELECT object FROM __typebinds WHERE type = ? AND kind = ?", {name, kind});
            return b.empty() ? std::string("none") : ColumnText(b[0], 0);
        };
        const auto prec = OdbcPrecision(t);
        const auto scale = OdbcScale(t);
        types.push_back({Text(name), Text(BaseName(t)), Int(MaxLength(t)), prec ? Int(*prec) : SqlValue{}, scale ? Int(*scale) : SqlValue{},
                         Text(r[2].i ? "yes" : "no"), Text(bound("D")), Text(bound("R")),
                         t.IsText() || t.IsUnicode() ? Text("SQL_Latin1_General_CP1_CI_AS") : SqlValue{}});
    }
    Send({{"User_type", kSysname, false},
          {"Storage_type", kSysname},
          {"Length", SqlType::Of(SqlType::SmallInt), false},
          {"Prec", SqlType::Of(SqlType::Int)},
          {"Scale", SqlType::Of(SqlType::Int)},
          {"Nullable", kYesNo},
          {"Default_name", kSysname},
          {"Rule_name", kSysname},
          {"Collation", kSysname}},
         types);
}

void SystemProcedures::HelpType(const std::string& written, int line) {
    const std::string name = NameParts(written).back();
    SqlType t;
    std::string typeName = Lower(name), nullable = "yes", defaultName = "none", ruleName = "none";
    const auto alias = Query(db_, "SELECT name, base, nullable FROM __types WHERE lower(name) = lower(?)", {name});
    if (!alias.empty() && ParseSqlType(ColumnText(alias[0], 1), t)) {
        typeName = ColumnText(alias[0], 0);
        nullable = alias[0][2].i ? "yes" : "no";
        for (const Row& b : Query(db_, "SELECT kind, object FROM __typebinds WHERE type = ?", {typeName}))
            (ColumnText(b, 0) == "R" ? ruleName : defaultName) = ColumnText(b, 1);
    } else if (SameNoCase(name, "sysname")) {
        t = SqlType::Of(SqlType::NVarChar, 128);
        typeName = "sysname";
        nullable = "no";
    } else if (name.find('(') != std::string::npos || !ParseSqlType(name, t)) {
        Fail(15009, 16, "The object '" + written + "' does not exist in database '" + s_.dbName_ + "' or is invalid for this operation.", 79);
    } else if (t.IsText() || t.IsUnicode() || t.IsBinary()) {
        // The type itself, not a column of it: its largest length.
        if (t.kind != SqlType::Text && t.kind != SqlType::NText && t.kind != SqlType::Image)
            t.length = t.kind == SqlType::NChar || t.kind == SqlType::NVarChar ? 4000 : 8000;
    } else if (t.kind == SqlType::Decimal || t.kind == SqlType::Numeric) {
        t.precision = 38;
        t.scale = 38;
    } else if (t.kind == SqlType::Time || t.kind == SqlType::DateTime2 || t.kind == SqlType::DateTimeOffset) {
        t.scale = 7;
    }
    (void)line;
    const auto prec = OdbcPrecision(t);
    const auto scale = OdbcScale(t);
    Send({{"Type_name", kSysname, false},
          {"Storage_type", kSysname},
          {"Length", SqlType::Of(SqlType::SmallInt), false},
          {"Prec", SqlType::Of(SqlType::Int)},
          {"Scale", SqlType::Of(SqlType::Int)},
          {"Nullable", kYesNo},
          {"Default_name", kSysname},
          {"Rule_name", kSysname},
          {"Collation", kSysname}},
         {{Text(typeName), Text(BaseName(t)), Int(MaxLength(t)), prec ? Int(*prec) : SqlValue{}, scale ? Int(*scale) : SqlValue{}, Text(nullable),
           Text(defaultName), Text(ruleName), t.IsText() || t.IsUnicode() ? Text("SQL_Latin1_General_CP1_CI_AS") : SqlValue{}}});
}

void SystemProcedures::Help() {
    const SqlValue arg = Arg("@objname", 0);
    if (arg.type == SqlValue::Null) return HelpAll();
    const std::string written = arg.AsText();
    const auto found = Find(written, 79);
    if (!found) return HelpType(written, 79);
    const Object& o = *found;
    Send({{"Name", kSysname, false}, {"Owner", kSysname}, {"Type", SqlType::Of(SqlType::NVarChar, 31)}, {"Created_datetime", SqlType::Of(SqlType::DateTime), false}},
         {{Text(s_.ShownName(o.name)), Text("dbo"), Text(ObjectTypeName(o.xtype)), Text(o.created)}});
    Print(110);
    const auto columns = Columns(o.id);
    if (!columns.empty()) {
        Print(125);
        std::vector<Row> rows;
        const auto collations = Query(db_, "SELECT collation_name, is_nullable FROM __columns WHERE object_id = ? ORDER BY colid", {std::to_string(o.id)});
        for (size_t k = 0; k < columns.size(); ++k) {
            const SqlType& t = columns[k].second;
            // Precision and scale show for numbers and the newer date types only, as char(5) text.
            static const std::set<SqlType::Kind> kPrecise = {SqlType::TinyInt, SqlType::SmallInt, SqlType::Decimal, SqlType::Int, SqlType::BigInt,
                                                             SqlType::Real, SqlType::Money, SqlType::Float, SqlType::Numeric, SqlType::SmallMoney,
                                                             SqlType::Date, SqlType::Time, SqlType::DateTime2, SqlType::DateTimeOffset};
            const bool precise = kPrecise.count(t.kind) > 0;
            const auto prec = OdbcPrecision(t);
            const auto scale = t.kind == SqlType::Date ? std::nullopt : OdbcScale(t);
            const bool nullable = k < collations.size() && ColumnText(collations[k], 1) == "YES";
            const bool padded = t.kind == SqlType::Char || t.kind == SqlType::VarChar || t.kind == SqlType::Binary || t.kind == SqlType::VarBinary;
            rows.push_back({Text(columns[k].first), Text(BaseName(t)), Text("no"), Int(MaxLength(t)),
                            !precise ? Text("     ") : prec ? Text(Padded(std::to_string(*prec), 5)) : SqlValue{},
                            !precise ? Text("     ") : scale ? Text(Padded(std::to_string(*scale), 5)) : SqlValue{}, Text(nullable ? "yes" : "no"),
                            Text(padded ? "no" : "(n/a)"), Text(!padded ? "(n/a)" : nullable ? "yes" : "no"),
                            k < collations.size() ? collations[k][0] : SqlValue{}});
        }
        Send({{"Column_name", kSysname},
              {"Type", kSysname},
              {"Computed", kYesNo},
              {"Length", SqlType::Of(SqlType::Int)},
              {"Prec", SqlType::Of(SqlType::VarChar, 5)},
              {"Scale", SqlType::Of(SqlType::VarChar, 5)},
              {"Nullable", kYesNo},
              {"TrimTrailingBlanks", kYesNo},
              {"FixedLenNullInSource", kYesNo},
              {"Collation", kSysname}},
             rows);
        if (o.xtype == "U" || o.xtype == "V" || o.xtype == "TF") {
            Print(150);
            const auto identity = Query(db_, "SELECT name FROM __columns WHERE object_id = ? AND is_identity = 1", {std::to_string(o.id)});
            Row id = {Text("No identity column defined."), SqlValue{}, SqlValue{}, SqlValue{}};
            if (!identity.empty()) {
                const auto info = s_.IdentityOf(o.name);
                id = {identity[0][0], Int(info ? info->seed : 1), Int(info ? info->increment : 1), Int(0)};
            }
            Send({{"Identity", kSysname},
                  {"Seed", SqlType::Of(SqlType::Numeric, 0, 38, 0)},
                  {"Increment", SqlType::Of(SqlType::Numeric, 0, 38, 0)},
                  {"Not For Replication", SqlType::Of(SqlType::Int)}},
                 {id});
            Print(163);
            Send({{"RowGuidCol", kSysname}}, {{Text("No rowguidcol column defined.")}});
        }
    }
    if (o.xtype == "P" || o.xtype == "FN" || o.xtype == "IF" || o.xtype == "TF") {
        const Session::Module m = Session::ParseModuleHeader(o.source);
        if (!m.params.empty()) {
            std::vector<Row> rows;
            int order = 0;
            for (size_t k = 0; k < m.params.size(); ++k) {
                const SqlType& t = m.params[k].second;
                const auto prec = OdbcPrecision(t);
                const auto scale = OdbcScale(t);
                rows.push_back({Text(m.spellings[k]), Text(BaseName(t)), Int(MaxLength(t)),
                                t.kind == SqlType::UniqueIdentifier ? Int(0) : prec ? Int(*prec) : SqlValue{}, scale ? Int(*scale) : SqlValue{},
                                Int(++order), t.IsText() || t.IsUnicode() ? Text("SQL_Latin1_General_CP1_CI_AS") : SqlValue{}});
            }
            Print(178);
            Send({{"Parameter_name", kSysname},
                  {"Type", kSysname},
                  {"Length", SqlType::Of(SqlType::SmallInt)},
                  {"Prec", SqlType::Of(SqlType::Int)},
                  {"Scale", SqlType::Of(SqlType::Int)},
                  {"Param_order", SqlType::Of(SqlType::Int)},
                  {"Collation", kSysname}},
                 rows);
        }
    }
    if (o.xtype == "U") {
        Print(198);
        Send({{"Data_located_on_filegroup", kSysname}}, {{Text("PRIMARY")}});
        Print(201);
        HelpIndexes(o, written, 201);
        Print(203);
        HelpConstraints(o, written);
    } else if (o.xtype == "V") {
        // Views have no constraints, but the messages come as for a table.
        Print(219);
        Message(15469, 10, "No constraints are defined on object '" + written + "', or you do not have permissions.", 220);
        Print(221);
        Message(15470, 10, "No foreign keys reference table '" + written + "', or you do not have permissions.", 222);
        HelpIndexes(o, written, 223);
    }
}

void SystemProcedures::HelpIndexes(const Object& table, const std::string& written, int line) {
    const auto indexes = table.xtype == "U" ? Indexes(table) : std::vector<IndexFact>{};
    if (indexes.empty()) {
        Message(15472, 10, "The object '" + written + "' does not have any indexes, or you do not have permissions.", line);
        return;
    }
    std::vector<Row> rows;
    for (const IndexFact& f : indexes) rows.push_back({Text(f.name), Text(f.Description()), Text(f.KeyText())});
    Send({{"index_name", kSysname, false}, {"index_description", SqlType::Of(SqlType::VarChar, 210)}, {"index_keys", SqlType::Of(SqlType::NVarChar, 2078)}},
         rows);
}

void SystemProcedures::HelpConstraints(const Object& table, const std::string& written) {
    const auto constraints = Constraints(table);
    if (constraints.empty()) {
        Message(15469, 10, "No constraints are defined on object '" + written + "', or you do not have permissions.", 190);
    } else {
        std::vector<Row> rows;
        for (const ConstraintRow& c : constraints) {
            rows.push_back({Text(c.type), Text(c.name), Text(c.onDelete), Text(c.onUpdate), Text(c.enabled), Text(c.replication), Text(c.keys)});
            if (!c.reference.empty()) rows.push_back({Text(" "), Text(" "), Text(" "), Text(" "), Text(" "), Text(" "), Text(c.reference)});
        }
        Send({{"constraint_type", SqlType::Of(SqlType::NVarChar, 146)},
              {"constraint_name", SqlType::Of(SqlType::NVarChar, 128)},
              {"delete_action", SqlType::Of(SqlType::NVarChar, 9)},
              {"update_action", SqlType::Of(SqlType::NVarChar, 9)},
              {"status_enabled", SqlType::Of(SqlType::VarChar, 8)},
              {"status_for_replication", SqlType::Of(SqlType::VarChar, 19)},
              {"constraint_keys", SqlType::Of(SqlType::NVarChar, 2126)}},
             rows);
    }
    std::vector<Row> references;
    for (const ForeignKey& fk : ForeignKeys())
        if (SameNoCase(fk.parent, table.name)) references.push_back({Text(s_.dbName_ + ".dbo." + fk.table + ": " + fk.name)});
    if (references.empty()) {
        Message(15470, 10, "No foreign keys reference table '" + written + "', or you do not have permissions.", 228);
        return;
    }
    std::sort(references.begin(), references.end(), [](const Row& a, const Row& b) { return LessNoCase(a[0].s, b[0].s); });
    Send({{"Table is referenced by foreign key", SqlType::Of(SqlType::NVarChar, 516)}}, references);
}

// ---------------------------------------------------------------- sp_helptext, sp_helpindex

void SystemProcedures::HelpText() {
    const std::string written = CheckedName(Arg("@objname", 0), "@objname", 1);
    const auto found = Find(written, 54);
    if (!found) Fail(15009, 16, "The object '" + written + "' does not exist in database '" + s_.dbName_ + "' or is invalid for this operation.", 54);
    const std::string& text = found->source;
    if (text.empty() || found->xtype == "U") Fail(15197, 16, "There is no text for object '" + written + "'.", 107);
    // Rows end after each line break (kept in the row) and hold at most 255 characters.
    std::vector<Row> rows;
    std::string line;
    size_t units = 0;
    for (size_t i = 0; i < text.size();) {
        size_t n = 1;
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead >= 0xF0)
            n = 4;
        else if (lead >= 0xE0)
            n = 3;
        else if (lead >= 0xC0)
            n = 2;
        const size_t width = n == 4 ? 2 : 1;
        if (units + width > 255) {
            rows.push_back({Text(line)});
            line.clear();
            units = 0;
        }
        line += text.substr(i, n);
        units += width;
        i += n;
        if (text[i - 1] == '\n') {
            rows.push_back({Text(line)});
            line.clear();
            units = 0;
        }
    }
    if (!line.empty()) rows.push_back({Text(line)});
    Send({{"Text", SqlType::Of(SqlType::NVarChar, 255)}}, rows);
}

void SystemProcedures::HelpIndex() {
    const std::string written = CheckedName(Arg("@objname", 0), "@objname", 1);
    const auto found = Find(written, 70);
    if (!found) Fail(15009, 16, "The object '" + written + "' does not exist in database '" + s_.dbName_ + "' or is invalid for this operation.", 70);
    HelpIndexes(*found, written, 92);
}

// ---------------------------------------------------------------- sp_rename

void SystemProcedures::RenameObject(const Object& o, const std::string& to) {
    const std::string from = o.name;
    if (o.xtype == "U") {
        // A change of case alone goes through another name: SQLite sees no change otherwise.
        auto rename = [&](const std::string& a, const std::string& b) {
            if (sqlite3_exec(db_, ("ALTER TABLE " + QuoteIdent(a) + " RENAME TO " + QuoteIdent(b)).c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
                throw s_.TranslateError(1);
        };
        if (SameNoCase(from, to)) {
            rename(from, to + "$sandbox_rename");
            rename(to + "$sandbox_rename", to);
        } else {
            rename(from, to);
        }
        // An unnamed primary key keeps the name it was given under the old table name.
        Exec(db_, "UPDATE __indexes SET name = ? WHERE tbl = ? AND name = 'PK' AND is_pk = 1",
             {SystemKeyName("PK", from, static_cast<std::uint64_t>(o.id)), from});
        for (const char* sql : {"UPDATE __columns SET table_name = ?1 WHERE object_id = ?3", "UPDATE __indexes SET tbl = ?1 WHERE tbl = ?2",
                                "UPDATE __constraints SET tbl = ?1 WHERE tbl = ?2", "UPDATE __identity SET tbl = ?1 WHERE tbl = ?2",
                                "UPDATE __identity_seed SET tbl = ?1 WHERE tbl = ?2"})
            Exec(db_, sql, {to, from, std::to_string(o.id)});
        // The definition kept from before constraints were added names the table.
        for (const Row& r : Query(db_, "SELECT sql FROM __tablebase WHERE tbl = ?", {from})) {
            std::string sql = ColumnText(r, 0);
            const size_t open = sql.find('(');
            sql = RenameIdentifier(sql.substr(0, open), from, to) + (open == std::string::npos ? "" : sql.substr(open));
            Exec(db_, "UPDATE __tablebase SET tbl = ?, sql = ? WHERE tbl = ?", {to, sql, from});
        }
        // Foreign keys of other tables name it after REFERENCES.
        for (const Row& r : Query(db_, "SELECT rowid, clause FROM __constraints WHERE kind = 'F'")) {
            const std::string clause = ColumnText(r, 1);
            const size_t at = Upper(clause).find("REFERENCES ");
            if (at == std::string::npos) continue;
            const size_t open = clause.find('(', at);
            const std::string renamed = RenameIdentifier(clause.substr(0, open), from, to, at + 11) + (open == std::string::npos ? "" : clause.substr(open));
            if (renamed != clause) Exec(db_, "UPDATE __constraints SET clause = ? WHERE rowid = ?", {renamed, r[0].AsText()});
        }
        // SQLite's index names carry the table's (per-table index names): they move with it.
        for (const Row& r : Query(db_, "SELECT rowid, name, stored FROM __indexes WHERE tbl = ? AND stored <> ''", {to})) {
            const std::string stored = ColumnText(r, 2), fresh = to + "$" + ColumnText(r, 1);
            const auto sql = Query(db_, "SELECT sql FROM sqlite_master WHERE type = 'index' AND name = ?", {stored});
            if (sql.empty() || stored == fresh) continue;
            std::string ddl = ColumnText(sql[0], 0);
            const size_t at = ddl.find(QuoteIdent(stored));
            if (at == std::string::npos) continue;
            ddl.replace(at, QuoteIdent(stored).size(), QuoteIdent(fresh));
            sqlite3_exec(db_, ("DROP INDEX " + QuoteIdent(stored)).c_str(), nullptr, nullptr, nullptr);
            if (sqlite3_exec(db_, ddl.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) throw s_.TranslateError(1);
            Exec(db_, "UPDATE __indexes SET stored = ? WHERE rowid = ?", {fresh, r[0].AsText()});
        }
    } else if (o.xtype == "V") {
        const auto sql = Query(db_, "SELECT sql FROM sqlite_master WHERE type = 'view' AND name = ?", {from});
        if (!sql.empty()) {
            std::string ddl = ColumnText(sql[0], 0);
            const auto tokens = Tokenize(ddl);
            size_t as = 0;
            while (as < tokens.size() && !tokens[as].Is("AS")) ++as;
            if (as >= tokens.size()) throw SqlError{50000, 16, 1, "The stand-in could not rename view '" + from + "'.", 1, proc_, false};
            ddl = "CREATE VIEW " + QuoteIdent(to) + " " + ddl.substr(tokens[as].pos);
            sqlite3_exec(db_, ("DROP VIEW " + QuoteIdent(from)).c_str(), nullptr, nullptr, nullptr);
            if (sqlite3_exec(db_, ddl.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) throw s_.TranslateError(1);
        }
        Exec(db_, "UPDATE __columns SET table_name = ? WHERE object_id = ?", {to, std::to_string(o.id)});
    } else if (o.xtype == "PK" || o.xtype == "UQ" || o.xtype == "F" || o.xtype == "C" || o.xtype == "D") {
        for (const Row& r : Query(db_, "SELECT rowid, clause FROM __constraints WHERE lower(name) = lower(?)", {from})) {
            const std::string clause = ColumnText(r, 1);
            const std::string renamed = Upper(clause).rfind("CONSTRAINT ", 0) == 0 ? RenameIdentifier(clause.substr(0, 11 + QuoteIdent(from).size()), from, to) +
                                                                                        clause.substr(11 + QuoteIdent(from).size())
                                                                                  : clause;
            Exec(db_, "UPDATE __constraints SET name = ?, clause = ? WHERE rowid = ?", {to, renamed, r[0].AsText()});
        }
        Exec(db_, "UPDATE __indexes SET name = ? WHERE lower(name) = lower(?) AND tbl = (SELECT name FROM __objects WHERE id = (SELECT parent_obj FROM __objects WHERE id = ?))",
             {to, from, std::to_string(o.id)});
    }
    Exec(db_, "UPDATE __objects SET name = ? WHERE id = ?", {to, std::to_string(o.id)});
}

void SystemProcedures::Rename() {
    const std::string written = CheckedName(Arg("@objname", 0), "@objname", 1);
    const std::string to = CheckedName(Arg("@newname", 1), "@newname", 1);
    const SqlValue typeArg = Arg("@objtype", 2);
    const std::string type = typeArg.type == SqlValue::Null ? std::string() : Upper(typeArg.AsText());
    auto unknown = [&]() {
        if (type.empty())
            Fail(15225, 11,
                 "No item by the name of '" + written + "' could be found in the current database '" + s_.dbName_ +
                     "', given that @itemtype was input as '(null)'.",
                 338);
        Fail(15248, 11, "Either the parameter @objname is ambiguous or the claimed @objtype (" + typeArg.AsText() + ") is wrong.", 357);
    };
    auto inUse = [&](const std::string& what) {
        Fail(15335, 11, "Error: The new name '" + to + "' is already in use as a " + what + " name and would cause a duplicate that is not permitted.", 401);
    };
    if (!type.empty() && type != "OBJECT" && type != "COLUMN" && type != "INDEX")
        Fail(15249, 11, "Error: Explicit @objtype '" + typeArg.AsText() + "' is unrecognized.", 339);
    auto parts = NameParts(written);
    bool done = false;
    if (type.empty() || type == "OBJECT") {
        if (auto o = Find(written, 340)) {
            if (o->name[0] == '#') unknown();
            const auto clash = Query(db_, "SELECT id FROM __objects WHERE lower(name) = lower(?) AND id <> ?", {to, std::to_string(o->id)});
            if (!clash.empty()) inUse("object");
            RenameObject(*o, to);
            if (o->xtype == "FN") s_.RegisterFunctions();
            done = true;
        } else if (type == "OBJECT") {
            unknown();
        }
    }
    if (!done && parts.size() >= 2 && (type.empty() || type == "COLUMN" || type == "INDEX")) {
        const std::string item = parts.back();
        parts.pop_back();
        std::string tableName;
        for (size_t k = 0; k < parts.size(); ++k) tableName += (k ? "." : "") + QuoteIdent(parts[k]);
        std::optional<Object> table;
        if (!parts.back().empty()) table = Find(tableName, 340);
        if (!table || (table->xtype != "U" && table->xtype != "V")) unknown();
        const std::string id = std::to_string(table->id);
        const auto column = Query(db_, "SELECT name FROM __columns WHERE object_id = ? AND lower(name) = lower(?)", {id, item});
        const auto index = Query(db_, "SELECT name FROM __indexes WHERE tbl = ? AND lower(name) = lower(?)", {table->name, item});
        if ((type.empty() || type == "COLUMN") && !column.empty() && table->xtype == "U") {
            const std::string from = ColumnText(column[0], 0);
            if (!Query(db_, "SELECT name FROM __columns WHERE object_id = ? AND lower(name) = lower(?) AND lower(name) <> lower(?)", {id, to, from}).empty())
                inUse("COLUMN");
            auto rename = [&](const std::string& a, const std::string& b) {
                const std::string sql = "ALTER TABLE " + QuoteIdent(table->name) + " RENAME COLUMN " + QuoteIdent(a) + " TO " + QuoteIdent(b);
                if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) throw s_.TranslateError(1);
            };
            if (SameNoCase(from, to)) {
                rename(from, to + "$sandbox_rename");
                rename(to + "$sandbox_rename", to);
            } else {
                rename(from, to);
            }
            Exec(db_, "UPDATE __columns SET name = ? WHERE object_id = ? AND name = ?", {to, id, from});
            Exec(db_, "UPDATE __identity SET col = ? WHERE tbl = ? AND lower(col) = lower(?)", {to, table->name, from});
            Exec(db_, "UPDATE __constraints SET clause = ? WHERE tbl = ? AND kind = 'D' AND lower(clause) = lower(?)", {to, table->name, from});
            for (const Row& r : Query(db_, "SELECT rowid, columns FROM __indexes WHERE tbl = ?", {table->name})) {
                std::string list = "," + ColumnText(r, 1) + ",", lowered = Lower(list);
                const size_t at = lowered.find("," + Lower(from) + ",");
                if (at == std::string::npos) continue;
                list.replace(at + 1, from.size(), to);
                Exec(db_, "UPDATE __indexes SET columns = ? WHERE rowid = ?", {list.substr(1, list.size() - 2), r[0].AsText()});
            }
            // The table's own constraint texts and its kept definition name the column.
            for (const Row& r : Query(db_, "SELECT rowid, clause FROM __constraints WHERE tbl = ? AND kind IN ('F', 'C')", {table->name})) {
                std::string clause = ColumnText(r, 1);
                const size_t refs = Upper(clause).find("REFERENCES ");
                clause = RenameIdentifier(clause.substr(0, refs), from, to) + (refs == std::string::npos ? "" : clause.substr(refs));
                Exec(db_, "UPDATE __constraints SET clause = ? WHERE rowid = ?", {clause, r[0].AsText()});
            }
            for (const Row& r : Query(db_, "SELECT sql FROM __tablebase WHERE tbl = ?", {table->name})) {
                const std::string sql = ColumnText(r, 0);
                const size_t open = sql.find('(');
                if (open != std::string::npos)
                    Exec(db_, "UPDATE __tablebase SET sql = ? WHERE tbl = ?", {sql.substr(0, open) + RenameIdentifier(sql.substr(open), from, to), table->name});
            }
            // Other tables' foreign keys name it among the referenced columns.
            for (const Row& r : Query(db_, "SELECT rowid, clause FROM __constraints WHERE kind = 'F'")) {
                const std::string clause = ColumnText(r, 1);
                const auto tokens = Tokenize(clause);
                size_t k = 0;
                while (k < tokens.size() && !tokens[k].Is("REFERENCES")) ++k;
                if (k + 2 >= tokens.size() || !SameNoCase(NameOf(tokens[k + 1]), table->name) || !tokens[k + 2].IsOp("(")) continue;
                const size_t open = tokens[k + 2].pos, close = tokens[MatchParen(tokens, k + 2)].pos;
                const std::string renamed = clause.substr(0, open) + RenameIdentifier(clause.substr(open, close - open), from, to) + clause.substr(close);
                if (renamed != clause) Exec(db_, "UPDATE __constraints SET clause = ? WHERE rowid = ?", {renamed, r[0].AsText()});
            }
            done = true;
        } else if ((type.empty() || type == "INDEX") && !index.empty()) {
            const std::string from = ColumnText(index[0], 0);
            if (!Query(db_, "SELECT name FROM __indexes WHERE tbl = ? AND lower(name) = lower(?) AND lower(name) <> lower(?)", {table->name, to, from}).empty())
                inUse("INDEX");
            const auto key = Query(db_, "SELECT id, trim(xtype) FROM __objects WHERE lower(name) = lower(?) AND parent_obj = ?", {from, id});
            if (!key.empty()) {
                Object k{static_cast<int>(key[0][0].i), from, ColumnText(key[0], 1), "", ""};
                RenameObject(k, to);
            } else {
                Exec(db_, "UPDATE __constraints SET name = ? WHERE tbl = ? AND lower(name) = lower(?)", {to, table->name, from});
                Exec(db_, "UPDATE __indexes SET name = ? WHERE tbl = ? AND lower(name) = lower(?)", {to, table->name, from});
            }
            for (const Row& r : Query(db_, "SELECT rowid, stored FROM __indexes WHERE tbl = ? AND name = ? AND stored <> ''", {table->name, to})) {
                const std::string stored = ColumnText(r, 1), fresh = table->name + "$" + to;
                const auto sql = Query(db_, "SELECT sql FROM sqlite_master WHERE type = 'index' AND name = ?", {stored});
                if (sql.empty() || stored == fresh) continue;
                std::string ddl = ColumnText(sql[0], 0);
                const size_t at = ddl.find(QuoteIdent(stored));
                if (at == std::string::npos) continue;
                ddl.replace(at, QuoteIdent(stored).size(), QuoteIdent(fresh));
                sqlite3_exec(db_, ("DROP INDEX " + QuoteIdent(stored)).c_str(), nullptr, nullptr, nullptr);
                if (sqlite3_exec(db_, ddl.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) throw s_.TranslateError(1);
                Exec(db_, "UPDATE __indexes SET stored = ? WHERE rowid = ?", {fresh, r[0].AsText()});
            }
            done = true;
        }
    }
    if (!done) unknown();
    s_.columnCache_.clear();
    s_.facts_.clear();
    Message(15477, 10, "Caution: Changing any part of an object name could break scripts and stored procedures.", 660);
}

// ---------------------------------------------------------------- sp_databases, sp_who, sp_spaceused

void SystemProcedures::Databases() {
    std::vector<Row> rows;
    sqlite3* raw = nullptr;
    std::vector<Row> names;
    if (sqlite3_open_v2(s_.server_.DatabaseFile("master").c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) == SQLITE_OK) {
        DbHandle master(raw);
        sqlite3_busy_timeout(master.get(), 10000);
        names = Query(master.get(), "SELECT name FROM __databases ORDER BY name");
    } else {
        sqlite3_close_v2(raw);
    }
    for (const Row& r : names) {
        const std::string name = ColumnText(r, 0);
        std::error_code ec;
        std::uintmax_t bytes = 0;
        for (const char* suffix : {"", "-wal"}) {
            const auto size = std::filesystem::file_size(s_.server_.DatabaseFile(name) + suffix, ec);
            if (!ec) bytes += size;
        }
        rows.push_back({Text(name), Int(static_cast<std::int64_t>(bytes / 1024)), SqlValue{}});
    }
    std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return LessNoCase(a[0].s, b[0].s); });
    Send({{"DATABASE_NAME", kSysname, false}, {"DATABASE_SIZE", SqlType::Of(SqlType::Int)}, {"REMARKS", SqlType::Of(SqlType::VarChar, 254)}}, rows);
}

void SystemProcedures::Who() {
    const SqlValue filter = Arg("@loginame", 0);
    const std::string f = filter.type == SqlValue::Null ? std::string() : filter.AsText();
    const bool bySpid = !f.empty() && std::all_of(f.begin(), f.end(), [](char c) { return c >= '0' && c <= '9'; });
    std::vector<Row> rows;
    bool loginSeen = false;
    for (const ServerState::SessionInfo& info : s_.server_.Sessions()) {
        const bool self = info.spid == s_.spid_;
        loginSeen = loginSeen || SameNoCase(info.login, f);
        if (bySpid && std::to_string(info.spid) != f) continue;
        if (!f.empty() && !bySpid && SameNoCase(f, "active") && !self) continue;
        if (!f.empty() && !bySpid && !SameNoCase(f, "active") && !SameNoCase(info.login, f)) continue;
        rows.push_back({Int(info.spid), Int(0), Text(Padded(self ? "runnable" : "sleeping", 30)), Text(info.login), Text(Padded(info.host, 128)),
                        Text("0    "), Text(info.database), Text(Padded(self ? "SELECT" : "AWAITING COMMAND", 16)), Int(0)});
    }
    if (!f.empty() && !bySpid && !SameNoCase(f, "active") && !loginSeen)
        Fail(15007, 16, "'" + f + "' is not a valid login or you do not have permission.", 64);
    Send({{"spid", SqlType::Of(SqlType::SmallInt), false},
          {"ecid", SqlType::Of(SqlType::SmallInt), false},
          {"status", SqlType::Of(SqlType::NChar, 30), false},
          {"loginame", kSysname},
          {"hostname", SqlType::Of(SqlType::NChar, 128), false},
          {"blk", SqlType::Of(SqlType::Char, 5)},
          {"dbname", kSysname},
          {"cmd", SqlType::Of(SqlType::NChar, 16), false},
          {"request_id", SqlType::Of(SqlType::Int), false}},
         rows);
}

void SystemProcedures::SpaceUsed() {
    // Sizes as SQL Server's 8 KB pages would hold the rows: each row's values and a few bytes
    // of its own, a page for every 8060 bytes, and each index's keys likewise.
    struct Usage {
        std::int64_t rows = 0, data = 0, index = 0;  // KB
    };
    auto pages = [](double bytes) { return static_cast<std::int64_t>((bytes + 8059) / 8060) * 8; };
    auto usage = [&](const Object& t) {
        Usage u;
        std::string sum;
        for (const auto& col : Columns(t.id)) sum += " + coalesce(length(CAST(" + QuoteIdent(col.first) + " AS BLOB)), 0)";
        const auto r = Query(db_, "SELECT count(*), coalesce(sum(11" + sum + "), 0) FROM " + QuoteIdent(t.name));
        if (r.empty()) return u;
        u.rows = r[0][0].i;
        u.data = pages(r[0][1].type == SqlValue::Real ? r[0][1].d : static_cast<double>(r[0][1].i));
        for (const IndexFact& f : Indexes(t)) {
            if (f.clustered || u.rows == 0) continue;
            std::string keys = "9";
            for (const auto& k : f.keys) keys += " + coalesce(length(CAST(" + QuoteIdent(k.first) + " AS BLOB)), 0)";
            const auto b = Query(db_, "SELECT coalesce(sum(" + keys + "), 0) FROM " + QuoteIdent(t.name));
            if (!b.empty()) u.index += pages(static_cast<double>(b[0][0].i));
        }
        return u;
    };
    auto kb = [](std::int64_t v) { return Text(std::to_string(v) + " KB"); };
    const SqlValue arg = Arg("@objname", 0);
    if (arg.type != SqlValue::Null) {
        const std::string written = arg.AsText();
        const auto found = Find(written, 110);
        if (!found || (found->xtype != "U" && found->xtype != "V"))
            Fail(15009, 16, "The object '" + written + "' does not exist in database '" + s_.dbName_ + "' or is invalid for this operation.", 110);
        const Usage u = found->xtype == "U" ? usage(*found) : Usage{};
        Send({{"name", kSysname},
              {"rows", SqlType::Of(SqlType::Char, 20)},
              {"reserved", SqlType::Of(SqlType::VarChar, 18)},
              {"data", SqlType::Of(SqlType::VarChar, 18)},
              {"index_size", SqlType::Of(SqlType::VarChar, 18)},
              {"unused", SqlType::Of(SqlType::VarChar, 18)}},
             {{Text(s_.ShownName(found->name)), Text(Padded(std::to_string(u.rows), 20)), kb(u.data + u.index), kb(u.data), kb(u.index), kb(0)}});
        return;
    }
    Usage total;
    for (const Row& r : Query(db_, "SELECT id, name FROM __objects WHERE xtype = 'U' AND name NOT LIKE '#%'")) {
        const Usage u = usage(Object{static_cast<int>(r[0].i), ColumnText(r, 1), "U", "", ""});
        total.data += u.data;
        total.index += u.index;
    }
    std::error_code ec;
    const double fileBytes = static_cast<double>(std::filesystem::file_size(s_.server_.DatabaseFile(s_.dbName_), ec));
    const auto freePages = Query(db_, "PRAGMA freelist_count");
    const auto pageSize = Query(db_, "PRAGMA page_size");
    const double freeBytes = freePages.empty() || pageSize.empty() ? 0.0 : static_cast<double>(freePages[0][0].i * pageSize[0][0].i);
    auto mb = [](double bytes) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.2f MB", bytes / 1048576.0);
        return Text(buf);
    };
    Send({{"database_name", kSysname}, {"database_size", SqlType::Of(SqlType::VarChar, 18)}, {"unallocated space", SqlType::Of(SqlType::VarChar, 18)}},
         {{Text(s_.dbName_), mb(ec ? 0.0 : fileBytes), mb(freeBytes)}});
    Send({{"reserved", SqlType::Of(SqlType::VarChar, 18)},
          {"data", SqlType::Of(SqlType::VarChar, 18)},
          {"index_size", SqlType::Of(SqlType::VarChar, 18)},
          {"unused", SqlType::Of(SqlType::VarChar, 18)}},
         {{kb(total.data + total.index), kb(total.data), kb(total.index), kb(0)}});
}

std::vector<std::vector<SqlValue>> Session::ConstraintViewRows(const std::string& view) {
    static const std::vector<std::pair<std::string, SqlValue>> kNoArgs;
    return SystemProcedures(*this, "", kNoArgs).ViewRows(view);
}

std::string Session::ForeignKeyName(const std::string& table, const std::string& column) {
    static const std::vector<std::pair<std::string, SqlValue>> kNoArgs;
    return SystemProcedures(*this, "", kNoArgs).ForeignKeyName(table, column);
}

bool Session::ExecHelpProcedure(const std::string& upper, const std::vector<std::pair<std::string, SqlValue>>& args) {
    return SystemProcedures(*this, upper, args).Run();
}
