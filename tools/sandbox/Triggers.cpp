// AFTER triggers: an INSERT, UPDATE or DELETE on a table with triggers for it runs with the rows it
// changes captured (by temporary SQLite triggers) into the tables inserted and deleted of its
// nesting level, then each trigger's body runs like a procedure. Without a transaction the
// statement and its triggers run in one, as on SQL Server; ROLLBACK in a trigger ends it and
// the batch (error 3609).
// INSTEAD OF triggers: the statement runs with its rows captured but not applied (a BEFORE trigger
// that ignores each row on a table, an INSTEAD OF trigger on a view), then the trigger's body runs.
// A statement of that body on the same table or view acts on it directly (its AFTER triggers fire).
#include "Scripts.h"
#include "Session.h"
#include "SqliteUtil.h"

#include <sqlite3.h>

#include <algorithm>

namespace {

struct TriggerInfo {
    std::string name;
    bool insert = false, update = false, remove = false, insteadOf = false;
};

}  // namespace

std::string TableOfDml(const std::vector<Token>& t) {
    // INSERT [INTO] name, UPDATE [TOP (n)] name, DELETE [TOP (n)] [FROM] name; an alias of the FROM
    // clause names its table.
    size_t i = 1;
    if (i < t.size() && t[i].Is("TOP")) i = i + 1 < t.size() && t[i + 1].IsOp("(") ? MatchParen(t, i + 1) + 1 : i + 2;
    if (i < t.size() && (t[i].Is("INTO") || t[i].Is("FROM"))) ++i;
    if (i >= t.size() || !t[i].IsName()) return {};
    std::string name = NameOf(t[i++]);
    while (i + 1 < t.size() && t[i].IsOp(".") && t[i + 1].IsName()) {
        name = NameOf(t[i + 1]);
        i += 2;
    }
    if (t[0].Is("INSERT")) return name;
    for (size_t k = i; k + 1 < t.size(); ++k) {
        if (!(t[k].Is("FROM") || t[k].Is("JOIN") || t[k].IsOp(","))) continue;
        size_t j = k + 1;
        if (!t[j].IsName()) continue;
        std::string table = NameOf(t[j++]);
        while (j + 1 < t.size() && t[j].IsOp(".") && t[j + 1].IsName()) {
            table = NameOf(t[j + 1]);
            j += 2;
        }
        if (j < t.size() && t[j].Is("AS")) ++j;
        if (j < t.size() && t[j].IsName() && SameNoCase(NameOf(t[j]), name)) return table;
    }
    return name;
}

namespace {

bool EndsFromList(const Token& k) {
    return k.Is("WHERE") || k.Is("OPTION") || k.Is("ORDER") || k.Is("GROUP") || k.Is("OUTPUT") || k.IsOp(";");
}

bool IsJoinWord(const Token& k) {
    return k.Is("JOIN") || k.Is("INNER") || k.Is("LEFT") || k.Is("RIGHT") || k.Is("FULL") || k.Is("CROSS") || k.Is("OUTER") ||
           k.Is("ON") || k.Is("WITH");
}

// One table of a FROM list: its tokens [begin, end), its name as written and the name it goes by.
struct TableRef {
    size_t begin = 0, end = 0;
    std::string table, alias;
    bool derived = false;
};

TableRef ReadTableRef(const std::vector<Token>& t, size_t i, size_t stop) {
    TableRef r;
    r.begin = i;
    if (i < stop && t[i].IsOp("(")) {
        r.derived = true;
        i = MatchParen(t, i) + 1;
    } else if (i < stop && t[i].IsName()) {
        r.table = NameOf(t[i++]);
        while (i + 1 < stop && t[i].IsOp(".") && (t[i + 1].IsName() || t[i + 1].IsOp("."))) {
            if (t[i + 1].IsName()) r.table = NameOf(t[i + 1]);
            i += t[i + 1].IsName() ? 2 : 1;
        }
    }
    if (i < stop && t[i].Is("AS")) ++i;
    if (i < stop && t[i].IsName() && !IsJoinWord(t[i]) && !EndsFromList(t[i])) r.alias = NameOf(t[i++]);
    if (i + 1 < stop && t[i].Is("WITH") && t[i + 1].IsOp("(")) i = MatchParen(t, i + 1) + 1;  // table hints
    r.end = i;
    return r;
}

}  // namespace

