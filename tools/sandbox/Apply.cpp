// CROSS APPLY, OUTER APPLY and STRING_SPLIT. SQLite has no lateral join, but a table-valued
// function's arguments may name the columns of the tables before it in the join. So a derived table
// after APPLY becomes a virtual table that runs the derived table's own query once per outer row,
// with the outer columns it names as the function's arguments; CROSS APPLY is a CROSS JOIN of it,
// OUTER APPLY a LEFT JOIN. The query runs whole for each row, so TOP, ORDER BY and an aggregate
// over no rows (COUNT(*) giving 0) come out as SQL Server gives them. STRING_SPLIT is a virtual
// table of its own, its value column declared with the type of the string split.
#include "Session.h"
#include "SqliteUtil.h"

#include <sqlite3.h>

#include <algorithm>
#include <functional>

struct TableSource {
    bool split = false;
    // A derived table: its translated query, the names of its columns and how many outer columns
    // it reads (parameters :__outer1, :__outer2 ...).
    std::string sql;
    std::vector<std::string> columns;
    int params = 0;
    // STRING_SPLIT: the type of value and whether ordinal is given.
    std::string valueType;
    bool ordinal = false;
    int line = 1;     // of the statement that uses it last, for the errors raised while it runs
    std::string key;  // what tells it from other sources
};

namespace {

bool IsClauseWord(const Token& k) {
    static const char* const kWords[] = {"WHERE", "ON",    "JOIN",  "INNER",   "LEFT",  "RIGHT",  "FULL",      "CROSS",
                                         "OUTER", "GROUP", "ORDER", "HAVING",  "UNION", "EXCEPT", "INTERSECT", "OPTION",
                                         "FOR",   "WITH",  "PIVOT", "UNPIVOT", "APPLY", "SELECT", "WINDOW",    "INTO"};
    return std::any_of(std::begin(kWords), std::end(kWords), [&](const char* w) { return k.Is(w); });
}

// The names that table sources in [from, to) introduce: tables (their last name part), derived
// tables and functions by their aliases. With outerOnly, only those at the level of from.
std::vector<std::string> SourceNames(const std::vector<Token>& t, size_t from, size_t to, bool outerOnly) {
    std::vector<std::string> names;
    std::vector<bool> inFrom(1, false);
    for (size_t k = from; k < to; ++k) {
        if (t[k].IsOp("(")) {
            inFrom.push_back(false);
            continue;
        }
        if (t[k].IsOp(")")) {
            if (inFrom.size() > 1) inFrom.pop_back();
            continue;
        }
        const bool here = !outerOnly || inFrom.size() == 1;
        if (t[k].Is("FROM") || t[k].Is("JOIN") || t[k].Is("APPLY"))
            inFrom.back() = true;
        else if (t[k].Is("WHERE") || t[k].Is("GROUP") || t[k].Is("ORDER") || t[k].Is("HAVING") || t[k].Is("SELECT") || t[k].Is("ON") ||
                 t[k].Is("UNION") || t[k].Is("EXCEPT") || t[k].Is("INTERSECT"))
            inFrom.back() = false;
        const bool starts = t[k].Is("FROM") || t[k].Is("JOIN") || t[k].Is("APPLY") || (inFrom.back() && t[k].IsOp(","));
        if (!starts || k + 1 >= to || !here) continue;
        size_t j = k + 1;
        if (t[j].IsOp("(")) {
            j = MatchParen(t, j);
        } else if (t[j].IsName() && !IsClauseWord(t[j])) {
            while (j + 2 < to && t[j + 1].IsOp(".") && t[j + 2].IsName()) j += 2;
            names.push_back(NameOf(t[j]));
            if (j + 1 < to && t[j + 1].IsOp("(")) j = MatchParen(t, j + 1);
        } else {
            continue;
        }
        ++j;
        if (j < to && t[j].Is("AS")) ++j;
        if (j < to && t[j].IsName() && !IsClauseWord(t[j])) names.push_back(NameOf(t[j]));
    }
    return names;
}

bool Contains(const std::vector<std::string>& names, const std::string& name) {
    return std::any_of(names.begin(), names.end(), [&](const std::string& n) { return SameNoCase(n, name); });
}

std::string Hex(size_t h) {
    static const char* const kDigits = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < 16; ++i, h >>= 4) s += kDigits[h & 15];
    return s;
}

}  // namespace

