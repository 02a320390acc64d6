#include "Engine.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <random>
#include <thread>

namespace {

constexpr std::uint16_t kCmdSelect = 0xC1;

bool SameNoCase(std::string_view a, std::string_view b) { return Upper(a) == Upper(b); }

std::string QuoteIdent(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string NameOf(const Token& t) { return t.kind == Token::Word ? t.text : t.value; }

SqlValue ColumnValue(sqlite3_stmt* st, int i) {
    switch (sqlite3_column_type(st, i)) {
    case SQLITE_INTEGER: return SqlValue::FromInt(sqlite3_column_int64(st, i));
    case SQLITE_FLOAT: return SqlValue::FromReal(sqlite3_column_double(st, i));
    case SQLITE_TEXT:
        return SqlValue::FromText(std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, i)), static_cast<size_t>(sqlite3_column_bytes(st, i))));
    case SQLITE_BLOB: {
        const void* p = sqlite3_column_blob(st, i);
        return SqlValue::FromBlob(std::string(static_cast<const char*>(p), static_cast<size_t>(sqlite3_column_bytes(st, i))));
    }
    default: return {};
    }
}

void BindValue(sqlite3_stmt* st, int i, const SqlValue& v) {
    switch (v.type) {
    case SqlValue::Integer: sqlite3_bind_int64(st, i, v.i); break;
    case SqlValue::Real: sqlite3_bind_double(st, i, v.d); break;
    case SqlValue::Text: sqlite3_bind_text(st, i, v.s.data(), static_cast<int>(v.s.size()), SQLITE_TRANSIENT); break;
    case SqlValue::Blob: sqlite3_bind_blob(st, i, v.s.data(), static_cast<int>(v.s.size()), SQLITE_TRANSIENT); break;
    default: sqlite3_bind_null(st, i);
    }
}

// Converts a value to what a variable of the type holds.
SqlValue Coerce(const SqlType& t, SqlValue v) {
    if (v.type == SqlValue::Null) return v;
    switch (t.kind) {
    case SqlType::Int:
    case SqlType::BigInt:
    case SqlType::SmallInt:
    case SqlType::TinyInt:
    case SqlType::Bit:
        if (v.type == SqlValue::Real) return SqlValue::FromInt(static_cast<std::int64_t>(v.d));
        if (v.type == SqlValue::Text) return SqlValue::FromInt(std::strtoll(v.s.c_str(), nullptr, 10));
        if (t.kind == SqlType::Bit && v.type == SqlValue::Integer) return SqlValue::FromInt(v.i != 0);
        return v;
    case SqlType::Float:
    case SqlType::Real:
        if (v.type == SqlValue::Integer) return SqlValue::FromReal(static_cast<double>(v.i));
        if (v.type == SqlValue::Text) return SqlValue::FromReal(std::strtod(v.s.c_str(), nullptr));
        return v;
    case SqlType::Char:
    case SqlType::VarChar:
    case SqlType::NChar:
    case SqlType::NVarChar: {
        std::string s = v.AsText();
        if (t.length > 0) {
            // Cut at the declared number of characters.
            size_t i = 0;
            int chars = 0;
            while (i < s.size() && chars < t.length) {
                ++i;
                while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
                ++chars;
            }
            s.resize(i);
        }
        return SqlValue::FromText(std::move(s));
    }
    default: return v;
    }
}

// printf-style formatting of RAISERROR messages.
std::string FormatRaiserror(const std::string& fmt, const std::vector<SqlValue>& args) {
    std::string out;
    size_t a = 0;
    for (size_t i = 0; i < fmt.size(); ++i) {
        if (fmt[i] != '%') {
            out += fmt[i];
            continue;
        }
        if (i + 1 < fmt.size() && fmt[i + 1] == '%') {
            out += '%';
            ++i;
            continue;
        }
        size_t j = i + 1;
        while (j < fmt.size() && std::strchr("-+ #0123456789.*lhI", fmt[j])) ++j;
        if (j >= fmt.size()) {
            out += fmt.substr(i);
            break;
        }
        const char conv = fmt[j];
        const SqlValue v = a < args.size() ? args[a++] : SqlValue{};
        if (conv == 'd' || conv == 'i') out += std::to_string(v.type == SqlValue::Integer ? v.i : std::strtoll(v.AsText().c_str(), nullptr, 10));
        else if (conv == 'u') out += std::to_string(static_cast<unsigned long long>(v.i));
        else if (conv == 'x' || conv == 'X') {
            char buf[32];
            std::snprintf(buf, sizeof buf, conv == 'x' ? "%llx" : "%llX", static_cast<unsigned long long>(v.i));
            out += buf;
        } else out += v.type == SqlValue::Null ? "(null)" : v.AsText();
        i = j;
    }
    return out;
}

// Splits tokens at top-level commas.
std::vector<std::vector<Token>> SplitCommas(const std::vector<Token>& t, size_t from, size_t to) {
    std::vector<std::vector<Token>> out(1);
    int depth = 0;
    for (size_t i = from; i < to && i < t.size(); ++i) {
        if (t[i].IsOp("(")) depth++;
        if (t[i].IsOp(")")) depth--;
        if (depth == 0 && t[i].IsOp(",")) {
            out.emplace_back();
            continue;
        }
        out.back().push_back(t[i]);
    }
    if (out.size() == 1 && out[0].empty()) out.clear();
    return out;
}

size_t MatchParen(const std::vector<Token>& t, size_t open) {
    int depth = 0;
    for (size_t i = open; i < t.size(); ++i) {
        if (t[i].IsOp("(")) depth++;
        else if (t[i].IsOp(")") && --depth == 0) return i;
    }
    return t.size();
}

Token MakeToken(Token::Kind kind, std::string text, bool space = true) {
    Token t;
    t.kind = kind;
    t.text = text;
    t.value = kind == Token::Word ? Upper(text) : text;
    t.spaceBefore = space;
    return t;
}

// The type tokens of a declaration starting at i: name [ '(' ... ')' ]; returns the end.
size_t TypeEnd(const std::vector<Token>& t, size_t i) {
    if (i >= t.size()) return i;
    ++i;
    if (i < t.size() && t[i].IsOp("(")) i = MatchParen(t, i) + 1;
    return std::min(i, t.size());
}

SqlType TypeOf(const std::vector<Token>& t, size_t from, size_t to) {
    SqlType type;
    std::string text;
    for (size_t i = from; i < to && i < t.size(); ++i) text += t[i].kind == Token::Bracketed ? t[i].value : t[i].text;
    if (!ParseSqlType(text, type)) type = SqlType::Of(SqlType::NVarChar, 4000);
    return type;
}

struct SelectItem {
    std::vector<Token> expr;
    std::string alias;
    bool hasAlias = false;
    bool assignsVariable = false;
    std::string variable;
};

const char* const kClauseEnds[] = {"FROM", "WHERE", "GROUP", "ORDER", "UNION", "INTO", "HAVING", "EXCEPT", "INTERSECT", "OPTION", "FOR", "LIMIT"};

// The select list of the statement's outermost SELECT.
bool TopSelectList(const std::vector<Token>& t, size_t& start, size_t& end) {
    int depth = 0;
    size_t i = 0;
    for (; i < t.size(); ++i) {
        if (t[i].IsOp("(")) depth++;
        else if (t[i].IsOp(")")) depth--;
        else if (depth == 0 && t[i].Is("SELECT")) break;
    }
    if (i >= t.size()) return false;
    ++i;
    if (i < t.size() && (t[i].Is("DISTINCT") || t[i].Is("ALL"))) ++i;
    if (i < t.size() && t[i].Is("TOP")) {
        ++i;
        if (i < t.size() && t[i].IsOp("(")) i = MatchParen(t, i) + 1;
        else ++i;
        if (i < t.size() && t[i].Is("PERCENT")) ++i;
        if (i + 1 < t.size() && t[i].Is("WITH") && t[i + 1].Is("TIES")) i += 2;
    }
    start = i;
    depth = 0;
    for (; i < t.size(); ++i) {
        if (t[i].IsOp("(")) depth++;
        else if (t[i].IsOp(")")) {
            if (depth == 0) break;
            depth--;
        } else if (depth == 0) {
            bool stop = t[i].IsOp(";");
            for (const char* w : kClauseEnds) stop = stop || t[i].Is(w);
            if (stop) break;
        }
    }
    end = i;
    return true;
}

std::vector<SelectItem> SelectItems(const std::vector<Token>& t) {
    size_t start, end;
    std::vector<SelectItem> items;
    if (!TopSelectList(t, start, end)) return items;
    for (auto& part : SplitCommas(t, start, end)) {
        SelectItem it;
        if (part.size() >= 3 && part[0].kind == Token::Variable && part[1].IsOp("=")) {
            it.assignsVariable = true;
            it.variable = part[0].value;
            it.expr.assign(part.begin() + 2, part.end());
        } else if (part.size() >= 3 && part[0].IsName() && part[1].IsOp("=") && !part[0].Is("CASE")) {
            it.hasAlias = true;
            it.alias = part[0].kind == Token::Word ? part[0].text : part[0].value;
            it.expr.assign(part.begin() + 2, part.end());
        } else if (part.size() >= 3 && part[part.size() - 2].Is("AS")) {
            it.hasAlias = true;
            const Token& a = part.back();
            it.alias = a.kind == Token::Word ? a.text : a.value;
            it.expr.assign(part.begin(), part.end() - 2);
        } else if (part.size() >= 2 && (part.back().IsName() || part.back().kind == Token::String) && !part.back().Is("END") &&
                   !part[part.size() - 2].IsOp(".") && !part[part.size() - 2].IsOp("(")) {
            it.hasAlias = true;
            const Token& a = part.back();
            it.alias = a.kind == Token::Word ? a.text : a.value;
            it.expr.assign(part.begin(), part.end() - 1);
        } else {
            it.expr = part;
        }
        items.push_back(std::move(it));
    }
    return items;
}

}  // namespace

// ---------------------------------------------------------------- session

Session::Session(ServerState& server, TdsWriter& out, std::function<bool()> attention)
    : server_(server), out_(out), attention_(std::move(attention)), spid_(server.NextSpid()) {}

Session::~Session() {
    if (db_) sqlite3_close(db_);
}

bool Session::Open(const std::string& database, std::string& error) {
    const std::string name = server_.CanonicalDatabase(database.empty() ? "master" : database);
    if (name.empty()) {
        error = "Cannot open database \"" + database + "\" requested by the login. The login failed.";
        return false;
    }
    OpenHandle(name);
    return true;
}