std::vector<Token> Session::WithoutOutput(const std::vector<Token>& t, std::vector<Token>& output, int line) {
    output.clear();
    size_t at = t.size();
    int depth = 0;
    for (size_t i = 1; i < t.size(); ++i) {
        if (t[i].IsOp("(")) depth++;
        if (t[i].IsOp(")")) depth--;
        if (depth == 0 && t[i].Is("OUTPUT")) {
            at = i;
            break;
        }
    }
    if (at == t.size()) return t;
    const bool insert = t[0].Is("INSERT"), update = t[0].Is("UPDATE");
    // The list runs to the clause after it: the rows of an INSERT, FROM, WHERE or OPTION.
    size_t end = at + 1;
    for (depth = 0; end < t.size(); ++end) {
        if (t[end].IsOp("(")) {
            if (depth == 0 && insert && end + 1 < t.size() && t[end + 1].Is("SELECT")) break;
            depth++;
        }
        if (t[end].IsOp(")")) depth--;
        if (depth != 0) continue;
        if (t[end].Is("INTO"))
            throw SqlError{40000, 16, 1, "OUTPUT ... INTO is not supported by the stand-in.", line, "", false};
        if (insert && (t[end].Is("VALUES") || t[end].Is("SELECT") || t[end].Is("DEFAULT") || t[end].Is("EXEC") || t[end].Is("EXECUTE") ||
                       t[end].Is("WITH")))
            break;
        if (!insert && (t[end].Is("FROM") || t[end].Is("WHERE") || t[end].Is("OPTION") || t[end].IsOp(";"))) break;
    }
    // inserted.x and deleted.x are the row's own columns to RETURNING.
    const char* allowed = insert ? "INSERTED" : update ? "INSERTED" : "DELETED";
    for (size_t i = at + 1; i < end; ++i) {
        if (i + 2 < end + 1 && (t[i].Is("INSERTED") || t[i].Is("DELETED")) && i + 1 < end && t[i + 1].IsOp(".")) {
            if (!t[i].Is(allowed)) {
                if (update && t[i].Is("DELETED"))
                    throw SqlError{40000, 16, 1, "OUTPUT deleted.column of an UPDATE is not supported by the stand-in.", line, "", false};
                const std::string written = t[i].kind == Token::Word ? t[i].text : t[i].value;
                const std::string column = i + 2 < end ? (t[i + 2].kind == Token::Word ? t[i + 2].text : t[i + 2].value) : std::string();
                throw SqlError{4104, 16, 1, "The multi-part identifier \"" + written + "." + column + "\" could not be bound.", line, "", false};
            }
            ++i;  // past the dot: the column stays
            continue;
        }
        output.push_back(t[i]);
    }
    if (!output.empty()) output[0].spaceBefore = true;
    std::vector<Token> plain(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(at));
    plain.insert(plain.end(), t.begin() + static_cast<std::ptrdiff_t>(end), t.end());
    return plain;
}