struct TableFunctions {
    struct Table : sqlite3_vtab {
        Session* session = nullptr;
        std::string name;
        std::shared_ptr<TableSource> source;
    };
    struct Cursor : sqlite3_vtab_cursor {
        SqlStmt st;  // a derived table's query
        bool eof = true;
        sqlite3_int64 row = 0;
        std::vector<std::string> parts;  // STRING_SPLIT's values
    };

    static int Connect(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** out, char** err) {
        auto* session = static_cast<Session*>(aux);
        const std::string name = argc > 2 ? argv[2] : "";
        auto it = session->tableSources_.find(name);
        if (it == session->tableSources_.end()) {
            *err = sqlite3_mprintf("no such table function: %s", name.c_str());
            return SQLITE_ERROR;
        }
        const TableSource& src = *it->second;
        std::string schema = "CREATE TABLE x(";
        if (src.split) {
            schema += "value " + src.valueType + (src.ordinal ? ", ordinal bigint" : "") + ", __string HIDDEN, __separator HIDDEN)";
        } else {
            for (const auto& c : src.columns) schema += QuoteIdent(c) + ", ";
            for (int p = 1; p <= src.params; ++p) schema += "__arg" + std::to_string(p) + " HIDDEN, ";
            schema.resize(schema.size() - 2);
            schema += ")";
        }
        if (int rc = sqlite3_declare_vtab(db, schema.c_str()); rc != SQLITE_OK) return rc;
        auto* table = new Table;
        table->session = session;
        table->name = name;
        table->source = it->second;
        *out = table;
        return SQLITE_OK;
    }
    static int Disconnect(sqlite3_vtab* v) {
        delete static_cast<Table*>(v);
        return SQLITE_OK;
    }
    static int Columns(const TableSource& src) { return src.split ? (src.ordinal ? 2 : 1) : static_cast<int>(src.columns.size()); }
    static int Arguments(const TableSource& src) { return src.split ? 2 : src.params; }