void Session::OpenHandle(const std::string& name) {
    if (db_) sqlite3_close(db_);
    db_ = nullptr;
    fnData_.clear();
    if (sqlite3_open_v2(server_.DatabaseFile(name).c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
        throw SqlError{4060, 11, 1, "Cannot open database \"" + name + "\".", 1, "", true};
    sqlite3_busy_timeout(db_, 10000);
    sqlite3_exec(db_, "PRAGMA foreign_keys=ON", nullptr, nullptr, nullptr);
    dbName_ = name;
    attached_.clear();
    columnCache_.clear();
    RegisterFunctions();
    sqlite3_progress_handler(
        db_, 200000,
        [](void* p) -> int {
            auto* self = static_cast<Session*>(p);
            return self->attention_ && self->attention_() ? 1 : 0;
        },
        this);
}

void Session::EnsureAttached(const std::string& db) {
    if (SameNoCase(db, dbName_) || attached_.count(Upper(db))) return;
    const std::string name = server_.CanonicalDatabase(db);
    if (name.empty()) return;  // SQLite reports the unknown schema
    const std::string sql = "ATTACH DATABASE " + SqlLiteral(server_.DatabaseFile(name)) + " AS " + QuoteIdent(name);
    sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
    attached_.insert(Upper(db));
}

Session::Variable* Session::FindVar(const std::string& upperName) {
    if (scopes_.empty()) return nullptr;
    auto& vars = scopes_.back().vars;
    auto it = vars.find(upperName);
    return it == vars.end() ? nullptr : &it->second;
}

// ---------------------------------------------------------------- output

void Session::Done(std::uint16_t status, std::uint16_t cmd, std::uint64_t rows) {
    if (tranCount_ > 0) status |= kDoneInXact;
    out_.Done(procDepth_ > 0 ? kTokenDoneInProc : kTokenDone, status, cmd, rows);
}

void Session::Info(int number, int state, int cls, const std::string& text, int line) {
    out_.Message(false, number, static_cast<std::uint8_t>(state), static_cast<std::uint8_t>(cls), text, server_.ServerName(),
                 scopes_.empty() ? std::string() : scopes_.back().procedure, line);
}

void Session::EmitError(const SqlError& e) {
    out_.Message(true, e.number, static_cast<std::uint8_t>(e.state), static_cast<std::uint8_t>(e.severity), e.message,
                 server_.ServerName(), e.procedure, e.line);
    Done(kDoneError, 0, 0);
}

void Session::CheckAttention() {
    if ((++attentionTick_ & 1023) == 0 && attention_ && attention_()) throw Attention{};
}

// ---------------------------------------------------------------- batches

void Session::RunBatch(const std::string& sql) {
    std::vector<std::unique_ptr<Stmt>> stmts;
    try {
        stmts = ParseBatch(sql);
    } catch (const ParseError& e) {
        EmitError(SqlError{102, 15, 1, e.message, e.line, "", true});
        return;
    }
    scopes_.assign(1, Scope{});
    catches_.clear();
    tryDepth_ = 0;
    procDepth_ = 0;
    // A batch that starts with a bare name runs that procedure.
    if (!stmts.empty() && stmts[0]->kind == Stmt::Simple && !stmts[0]->tokens.empty() && stmts[0]->tokens[0].IsName()) {
        static const std::set<std::string> known = {"SELECT", "INSERT", "UPDATE", "DELETE", "PRINT", "RAISERROR", "THROW", "SET", "DECLARE",
                                                    "EXEC", "EXECUTE", "BEGIN", "IF", "WHILE", "RETURN", "BREAK", "CONTINUE", "WAITFOR",
                                                    "USE", "CREATE", "ALTER", "DROP", "TRUNCATE", "COMMIT", "ROLLBACK", "WITH", "SAVE", "GOTO"};
        if (stmts[0]->tokens[0].kind != Token::Word || !known.count(stmts[0]->tokens[0].value)) {
            stmts[0]->tokens.insert(stmts[0]->tokens.begin(), MakeToken(Token::Word, "EXEC", false));
        }
    }
    try {
        ExecList(stmts);
    } catch (const BatchAbort&) {
    } catch (const ReturnSignal&) {
    } catch (const LoopSignal&) {
    } catch (const SqlError& e) {
        EmitError(e);
    }
    scopes_.clear();
    if (!out_.EndsWithDone()) Done(0, 0, 0);
}

void Session::RunText(const std::string& sql, const std::map<std::string, Variable>& params, int line) {
    std::vector<std::unique_ptr<Stmt>> stmts;
    try {
        stmts = ParseBatch(sql);
    } catch (const ParseError& e) {
        throw SqlError{102, 15, 1, e.message, e.line, "", true};
    }
    scopes_.push_back(Scope{params, scopes_.empty() ? std::string() : scopes_.back().procedure});
    try {
        ExecList(stmts);
    } catch (const ReturnSignal&) {
    } catch (...) {
        scopes_.pop_back();
        throw;
    }
    scopes_.pop_back();
    (void)line;
}

void Session::ExecList(const std::vector<std::unique_ptr<Stmt>>& list) {
    for (const auto& s : list) {
        try {
            Exec(*s);
        } catch (SqlError& e) {
            if (e.procedure.empty() && !scopes_.empty()) e.procedure = scopes_.back().procedure;
            lastError_ = e.number;
            if (tryDepth_ > 0) throw;
            EmitError(e);
            if (e.abortsBatch) throw BatchAbort{};
        }
    }
}

void Session::Exec(const Stmt& s) {
    CheckAttention();
    switch (s.kind) {
    case Stmt::Simple: ExecSimple(s); return;
    case Stmt::Block: ExecList(s.body); return;
    case Stmt::If:
        if (EvalCondition(s.tokens, s.line)) ExecList(s.body);
        else ExecList(s.alt);
        return;
    case Stmt::While:
        while (EvalCondition(s.tokens, s.line)) {
            CheckAttention();
            if (attention_ && attention_()) throw Attention{};
            try {
                ExecList(s.body);
            } catch (const LoopSignal& l) {
                if (l.isBreak) break;
            }
        }
        return;
    case Stmt::TryCatch: {
        const int depth = procDepth_;
        ++tryDepth_;
        try {
            ExecList(s.body);
            --tryDepth_;
        } catch (SqlError& e) {
            --tryDepth_;
            // Name resolution errors of the same level are not caught, as on SQL Server.
            if (e.abortsBatch && e.number != 50000 && procDepth_ == depth && (e.number == 208 || e.number == 207 || e.number == 102)) throw;
            catches_.push_back({e});
            try {
                ExecList(s.alt);
            } catch (...) {
                catches_.pop_back();
                throw;
            }
            catches_.pop_back();
        }
        return;
    }
    case Stmt::Module: ExecModule(s); return;
    }
}

void Session::ExecSimple(const Stmt& s) {
    const auto& t = s.tokens;
    if (t.empty()) return;
    const std::string w = s.FirstWord();
    const int line = s.line;
    if (w == "SELECT" || w == "WITH" || w == "INSERT" || w == "UPDATE" || w == "DELETE") return ExecSql(t, line, w == "SELECT" || w == "WITH");
    if (w == "DECLARE") return ExecDeclare(t, line);
    if (w == "SET") return ExecSet(t, line);
    if (w == "PRINT") return ExecPrint(t, line);
    if (w == "RAISERROR") return ExecRaiserror(t, line);
    if (w == "THROW") return ExecThrow(t, line);
    if (w == "USE") return ExecUse(t, line);
    if (w == "WAITFOR") return ExecWaitfor(t, line);
    if (w == "EXEC" || w == "EXECUTE") return ExecExec(t, line);
    if (w == "RETURN") {
        ReturnSignal r;
        if (t.size() > 1) {
            r.value = Eval(std::vector<Token>(t.begin() + 1, t.end()), line);
            r.status = static_cast<int>(r.value.type == SqlValue::Integer ? r.value.i : 0);
        }
        throw r;
    }
    if (w == "BREAK" || w == "CONTINUE") throw LoopSignal{w == "BREAK"};
    if (w == "BEGIN" || w == "COMMIT" || w == "ROLLBACK" || w == "SAVE") return ExecTransaction(w, line);
    if (w == "CREATE" && t.size() > 1 && t[1].Is("TABLE")) return ExecCreateTable(t, line);
    if (w == "CREATE" && t.size() > 2 && t[1].Is("DATABASE")) {
        server_.CreateDatabase(NameOf(t[2]));
        return;
    }
    if (w == "CREATE" && t.size() > 2 && t[1].Is("LOGIN")) {
        // CREATE LOGIN name WITH PASSWORD = 'secret'
        for (size_t i = 3; i + 2 < t.size(); ++i)
            if (t[i].Is("PASSWORD") && t[i + 1].IsOp("=") && t[i + 2].kind == Token::String) {
                server_.CreateLogin(NameOf(t[2]), t[i + 2].value);
                return;
            }
        throw SqlError{102, 15, 1, "Incorrect syntax near 'LOGIN'.", line, "", true};
    }
    if (w == "DROP") return ExecDrop(t, line);
    if (w == "TRUNCATE" && t.size() > 2) {
        std::vector<Token> del = {MakeToken(Token::Word, "DELETE", false), MakeToken(Token::Word, "FROM")};
        del.insert(del.end(), t.begin() + 2, t.end());
        return ExecSql(del, line, false);
    }
    if (w == "GOTO") throw SqlError{40000, 16, 1, "GOTO is not supported by the stand-in.", line, "", true};
    // Anything else goes to SQLite as it is.
    ExecSql(t, line, false);
}

// ---------------------------------------------------------------- SQL statements

sqlite3_stmt* Session::Prepare(const std::string& sql, int line) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &st, nullptr) != SQLITE_OK) {
        SqlError e = TranslateError(line);
        sqlite3_finalize(st);
        throw e;
    }
    return st;
}

void Session::Bind(sqlite3_stmt* st, int line) {
    const int n = sqlite3_bind_parameter_count(st);
    for (int i = 1; i <= n; ++i) {
        const char* name = sqlite3_bind_parameter_name(st, i);
        if (!name || name[0] != '@') continue;
        Variable* v = FindVar(Upper(name));
        if (!v) {
            sqlite3_finalize(st);
            throw SqlError{137, 15, 2, std::string("Must declare the scalar variable \"") + name + "\".", line, "", true};
        }
        BindValue(st, i, v->value);
    }
}