std::optional<std::vector<Token>> DmlWithTop(const std::vector<Token>& t) {
    if (t.size() < 6 || !(t[0].Is("DELETE") || t[0].Is("UPDATE")) || !t[1].Is("TOP") || !t[2].IsOp("(")) return std::nullopt;
    const size_t close = MatchParen(t, 2);
    if (close >= t.size() || (close + 1 < t.size() && t[close + 1].Is("PERCENT"))) return std::nullopt;
    std::vector<Token> count(t.begin() + 3, t.begin() + static_cast<std::ptrdiff_t>(close));
    if (count.empty()) return std::nullopt;
    count[0].spaceBefore = true;
    size_t i = close + 1;
    if (t[0].Is("DELETE") && i < t.size() && t[i].Is("FROM")) ++i;
    const size_t nameFrom = i;
    if (i >= t.size() || !t[i].IsName()) return std::nullopt;
    ++i;
    while (i + 1 < t.size() && t[i].IsOp(".") && t[i + 1].IsName()) i += 2;
    std::vector<Token> name(t.begin() + static_cast<std::ptrdiff_t>(nameFrom), t.begin() + static_cast<std::ptrdiff_t>(i));
    name[0].spaceBefore = true;
    // The SET list (UPDATE) up to WHERE, then the condition; a FROM, an alias or anything else is left alone.
    size_t where = t.size(), end = t.size();
    int depth = 0;
    for (size_t k = i; k < t.size(); ++k) {
        if (t[k].IsOp("(")) depth++;
        if (t[k].IsOp(")")) depth--;
        if (depth != 0) continue;
        if (t[k].Is("FROM") || t[k].Is("OUTPUT") || t[k].Is("OPTION")) return std::nullopt;
        if (t[k].Is("WHERE") && where == t.size()) where = k;
        if (t[k].IsOp(";")) {
            end = k;
            break;
        }
    }
    if (t[0].Is("DELETE") && i != where && i != end) return std::nullopt;
    if (t[0].Is("UPDATE") && (i >= t.size() || !t[i].Is("SET"))) return std::nullopt;
    std::vector<Token> out = {t[0]};
    if (t[0].Is("DELETE")) out.push_back(MakeToken(Token::Word, "FROM"));
    out.insert(out.end(), name.begin(), name.end());
    out.insert(out.end(), t.begin() + static_cast<std::ptrdiff_t>(i), t.begin() + static_cast<std::ptrdiff_t>(std::min(where, end)));
    for (const char* w : {"WHERE", "rowid", "IN", "(", "SELECT", "rowid", "FROM"})
        out.push_back(MakeToken(std::string(w) == "(" ? Token::Op : Token::Word, w));
    out.insert(out.end(), name.begin(), name.end());
    out.insert(out.end(), t.begin() + static_cast<std::ptrdiff_t>(std::min(where, end)), t.begin() + static_cast<std::ptrdiff_t>(end));
    out.push_back(MakeToken(Token::Word, "LIMIT"));
    out.insert(out.end(), count.begin(), count.end());
    out.push_back(MakeToken(Token::Op, ")"));
    return out;
}