    // Every argument must be given (it is the outer row's value); a plan without them is refused.
    static int BestIndex(sqlite3_vtab* v, sqlite3_index_info* info) {
        const TableSource& src = *static_cast<Table*>(v)->source;
        const int columns = Columns(src), args = Arguments(src);
        std::vector<int> given(static_cast<size_t>(args), -1);
        for (int c = 0; c < info->nConstraint; ++c) {
            const auto& k = info->aConstraint[c];
            const int arg = k.iColumn - columns;
            if (arg < 0 || arg >= args || k.op != SQLITE_INDEX_CONSTRAINT_EQ || !k.usable) continue;
            given[static_cast<size_t>(arg)] = c;
        }
        for (int a = 0; a < args; ++a) {
            if (given[static_cast<size_t>(a)] < 0) return SQLITE_CONSTRAINT;
            info->aConstraintUsage[given[static_cast<size_t>(a)]].argvIndex = a + 1;
            info->aConstraintUsage[given[static_cast<size_t>(a)]].omit = 1;
        }
        info->estimatedCost = 10;
        info->estimatedRows = 10;
        return SQLITE_OK;
    }
    static int Open(sqlite3_vtab*, sqlite3_vtab_cursor** out) {
        *out = new Cursor;
        return SQLITE_OK;
    }
    static int Close(sqlite3_vtab_cursor* c) {
        delete static_cast<Cursor*>(c);
        return SQLITE_OK;
    }
    static int Fail(Table* table, std::exception_ptr e) {
        table->session->pending_ = std::move(e);
        sqlite3_free(table->zErrMsg);
        table->zErrMsg = sqlite3_mprintf("error in a table function");
        return SQLITE_ERROR;
    }
    static int Step(Cursor* cur) {
        auto* table = static_cast<Table*>(cur->pVtab);
        const int rc = sqlite3_step(cur->st);
        if (rc == SQLITE_ROW || rc == SQLITE_DONE) {
            cur->eof = rc == SQLITE_DONE;
            ++cur->row;
            return SQLITE_OK;
        }
        sqlite3_free(table->zErrMsg);
        table->zErrMsg = sqlite3_mprintf("%s", sqlite3_errmsg(table->session->db_));
        return rc;
    }
    static int Filter(sqlite3_vtab_cursor* c, int, const char*, int argc, sqlite3_value** argv) {
        auto* cur = static_cast<Cursor*>(c);
        auto* table = static_cast<Table*>(c->pVtab);
        Session& s = *table->session;
        const TableSource& src = *table->source;
        cur->row = 0;
        if (src.split) {
            cur->parts.clear();
            const unsigned char* sep = argc > 1 ? sqlite3_value_text(argv[1]) : nullptr;
            const std::string separator = sep ? reinterpret_cast<const char*>(sep) : "";
            size_t chars = 0;
            for (unsigned char ch : separator) chars += (ch & 0xC0) != 0x80;
            if (chars != 1)
                return Fail(table, std::make_exception_ptr(
                                       SqlError{214, 16, 11, "Procedure expects parameter 'separator' of type 'nchar(1)/nvarchar(1)'.",
                                                src.line, "", false}));
            if (argc > 0 && sqlite3_value_type(argv[0]) != SQLITE_NULL) {
                const unsigned char* p = sqlite3_value_text(argv[0]);
                const std::string text = p ? reinterpret_cast<const char*>(p) : "";
                size_t at = 0;
                for (size_t next; (next = text.find(separator, at)) != std::string::npos; at = next + separator.size())
                    cur->parts.push_back(text.substr(at, next - at));
                cur->parts.push_back(text.substr(at));
            }
            cur->eof = cur->parts.empty();
            return SQLITE_OK;
        }
        if (!cur->st) {
            if (sqlite3_prepare_v2(s.db_, src.sql.c_str(), -1, cur->st.Out(), nullptr) != SQLITE_OK) {
                sqlite3_free(table->zErrMsg);
                table->zErrMsg = sqlite3_mprintf("%s", sqlite3_errmsg(s.db_));
                return SQLITE_ERROR;
            }
        }
        sqlite3_reset(cur->st);
        sqlite3_clear_bindings(cur->st);
        for (int a = 0; a < argc; ++a) {
            const std::string param = ":__outer" + std::to_string(a + 1);
            if (const int at = sqlite3_bind_parameter_index(cur->st, param.c_str())) sqlite3_bind_value(cur->st, at, argv[a]);
        }
        try {
            s.Bind(cur->st, src.line);
        } catch (...) {
            return Fail(table, std::current_exception());
        }
        return Step(cur);
    }
    static int Next(sqlite3_vtab_cursor* c) {
        auto* cur = static_cast<Cursor*>(c);
        if (static_cast<Table*>(c->pVtab)->source->split) {
            cur->eof = static_cast<size_t>(++cur->row) >= cur->parts.size();
            return SQLITE_OK;
        }
        return Step(cur);
    }
    static int Eof(sqlite3_vtab_cursor* c) { return static_cast<Cursor*>(c)->eof ? 1 : 0; }
    static int Column(sqlite3_vtab_cursor* c, sqlite3_context* ctx, int i) {
        auto* cur = static_cast<Cursor*>(c);
        if (!static_cast<Table*>(c->pVtab)->source->split) {
            sqlite3_result_value(ctx, sqlite3_column_value(cur->st, i));
        } else if (i == 0) {
            const std::string& v = cur->parts[static_cast<size_t>(cur->row)];
            sqlite3_result_text(ctx, v.c_str(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        } else {
            sqlite3_result_int64(ctx, cur->row + 1);
        }
        return SQLITE_OK;
    }
    static int Rowid(sqlite3_vtab_cursor* c, sqlite3_int64* id) {
        *id = static_cast<Cursor*>(c)->row;
        return SQLITE_OK;
    }

    static const sqlite3_module* Module() {
        static sqlite3_module m = [] {
            sqlite3_module x{};
            x.xCreate = Connect;
            x.xConnect = Connect;
            x.xBestIndex = BestIndex;
            x.xDisconnect = Disconnect;
            x.xDestroy = Disconnect;
            x.xOpen = Open;
            x.xClose = Close;
            x.xFilter = Filter;
            x.xNext = Next;
            x.xEof = Eof;
            x.xColumn = Column;
            x.xRowid = Rowid;
            return x;
        }();
        return &m;
    }
};

void Session::RegisterTableFunctions() {
    sqlite3_create_module_v2(db_, "sandbox_table_function", TableFunctions::Module(), this, nullptr);
    RegisterXmlFunctions();
}

std::string Session::TableFunction(const std::string& key, std::shared_ptr<TableSource> source, int line) {
    // A table made before for the same source is used again (its connected table holds the source:
    // the statement's line is set there).
    source->key = key;
    std::string name;
    for (size_t n = 0;; ++n) {
        name = "__tvf_" + Hex(std::hash<std::string>{}(key) + n);
        auto it = tableSources_.find(name);
        if (it == tableSources_.end()) {
            tableSources_[name] = source;
            break;
        }
        if (it->second->key == key) break;
    }
    tableSources_[name]->line = line;
    const std::string sql = "CREATE VIRTUAL TABLE IF NOT EXISTS temp." + QuoteIdent(name) + " USING sandbox_table_function";
    char* err = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        std::string msg = err ? err : "table function";
        sqlite3_free(err);
        if (pending_) std::rethrow_exception(std::exchange(pending_, nullptr));
        throw SqlError{50000, 16, 1, msg, line, "", true};
    }
    return name;
}

std::vector<Token> Session::RewriteApply(std::vector<Token> t, int line) {
    if (std::none_of(t.begin(), t.end(), [](const Token& k) { return k.Is("APPLY") || k.Is("STRING_SPLIT"); })) return t;
    std::vector<Token> out;
    out.reserve(t.size());
    // STRING_SPLIT(string, separator [, enable_ordinal]) at open - 1 as its table function.
    auto split = [&](size_t open, size_t close) {
        const auto args = SplitCommas(t, open + 1, close);
        if (args.size() < 2)
            throw SqlError{313,  16, 3,   "An insufficient number of arguments were supplied for the procedure or function STRING_SPLIT.",
                           line, "", true};
        if (args.size() > 3)
            throw SqlError{8144, 16, 3, "Procedure or function STRING_SPLIT has too many arguments specified.", line, "", true};
        bool ordinal = false;
        if (args.size() == 3) {
            const auto& a = args[2];
            const bool constant =
                a.size() == 1 && ((a[0].kind == Token::Number && (a[0].text == "0" || a[0].text == "1")) || a[0].Is("NULL"));
            if (!constant)
                throw SqlError{
                    8748, 16, 1,   "The enable_ordinal argument for STRING_SPLIT only supports constant values (not variables or columns).",
                    line, "", true};
            ordinal = a[0].text == "1";
        }
        const auto& sep = args[1];
        if (sep.size() == 1 && (sep[0].Is("NULL") || (sep[0].kind == Token::String && [&] {
                                    size_t chars = 0;
                                    for (unsigned char ch : sep[0].value) chars += (ch & 0xC0) != 0x80;
                                    return chars != 1;
                                }())))
            throw SqlError{214, 16, 11, "Procedure expects parameter 'separator' of type 'nchar(1)/nvarchar(1)'.", line, "", true};
        // value has the length of the string, nvarchar when the string or the separator is Unicode.
        SqlType type = SqlType::Of(SqlType::NVarChar, -1);
        {
            const StatementTablesInView inView(*this, t);
            bool named = false, sepNamed = false;
            const SqlType given = InferExprType(args[0], named), sepType = InferExprType(args[1], sepNamed);
            if (named && (given.IsText() || given.IsUnicode())) {
                type = SqlType::Of(given.IsUnicode() || (sepNamed && sepType.IsUnicode()) ? SqlType::NVarChar : SqlType::VarChar,
                                   given.kind == SqlType::Text || given.kind == SqlType::NText ? -1 : given.length);
            } else if (named && !(args[0].size() == 1 && args[0][0].Is("NULL")) && given.kind != SqlType::Variant) {
                std::string typeName = given.Name();
                typeName = typeName.substr(0, typeName.find('('));
                throw SqlError{8116, 16, 1,   "Argument data type " + typeName + " is invalid for argument 1 of string_split function.",
                               line, "", true};
            }
        }
        auto src = std::make_shared<TableSource>();
        src->split = true;
        src->valueType = type.Name();
        // SQLite reads a declared type's arguments as numbers: max as -1, which is read back as max.
        if (const size_t m = src->valueType.find("(max)"); m != std::string::npos) src->valueType.replace(m, 5, "(-1)");
        src->ordinal = ordinal;
        const std::string name = TableFunction("split:" + src->valueType + (ordinal ? ":ordinal" : ""), src, line);
        std::vector<Token> call = {MakeToken(Token::Word, name), MakeToken(Token::Op, "(", false)};
        call.insert(call.end(), args[0].begin(), args[0].end());
        call.push_back(MakeToken(Token::Op, ",", false));
        call.insert(call.end(), args[1].begin(), args[1].end());
        call.push_back(MakeToken(Token::Op, ")", false));
        return call;
    };
    // The alias after a source ending before j: [AS] name [(columns)]; its end is returned.
    auto aliasAt = [&](size_t j, Token& alias, std::vector<std::string>& columns) {
        if (j < t.size() && t[j].Is("AS")) ++j;
        if (j >= t.size() || !t[j].IsName() || IsClauseWord(t[j])) return std::string::npos;
        alias = t[j++];
        if (j < t.size() && t[j].IsOp("(")) {
            const size_t close = MatchParen(t, j);
            for (const auto& part : SplitCommas(t, j + 1, close))
                if (part.size() == 1 && part[0].IsName()) columns.push_back(NameOf(part[0]));
            j = close + 1;
        }
        return j;
    };
    for (size_t i = 0; i < t.size(); ++i) {
        const Token& k = t[i];
        if (k.Is("STRING_SPLIT") && i + 1 < t.size() && t[i + 1].IsOp("(") && i > 0 &&
            (t[i - 1].Is("FROM") || t[i - 1].Is("JOIN") || t[i - 1].IsOp(","))) {
            const size_t close = MatchParen(t, i + 1);
            auto call = split(i + 1, close);
            call[0].spaceBefore = k.spaceBefore;
            out.insert(out.end(), call.begin(), call.end());
            i = close;
            continue;
        }
        if (!((k.Is("CROSS") || k.Is("OUTER")) && i + 2 < t.size() && t[i + 1].Is("APPLY"))) {
            out.push_back(k);
            continue;
        }
        const bool outer = k.Is("OUTER");
        const size_t at = i + 2;
        std::vector<Token> source;
        Token alias;
        std::vector<std::string> columns;
        size_t end = std::string::npos;
        if (t[at].Is("STRING_SPLIT") && at + 1 < t.size() && t[at + 1].IsOp("(")) {
            const size_t close = MatchParen(t, at + 1);
            source = split(at + 1, close);
            end = aliasAt(close + 1, alias, columns);
            if (end == std::string::npos) end = close + 1;
        } else if (t[at].IsOp("(") && at + 1 < t.size() && (t[at + 1].Is("SELECT") || t[at + 1].Is("WITH") || t[at + 1].Is("VALUES"))) {
            const size_t close = MatchParen(t, at);
            end = aliasAt(close + 1, alias, columns);
            if (end == std::string::npos)
                throw SqlError{
                    102,  15, 1,   "Incorrect syntax near '" + (close + 1 < t.size() ? t[close + 1].text : std::string(")")) + "'.",
                    line, "", true};
            std::vector<Token> inner(t.begin() + static_cast<std::ptrdiff_t>(at) + 1, t.begin() + static_cast<std::ptrdiff_t>(close));
            // The names the FROM clause before APPLY introduces, and those the derived table has of its own.
            size_t from = i;
            for (int d = 0; from > 0; --from) {
                if (t[from - 1].IsOp(")")) d++;
                if (t[from - 1].IsOp("(") && d-- == 0) break;
                if (d == 0 && t[from - 1].Is("FROM")) {
                    --from;
                    break;
                }
            }
            const std::vector<std::string> outerNames = SourceNames(t, from, i, true), own = SourceNames(inner, 0, inner.size(), false);
            const std::vector<std::string> all = SourceNames(t, 0, t.size(), false);
            // Outer columns it names (o.c, with o a source before APPLY or of a query around it, and
            // not one of its own) become parameters.
            std::vector<std::string> refs;
            std::vector<Token> args;
            for (size_t j = 0; j < inner.size(); ++j) {
                if (inner[j].kind == Token::Word && inner[j].value.rfind(":__OUTER", 0) == 0) {
                    // A column of the row of an APPLY around this one: passed on as it is bound there.
                    size_t n = std::find(refs.begin(), refs.end(), inner[j].value) - refs.begin();
                    if (n == refs.size()) {
                        refs.push_back(inner[j].value);
                        if (!args.empty()) args.push_back(MakeToken(Token::Op, ",", false));
                        args.push_back(inner[j]);
                        args.back().spaceBefore = args.size() > 1;
                    }
                    inner[j] = MakeToken(Token::Word, ":__outer" + std::to_string(n + 1), inner[j].spaceBefore);
                    continue;
                }
                if (j + 2 >= inner.size() || !inner[j].IsName() || !inner[j + 1].IsOp(".") || !inner[j + 2].IsName() ||
                    (j > 0 && inner[j - 1].IsOp(".")) || (j + 3 < inner.size() && (inner[j + 3].IsOp(".") || inner[j + 3].IsOp("("))))
                    continue;
                const std::string q = NameOf(inner[j]);
                if (!(Contains(outerNames, q) || Contains(all, q)) || Contains(own, q)) continue;
                const std::string ref = Upper(q + "." + NameOf(inner[j + 2]));
                size_t n = std::find(refs.begin(), refs.end(), ref) - refs.begin();
                if (n == refs.size()) {
                    refs.push_back(ref);
                    if (!args.empty()) args.push_back(MakeToken(Token::Op, ",", false));
                    args.insert(args.end(), inner.begin() + static_cast<std::ptrdiff_t>(j),
                                inner.begin() + static_cast<std::ptrdiff_t>(j) + 3);
                    args[args.size() - 3].spaceBefore = args.size() > 3;
                }
                const Token param = MakeToken(Token::Word, ":__outer" + std::to_string(n + 1), inner[j].spaceBefore);
                inner.erase(inner.begin() + static_cast<std::ptrdiff_t>(j), inner.begin() + static_cast<std::ptrdiff_t>(j) + 3);
                inner.insert(inner.begin() + static_cast<std::ptrdiff_t>(j), param);
            }
            auto src = std::make_shared<TableSource>();
            // A column it names without a table that none of its own tables has is the outer query's.
            SqlStmt st;
            for (int tries = 0;; ++tries) {
                src->sql = Translate(inner, line);
                try {
                    st = Prepare(src->sql, line);
                    break;
                } catch (const SqlError& e) {
                    const size_t q1 = e.message.find('\''), q2 = e.message.rfind('\'');
                    if (e.number != 207 || tries >= 32 || q1 == std::string::npos || q2 <= q1 + 1) throw;
                    const std::string column = e.message.substr(q1 + 1, q2 - q1 - 1);
                    bool replaced = false;
                    for (size_t j = 0; j < inner.size(); ++j) {
                        // Not a part of a longer name, a call, an alias (AS name, name = expr in the select list).
                        const bool aliasFirst = j + 1 < inner.size() && inner[j + 1].IsOp("=") && j > 0 &&
                                                (inner[j - 1].Is("SELECT") || inner[j - 1].IsOp(","));
                        if (!inner[j].IsName() || !SameNoCase(NameOf(inner[j]), column) ||
                            (j > 0 && (inner[j - 1].IsOp(".") || inner[j - 1].Is("AS"))) ||
                            (j + 1 < inner.size() && (inner[j + 1].IsOp(".") || inner[j + 1].IsOp("("))) || aliasFirst)
                            continue;
                        if (!replaced) {
                            refs.push_back(Upper(column));
                            if (!args.empty()) args.push_back(MakeToken(Token::Op, ",", false));
                            args.push_back(inner[j]);
                            args.back().spaceBefore = args.size() > 1;
                            replaced = true;
                        }
                        inner[j] = MakeToken(Token::Word, ":__outer" + std::to_string(refs.size()), inner[j].spaceBefore);
                    }
                    if (!replaced) throw;
                }
            }
            src->params = static_cast<int>(refs.size());
            const std::string aliasName = NameOf(alias);
            {
                const int n = sqlite3_column_count(st);
                const auto items = SelectItems(inner);
                if (columns.empty() && inner[0].Is("VALUES"))
                    throw SqlError{8155, 16, 2, "No column name was specified for column 1 of '" + aliasName + "'.", line, "", true};
                if (!columns.empty() && static_cast<int>(columns.size()) != n)
                    throw SqlError{static_cast<int>(columns.size()) < n ? 8158 : 8159,
                                   16,
                                   1,
                                   "'" + aliasName + "' has " + (static_cast<int>(columns.size()) < n ? "more" : "fewer") +
                                       " columns than were specified in the column list.",
                                   line,
                                   "",
                                   true};
                for (int c = 0; c < n; ++c) {
                    std::string name = columns.empty() ? sqlite3_column_name(st, c) : columns[static_cast<size_t>(c)];
                    if (columns.empty() && static_cast<int>(items.size()) == n) {
                        const SelectItem& it = items[static_cast<size_t>(c)];
                        const bool columnRef = !it.expr.empty() && it.expr.back().IsName() &&
                                               (it.expr.size() == 1 || (it.expr.size() >= 3 && it.expr[it.expr.size() - 2].IsOp(".")));
                        if (it.hasAlias)
                            name = it.alias;
                        else if (!columnRef)
                            throw SqlError{
                                8155, 16,
                                2,    "No column name was specified for column " + std::to_string(c + 1) + " of '" + aliasName + "'.",
                                line, "",
                                true};
                    }
                    if (Contains(src->columns, name))
                        throw SqlError{8156, 16, 1,   "The column '" + name + "' was specified multiple times for '" + aliasName + "'.",
                                       line, "", true};
                    src->columns.push_back(name);
                }
            }
            std::string key = "apply:" + std::to_string(src->params) + ":" + src->sql;
            for (const auto& c : src->columns) key += "\x01" + c;
            source = {MakeToken(Token::Word, TableFunction(key, src, line))};
            if (!args.empty()) {
                source.push_back(MakeToken(Token::Op, "(", false));
                source.insert(source.end(), args.begin(), args.end());
                source.push_back(MakeToken(Token::Op, ")", false));
            }
            columns.clear();
        } else {
            // A function of the database: none is a table-valued function here.
            std::string name = NameOf(t[at]);
            for (size_t j = at + 1; j + 1 < t.size() && t[j].IsOp(".") && t[j + 1].IsName(); j += 2) name += "." + NameOf(t[j + 1]);
            throw SqlError{208, 16, 1, "Invalid object name '" + name + "'.", line, "", true};
        }
        out.push_back(MakeToken(Token::Word, outer ? "LEFT" : "CROSS", k.spaceBefore));
        out.push_back(MakeToken(Token::Word, "JOIN"));
        source[0].spaceBefore = true;
        out.insert(out.end(), source.begin(), source.end());
        if (alias.kind != Token::End) {
            out.push_back(MakeToken(Token::Word, "AS"));
            alias.spaceBefore = true;
            out.push_back(alias);
        }
        if (outer) {
            out.push_back(MakeToken(Token::Word, "ON"));
            out.push_back(MakeToken(Token::Number, "1"));
        }
        i = end - 1;
    }
    return out;
}