SqlError Session::TranslateError(int line) const {
    const std::string msg = sqlite3_errmsg(db_);
    const int code = sqlite3_errcode(db_);
    auto after = [&](const char* prefix) { return msg.substr(std::strlen(prefix)); };
    auto lastPart = [](std::string s) {
        const size_t dot = s.rfind('.');
        return dot == std::string::npos ? s : s.substr(dot + 1);
    };
    if (code == SQLITE_INTERRUPT) throw Attention{};
    if (msg.rfind("no such table: ", 0) == 0) return {208, 16, 1, "Invalid object name '" + lastPart(after("no such table: ")) + "'.", line, "", true};
    if (msg.rfind("no such view: ", 0) == 0) return {208, 16, 1, "Invalid object name '" + lastPart(after("no such view: ")) + "'.", line, "", true};
    if (msg.rfind("no such column: ", 0) == 0) return {207, 16, 1, "Invalid column name '" + lastPart(after("no such column: ")) + "'.", line, "", true};
    if (msg.rfind("no such function: ", 0) == 0)
        return {195, 15, 10, "'" + after("no such function: ") + "' is not a recognized built-in function name.", line, "", true};
    if (msg.find("syntax error") != std::string::npos) {
        const size_t q1 = msg.find('"'), q2 = msg.rfind('"');
        const std::string near = q1 != std::string::npos && q2 > q1 ? msg.substr(q1 + 1, q2 - q1 - 1) : std::string("end of input");
        return {102, 15, 1, "Incorrect syntax near '" + near + "'.", line, "", true};
    }
    if (msg.rfind("incomplete input", 0) == 0) return {102, 15, 1, "Incorrect syntax near the end of the batch.", line, "", true};
    if (msg.rfind("UNIQUE constraint failed: ", 0) == 0) {
        std::string col = after("UNIQUE constraint failed: ");
        std::string table = col.substr(0, col.find('.'));
        return {2627, 14, 1, "Violation of PRIMARY KEY constraint 'PK_" + table + "'. Cannot insert duplicate key in object 'dbo." + table + "'.", line, "", false};
    }
    if (msg.rfind("NOT NULL constraint failed: ", 0) == 0) {
        std::string col = after("NOT NULL constraint failed: ");
        const size_t dot = col.find('.');
        std::string table = col.substr(0, dot), column = dot == std::string::npos ? col : col.substr(dot + 1);
        return {515, 16, 2, "Cannot insert the value NULL into column '" + column + "', table '" + dbName_ + ".dbo." + table + "'; column does not allow nulls. INSERT fails.", line, "", false};
    }
    if (msg.find("FOREIGN KEY constraint failed") != std::string::npos)
        return {547, 16, 0, "The statement conflicted with a FOREIGN KEY constraint.", line, "", false};
    if (msg.find("CHECK constraint failed") != std::string::npos)
        return {547, 16, 0, "The statement conflicted with a CHECK constraint.", line, "", false};
    if (msg.find("already exists") != std::string::npos) {
        const size_t sp = msg.find(' ');
        std::string name = msg.substr(sp + 1, msg.find(" already") - sp - 1);
        return {2714, 16, 6, "There is already an object named '" + name + "' in the database.", line, "", false};
    }
    return {50000, 16, 1, msg, line, "", false};
}

std::vector<SqlColumn> Session::DescribeColumns(sqlite3_stmt* st, const std::vector<Token>& tokens) {
    const int n = sqlite3_column_count(st);
    std::vector<SelectItem> items = SelectItems(tokens);
    bool star = false;
    for (const auto& it : items)
        for (const auto& tk : it.expr)
            if (tk.IsOp("*") && it.expr.size() <= 3) star = true;
    const bool useItems = !star && static_cast<int>(items.size()) == n;
    std::vector<SqlColumn> cols(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        SqlColumn& c = cols[static_cast<size_t>(i)];
        c.name = sqlite3_column_name(st, i);
        bool typed = false;
        const char* table = sqlite3_column_table_name(st, i);
        const char* origin = sqlite3_column_origin_name(st, i);
        const char* schema = sqlite3_column_database_name(st, i);
        if (table && origin && schema && std::strncmp(table, "__", 2) != 0) {
            const std::string key = Upper(std::string(schema) + "." + table + "." + origin);
            auto it = columnCache_.find(key);
            if (it == columnCache_.end()) {
                SqlColumn found;
                bool ok = false;
                sqlite3_stmt* q = nullptr;
                const std::string sql = "SELECT type_text, is_nullable, is_identity FROM " + QuoteIdent(schema) +
                                        ".__columns WHERE lower(table_name) = lower(?) AND lower(name) = lower(?)";
                if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &q, nullptr) == SQLITE_OK) {
                    sqlite3_bind_text(q, 1, table, -1, SQLITE_TRANSIENT);
                    sqlite3_bind_text(q, 2, origin, -1, SQLITE_TRANSIENT);
                    if (sqlite3_step(q) == SQLITE_ROW) {
                        ok = ParseSqlType(reinterpret_cast<const char*>(sqlite3_column_text(q, 0)), found.type);
                        found.nullable = std::string(reinterpret_cast<const char*>(sqlite3_column_text(q, 1))) == "YES";
                        found.identity = sqlite3_column_int(q, 2) != 0;
                    }
                }
                sqlite3_finalize(q);
                if (!ok) found.name = "\x01";  // remembered as unknown
                it = columnCache_.emplace(key, found).first;
            }
            if (it->second.name != "\x01") {
                c.type = it->second.type;
                c.nullable = it->second.nullable;
                c.identity = it->second.identity;
                typed = true;
            }
        }
        if (!typed) {
            const char* decl = sqlite3_column_decltype(st, i);
            if (decl && ParseSqlType(decl, c.type)) typed = true;
            if (decl && !typed && Upper(decl) == "INTEGER") {
                c.type = SqlType::Of(SqlType::Int);
                typed = true;
            }
        }
        if (useItems) {
            const SelectItem& it = items[static_cast<size_t>(i)];
            bool named = false;
            if (!typed) {
                SqlType t = InferExprType(it.expr, named);
                if (t.kind != SqlType::Variant || named) {
                    c.type = t;
                    typed = true;
                }
            }
            if (it.hasAlias) c.name = it.alias;
            else {
                const bool columnRef = !it.expr.empty() && it.expr.back().IsName() &&
                                       (it.expr.size() == 1 || (it.expr.size() >= 3 && it.expr[it.expr.size() - 2].IsOp(".")));
                if (!columnRef) c.name.clear();
            }
        }
        if (!typed) {
            // From the first row's value.
            switch (sqlite3_column_type(st, i)) {
            case SQLITE_INTEGER: {
                const std::int64_t v = sqlite3_column_int64(st, i);
                c.type = SqlType::Of(v > 2147483647LL || v < -2147483648LL ? SqlType::BigInt : SqlType::Int);
                break;
            }
            case SQLITE_FLOAT: c.type = SqlType::Of(SqlType::Float); break;
            case SQLITE_TEXT: {
                const int bytes = sqlite3_column_bytes(st, i);
                c.type = bytes > 4000 ? SqlType::Of(SqlType::NVarChar, -1) : SqlType::Of(SqlType::NVarChar, 4000);
                break;
            }
            case SQLITE_BLOB: c.type = SqlType::Of(SqlType::VarBinary, -1); break;
            default: c.type = SqlType::Of(SqlType::Int); break;
            }
        }
    }
    return cols;
}

SqlType Session::InferExprType(const std::vector<Token>& e, bool& named) {
    named = true;
    if (e.empty()) return SqlType::Of(SqlType::Int);
    if (e.size() == 1) {
        const Token& t = e[0];
        if (t.kind == Token::String) {
            int chars = 0;
            for (char c : t.value)
                if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++chars;
            return SqlType::Of(t.national ? SqlType::NVarChar : SqlType::VarChar, std::max(1, chars));
        }
        if (t.kind == Token::Number) {
            const size_t dot = t.text.find('.');
            if (t.text.find_first_of("eE") != std::string::npos) return SqlType::Of(SqlType::Float);
            if (dot == std::string::npos) {
                const long long v = std::strtoll(t.text.c_str(), nullptr, 10);
                if (t.text.size() <= 10 && v <= 2147483647LL) return SqlType::Of(SqlType::Int);
                return SqlType::Of(SqlType::Numeric, 0, static_cast<int>(t.text.size()), 0);
            }
            const int scale = static_cast<int>(t.text.size() - dot - 1);
            const int prec = std::max(scale, static_cast<int>(t.text.size()) - 1);
            return SqlType::Of(SqlType::Numeric, 0, std::max(1, prec), scale);
        }
        if (t.Is("NULL")) return SqlType::Of(SqlType::Int);
        if (t.kind == Token::Variable) {
            if (Variable* v = FindVar(t.value)) return v->type;
            if (t.value == "@@VERSION") return SqlType::Of(SqlType::NVarChar, 300);
            if (t.value == "@@SERVERNAME") return SqlType::Of(SqlType::NVarChar, 128);
            if (t.value == "@@IDENTITY") return SqlType::Of(SqlType::Numeric, 0, 38, 0);
            return SqlType::Of(SqlType::Int);
        }
    }
    if (e.size() == 2 && e[0].IsOp("-") && e[1].kind == Token::Number) {
        std::vector<Token> rest(e.begin() + 1, e.end());
        return InferExprType(rest, named);
    }
    // Whole-expression function calls and casts.
    if (e.size() >= 3 && e[0].kind == Token::Word && e[1].IsOp("(") && MatchParen(e, 1) == e.size() - 1) {
        const std::string& f = e[0].value;
        if (f == "CAST") {
            for (size_t i = e.size() - 2; i > 1; --i)
                if (e[i].Is("AS")) return TypeOf(e, i + 1, e.size() - 1);
        }
        if (f == "CONVERT") {
            size_t i = 2;
            const size_t end = TypeEnd(e, 2);
            (void)i;
            return TypeOf(e, 2, end);
        }
        static const std::map<std::string, SqlType> fixed = {
            {"GETDATE", SqlType::Of(SqlType::DateTime)}, {"GETUTCDATE", SqlType::Of(SqlType::DateTime)},
            {"SYSDATETIME", SqlType::Of(SqlType::DateTime2, 0, 0, 7)}, {"COUNT", SqlType::Of(SqlType::Int)},
            {"COUNT_BIG", SqlType::Of(SqlType::BigInt)}, {"LEN", SqlType::Of(SqlType::Int)}, {"DATALENGTH", SqlType::Of(SqlType::Int)},
            {"CHARINDEX", SqlType::Of(SqlType::Int)}, {"ERROR_NUMBER", SqlType::Of(SqlType::Int)},
            {"ERROR_SEVERITY", SqlType::Of(SqlType::Int)}, {"ERROR_STATE", SqlType::Of(SqlType::Int)},
            {"ERROR_LINE", SqlType::Of(SqlType::Int)}, {"ERROR_PROCEDURE", SqlType::Of(SqlType::NVarChar, 128)},
            {"ERROR_MESSAGE", SqlType::Of(SqlType::NVarChar, 4000)}, {"OBJECT_ID", SqlType::Of(SqlType::Int)},
            {"OBJECT_NAME", SqlType::Of(SqlType::NVarChar, 128)}, {"OBJECTPROPERTY", SqlType::Of(SqlType::Int)},
            {"COLUMNPROPERTY", SqlType::Of(SqlType::Int)}, {"DB_NAME", SqlType::Of(SqlType::NVarChar, 128)},
            {"DB_ID", SqlType::Of(SqlType::SmallInt)}, {"NEWID", SqlType::Of(SqlType::UniqueIdentifier)},
            {"SCOPE_IDENTITY", SqlType::Of(SqlType::Numeric, 0, 38, 0)}, {"SUSER_SNAME", SqlType::Of(SqlType::NVarChar, 128)},
            {"USER_NAME", SqlType::Of(SqlType::NVarChar, 128)}, {"HOST_NAME", SqlType::Of(SqlType::NVarChar, 128)},
            {"APP_NAME", SqlType::Of(SqlType::NVarChar, 128)}, {"YEAR", SqlType::Of(SqlType::Int)},
            {"MONTH", SqlType::Of(SqlType::Int)}, {"DAY", SqlType::Of(SqlType::Int)}, {"DATEDIFF", SqlType::Of(SqlType::Int)},
            {"@@ROWCOUNT", SqlType::Of(SqlType::Int)}};
        auto it = fixed.find(f);
        if (it != fixed.end()) return it->second;
        if (f == "ISNULL" || f == "COALESCE" || f == "UPPER" || f == "LOWER" || f == "LTRIM" || f == "RTRIM" || f == "MAX" || f == "MIN" ||
            f == "ABS") {
            const auto args = SplitCommas(e, 2, e.size() - 1);
            if (!args.empty()) {
                bool n2;
                SqlType t = InferExprType(args[0], n2);
                if (n2) return t;
            }
        }
    }
    named = false;
    return SqlType::Of(SqlType::Variant);
}