std::optional<std::vector<Token>> DmlWithJoins(const std::vector<Token>& t) {
    if (t.empty() || !(t[0].Is("UPDATE") || t[0].Is("DELETE"))) return std::nullopt;
    const bool update = t[0].Is("UPDATE");
    size_t i = 1;
    if (i < t.size() && t[i].Is("TOP")) return std::nullopt;
    if (!update && i < t.size() && t[i].Is("FROM")) ++i;
    if (i >= t.size() || !t[i].IsName()) return std::nullopt;
    std::string target = NameOf(t[i++]);
    while (i + 1 < t.size() && t[i].IsOp(".") && t[i + 1].IsName()) {
        target = NameOf(t[i + 1]);
        i += 2;
    }
    const size_t afterTarget = i;
    // The FROM of the statement itself, at the outer level (after SET for an UPDATE).
    size_t from = t.size();
    int depth = 0;
    for (size_t k = afterTarget; k < t.size(); ++k) {
        if (t[k].IsOp("(")) ++depth;
        if (t[k].IsOp(")")) --depth;
        if (depth == 0 && t[k].Is("FROM")) {
            from = k;
            break;
        }
        if (!update) break;  // DELETE x FROM: the FROM comes right after the target
    }
    if (from >= t.size()) return std::nullopt;
    size_t stop = from + 1;
    for (depth = 0; stop < t.size(); ++stop) {
        if (t[stop].IsOp("(")) ++depth;
        if (t[stop].IsOp(")")) --depth;
        if (depth == 0 && EndsFromList(t[stop])) break;
    }
    // The tables of the list, each with the join that brings it in.
    struct Part {
        TableRef ref;
        size_t joinBegin;          // where its JOIN words (or comma) start
        size_t onBegin, onEnd;     // its ON condition, if any
        bool inner;
    };
    std::vector<Part> parts;
    size_t k = from + 1;
    while (k < stop) {
        Part p{};
        p.joinBegin = k;
        p.inner = true;
        if (!parts.empty()) {
            if (t[k].IsOp(",")) {
                ++k;
            } else {
                bool sawJoin = false;
                while (k < stop && (t[k].Is("INNER") || t[k].Is("LEFT") || t[k].Is("RIGHT") || t[k].Is("FULL") || t[k].Is("CROSS") ||
                                    t[k].Is("OUTER") || t[k].Is("JOIN"))) {
                    if (t[k].Is("LEFT") || t[k].Is("RIGHT") || t[k].Is("FULL")) p.inner = false;
                    sawJoin = sawJoin || t[k].Is("JOIN");
                    ++k;
                }
                if (!sawJoin) return std::nullopt;
            }
        }
        p.ref = ReadTableRef(t, k, stop);
        if (p.ref.end == k) return std::nullopt;
        k = p.ref.end;
        p.onBegin = p.onEnd = k;
        if (k < stop && t[k].Is("ON")) {
            p.onBegin = ++k;
            for (depth = 0; k < stop; ++k) {
                if (t[k].IsOp("(")) ++depth;
                if (t[k].IsOp(")")) --depth;
                if (depth == 0 && (t[k].IsOp(",") || t[k].Is("JOIN") || t[k].Is("INNER") || t[k].Is("LEFT") || t[k].Is("RIGHT") ||
                                   t[k].Is("FULL") || t[k].Is("CROSS")))
                    break;
            }
            p.onEnd = k;
        }
        parts.push_back(p);
    }
    size_t at = parts.size();
    for (size_t n = 0; n < parts.size(); ++n) {
        const TableRef& r = parts[n].ref;
        if (r.derived) continue;
        if (SameNoCase(r.alias, target) || (r.alias.empty() && SameNoCase(r.table, target))) {
            at = n;
            break;
        }
    }
    if (at == parts.size()) return std::nullopt;  // FROM without the target: SQLite takes it as it is
    const TableRef& self = parts[at].ref;
    auto tokens = [&](size_t a, size_t b) { return std::vector<Token>(t.begin() + static_cast<std::ptrdiff_t>(a), t.begin() + static_cast<std::ptrdiff_t>(b)); };
    // The target as the FROM list writes it (name parts only), and the name its columns go by.
    std::vector<Token> name = tokens(self.begin, self.begin + 1);
    for (size_t n = self.begin + 1; n + 1 < self.end && t[n].IsOp("."); n += 2) {
        name.push_back(t[n]);
        name.push_back(t[n + 1]);
    }
    std::vector<Token> alias = name;
    if (!self.alias.empty()) {
        Token a;
        a.kind = Token::Bracketed;
        a.value = self.alias;
        a.text = QuoteIdent(self.alias);
        a.spaceBefore = true;
        alias = {a};
    }
    std::vector<Token> out;
    if (!update) {
        // DELETE FROM table WHERE rowid IN (SELECT alias.rowid FROM <list> [WHERE ...])
        out = {t[0], MakeToken(Token::Word, "FROM")};
        out.insert(out.end(), name.begin(), name.end());
        out.push_back(MakeToken(Token::Word, "WHERE"));
        out.push_back(MakeToken(Token::Word, "rowid"));
        out.push_back(MakeToken(Token::Word, "IN"));
        out.push_back(MakeToken(Token::Op, "("));
        out.push_back(MakeToken(Token::Word, "SELECT"));
        out.insert(out.end(), alias.begin(), alias.end());
        out.push_back(MakeToken(Token::Op, ".", false));
        out.push_back(MakeToken(Token::Word, "rowid", false));
        const auto rest = tokens(from, t.size());
        size_t end = rest.size();
        while (end > 0 && rest[end - 1].IsOp(";")) --end;
        out.insert(out.end(), rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(end));
        out.push_back(MakeToken(Token::Op, ")"));
        return out;
    }
    // An outer join that leaves the target's rows optional cannot become SQLite's form.
    if (!parts[at].inner || (at == 0 && parts.size() > 1 && !parts[1].inner)) return std::nullopt;
    std::vector<Token> conditions;
    auto addCondition = [&](size_t a, size_t b) {
        if (a >= b) return;
        if (!conditions.empty()) conditions.push_back(MakeToken(Token::Word, "AND"));
        conditions.push_back(MakeToken(Token::Op, "("));
        conditions.insert(conditions.end(), t.begin() + static_cast<std::ptrdiff_t>(a), t.begin() + static_cast<std::ptrdiff_t>(b));
        conditions.push_back(MakeToken(Token::Op, ")"));
    };
    // UPDATE table AS alias SET ... FROM <the others> WHERE <conditions>
    out.push_back(t[0]);
    out.insert(out.end(), name.begin(), name.end());
    if (!self.alias.empty()) {
        out.push_back(MakeToken(Token::Word, "AS"));
        out.insert(out.end(), alias.begin(), alias.end());
    }
    const auto set = tokens(afterTarget, from);
    out.insert(out.end(), set.begin(), set.end());
    addCondition(parts[at].onBegin, parts[at].onEnd);
    bool first = true;
    for (size_t n = 0; n < parts.size(); ++n) {
        if (n == at) continue;
        if (first) {
            out.push_back(MakeToken(Token::Word, "FROM"));
            out.insert(out.end(), t.begin() + static_cast<std::ptrdiff_t>(parts[n].ref.begin), t.begin() + static_cast<std::ptrdiff_t>(parts[n].ref.end));
            // The first of the others joined the target: its condition goes to WHERE.
            addCondition(parts[n].onBegin, parts[n].onEnd);
            first = false;
            continue;
        }
        out.insert(out.end(), t.begin() + static_cast<std::ptrdiff_t>(parts[n].joinBegin), t.begin() + static_cast<std::ptrdiff_t>(parts[n].onEnd));
    }
    size_t whereAt = stop;
    if (stop < t.size() && t[stop].Is("WHERE")) {
        size_t end = stop + 1;
        for (depth = 0; end < t.size(); ++end) {
            if (t[end].IsOp("(")) ++depth;
            if (t[end].IsOp(")")) --depth;
            if (depth == 0 && (t[end].Is("OPTION") || t[end].IsOp(";"))) break;
        }
        addCondition(stop + 1, end);
        whereAt = end;
    }
    if (!conditions.empty()) {
        out.push_back(MakeToken(Token::Word, "WHERE"));
        out.insert(out.end(), conditions.begin(), conditions.end());
    }
    out.insert(out.end(), t.begin() + static_cast<std::ptrdiff_t>(whereAt), t.end());
    return out;
}

