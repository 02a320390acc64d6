// The interpreter's core: the database handle, variable scopes, batches and control flow, and the
// dispatch of simple statements to their handlers.
#include "Session.h"
#include "Scripts.h"
#include "Aggregates.h"
#include "Collation.h"
#include "TextFunctions.h"
#include "SqliteUtil.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <thread>

// ---------------------------------------------------------------- session

Session::Session(ServerState& server, ResultSink& out, std::function<bool()> attention)
    : server_(server), out_(out), attention_(std::move(attention)), spid_(server.NextSpid()) {}

Session::~Session() {
    server_.EndSession(spid_);
    valuesCache_.Clear();
    if (db_) sqlite3_close_v2(db_);
    // Local temporary tables go with their session.
    for (const auto& [database, table] : tempTables_) {
        sqlite3* raw = nullptr;
        const int rc = sqlite3_open_v2(server_.DatabaseFile(database).c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
        DbHandle db(raw);
        if (rc != SQLITE_OK) continue;
        sqlite3_busy_timeout(db.get(), 10000);
        DropSessionTable(db.get(), table);
        server_.CatalogChanged();
    }
}

std::string Session::ShownName(const std::string& stored) const {
    const std::string suffix = "__" + std::to_string(spid_);
    if (stored.size() > suffix.size() && stored.compare(stored.size() - suffix.size(), suffix.size(), suffix) == 0)
        return stored.substr(0, stored.size() - suffix.size());
    return stored;
}

std::string Session::TempName(const std::string& name) const {
    // A local temporary name (#t, not ##t) is this session's own: #t__<spid>.
    if (name.size() < 2 || name[0] != '#' || name[1] == '#') return name;
    const std::string suffix = "__" + std::to_string(spid_);
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) return name;
    return name + suffix;
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
    sqlite3* fresh = nullptr;
    if (sqlite3_open_v2(server_.DatabaseFile(name).c_str(), &fresh, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        sqlite3_close_v2(fresh);
        throw SqlError{4060, 11, 1, "Cannot open database \"" + name + "\".", 1, "", true};
    }
    valuesCache_.Clear();
    if (db_) sqlite3_close_v2(db_);
    db_ = fresh;
    fnData_.clear();
    // A lock another connection holds is waited for (10 s at most), but an attention ends the wait
    // at once, as it ends any statement: the statement then stops with it (TranslateError).
    sqlite3_busy_handler(
        db_,
        [](void* p, int count) -> int {
            auto* self = static_cast<Session*>(p);
            try {
                if (self->attention_ && self->attention_()) {
                    self->pending_ = std::make_exception_ptr(Attention{});
                    return 0;
                }
            } catch (const DropConnection&) {
                self->clientGone_ = true;
                self->pending_ = std::make_exception_ptr(DropConnection{});
                return 0;
            }
            if (count >= 1000) return 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            return 1;
        },
        this);
    // synchronous is the connection's own: NORMAL as the files are set up (WAL), not a sync per commit.
    sqlite3_exec(db_, "PRAGMA foreign_keys=ON; PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    dbName_ = name;
    server_.PublishSession({spid_, user_, hostName_, dbName_});
    attached_.clear();
    columnCache_.clear();
    WatchCatalog();
    RegisterFunctions();
    RegisterNullWatch(db_, &nullSeen_);
    RegisterDeviations(db_);
    RegisterTextFunctions(db_);
    RegisterSessionViews();
    RegisterTableFunctions();
    sqlite3_progress_handler(
        db_, 200000,
        [](void* p) -> int {
            // No exception may pass through SQLite: a vanished client interrupts the statement too.
            auto* self = static_cast<Session*>(p);
            try {
                return self->attention_ && self->attention_() ? 1 : 0;
            } catch (const DropConnection&) {
                self->clientGone_ = true;
                return 1;
            }
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

// A table variable is a local temporary table of its own name, made by DECLARE and dropped when
// its batch or procedure ends; its name in a statement stands for that table. A variable where a
// table must stand that is not a table variable of this scope is refused as SQL Server does.
bool Session::NamesTableVariable(const std::vector<Token>& t, int line) const {
    bool found = false;
    const bool fetch = !t.empty() && t[0].Is("FETCH");  // FETCH ... INTO @a, @b names scalars
    for (size_t i = 0; i < t.size(); ++i) {
        if (t[i].kind != Token::Variable) continue;
        if (!scopes_.empty() && scopes_.back().tables.count(t[i].value)) {
            found = true;
            continue;
        }
        if (i > 0 && !fetch && (t[i - 1].Is("FROM") || t[i - 1].Is("JOIN") || t[i - 1].Is("INTO") || t[i - 1].Is("UPDATE") ||
                      t[i - 1].Is("INSERT") || t[i - 1].Is("DELETE")))
            throw SqlError{1087, 15, 2, "Must declare the table variable \"" + t[i].text + "\".", line, "", true};
    }
    return found;
}

std::vector<Token> Session::WithTableVariables(const std::vector<Token>& t) const {
    const auto& tables = scopes_.back().tables;
    std::vector<Token> out = t;
    const bool declare = !t.empty() && t[0].Is("DECLARE");
    for (size_t i = 0; i < out.size(); ++i) {
        Token& k = out[i];
        if (k.kind != Token::Variable) continue;
        // The names a DECLARE makes stay names (declaring one twice is its error to find).
        if (declare && i > 0 && (t[i - 1].Is("DECLARE") || t[i - 1].IsOp(","))) continue;
        const auto it = tables.find(k.value);
        if (it != tables.end()) k = MakeToken(Token::Word, it->second, k.spaceBefore);
    }
    return out;
}

void Session::DeclareTableVariable(const std::vector<Token>& part, size_t tableAt, int line) {
    std::string base;
    for (char c : part[0].value.substr(1))
        base += std::isalnum(static_cast<unsigned char>(c)) || c == '_' ? c : '_';
    const std::string name = "#tv" + std::to_string(++tableVariables_) + "_" + base;
    Stmt create;
    create.line = line;
    create.tokens = {MakeToken(Token::Word, "CREATE"), MakeToken(Token::Word, "TABLE"), MakeToken(Token::Word, name)};
    create.tokens.insert(create.tokens.end(), part.begin() + static_cast<std::ptrdiff_t>(tableAt) + 1, part.end());
    ExecStatement(create);
    scopes_.back().tables[part[0].value] = name;
}

void Session::PopScope() {
    for (const auto& [variable, table] : scopes_.back().tables) {
        (void)variable;
        DropSessionTable(db_, TempName(table));
    }
    scopes_.pop_back();
}

void Session::ClearScopes() {
    while (!scopes_.empty()) PopScope();
}

// ---------------------------------------------------------------- output

void Session::Done(std::uint16_t status, std::uint16_t cmd, std::uint64_t rows) {
    ++donesSent_;
    if (tranCount_ > 0) status |= kDoneInXact;
    out_.Done(procDepth_ > 0 ? DoneKind::InProcedure : DoneKind::Statement, status, cmd, rows);
}

void Session::Info(int number, int state, int cls, const std::string& text, int line) {
    out_.Message(false, number, static_cast<std::uint8_t>(state), static_cast<std::uint8_t>(cls), text, server_.ServerName(),
                 scopes_.empty() ? std::string() : scopes_.back().procedure, line);
}

void Session::AssignDone(std::uint64_t rows) {
    // A variable assignment ends as a SELECT that counted its rows.
    rowcount_ = static_cast<std::int64_t>(rows);
    Done(nocount_ ? 0 : kDoneCount, kCmdSelect, nocount_ ? 0 : rows);
}

void Session::WarnNullsEliminated(int line) {
    nullSeen_ = false;
    if (!ansiWarnings_ || nullWarned_) return;
    nullWarned_ = true;
    Info(8153, 1, 10, "Warning: Null value is eliminated by an aggregate or other SET operation.", line);
}

void Session::EmitError(const SqlError& e) {
    out_.Message(true, e.number, static_cast<std::uint8_t>(e.state), static_cast<std::uint8_t>(e.severity), e.message, server_.ServerName(),
                 e.procedure, e.line);
    if (EndsStatement(e))
        out_.Message(false, 3621, 0, 0, "The statement has been terminated.", server_.ServerName(), e.procedure, e.line);
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
        EmitError(SqlError{e.number, 15, 1, e.message, e.line, "", true});
        return;
    }
    ClearScopes();
    scopes_.assign(1, Scope{});
    catches_.clear();
    tryDepth_ = 0;
    procDepth_ = 0;
    // A batch that starts with a bare name runs that procedure.
    if (!stmts.empty() && stmts[0]->kind == Stmt::Simple && !stmts[0]->tokens.empty() && stmts[0]->tokens[0].IsName()) {
        static const std::set<std::string> known = {"SELECT", "INSERT",   "UPDATE",   "DELETE",   "PRINT", "RAISERROR", "THROW",
                                                    "SET",    "DECLARE",  "EXEC",     "EXECUTE",  "BEGIN", "IF",        "WHILE",
                                                    "RETURN", "BREAK",    "CONTINUE", "WAITFOR",  "USE",   "CREATE",    "ALTER",
                                                    "DROP",   "TRUNCATE", "COMMIT",   "ROLLBACK", "WITH",  "SAVE",      "GOTO",
                                                    "CHECKPOINT", "GRANT", "DENY", "REVOKE", "OPEN", "FETCH", "CLOSE", "DEALLOCATE", "DBCC", "MERGE"};
        if (stmts[0]->tokens[0].kind != Token::Word || !known.count(stmts[0]->tokens[0].value)) {
            stmts[0]->tokens.insert(stmts[0]->tokens.begin(), MakeToken(Token::Word, "EXEC", false));
        }
    }
    try {
        ExecBody(stmts);
    } catch (const BatchAbort&) {
    } catch (const ReturnSignal&) {
    } catch (const LoopSignal&) {
    } catch (const SqlError& e) {
        EmitError(e);
    }
    ClearScopes();
    if (!out_.EndsWithDone()) Done(0, 0, 0);
}

void Session::RunText(const std::string& sql, const std::map<std::string, Variable>& params, int line,
                      std::map<std::string, Variable>* finalVars) {
    std::vector<std::unique_ptr<Stmt>> stmts;
    try {
        stmts = ParseBatch(sql);
    } catch (const ParseError& e) {
        throw SqlError{e.number, 15, 1, e.message, e.line, "", true};
    }
    scopes_.push_back(Scope{params, {}, scopes_.empty() ? std::string() : scopes_.back().procedure, {}});
    // A USE inside the text lasts until the text ends, as on SQL Server; but a transaction begun
    // there keeps the session in that database, whose handle holds the transaction.
    const std::string database = dbName_;
    auto restoreDatabase = [&] {
        if (dbName_ == database || tranCount_ > 0 || !server_.DatabaseExists(database)) return;
        const std::string inner = dbName_;
        OpenHandle(database);
        out_.DatabaseChanged(database, inner);
    };
    try {
        ExecBody(stmts);
    } catch (const ReturnSignal&) {
    } catch (...) {
        PopScope();
        try {
            restoreDatabase();
        } catch (...) {  // the text's own error is the one to report
        }
        throw;
    }
    if (finalVars) *finalVars = scopes_.back().vars;
    PopScope();
    restoreDatabase();
    (void)line;
}

void Session::ExecBody(const std::vector<std::unique_ptr<Stmt>>& list) {
    try {
        ExecList(list);
    } catch (const GotoSignal& g) {
        throw SqlError{40000, 16, 1, "GOTO into a block is not supported by the stand-in.", g.line, "", true};
    }
}

void Session::ExecList(const std::vector<std::unique_ptr<Stmt>>& list) {
    for (size_t i = 0; i < list.size(); ++i) {
        const auto& s = list[i];
        try {
            Exec(*s);
        } catch (const GotoSignal& g) {
            size_t at = 0;
            while (at < list.size() && !(list[at]->kind == Stmt::Label && list[at]->tokens[0].value == g.label)) ++at;
            if (at == list.size()) throw;
            i = at;  // on from the statement after the label
        } catch (SqlError& e) {
            if (e.procedure.empty() && !scopes_.empty()) e.procedure = scopes_.back().procedure;
            lastError_ = e.number;
            if (tryDepth_ > 0) throw;
            EmitError(e);
            if (e.abortsBatch) throw BatchAbort{};
            if (xactAbort_ && !e.raised && e.severity >= 11) {
                // SET XACT_ABORT ON: a run-time error ends the batch and rolls its transaction back.
                if (tranCount_ > 0) ExecTransaction("ROLLBACK", e.line);
                throw BatchAbort{};
            }
        }
    }
}

void Session::Exec(const Stmt& s) {
    CheckAttention();
    switch (s.kind) {
    case Stmt::Simple:
        if (NamesTableVariable(s.tokens, s.line)) {
            Stmt named;
            named.tokens = WithTableVariables(s.tokens);
            named.line = s.line;
            ExecSimple(named);
            return;
        }
        ExecSimple(s);
        return;
    case Stmt::Block:
        ExecList(s.body);
        return;
    case Stmt::If:
        if (EvalCondition(NamesTableVariable(s.tokens, s.line) ? WithTableVariables(s.tokens) : s.tokens, s.line))
            ExecList(s.body);
        else
            ExecList(s.alt);
        return;
    case Stmt::While:
        while (EvalCondition(NamesTableVariable(s.tokens, s.line) ? WithTableVariables(s.tokens) : s.tokens, s.line)) {
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
        } catch (...) {
            // BREAK, CONTINUE, GOTO or RETURN out of the TRY part.
            --tryDepth_;
            throw;
        }
        return;
    }
    case Stmt::Label:
        return;
    case Stmt::Module: {
        const std::uint64_t before = donesSent_;
        ExecModule(s);
        if (donesSent_ == before) Done(0, 0, 0);
        return;
    }
    }
}

void Session::ExecSimple(const Stmt& s) {
    const std::uint64_t before = donesSent_;
    ExecStatement(s);
    // Every statement ends with a DONE of its own, as on SQL Server; a procedure call ends with its
    // procedure's, and a DECLARE without a value sends none.
    const std::string w = s.FirstWord();
    if (donesSent_ == before && !s.tokens.empty() && w != "EXEC" && w != "EXECUTE" && w != "DECLARE") Done(0, 0, 0);
}

void Session::ExecStatement(const Stmt& s) {
    const auto& t = s.tokens;
    if (t.empty()) return;
    const std::string w = s.FirstWord();
    const int line = s.line;
    if ((w == "UPDATE" || w == "DELETE") && std::adjacent_find(t.begin(), t.end(), [](const Token& a, const Token& b) {
                                                   return a.Is("CURRENT") && b.Is("OF");
                                               }) != t.end())
        throw SqlError{40000, 16, 1, "WHERE CURRENT OF is not supported by the stand-in.", line, "", false};
    if (w == "INSERT" || w == "UPDATE" || w == "DELETE") {
        // An OUTPUT clause leaves the statement here and comes back as its RETURNING list (ExecDml).
        std::vector<Token> output;
        std::vector<Token> plain = WithoutOutput(t, output, line);
        const struct Restore {
            Session& s;
            ~Restore() { s.dmlOutput_.clear(); }
        } restore{*this};
        dmlOutput_ = output;
        if (w == "INSERT") return ExecDml(ConvertStoredValues(PrepareInsert(std::move(plain), line), line), line);
        const auto topped = DmlWithTop(plain);
        const auto joined = DmlWithJoins(topped ? *topped : plain);
        const std::vector<Token>& dml = joined ? *joined : topped ? *topped : plain;
        return ExecDml(w == "UPDATE" ? ConvertStoredValues(dml, line) : dml, line);
    }
    if (ExecScriptStatement(t, line)) return;
    if (w == "SELECT" && ExecSelectInto(t, line)) return;
    if (w == "SELECT" || w == "WITH" || w == "INSERT" || w == "UPDATE" || w == "DELETE")
        return ExecSql(t, line, w == "SELECT" || w == "WITH");
    if (w == "DBCC") return ExecDbcc(t, line);
    if (w == "MERGE") return ExecMerge(t, line);
    if (w == "DECLARE") return IsCursorDeclaration(t) ? ExecDeclareCursor(t, line) : ExecDeclare(t, line);
    if (w == "OPEN" || w == "FETCH" || w == "CLOSE" || w == "DEALLOCATE") return ExecCursorStatement(t, line);
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
    if (w == "BEGIN" || w == "COMMIT" || w == "ROLLBACK" || w == "SAVE") return ExecTransaction(w, line, &t);
    if (w == "CREATE" && t.size() > 1 && t[1].Is("TABLE")) return ExecCreateTable(t, line);
    if (w == "CREATE" && t.size() > 2 && t[1].Is("DATABASE")) {
        std::string collation;
        for (size_t i = 3; i + 1 < t.size(); ++i)
            if (t[i].Is("COLLATE")) {
                const int id = CollationId(NameOf(t[i + 1]));
                if (id < 0) throw SqlError{448, 16, 1, "Invalid collation '" + NameOf(t[i + 1]) + "'.", line, "", true};
                collation = CollationById(id).name;
            }
        server_.CreateDatabase(NameOf(t[2]), collation);
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
    if (w == "GOTO") throw GotoSignal{t.size() > 1 ? t[1].value : std::string(), line};
    // Anything else goes to SQLite as it is.
    ExecSql(t, line, false);
}