void Session::ExecSql(const std::vector<Token>& tokens, int line, bool isQuery) {
    (void)isQuery;
    std::vector<SelectItem> items = SelectItems(tokens);
    const bool assigns = !items.empty() && std::all_of(items.begin(), items.end(), [](const SelectItem& i) { return i.assignsVariable; }) &&
                         (tokens[0].Is("SELECT") || tokens[0].Is("WITH"));
    std::vector<Token> t = tokens;
    if (assigns) {
        // SELECT @a = x, @b = y ... : run as SELECT x, y and keep the last row's values.
        size_t start, end;
        TopSelectList(t, start, end);
        std::vector<Token> list;
        for (size_t k = 0; k < items.size(); ++k) {
            if (k) list.push_back(MakeToken(Token::Op, ",", false));
            list.insert(list.end(), items[k].expr.begin(), items[k].expr.end());
        }
        t.erase(t.begin() + static_cast<std::ptrdiff_t>(start), t.begin() + static_cast<std::ptrdiff_t>(end));
        t.insert(t.begin() + static_cast<std::ptrdiff_t>(start), list.begin(), list.end());
    }
    const std::string sql = Translate(t, line);
    sqlite3_stmt* st = Prepare(sql, line);
    Bind(st, line);
    int rc = sqlite3_step(st);
    const int ncols = sqlite3_column_count(st);
    auto fail = [&]() {
        SqlError e = TranslateError(line);
        sqlite3_finalize(st);
        throw e;
    };
    if (assigns) {
        while (rc == SQLITE_ROW) {
            for (size_t k = 0; k < items.size() && static_cast<int>(k) < ncols; ++k) {
                Variable* v = FindVar(items[k].variable);
                if (!v) {
                    sqlite3_finalize(st);
                    throw SqlError{137, 15, 1, "Must declare the scalar variable \"" + items[k].variable + "\".", line, "", true};
                }
                v->value = Coerce(v->type, ColumnValue(st, static_cast<int>(k)));
            }
            rc = sqlite3_step(st);
        }
        if (rc != SQLITE_DONE) fail();
        sqlite3_finalize(st);
        return;
    }
    if (ncols == 0) {
        while (rc == SQLITE_ROW) rc = sqlite3_step(st);
        if (rc != SQLITE_DONE) fail();
        sqlite3_finalize(st);
        rowcount_ = sqlite3_changes64(db_);
        const std::string& w = tokens[0].value;
        const std::uint16_t cmd = w == "INSERT" ? 0xC3 : w == "DELETE" ? 0xC4 : w == "UPDATE" ? 0xC5 : 0;
        const bool dml = cmd != 0;
        if (dml) Done(nocount_ ? 0 : kDoneCount, cmd, nocount_ ? 0 : static_cast<std::uint64_t>(rowcount_));
        return;
    }
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) fail();
    const std::vector<SqlColumn> cols = DescribeColumns(st, tokens);
    out_.ColMetadata(cols);
    std::uint64_t rows = 0;
    std::vector<SqlValue> values(cols.size());
    while (rc == SQLITE_ROW) {
        for (int i = 0; i < ncols; ++i) values[static_cast<size_t>(i)] = ColumnValue(st, i);
        out_.Row(cols, values);
        ++rows;
        if (dropAfterRows_ >= 0 && static_cast<long>(rows) >= dropAfterRows_) {
            sqlite3_finalize(st);
            dropAfterRows_ = -1;
            throw DropConnection{};
        }
        if (out_.Failed()) {
            sqlite3_finalize(st);
            throw DropConnection{};
        }
        if ((rows & 255) == 0 && attention_ && attention_()) {
            sqlite3_finalize(st);
            throw Attention{};
        }
        rc = sqlite3_step(st);
    }
    if (rc != SQLITE_DONE) fail();
    sqlite3_finalize(st);
    rowcount_ = static_cast<std::int64_t>(rows);
    Done(nocount_ ? 0 : kDoneCount, kCmdSelect, nocount_ ? 0 : rows);
}

SqlValue Session::Eval(const std::vector<Token>& expr, int line) {
    std::vector<Token> t;
    t.push_back(MakeToken(Token::Word, "SELECT", false));
    t.insert(t.end(), expr.begin(), expr.end());
    if (t.size() > 1) t[1].spaceBefore = true;
    const std::string sql = Translate(t, line);
    sqlite3_stmt* st = Prepare(sql, line);
    Bind(st, line);
    const int rc = sqlite3_step(st);
    SqlValue v;
    if (rc == SQLITE_ROW) v = ColumnValue(st, 0);
    else if (rc != SQLITE_DONE) {
        SqlError e = TranslateError(line);
        sqlite3_finalize(st);
        throw e;
    }
    sqlite3_finalize(st);
    return v;
}

bool Session::EvalCondition(const std::vector<Token>& cond, int line) {
    std::vector<Token> t;
    t.push_back(MakeToken(Token::Word, "CASE", false));
    t.push_back(MakeToken(Token::Word, "WHEN"));
    t.push_back(MakeToken(Token::Op, "("));
    t.insert(t.end(), cond.begin(), cond.end());
    t.push_back(MakeToken(Token::Op, ")"));
    for (const char* w : {"THEN", "1", "ELSE", "0", "END"}) t.push_back(MakeToken(std::isdigit(static_cast<unsigned char>(w[0])) ? Token::Number : Token::Word, w));
    const SqlValue v = Eval(t, line);
    return v.type == SqlValue::Integer && v.i != 0;
}

// ---------------------------------------------------------------- other statements

void Session::ExecDeclare(const std::vector<Token>& t, int line) {
    for (auto& part : SplitCommas(t, 1, t.size())) {
        if (part.empty() || part[0].kind != Token::Variable) throw SqlError{102, 15, 1, "Incorrect syntax near 'DECLARE'.", line, "", true};
        size_t i = 1;
        if (i < part.size() && part[i].Is("AS")) ++i;
        if (i < part.size() && (part[i].Is("TABLE") || part[i].Is("CURSOR")))
            throw SqlError{40000, 16, 1, "Table variables and cursors are not supported by the stand-in.", line, "", true};
        const size_t end = TypeEnd(part, i);
        Variable v;
        v.type = TypeOf(part, i, end);
        if (FindVar(part[0].value))
            throw SqlError{134, 15, 1, "The variable name '" + part[0].text + "' has already been declared. Variable names must be unique within a query batch or stored procedure.", line, "", true};
        if (end < part.size() && part[end].IsOp("=")) v.value = Coerce(v.type, Eval(std::vector<Token>(part.begin() + static_cast<std::ptrdiff_t>(end) + 1, part.end()), line));
        scopes_.back().vars[part[0].value] = std::move(v);
    }
}

void Session::ExecSet(const std::vector<Token>& t, int line) {
    if (t.size() >= 3 && t[1].kind == Token::Variable) {
        Variable* v = FindVar(t[1].value);
        if (!v) throw SqlError{137, 15, 1, "Must declare the scalar variable \"" + t[1].text + "\".", line, "", true};
        std::vector<Token> expr(t.begin() + 3, t.end());
        if (t[2].kind == Token::Op && t[2].text.size() == 2 && t[2].text[1] == '=') {
            // SET @x += e  ->  @x + (e)
            std::vector<Token> combined = {t[1], MakeToken(Token::Op, std::string(1, t[2].text[0])), MakeToken(Token::Op, "(")};
            combined.insert(combined.end(), expr.begin(), expr.end());
            combined.push_back(MakeToken(Token::Op, ")"));
            expr = combined;
        }
        v->value = Coerce(v->type, Eval(expr, line));
        return;
    }
    if (t.size() >= 3 && t[1].Is("NOCOUNT")) {
        nocount_ = t[2].Is("ON");
        return;
    }
    // Session options the stand-in does not model are accepted and ignored.
}

void Session::ExecPrint(const std::vector<Token>& t, int line) {
    const SqlValue v = Eval(std::vector<Token>(t.begin() + 1, t.end()), line);
    Info(0, 1, 0, v.AsText(), line);
}