void Session::ExecDml(const std::vector<Token>& t, int line) {
    const std::string written = TableOfDml(t);
    const std::string table = written.empty() ? std::string() : TempName(written);
    // What a constraint's error names: this statement, until it (and its triggers) end.
    struct DmlScope {
        Session& s;
        std::pair<std::string, std::string> saved;
        ~DmlScope() { s.dmlStatement_ = saved; }
    } dmlScope{*this, std::exchange(dmlStatement_, {Upper(t[0].value), table})};
    std::vector<TriggerInfo> triggers;
    if (!table.empty()) {
        const auto facts = FactsOf(table);
        for (const auto& [name, source] : facts->triggers) {
            TriggerInfo info;
            info.name = name;
            const auto tokens = Tokenize(source);
            bool events = false;
            for (const Token& k : tokens) {
                if (k.Is("AS")) break;
                if (k.Is("FOR") || k.Is("AFTER") || k.Is("INSTEAD")) {
                    events = true;
                    info.insteadOf = k.Is("INSTEAD");
                }
                if (!events) continue;
                info.insert = info.insert || k.Is("INSERT");
                info.update = info.update || k.Is("UPDATE");
                info.remove = info.remove || k.Is("DELETE");
            }
            const bool fires = t[0].Is("INSERT") ? info.insert : t[0].Is("UPDATE") ? info.update : info.remove;
            if (fires) triggers.push_back(info);
        }
    }
    const bool insteadOf =
        std::any_of(triggers.begin(), triggers.end(), [](const TriggerInfo& info) { return info.insteadOf; }) &&
        std::none_of(insteadOfRunning_.begin(), insteadOfRunning_.end(), [&](const std::string& n) { return SameNoCase(n, table); });
    std::erase_if(triggers, [&](const TriggerInfo& info) { return info.insteadOf != insteadOf; });
    // RECURSIVE_TRIGGERS is off, as on a new database: a trigger does not fire itself again by its
    // own statements (through another trigger it may, up to the nesting limit).
    if (!runningTriggers_.empty())
        std::erase_if(triggers, [&](const TriggerInfo& info) { return SameNoCase(info.name, runningTriggers_.back()); });
    IdentityStep step;
    const bool renumber = !insteadOf && t[0].Is("INSERT") && !table.empty() && !SameNoCase(identityInsert_, table) && IdentityStepOf(table, step);
    // @@IDENTITY is the last identity made in the session, in any scope; SCOPE_IDENTITY() (SQLite's
    // last row id) moves only with inserts into tables that have an identity.
    const sqlite3_int64 rowidBefore = sqlite3_last_insert_rowid(db_);
    auto noteIdentity = [&] {
        if (!t[0].Is("INSERT") || table.empty()) return;
        if (insteadOf) {  // the statement itself inserted nothing
            sqlite3_set_last_insert_rowid(db_, rowidBefore);
            return;
        }
        if (FactsOf(table)->identity.empty()) {
            sqlite3_set_last_insert_rowid(db_, rowidBefore);
        } else if (rowcount_ > 0) {
            sessionIdentity_ = sqlite3_last_insert_rowid(db_);
            hasSessionIdentity_ = true;
        }
    };
    if (!dmlOutput_.empty()) {
        // OUTPUT without INTO: SQL Server refuses it on a table with enabled triggers (334); its
        // rows are the statement's RETURNING rows.
        if (!triggers.empty())
            throw SqlError{334, 16, 1,
                           "The target table 'dbo." + written +
                               "' of the DML statement cannot have any enabled triggers if the statement contains an OUTPUT clause without INTO clause.",
                           line, "", false};
        if (renumber)
            throw SqlError{40000, 16, 1, "OUTPUT of an identity with a seed or increment other than 1 is not supported by the stand-in.", line, "",
                           false};
        std::vector<Token> returning = t;
        while (!returning.empty() && returning.back().IsOp(";")) returning.pop_back();
        returning.push_back(MakeToken(Token::Word, "RETURNING"));
        returning.insert(returning.end(), dmlOutput_.begin(), dmlOutput_.end());
        // Described as the list over the table it reads.
        std::vector<Token> describe = {MakeToken(Token::Word, "SELECT")};
        describe.insert(describe.end(), dmlOutput_.begin(), dmlOutput_.end());
        describe.push_back(MakeToken(Token::Word, "FROM"));
        describe.push_back(MakeToken(Token::Bracketed, written));
        describe.back().value = written;
        describeAs_ = describe;
        const struct Restore {
            Session& s;
            ~Restore() { s.describeAs_.clear(); }
        } restore{*this};
        ExecSql(returning, line, false);
        noteIdentity();
        return;
    }
    if (triggers.empty()) {
        ExecSql(t, line, false);
        if (renumber) RenumberIdentity(table, step, "");
        noteIdentity();
        return;
    }
    CheckNesting(line);

    const int level = triggerLevel_ + 1;
    const std::string ins = "inserted__" + std::to_string(level), del = "deleted__" + std::to_string(level);
    std::vector<std::string> cols;
    std::string columnDefs;  // inserted and deleted compare as the table does: text without case, decimals as numbers
    {
        SqlStmt st;
        sqlite3_prepare_v2(db_, ("PRAGMA table_info(" + QuoteIdent(table) + ")").c_str(), -1, st.Out(), nullptr);
        while (st && sqlite3_step(st) == SQLITE_ROW) {
            cols.push_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 1)));
            const unsigned char* declared = sqlite3_column_text(st, 2);
            const std::string type = declared ? reinterpret_cast<const char*>(declared) : "";
            const std::string upper = Upper(type);
            columnDefs += (columnDefs.empty() ? "" : ", ") + QuoteIdent(cols.back()) + " " + type;
            if (upper.rfind("TEXT ", 0) == 0)
                columnDefs += " COLLATE sandbox_numeric";
            else if (upper.find("CHAR") != std::string::npos || upper.find("TEXT") != std::string::npos)
                columnDefs += " COLLATE NOCASE";
        }
    }
    bool isView = false;
    {
        SqlStmt st;
        sqlite3_prepare_v2(db_, "SELECT 1 FROM sqlite_master WHERE type = 'view' AND name = ?", -1, st.Out(), nullptr);
        sqlite3_bind_text(st, 1, table.c_str(), -1, SQLITE_TRANSIENT);
        isView = st && sqlite3_step(st) == SQLITE_ROW;
    }
    // A row on its way into a table has no identity yet: inserted shows 0 for it.
    const std::string pendingIdentity =
        insteadOf && !isView && t[0].Is("INSERT") && !SameNoCase(identityInsert_, table) ? FactsOf(table)->identity : std::string();
    auto rowOf = [&](const char* which) {
        std::string out;
        for (auto& c : cols)
            out += std::string(out.empty() ? "" : ", ") + (SameNoCase(c, pendingIdentity) ? std::string("0") : which + ("." + QuoteIdent(c)));
        return out;
    };
    const bool implicit = tranCount_ == 0;
    if (level == 1) clientTranInTrigger_ = !implicit;
    if (implicit) {
        sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
        tranCount_ = 1;
    }
    const std::string event = t[0].Is("INSERT") ? "INSERT" : t[0].Is("UPDATE") ? "UPDATE" : "DELETE";
    const std::string capture = "__capture_" + std::to_string(level);
    auto cleanup = [&]() {
        sqlite3_exec(db_,
                     ("DROP TRIGGER IF EXISTS temp." + QuoteIdent(capture) + "; DROP TABLE IF EXISTS temp." + QuoteIdent(ins) +
                      "; DROP TABLE IF EXISTS temp." + QuoteIdent(del) + ";")
                         .c_str(),
                     nullptr, nullptr, nullptr);
    };
    auto abandon = [&]() {
        cleanup();
        if (implicit && tranCount_ > 0) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            tranCount_ = 0;
        }
    };
    std::string setup = "DROP TABLE IF EXISTS temp." + QuoteIdent(ins) + "; DROP TABLE IF EXISTS temp." + QuoteIdent(del) +
                        "; CREATE TEMP TABLE " + QuoteIdent(ins) + " (" + columnDefs + "); CREATE TEMP TABLE " + QuoteIdent(del) + " (" +
                        columnDefs + "); CREATE TEMP TRIGGER " + QuoteIdent(capture) + (!insteadOf ? " AFTER " : isView ? " INSTEAD OF " : " BEFORE ") +
                        event + " ON main." + QuoteIdent(table) + " BEGIN ";
    if (event != "DELETE") setup += "INSERT INTO " + QuoteIdent(ins) + " VALUES (" + rowOf("NEW") + "); ";
    if (event != "INSERT") setup += "INSERT INTO " + QuoteIdent(del) + " VALUES (" + rowOf("OLD") + "); ";
    if (insteadOf && !isView) setup += "SELECT RAISE(IGNORE); ";
    setup += "END;";
    if (sqlite3_exec(db_, setup.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
        SqlError e = TranslateError(line);
        abandon();
        throw e;
    }
    try {
        if (insteadOf) dmlCountFrom_ = event == "DELETE" ? del : ins;
        struct CountScope {
            std::string& from;
            ~CountScope() { from.clear(); }
        } countScope{dmlCountFrom_};
        ExecSql(t, line, false);
        if (renumber) RenumberIdentity(table, step, ins);
        noteIdentity();
    } catch (...) {
        abandon();
        throw;
    }
    sqlite3_exec(db_, ("DROP TRIGGER IF EXISTS temp." + QuoteIdent(capture)).c_str(), nullptr, nullptr, nullptr);
    const std::int64_t affected = rowcount_;
    // SCOPE_IDENTITY() after the statement is its own, not that of an insert in a trigger.
    const sqlite3_int64 identity = sqlite3_last_insert_rowid(db_);
    bool rolledBack = false;
    // The columns UPDATE(column) reports: all for an INSERT, those after SET for an UPDATE.
    std::vector<std::string> setColumns;
    if (event == "INSERT") setColumns = cols;
    if (event == "UPDATE") {
        size_t k = 0;
        while (k < t.size() && !t[k].Is("SET")) ++k;
        int depth = 0;
        bool expectColumn = true;
        for (++k; k < t.size(); ++k) {
            if (t[k].IsOp("(")) depth++;
            if (t[k].IsOp(")")) depth--;
            if (depth == 0 && (t[k].Is("FROM") || t[k].Is("WHERE") || t[k].Is("OPTION"))) break;
            if (depth == 0 && t[k].IsOp(",")) expectColumn = true;
            if (expectColumn && t[k].IsName() && k + 1 < t.size() && (t[k + 1].IsOp("=") || t[k + 1].IsOp("."))) {
                size_t c = k;
                while (c + 2 < t.size() && t[c + 1].IsOp(".")) c += 2;
                setColumns.push_back(NameOf(t[c]));
                expectColumn = false;
            }
        }
    }
    triggerColumns_.push_back(setColumns);
    ++triggerLevel_;
    if (insteadOf) insteadOfRunning_.push_back(table);
    struct InsteadScope {
        std::vector<std::string>& running;
        bool pushed;
        ~InsteadScope() {
            if (pushed) running.pop_back();
        }
    } insteadScope{insteadOfRunning_, insteadOf};
    try {
        for (const TriggerInfo& info : triggers) {
            auto m = LoadModule(info.name, "'TR'");
            if (!m) continue;
            std::vector<std::unique_ptr<Stmt>> body;
            try {
                body = ParseBatch(m->body);
            } catch (const ParseError& e) {
                throw SqlError{e.number, 15, 1, e.message, e.line, m->name, true};
            }
            CheckNesting(line);
            Scope scope;
            scope.procedure = m->name;
            scopes_.push_back(std::move(scope));
            ++procDepth_;
            rowcount_ = affected;
            runningTriggers_.push_back(info.name);
            try {
                ExecBody(body);
            } catch (const ReturnSignal&) {
            } catch (...) {
                runningTriggers_.pop_back();
                --procDepth_;
                PopScope();
                throw;
            }
            runningTriggers_.pop_back();
            --procDepth_;
            PopScope();
            if (triggerRolledBack_) {
                rolledBack = true;
                break;
            }
        }
    } catch (...) {
        --triggerLevel_;
        triggerColumns_.pop_back();
        // An error that ends the batch in a trigger ends its transaction too.
        if (level == 1) triggerRolledBack_ = false;
        cleanup();
        if (tranCount_ > 0) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            if (!implicit) out_.Transaction(TranEvent::Rollback, tranId_);
            tranCount_ = 0;
        }
        throw;
    }
    --triggerLevel_;
    triggerColumns_.pop_back();
    cleanup();
    rowcount_ = affected;
    sqlite3_set_last_insert_rowid(db_, identity);
    if (rolledBack) {
        if (level == 1) triggerRolledBack_ = false;
        throw SqlError{3609, 16, 1, "The transaction ended in the trigger. The batch has been aborted.", line, "", true};
    }
    if (implicit && tranCount_ > 0) {
        sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        tranCount_ = 0;
    }
}