void Session::ExecRaiserror(const std::vector<Token>& t, int line) {
    if (t.size() < 3 || !t[1].IsOp("(")) throw SqlError{102, 15, 1, "Incorrect syntax near 'RAISERROR'.", line, "", true};
    const size_t close = MatchParen(t, 1);
    auto args = SplitCommas(t, 2, close);
    if (args.size() < 3) throw SqlError{102, 15, 1, "Incorrect syntax near ')'.", line, "", true};
    std::vector<SqlValue> vals;
    for (auto& a : args) vals.push_back(Eval(a, line));
    const int severity = static_cast<int>(std::strtol(vals[1].AsText().c_str(), nullptr, 10));
    const int state = static_cast<int>(std::strtol(vals[2].AsText().c_str(), nullptr, 10));
    std::string msg;
    int number = 50000;
    if (vals[0].type == SqlValue::Integer) {
        number = static_cast<int>(vals[0].i);
        msg = "Error " + std::to_string(number) + ", severity " + std::to_string(severity) + ", state " + std::to_string(state) +
              " was raised, but no message with that error number was found in sys.messages. If error is larger than 50000, make sure the user-defined message is added using sp_addmessage.";
        number = 18054;
    } else {
        msg = FormatRaiserror(vals[0].AsText(), std::vector<SqlValue>(vals.begin() + 3, vals.end()));
    }
    if (severity <= 10) {
        Info(number, state, severity, msg, line);
        return;
    }
    throw SqlError{number, std::min(severity, 25), state, msg, line, "", false};
}

void Session::ExecThrow(const std::vector<Token>& t, int line) {
    if (t.size() == 1) {
        if (catches_.empty()) throw SqlError{10704, 15, 1, "To rethrow an error, a THROW statement must be used inside a CATCH block.", line, "", true};
        throw catches_.back().error;
    }
    auto args = SplitCommas(t, 1, t.size());
    if (args.size() != 3) throw SqlError{102, 15, 1, "Incorrect syntax near 'THROW'.", line, "", true};
    SqlError e;
    e.number = static_cast<int>(Eval(args[0], line).i);
    e.message = Eval(args[1], line).AsText();
    e.state = static_cast<int>(Eval(args[2], line).i);
    e.severity = 16;
    e.line = line;
    throw e;
}

void Session::ExecUse(const std::vector<Token>& t, int line) {
    if (t.size() < 2) throw SqlError{102, 15, 1, "Incorrect syntax near 'USE'.", line, "", true};
    const std::string want = NameOf(t[1]);
    const std::string name = server_.CanonicalDatabase(want);
    if (name.empty())
        throw SqlError{911, 16, 1, "Database '" + want + "' does not exist. Make sure that the name is entered correctly.", line, "", true};
    const std::string old = dbName_;
    OpenHandle(name);
    out_.EnvChange(1, name, old);
    Info(5701, 1, 0, "Changed database context to '" + name + "'.", line);
}

void Session::ExecWaitfor(const std::vector<Token>& t, int line) {
    if (t.size() < 3 || !(t[1].Is("DELAY") || t[1].Is("TIME"))) throw SqlError{102, 15, 1, "Incorrect syntax near 'WAITFOR'.", line, "", true};
    const std::string text = Eval(std::vector<Token>(t.begin() + 2, t.end()), line).AsText();
    int h = 0, m = 0, s = 0, ms = 0;
    std::sscanf(text.c_str(), "%d:%d:%d.%d", &h, &m, &s, &ms);
    auto total = std::chrono::milliseconds((h * 3600LL + m * 60LL + s) * 1000LL + ms);
    if (t[1].Is("TIME")) {
        const std::time_t now = std::time(nullptr);
        std::tm tmv{};
        localtime_r(&now, &tmv);
        long long secs = h * 3600LL + m * 60LL + s - (tmv.tm_hour * 3600LL + tmv.tm_min * 60LL + tmv.tm_sec);
        if (secs < 0) secs += 86400;
        total = std::chrono::milliseconds(secs * 1000);
    }
    const auto until = std::chrono::steady_clock::now() + total;
    while (std::chrono::steady_clock::now() < until) {
        if (attention_ && attention_()) throw Attention{};
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void Session::ExecTransaction(const std::string& word, int line) {
    auto descriptor = [](std::uint64_t id) { return std::string(reinterpret_cast<const char*>(&id), 8); };
    if (word == "BEGIN") {
        if (tranCount_++ == 0) {
            sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
            ++tranId_;
            out_.EnvChangeBytes(8, descriptor(tranId_), "");
        }
        return;
    }
    if (word == "SAVE") return;
    if (tranCount_ == 0) {
        if (word == "COMMIT")
            throw SqlError{3902, 16, 1, "The COMMIT TRANSACTION request has no corresponding BEGIN TRANSACTION.", line, "", false};
        throw SqlError{3903, 16, 1, "The ROLLBACK TRANSACTION request has no corresponding BEGIN TRANSACTION.", line, "", false};
    }
    if (word == "COMMIT") {
        if (--tranCount_ == 0) {
            sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
            out_.EnvChangeBytes(9, "", descriptor(tranId_));
        }
        return;
    }
    tranCount_ = 0;
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    out_.EnvChangeBytes(10, "", descriptor(tranId_));
}

void Session::TransactionRequest(int type, bool beginNew) {
    try {
        if (type == 5) {
            ExecTransaction("BEGIN", 1);
        } else if (type == 7 || type == 8) {
            if (tranCount_ > 0) {
                if (type == 7) {
                    tranCount_ = 1;
                    ExecTransaction("COMMIT", 1);
                } else {
                    ExecTransaction("ROLLBACK", 1);
                }
            }
            if (beginNew) ExecTransaction("BEGIN", 1);
        }
    } catch (const SqlError& e) {
        EmitError(e);
        return;
    }
    Done(0, 0, 0);
}

void Session::ExecExec(const std::vector<Token>& t, int line) {
    size_t i = 1;
    if (i < t.size() && t[i].IsOp("(")) {
        // EXEC ('...' + @x)
        const size_t close = MatchParen(t, i);
        const SqlValue sql = Eval(std::vector<Token>(t.begin() + 2, t.begin() + static_cast<std::ptrdiff_t>(close)), line);
        RunText(sql.AsText(), {}, line);
        return;
    }
    std::string resultVar;
    if (i + 2 < t.size() && t[i].kind == Token::Variable && t[i + 1].IsOp("=")) {
        resultVar = t[i].value;
        i += 2;
    }
    if (i >= t.size()) throw SqlError{102, 15, 1, "Incorrect syntax near 'EXEC'.", line, "", true};
    // Procedure name, possibly db.dbo.name.
    std::string name = NameOf(t[i]);
    ++i;
    while (i + 1 < t.size() && t[i].IsOp(".")) {
        name = NameOf(t[i + 1]);
        i += 2;
    }
    std::vector<std::pair<std::string, SqlValue>> args;
    std::map<std::string, std::string> outputs;  // parameter -> caller variable
    for (auto& a : SplitCommas(t, i, t.size())) {
        std::string pname;
        size_t k = 0;
        if (a.size() >= 3 && a[0].kind == Token::Variable && a[1].IsOp("=")) {
            pname = a[0].value;
            k = 2;
        }
        bool output = false;
        if (!a.empty() && (a.back().Is("OUTPUT") || a.back().Is("OUT"))) {
            output = true;
            a.pop_back();
        }
        std::vector<Token> expr(a.begin() + static_cast<std::ptrdiff_t>(k), a.end());
        SqlValue v = expr.size() == 1 && expr[0].Is("DEFAULT") ? SqlValue{} : Eval(expr, line);
        if (output && expr.size() == 1 && expr[0].kind == Token::Variable)
            outputs[pname.empty() ? "#" + std::to_string(args.size()) : pname] = expr[0].value;
        args.emplace_back(pname, v);
    }
    const std::string upper = Upper(name);
    if (upper == "SP_SANDBOX_DROP_CONNECTION") throw DropConnection{};
    if (upper == "SP_SANDBOX_ROWS") {
        GenerateRows(args.empty() ? 0 : static_cast<long>(args[0].second.i));
        return;
    }
    if (upper == "SP_SANDBOX_DROP_AFTER_ROWS") {
        dropAfterRows_ = args.empty() ? 0 : static_cast<long>(args[0].second.i);
        return;
    }
    if (upper == "SP_EXECUTESQL") {
        if (args.empty()) throw SqlError{201, 16, 4, "Procedure or function 'sp_executesql' expects parameter '@statement', which was not supplied.", line, "", true};
        std::map<std::string, Variable> params;
        if (args.size() > 1) {
            auto decl = Tokenize(args[1].second.AsText());
            size_t pos = 0;
            for (auto& d : SplitCommas(decl, 0, decl.size())) {
                if (d.empty()) continue;
                Variable v;
                v.type = TypeOf(d, 1, TypeEnd(d, 1));
                const size_t argIndex = 2 + pos++;
                std::string pn = d[0].value;
                for (auto& [n, val] : args)
                    if (n == pn) v.value = val;
                if (argIndex < args.size() && args[argIndex].first.empty()) v.value = args[argIndex].second;
                v.value = Coerce(v.type, v.value);
                params[pn] = v;
            }
        }
        RunText(args[0].second.AsText(), params, line);
        return;
    }
    std::map<std::string, SqlValue> outValues;
    const int status = RunProcedure(name, args, line, &outputs, &outValues);
    for (auto& [param, var] : outputs) {
        Variable* v = FindVar(var);
        if (v && outValues.count(param)) v->value = Coerce(v->type, outValues[param]);
    }
    if (!resultVar.empty())
        if (Variable* v = FindVar(resultVar)) v->value = SqlValue::FromInt(status);
    out_.ReturnStatus(status);
    out_.Done(procDepth_ > 0 ? kTokenDoneInProc : kTokenDoneProc, tranCount_ > 0 ? kDoneInXact : 0, 0, 0);
}

// A built-in row generator for benchmarks: rows of eight typed columns computed from the row
// number, streamed without SQLite in between.
void Session::GenerateRows(long count) {
    const std::vector<SqlColumn> cols = {
        {"id", SqlType::Of(SqlType::Int), false, false},
        {"big", SqlType::Of(SqlType::BigInt), true, false},
        {"name", SqlType::Of(SqlType::VarChar, 50), true, false},
        {"wide_name", SqlType::Of(SqlType::NVarChar, 50), true, false},
        {"amount", SqlType::Of(SqlType::Decimal, 0, 18, 4), true, false},
        {"created", SqlType::Of(SqlType::DateTime), true, false},
        {"ratio", SqlType::Of(SqlType::Float), true, false},
        {"flag", SqlType::Of(SqlType::Bit), true, false},
    };
    out_.ColMetadata(cols);
    std::vector<SqlValue> v(cols.size());
    // Zero-padded decimal digits written by hand: the generator must cost far less than a client.
    auto digits = [](std::string& out, long long x, int width) {
        char tmp[24];
        int n = 0;
        do {
            tmp[n++] = static_cast<char>('0' + x % 10);
            x /= 10;
        } while (x > 0);
        for (int k = n; k < width; ++k) out += '0';
        while (n > 0) out += tmp[--n];
    };
    for (int k = 2; k <= 5; ++k) v[static_cast<size_t>(k)].type = SqlValue::Text;
    for (long i = 1; i <= count; ++i) {
        v[0] = SqlValue::FromInt(i);
        v[1] = SqlValue::FromInt(static_cast<std::int64_t>(i) * 3000000007LL);
        v[2].s.assign("customer_name_");
        digits(v[2].s, i, 7);
        v[3].s.assign("wide_n\xC3\xA4me_");
        digits(v[3].s, i, 7);
        const long long cents = static_cast<long long>(i) * 12345;
        v[4].s.clear();
        digits(v[4].s, cents / 10000, 1);
        v[4].s += '.';
        digits(v[4].s, cents % 10000, 4);
        const long secs = i % 86400;
        v[5].s.assign("2024-");
        digits(v[5].s, 1 + (i / 86400) % 12, 2);
        v[5].s += '-';
        digits(v[5].s, 1 + (i / 3600) % 28, 2);
        v[5].s += ' ';
        digits(v[5].s, secs / 3600, 2);
        v[5].s += ':';
        digits(v[5].s, secs / 60 % 60, 2);
        v[5].s += ':';
        digits(v[5].s, secs % 60, 2);
        v[6] = SqlValue::FromReal(static_cast<double>(i) / 7.0);
        v[7] = SqlValue::FromInt(i % 2);
        out_.Row(cols, v);
        if ((i & 1023) == 0) {
            if (out_.Failed()) throw DropConnection{};
            if (attention_ && attention_()) throw Attention{};
        }
    }
    Done(kDoneCount, kCmdSelect, static_cast<std::uint64_t>(count));
}

Session::Module Session::ParseModuleHeader(const std::string& source) {
    Module m;
    const auto t = Tokenize(source);
    size_t i = 0;
    while (i < t.size() && !(t[i].Is("PROC") || t[i].Is("PROCEDURE") || t[i].Is("FUNCTION") || t[i].Is("TRIGGER") || t[i].Is("VIEW"))) ++i;
    if (i >= t.size()) return m;
    const std::string kind = t[i].value;
    ++i;
    if (i < t.size()) m.name = NameOf(t[i++]);
    while (i + 1 < t.size() && t[i].IsOp(".")) {
        m.name = NameOf(t[i + 1]);
        i += 2;
    }
    size_t asPos = t.size();
    if (kind == "FUNCTION") {
        // ( params ) RETURNS type|TABLE|@t TABLE(...) [WITH ...] AS
        size_t open = i;
        size_t close = open < t.size() && t[open].IsOp("(") ? MatchParen(t, open) : open;
        for (auto& p : SplitCommas(t, open + 1, close)) {
            if (p.empty() || p[0].kind != Token::Variable) continue;
            size_t k = 1;
            if (k < p.size() && p[k].Is("AS")) ++k;
            const size_t end = TypeEnd(p, k);
            m.params.emplace_back(p[0].value, TypeOf(p, k, end));
            m.defaults.push_back(end < p.size() && p[end].IsOp("=") ? std::vector<Token>(p.begin() + static_cast<std::ptrdiff_t>(end) + 1, p.end()) : std::vector<Token>{});
            m.outputs.push_back(false);
        }
        i = close + 1;
        if (i < t.size() && t[i].Is("RETURNS")) {
            ++i;
            if (i < t.size() && t[i].Is("TABLE")) m.xtype = "IF";
            else if (i < t.size() && t[i].kind == Token::Variable) m.xtype = "TF";
            else m.xtype = "FN";
        }
        int depth = 0;
        for (; i < t.size(); ++i) {
            if (t[i].IsOp("(")) depth++;
            else if (t[i].IsOp(")")) depth--;
            else if (depth == 0 && t[i].Is("AS")) { asPos = i; break; }
        }
    } else {
        if (kind == "PROC" || kind == "PROCEDURE") m.xtype = "P";
        else if (kind == "TRIGGER") m.xtype = "TR";
        else m.xtype = "V";
        int depth = 0;
        size_t paramsEnd = i;
        for (size_t k = i; k < t.size(); ++k) {
            if (t[k].IsOp("(")) depth++;
            else if (t[k].IsOp(")")) depth--;
            else if (depth == 0 && t[k].Is("AS")) { asPos = k; paramsEnd = k; break; }
        }
        if (m.xtype == "P") {
            size_t from = i, to = paramsEnd;
            if (from < to && t[from].IsOp("(")) { ++from; to = MatchParen(t, i); }
            for (auto& p : SplitCommas(t, from, to)) {
                if (p.empty() || p[0].kind != Token::Variable) continue;
                if (p[0].Is("WITH")) break;
                size_t k = 1;
                if (k < p.size() && p[k].Is("AS")) ++k;
                const size_t end = TypeEnd(p, k);
                bool output = false;
                std::vector<Token> def;
                size_t j = end;
                if (j < p.size() && p[j].IsOp("=")) {
                    ++j;
                    while (j < p.size() && !(p[j].Is("OUTPUT") || p[j].Is("OUT") || p[j].Is("READONLY"))) def.push_back(p[j++]);
                }
                for (; j < p.size(); ++j) output = output || p[j].Is("OUTPUT") || p[j].Is("OUT");
                m.params.emplace_back(p[0].value, TypeOf(p, k, end));
                m.defaults.push_back(def);
                m.outputs.push_back(output);
            }
        }
    }
    if (asPos < t.size()) {
        m.body = source.substr(asPos + 1 < t.size() ? t[asPos + 1].pos : source.size());
        m.bodyLine = asPos + 1 < t.size() ? t[asPos + 1].line : 1;
    }
    return m;
}

std::optional<Session::Module> Session::LoadModule(const std::string& name, const char* xtypes) {
    sqlite3_stmt* st = nullptr;
    const std::string sql = std::string("SELECT source FROM __objects WHERE lower(name) = lower(?) AND xtype IN (") + xtypes + ")";
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return std::nullopt;
    sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
    std::optional<Module> m;
    if (sqlite3_step(st) == SQLITE_ROW) m = ParseModuleHeader(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    sqlite3_finalize(st);
    return m;
}

int Session::RunProcedure(const std::string& name, std::vector<std::pair<std::string, SqlValue>> args, int line,
                          std::map<std::string, std::string>* outputs, std::map<std::string, SqlValue>* outputValues) {
    auto m = LoadModule(name, "'P'");
    if (!m) throw SqlError{2812, 16, 62, "Could not find stored procedure '" + name + "'.", line, "", true};
    Scope scope;
    scope.procedure = m->name;
    size_t positional = 0;
    std::map<size_t, std::string> positionalOut;
    for (size_t k = 0; k < m->params.size(); ++k) {
        Variable v;
        v.type = m->params[k].second;
        bool given = false;
        for (auto& [n, val] : args)
            if (n == m->params[k].first) { v.value = val; given = true; }
        if (!given && positional < args.size() && args[positional].first.empty()) {
            if (outputs && outputs->count("#" + std::to_string(positional))) positionalOut[k] = "#" + std::to_string(positional);
            v.value = args[positional++].second;
            given = true;
        }
        if (!given) {
            if (m->defaults[k].empty() && !m->outputs[k])
                throw SqlError{201, 16, 4, "Procedure or function '" + m->name + "' expects parameter '" + m->params[k].first +
                                               "', which was not supplied.", line, m->name, false};
            if (!m->defaults[k].empty()) v.value = Eval(m->defaults[k], line);
        }
        v.value = Coerce(v.type, v.value);
        scope.vars[m->params[k].first] = v;
    }
    std::vector<std::unique_ptr<Stmt>> body;
    try {
        body = ParseBatch(m->body);
    } catch (const ParseError& e) {
        throw SqlError{102, 15, 1, e.message, e.line, m->name, true};
    }
    scopes_.push_back(std::move(scope));
    ++procDepth_;
    int status = 0;
    try {
        ExecList(body);
    } catch (const ReturnSignal& r) {
        status = r.status;
    } catch (...) {
        --procDepth_;
        scopes_.pop_back();
        throw;
    }
    --procDepth_;
    if (outputValues) {
        for (size_t k = 0; k < m->params.size(); ++k) {
            if (!m->outputs[k]) continue;
            const SqlValue& v = scopes_.back().vars[m->params[k].first].value;
            (*outputValues)[m->params[k].first] = v;
            if (positionalOut.count(k)) (*outputValues)[positionalOut[k]] = v;
        }
    }
    scopes_.pop_back();
    return status;
}

SqlValue Session::CallFunction(const std::string& name, std::vector<SqlValue> args) {
    auto m = LoadModule(name, "'FN'");
    if (!m) throw SqlError{4121, 16, 1, "Cannot find either column \"dbo\" or the user-defined function \"dbo." + name + "\".", 1, "", true};
    Scope scope;
    scope.procedure = m->name;
    for (size_t k = 0; k < m->params.size(); ++k) {
        Variable v;
        v.type = m->params[k].second;
        v.value = Coerce(v.type, k < args.size() ? args[k] : SqlValue{});
        scope.vars[m->params[k].first] = v;
    }
    std::vector<std::unique_ptr<Stmt>> body = ParseBatch(m->body);
    scopes_.push_back(std::move(scope));
    ++procDepth_;
    SqlValue result;
    try {
        ExecList(body);
    } catch (const ReturnSignal& r) {
        result = r.value;
    } catch (...) {
        --procDepth_;
        scopes_.pop_back();
        throw;
    }
    --procDepth_;
    scopes_.pop_back();
    return result;
}

void Session::RunRpc(const std::string& procName, int procId, std::vector<RpcParam> params) {
    scopes_.assign(1, Scope{});
    catches_.clear();
    tryDepth_ = 0;
    procDepth_ = 1;
    std::string name = Upper(procName);
    if (procId == 10) name = "SP_EXECUTESQL";
    if (procId == 11) name = "SP_PREPARE";
    if (procId == 12) name = "SP_EXECUTE";
    if (procId == 13) name = "SP_PREPEXEC";
    if (procId == 15) name = "SP_UNPREPARE";
    auto declParams = [&](const std::string& decl, size_t firstValue) {
        std::map<std::string, Variable> vars;
        auto tokens = Tokenize(decl);
        size_t pos = firstValue;
        for (auto& d : SplitCommas(tokens, 0, tokens.size())) {
            if (d.empty()) continue;
            Variable v;
            v.type = TypeOf(d, 1, TypeEnd(d, 1));
            for (auto& p : params)
                if (Upper(p.name) == d[0].value) v.value = p.value;
            if (pos < params.size() && params[pos].name.empty()) v.value = params[pos].value;
            ++pos;
            vars[d[0].value] = v;
        }
        return vars;
    };
    std::vector<std::pair<std::uint16_t, RpcParam>> returns;
    int status = 0;
    try {
        if (name == "SP_EXECUTESQL") {
            if (params.empty()) throw SqlError{201, 16, 4, "Procedure or function 'sp_executesql' expects parameter '@statement', which was not supplied.", 1, "", true};
            RunText(params[0].value.AsText(), params.size() > 1 ? declParams(params[1].value.AsText(), 2) : std::map<std::string, Variable>{}, 1);
        } else if (name == "SP_PREPEXEC" || name == "SP_PREPARE") {
            if (params.size() < 3) throw SqlError{201, 16, 4, "Procedure or function '" + procName + "' expects parameter '@stmt', which was not supplied.", 1, "", true};
            const int handle = ++nextHandle_;
            prepared_[handle] = {params[1].value.AsText(), params[2].value.AsText()};
            RpcParam h = params[0];
            h.value = SqlValue::FromInt(handle);
            h.type = SqlType::Of(SqlType::Int);
            returns.emplace_back(0, h);
            if (name == "SP_PREPEXEC") RunText(params[2].value.AsText(), declParams(params[1].value.AsText(), 3), 1);
        } else if (name == "SP_EXECUTE") {
            const int handle = params.empty() ? 0 : static_cast<int>(params[0].value.i);
            auto it = prepared_.find(handle);
            if (it == prepared_.end()) throw SqlError{8179, 16, 2, "Could not find prepared statement with handle " + std::to_string(handle) + ".", 1, "", true};
            RunText(it->second.second, declParams(it->second.first, 1), 1);
        } else if (name == "SP_UNPREPARE") {
            if (!params.empty()) prepared_.erase(static_cast<int>(params[0].value.i));
        } else {
            std::vector<std::pair<std::string, SqlValue>> args;
            for (auto& p : params) args.emplace_back(Upper(p.name), p.value);
            std::map<std::string, SqlValue> outValues;
            procDepth_ = 0;
            status = RunProcedure(procName, args, 1, nullptr, &outValues);
            for (size_t k = 0; k < params.size(); ++k)
                if (params[k].output && outValues.count(Upper(params[k].name))) {
                    RpcParam r = params[k];
                    r.value = outValues[Upper(params[k].name)];
                    returns.emplace_back(static_cast<std::uint16_t>(k), r);
                }
        }
    } catch (SqlError& e) {
        EmitError(e);
    } catch (const BatchAbort&) {
    }
    procDepth_ = 0;
    out_.ReturnStatus(status);
    for (auto& [ordinal, p] : returns) {
        SqlColumn c;
        c.type = p.type;
        out_.ReturnValue(ordinal, p.name, c, Coerce(p.type, p.value));
    }
    out_.Done(kTokenDoneProc, tranCount_ > 0 ? kDoneInXact : 0, 0, 0);
    scopes_.clear();
}

// ---------------------------------------------------------------- DDL

namespace {

struct ColumnInfo {
    std::string name;
    SqlType type;
    bool nullable = true;
    bool identity = false;
    std::string defaultText;
};

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
    case SqlType::Int: setNum(10, 10, 0); break;
    case SqlType::BigInt: setNum(19, 10, 0); break;
    case SqlType::SmallInt: setNum(5, 10, 0); break;
    case SqlType::TinyInt: setNum(3, 10, 0); break;
    case SqlType::Decimal:
    case SqlType::Numeric: setNum(t.precision, 10, t.scale); break;
    case SqlType::Money: setNum(19, 10, 4); break;
    case SqlType::SmallMoney: setNum(10, 10, 4); break;
    case SqlType::Float: setNum(53, 2, 0); break;
    case SqlType::Real: setNum(24, 2, 0); break;
    case SqlType::DateTime: dtPrec = SqlValue::FromInt(3); break;
    case SqlType::SmallDateTime: dtPrec = SqlValue::FromInt(0); break;
    case SqlType::Date: dtPrec = SqlValue::FromInt(0); break;
    case SqlType::Time:
    case SqlType::DateTime2:
    case SqlType::DateTimeOffset: dtPrec = SqlValue::FromInt(t.scale); break;
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
    default: break;
    }
}

std::string SqliteTypeText(const SqlType& t) {
    std::string n = t.Name();
    const size_t p = n.find("(max)");
    if (p != std::string::npos) n.replace(p, 5, "(-1)");
    return n;
}

}  // namespace

static int NewObjectId(sqlite3* db) {
    sqlite3_stmt* st = nullptr;
    int id = 245575913;
    if (sqlite3_prepare_v2(db, "SELECT coalesce(max(id), 245575880) + 33 FROM __objects", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
        id = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
    return id;
}

static void RecordColumns(sqlite3* db, int objectId, const std::string& table, const std::vector<ColumnInfo>& cols) {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO __columns (object_id, table_name, colid, name, type_text, data_type, char_max, char_octets,"
                       " num_precision, num_radix, num_scale, dt_precision, is_nullable, is_identity, default_text)"
                       " VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
                       -1, &st, nullptr);
    int colid = 0;
    for (const auto& c : cols) {
        std::string dataType;
        SqlValue charMax, octets, prec, radix, scale, dtPrec;
        DataTypeFacts(c.type, dataType, charMax, octets, prec, radix, scale, dtPrec);
        sqlite3_reset(st);
        sqlite3_bind_int(st, 1, objectId);
        sqlite3_bind_text(st, 2, table.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(st, 3, ++colid);
        sqlite3_bind_text(st, 4, c.name.c_str(), -1, SQLITE_TRANSIENT);
        const std::string typeText = c.type.Name();
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
        if (c.defaultText.empty()) sqlite3_bind_null(st, 15);
        else sqlite3_bind_text(st, 15, c.defaultText.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(st);
    }
    sqlite3_finalize(st);
}

void Session::ExecCreateTable(const std::vector<Token>& t, int line) {
    size_t i = 2;
    std::string name = NameOf(t[i++]);
    while (i + 1 < t.size() && t[i].IsOp(".")) {
        name = NameOf(t[i + 1]);
        i += 2;
    }
    if (i >= t.size() || !t[i].IsOp("(")) throw SqlError{102, 15, 1, "Incorrect syntax near '" + name + "'.", line, "", true};
    const size_t close = MatchParen(t, i);
    std::vector<ColumnInfo> cols;
    std::vector<std::string> defs;
    std::string identityCol;
    for (auto& part : SplitCommas(t, i + 1, close)) {
        if (part.empty()) continue;
        const bool tableConstraint = part[0].Is("CONSTRAINT") || part[0].Is("PRIMARY") || part[0].Is("UNIQUE") || part[0].Is("FOREIGN") ||
                                     part[0].Is("CHECK") || part[0].Is("INDEX");
        if (tableConstraint) {
            // A primary key on the identity column alone is already the row id.
            std::string text;
            size_t k = 0;
            if (part[0].Is("CONSTRAINT")) k = 2;
            if (k < part.size() && part[k].Is("INDEX")) continue;
            bool pk = k < part.size() && part[k].Is("PRIMARY");
            std::vector<Token> kept;
            for (size_t j = k; j < part.size(); ++j)
                if (!part[j].Is("CLUSTERED") && !part[j].Is("NONCLUSTERED") && !part[j].Is("ASC")) kept.push_back(part[j]);
            if (pk && !identityCol.empty()) {
                size_t open = 0;
                while (open < kept.size() && !kept[open].IsOp("(")) ++open;
                const auto keyCols = SplitCommas(kept, open + 1, MatchParen(kept, open));
                if (keyCols.size() == 1 && !keyCols[0].empty() && SameNoCase(NameOf(keyCols[0][0]), identityCol)) continue;
            }
            defs.push_back(JoinTokens(kept));
            continue;
        }
        ColumnInfo c;
        c.name = NameOf(part[0]);
        const size_t typeEnd = TypeEnd(part, 1);
        c.type = TypeOf(part, 1, typeEnd);
        std::vector<std::string> constraints;
        bool primary = false;
        for (size_t k = typeEnd; k < part.size(); ++k) {
            const Token& w = part[k];
            if (w.Is("IDENTITY")) {
                c.identity = true;
                c.nullable = false;
                if (k + 1 < part.size() && part[k + 1].IsOp("(")) k = MatchParen(part, k + 1);
            } else if (w.Is("NOT") && k + 1 < part.size() && part[k + 1].Is("NULL")) {
                c.nullable = false;
                constraints.push_back("NOT NULL");
                ++k;
            } else if (w.Is("NULL")) {
            } else if (w.Is("PRIMARY") && k + 1 < part.size() && part[k + 1].Is("KEY")) {
                primary = true;
                c.nullable = false;
                ++k;
            } else if (w.Is("CLUSTERED") || w.Is("NONCLUSTERED") || w.Is("ROWGUIDCOL")) {
            } else if (w.Is("CONSTRAINT")) {
                ++k;
            } else if (w.Is("COLLATE")) {
                ++k;
            } else if (w.Is("DEFAULT")) {
                size_t end = k + 1;
                if (end < part.size() && part[end].IsOp("(")) end = MatchParen(part, end) + 1;
                else if (end + 1 < part.size() && part[end + 1].IsOp("(")) end = MatchParen(part, end + 1) + 1;
                else if (end < part.size() && part[end].IsOp("-")) end += 2;
                else ++end;
                std::vector<Token> expr(part.begin() + static_cast<std::ptrdiff_t>(k) + 1, part.begin() + static_cast<std::ptrdiff_t>(std::min(end, part.size())));
                while (expr.size() >= 2 && expr.front().IsOp("(") && MatchParen(expr, 0) == expr.size() - 1) expr = std::vector<Token>(expr.begin() + 1, expr.end() - 1);
                const std::string text = JoinTokens(expr);
                const bool number = expr.size() == 1 && expr[0].kind == Token::Number;
                c.defaultText = number ? "((" + text + "))" : "(" + text + ")";
                const bool now = expr.size() >= 1 && (expr[0].Is("GETDATE") || expr[0].Is("CURRENT_TIMESTAMP") || expr[0].Is("SYSDATETIME"));
                const bool constant = expr.size() == 1 && (expr[0].kind == Token::Number || expr[0].kind == Token::String || expr[0].Is("NULL"));
                if (now) constraints.push_back("DEFAULT (strftime('%Y-%m-%d %H:%M:%f', 'now', 'localtime'))");
                else if (constant) constraints.push_back("DEFAULT " + Translate(expr, line));
                else if (expr.size() == 2 && expr[0].IsOp("-")) constraints.push_back("DEFAULT " + JoinTokens(expr));
                k = end - 1;
            } else if (w.Is("REFERENCES") || w.Is("CHECK") || w.Is("UNIQUE") || w.Is("FOREIGN")) {
                std::vector<Token> rest(part.begin() + static_cast<std::ptrdiff_t>(k), part.end());
                constraints.push_back(Translate(rest, line));
                break;
            }
        }
        if (c.identity && (c.type.kind == SqlType::Int || c.type.kind == SqlType::BigInt || c.type.kind == SqlType::SmallInt)) {
            identityCol = c.name;
            defs.push_back(QuoteIdent(c.name) + " INTEGER PRIMARY KEY AUTOINCREMENT");
        } else {
            std::string def = QuoteIdent(c.name) + " " + SqliteTypeText(c.type);
            if (primary) def += " PRIMARY KEY";
            for (auto& k : constraints) def += " " + k;
            defs.push_back(def);
        }
        cols.push_back(c);
    }
    std::string ddl = "CREATE TABLE " + QuoteIdent(name) + " (";
    for (size_t k = 0; k < defs.size(); ++k) ddl += (k ? ", " : "") + defs[k];
    ddl += ")";
    if (sqlite3_exec(db_, ddl.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) throw TranslateError(line);
    const int id = NewObjectId(db_);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db_, "INSERT INTO __objects (id, name, xtype, parent_obj, crdate) VALUES (?, ?, 'U', 0, strftime('%Y-%m-%d %H:%M:%f', 'now', 'localtime'))", -1, &st, nullptr);
    sqlite3_bind_int(st, 1, id);
    sqlite3_bind_text(st, 2, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(st);
    sqlite3_finalize(st);
    RecordColumns(db_, id, name, cols);
    columnCache_.clear();
}

void Session::ExecDrop(const std::vector<Token>& t, int line) {
    if (t.size() < 3) throw SqlError{102, 15, 1, "Incorrect syntax near 'DROP'.", line, "", true};
    const std::string kind = t[1].value;
    if (kind == "DATABASE" || kind == "LOGIN" || kind == "INDEX") return;  // not modelled
    size_t i = 2;
    bool ifExists = false;
    if (i + 1 < t.size() && t[i].Is("IF") && t[i + 1].Is("EXISTS")) {
        ifExists = true;
        i += 2;
    }
    const char* xtypes = kind == "TABLE" ? "'U'" : kind == "VIEW" ? "'V'" : (kind == "PROC" || kind == "PROCEDURE") ? "'P'"
                       : kind == "FUNCTION" ? "'FN','IF','TF'" : kind == "TRIGGER" ? "'TR'" : nullptr;
    if (!xtypes) return ExecSql(t, line, false);
    for (auto& part : SplitCommas(t, i, t.size())) {
        if (part.empty()) continue;
        std::string name = NameOf(part.back());
        sqlite3_stmt* st = nullptr;
        const std::string find = std::string("SELECT id, name FROM __objects WHERE lower(name) = lower(?) AND xtype IN (") + xtypes + ")";
        sqlite3_prepare_v2(db_, find.c_str(), -1, &st, nullptr);
        sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        int id = 0;
        if (sqlite3_step(st) == SQLITE_ROW) {
            id = sqlite3_column_int(st, 0);
            name = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
        }
        sqlite3_finalize(st);
        if (!id) {
            if (ifExists) continue;
            const std::string what = kind == "TABLE" ? "table" : kind == "VIEW" ? "view" : kind == "FUNCTION" ? "function" : kind == "TRIGGER" ? "trigger" : "procedure";
            throw SqlError{3701, 11, 5, "Cannot drop the " + what + " '" + name + "', because it does not exist or you do not have permission.", line, "", false};
        }
        if (kind == "TABLE" || kind == "VIEW") {
            const std::string sql = "DROP " + kind + " " + QuoteIdent(name);
            if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) throw TranslateError(line);
        }
        const std::string del = "DELETE FROM __objects WHERE id = " + std::to_string(id) + " OR (parent_obj = " + std::to_string(id) +
                                " AND xtype = 'TR'); DELETE FROM __columns WHERE object_id = " + std::to_string(id) +
                                "; DELETE FROM __comments WHERE id = " + std::to_string(id) + ";";
        sqlite3_exec(db_, del.c_str(), nullptr, nullptr, nullptr);
    }
    columnCache_.clear();
}

void Session::ExecModule(const Stmt& s) {
    const auto& t = s.tokens;
    const bool alter = t[0].Is("ALTER");
    std::string source = s.sourceText;
    while (!source.empty() && (source.back() == ' ' || source.back() == '\r' || source.back() == '\n' || source.back() == ';')) source.pop_back();
    if (alter) source = "CREATE" + source.substr(5);
    Module m = ParseModuleHeader(source);
    if (m.name.empty() || m.body.empty()) throw SqlError{102, 15, 1, "Incorrect syntax near 'AS'.", s.line, "", true};
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db_, "SELECT id, xtype FROM __objects WHERE lower(name) = lower(?)", -1, &st, nullptr);
    sqlite3_bind_text(st, 1, m.name.c_str(), -1, SQLITE_TRANSIENT);
    int existing = 0;
    std::string existingType;
    if (sqlite3_step(st) == SQLITE_ROW) {
        existing = sqlite3_column_int(st, 0);
        existingType = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
    }
    sqlite3_finalize(st);
    if (!alter && existing) throw SqlError{2714, 16, 3, "There is already an object named '" + m.name + "' in the database.", s.line, "", true};
    if (alter && !existing) throw SqlError{208, 16, 1, "Invalid object name '" + m.name + "'.", s.line, "", true};
    int parent = 0;
    if (m.xtype == "TR") {
        // CREATE TRIGGER name ON table ...
        for (size_t k = 0; k + 1 < t.size(); ++k)
            if (t[k].Is("ON")) {
                std::string table = NameOf(t[k + 1]);
                if (k + 3 < t.size() && t[k + 2].IsOp(".")) table = NameOf(t[k + 3]);
                sqlite3_stmt* q = nullptr;
                sqlite3_prepare_v2(db_, "SELECT id FROM __objects WHERE lower(name) = lower(?) AND xtype IN ('U','V')", -1, &q, nullptr);
                sqlite3_bind_text(q, 1, table.c_str(), -1, SQLITE_TRANSIENT);
                if (sqlite3_step(q) == SQLITE_ROW) parent = sqlite3_column_int(q, 0);
                sqlite3_finalize(q);
                if (!parent) {
                    throw SqlError{8197, 16, 4, "The object '" + table + "' does not exist or is invalid for this operation.", s.line, "", true};
                }
                break;
            }
    }
    std::vector<ColumnInfo> viewCols;
    if (m.xtype == "V") {
        const auto bodyTokens = Tokenize(m.body);
        const std::string select = Translate(bodyTokens, m.bodyLine);
        if (alter) sqlite3_exec(db_, ("DROP VIEW IF EXISTS " + QuoteIdent(m.name)).c_str(), nullptr, nullptr, nullptr);
        const std::string ddl = "CREATE VIEW " + QuoteIdent(m.name) + " AS " + select;
        if (sqlite3_exec(db_, ddl.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) throw TranslateError(s.line);
        sqlite3_stmt* q = Prepare("SELECT * FROM " + QuoteIdent(m.name), s.line);
        sqlite3_step(q);
        for (const SqlColumn& c : DescribeColumns(q, {})) viewCols.push_back({c.name, c.type, c.nullable, false, ""});
        sqlite3_finalize(q);
    }
    const int id = existing ? existing : NewObjectId(db_);
    std::string del = "DELETE FROM __objects WHERE id = " + std::to_string(id) + "; DELETE FROM __comments WHERE id = " + std::to_string(id) +
                      "; DELETE FROM __columns WHERE object_id = " + std::to_string(id) + ";";
    sqlite3_exec(db_, del.c_str(), nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(db_, "INSERT INTO __objects (id, name, xtype, parent_obj, crdate, source) VALUES (?, ?, ?, ?, strftime('%Y-%m-%d %H:%M:%f', 'now', 'localtime'), ?)", -1, &st, nullptr);
    sqlite3_bind_int(st, 1, id);
    sqlite3_bind_text(st, 2, m.name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 3, m.xtype.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(st, 4, parent);
    sqlite3_bind_text(st, 5, source.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(st);
    sqlite3_finalize(st);
    // The source in pieces of at most 4000 characters.
    sqlite3_prepare_v2(db_, "INSERT INTO __comments (id, number, colid, text) VALUES (?, ?, ?, ?)", -1, &st, nullptr);
    size_t pos = 0;
    int colid = 0;
    while (pos < source.size()) {
        size_t end = pos;
        int chars = 0;
        while (end < source.size() && chars < 4000) {
            ++end;
            while (end < source.size() && (static_cast<unsigned char>(source[end]) & 0xC0) == 0x80) ++end;
            ++chars;
        }
        sqlite3_reset(st);
        sqlite3_bind_int(st, 1, id);
        sqlite3_bind_int(st, 2, m.xtype == "P" ? 1 : 0);
        sqlite3_bind_int(st, 3, ++colid);
        sqlite3_bind_text(st, 4, source.data() + pos, static_cast<int>(end - pos), SQLITE_TRANSIENT);
        sqlite3_step(st);
        pos = end;
    }
    sqlite3_finalize(st);
    if (!viewCols.empty()) RecordColumns(db_, id, m.name, viewCols);
    if (m.xtype == "FN") RegisterFunctions();
    columnCache_.clear();
    (void)existingType;
}