// ROLLBACK TRANSACTION in a trigger: everything since the outermost BEGIN (or the statement that
// fired the trigger) is undone; the trigger goes on and the batch ends after it.
bool Session::RollbackInTrigger() {
    if (triggerLevel_ == 0) return false;
    if (tranCount_ > 0) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        if (clientTranInTrigger_) out_.Transaction(TranEvent::Rollback, tranId_);
        tranCount_ = 0;
    }
    triggerRolledBack_ = true;
    return true;
}

std::string Session::TriggerTable(const std::string& upperName) const {
    if (triggerLevel_ == 0) return {};
    if (upperName == "INSERTED") return "inserted__" + std::to_string(triggerLevel_);
    if (upperName == "DELETED") return "deleted__" + std::to_string(triggerLevel_);
    return {};
}

bool Session::ColumnUpdated(const std::string& column) const {
    if (triggerColumns_.empty()) return false;
    for (const std::string& c : triggerColumns_.back())
        if (SameNoCase(c, column)) return true;
    return false;
}

// The rows an INSTEAD OF statement hands to its trigger: what it reports as affected.
std::int64_t Session::InsteadOfRows() {
    SqlStmt st;
    if (sqlite3_prepare_v2(db_, ("SELECT count(*) FROM temp." + QuoteIdent(dmlCountFrom_)).c_str(), -1, st.Out(), nullptr) != SQLITE_OK ||
        sqlite3_step(st) != SQLITE_ROW)
        return 0;
    return sqlite3_column_int64(st, 0);
}
