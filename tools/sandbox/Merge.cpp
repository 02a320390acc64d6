// MERGE target USING source ON condition WHEN [NOT] MATCHED [BY TARGET | BY SOURCE] [AND c] THEN
// UPDATE SET ... | DELETE | INSERT (...) VALUES (...): the source is read into a temporary table and
// the rows to insert are chosen first, then each clause runs as an UPDATE, DELETE or INSERT of its
// own (so triggers, constraints and conversions apply as to those); one DONE counts every row.
#include "Session.h"
#include "Scripts.h"
#include "SqliteUtil.h"

#include <sqlite3.h>

#include <cctype>

namespace {

using Tokens = std::vector<Token>;

Tokens Slice(const Tokens& t, size_t a, size_t b) { return Tokens(t.begin() + static_cast<std::ptrdiff_t>(a), t.begin() + static_cast<std::ptrdiff_t>(b)); }

// A slice of the statement keeps its tokens' spacing, but its first token starts a new word here.
void Add(Tokens& out, const Tokens& more) {
    const size_t at = out.size();
    out.insert(out.end(), more.begin(), more.end());
    if (at < out.size()) out[at].spaceBefore = true;
}

void Add(Tokens& out, std::initializer_list<const char*> words) {
    for (const char* w : words) {
        const char c = w[0];
        out.push_back(MakeToken(std::isalpha(static_cast<unsigned char>(c)) || c == '#' ? Token::Word : Token::Op, w));
    }
}

Tokens Parenthesised(const Tokens& t) {
    Tokens out = {MakeToken(Token::Op, "(")};
    Add(out, t);
    out.push_back(MakeToken(Token::Op, ")"));
    return out;
}

struct Clause {
    enum Kind { Matched, NotMatched, BySource } kind = Matched;
    Tokens condition;  // AND ...
    Tokens action;     // from UPDATE, DELETE or INSERT on
};

}  // namespace

void Session::ExecMerge(const std::vector<Token>& t, int line) {
    auto syntax = [&](size_t at) {
        return SqlError{102, 15, 1, "Incorrect syntax near '" + (at < t.size() ? t[at].text : t.back().text) + "'.", line, "", true};
    };
    auto refuse = [&](const std::string& what) { return SqlError{40000, 16, 1, what + " is not supported by the stand-in.", line, "", true}; };
    size_t i = 1;
    if (i < t.size() && t[i].Is("TOP")) throw refuse("MERGE TOP");
    if (i < t.size() && t[i].Is("INTO")) ++i;
    // The target: its name parts, and the alias that the clauses use.
    const size_t targetBegin = i;
    if (i >= t.size() || !t[i].IsName()) throw syntax(i);
    ++i;
    while (i + 1 < t.size() && t[i].IsOp(".") && t[i + 1].IsName()) i += 2;
    const Tokens target = Slice(t, targetBegin, i);
    if (i < t.size() && t[i].Is("AS")) ++i;
    Tokens targetAlias;
    if (i < t.size() && t[i].IsName() && !t[i].Is("USING") && !t[i].Is("WITH")) targetAlias = {t[i++]};
    if (i + 1 < t.size() && t[i].Is("WITH") && t[i + 1].IsOp("(")) i = MatchParen(t, i + 1) + 1;
    if (i >= t.size() || !t[i].Is("USING")) throw syntax(i);
    // The source, up to ON: a table or a parenthesised query or VALUES list, with its alias.
    const size_t sourceBegin = ++i;
    int depth = 0;
    for (; i < t.size(); ++i) {
        if (t[i].IsOp("(")) ++depth;
        if (t[i].IsOp(")")) --depth;
        if (depth == 0 && t[i].Is("ON")) break;
    }
    if (i >= t.size()) throw syntax(i);
    const Tokens source = Slice(t, sourceBegin, i);
    // The source's alias: the last name before ON (or before its column list).
    Tokens sourceAlias;
    {
        size_t e = source.size();
        if (e > 0 && source[e - 1].IsOp(")") && e >= 2) {
            // a column list "alias (a, b)" or the query itself
            size_t open = e - 1;
            for (int d = 0; open-- > 0;) {
                if (source[open].IsOp(")")) ++d;
                if (source[open].IsOp("(") && d-- == 0) break;
            }
            if (open > 0 && source[open - 1].IsName() && !source[open - 1].Is("AS")) e = open;
        }
        if (e > 0 && source[e - 1].IsName() && !(e == 1)) sourceAlias = {source[e - 1]};
        if (sourceAlias.empty() && !source.empty() && source[0].IsName()) {
            size_t k = 1;
            while (k + 1 < source.size() && source[k].IsOp(".") && source[k + 1].IsName()) k += 2;
            sourceAlias = {source[k - 1]};
        }
    }
    if (sourceAlias.empty()) throw syntax(sourceBegin);
    const size_t onBegin = ++i;
    for (depth = 0; i < t.size(); ++i) {
        if (t[i].IsOp("(")) ++depth;
        if (t[i].IsOp(")")) --depth;
        if (depth == 0 && t[i].Is("WHEN")) break;
    }
    const Tokens on = Slice(t, onBegin, i);
    if (on.empty() || i >= t.size()) throw syntax(i);
    std::vector<Clause> clauses;
    while (i < t.size()) {
        if (t[i].Is("OUTPUT")) throw refuse("MERGE ... OUTPUT");
        if (t[i].Is("OPTION")) break;
        if (!t[i].Is("WHEN")) throw syntax(i);
        Clause c;
        ++i;
        const bool negated = i < t.size() && t[i].Is("NOT");
        if (negated) ++i;
        if (i >= t.size() || !t[i].Is("MATCHED")) throw syntax(i);
        ++i;
        c.kind = negated ? Clause::NotMatched : Clause::Matched;
        if (negated && i + 1 < t.size() && t[i].Is("BY")) {
            if (t[i + 1].Is("SOURCE")) c.kind = Clause::BySource;
            i += 2;
        }
        size_t k = i;
        for (depth = 0; k < t.size(); ++k) {
            if (t[k].IsOp("(")) ++depth;
            if (t[k].IsOp(")")) --depth;
            if (depth == 0 && t[k].Is("THEN")) break;
        }
        if (k >= t.size()) throw syntax(k);
        if (i < k && t[i].Is("AND")) c.condition = Slice(t, i + 1, k);
        i = k + 1;
        for (k = i, depth = 0; k < t.size(); ++k) {
            if (t[k].IsOp("(")) ++depth;
            if (t[k].IsOp(")")) --depth;
            if (depth == 0 && (t[k].Is("WHEN") || t[k].Is("OUTPUT") || t[k].Is("OPTION"))) break;
        }
        c.action = Slice(t, i, k);
        i = k;
        if (c.action.empty()) throw syntax(i);
        const bool ok = c.kind == Clause::NotMatched ? c.action[0].Is("INSERT") : (c.action[0].Is("UPDATE") || c.action[0].Is("DELETE"));
        if (!ok) throw syntax(i);
        if (c.action[0].Is("INSERT") && c.action.size() > 1 && c.action[1].Is("DEFAULT")) throw refuse("MERGE ... INSERT DEFAULT VALUES");
        clauses.push_back(std::move(c));
    }

    const std::string n = std::to_string(++mergeCount_);
    const Tokens src = {MakeToken(Token::Word, "#merge_source" + n)};
    const Tokens fresh = {MakeToken(Token::Word, "#merge_insert" + n)};
    const Tokens targetName = targetAlias.empty() ? Tokens{target.back()} : targetAlias;
    Tokens targetRef = target;  // target [AS alias]
    if (!targetAlias.empty()) {
        Add(targetRef, {"AS"});
        Add(targetRef, targetAlias);
    }
    Tokens sourceRef = src;
    Add(sourceRef, {"AS"});
    Add(sourceRef, sourceAlias);
    auto run = [&](const Tokens& tokens) {
        Stmt s;
        s.tokens = tokens;
        s.line = line;
        ExecStatement(s);
    };
    auto dropTemps = [&] {
        for (const Tokens* temp : {&src, &fresh}) DropSessionTable(db_, TempName((*temp)[0].text));
    };
    const bool nocount = nocount_;
    nocount_ = true;
    std::int64_t total = 0;
    // One statement: all of it or none. Outside a transaction it runs in one of its own, inside
    // one under a savepoint.
    const bool implicit = tranCount_ == 0;
    if (implicit) {
        sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
        tranCount_ = 1;
    } else {
        sqlite3_exec(db_, "SAVEPOINT sandbox_merge", nullptr, nullptr, nullptr);
    }
    auto undo = [&] {
        if (implicit) {
            if (tranCount_ > 0) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            tranCount_ = 0;
        } else if (tranCount_ > 0) {
            sqlite3_exec(db_, "ROLLBACK TO sandbox_merge; RELEASE sandbox_merge", nullptr, nullptr, nullptr);
        }
    };
    try {
        // SELECT * INTO #source FROM <source>
        Tokens read;
        Add(read, {"SELECT", "*", "INTO"});
        Add(read, src);
        Add(read, {"FROM"});
        Add(read, source);
        run(read);
        // The rows the NOT MATCHED clauses insert, chosen before anything changes.
        // NOT EXISTS (SELECT 1 FROM <side> WHERE <on>): no row on the other side.
        auto noRowIn = [&](const Tokens& side) {
            Tokens e;
            Add(e, {"NOT", "EXISTS", "(", "SELECT", "1", "FROM"});
            Add(e, side);
            Add(e, {"WHERE"});
            Add(e, Parenthesised(on));
            Add(e, {")"});
            return e;
        };
        const Clause* insert = nullptr;
        for (const Clause& c : clauses)
            if (c.kind == Clause::NotMatched) {
                insert = &c;
                break;
            }
        if (insert) {
            Tokens choose;
            Add(choose, {"SELECT", "*", "INTO"});
            Add(choose, fresh);
            Add(choose, {"FROM"});
            Add(choose, sourceRef);
            Add(choose, {"WHERE"});
            Add(choose, noRowIn(targetRef));
            if (!insert->condition.empty()) {
                Add(choose, {"AND"});
                Add(choose, Parenthesised(insert->condition));
            }
            run(choose);
        }
        // Then the clauses on rows of the target without a source row, and on matched rows; a later
        // clause of a kind takes the rows that the earlier ones' conditions left.
        for (const Clause::Kind kind : {Clause::BySource, Clause::Matched}) {
            Tokens earlier;
            for (const Clause& c : clauses) {
                if (c.kind != kind) continue;
                Tokens where;
                if (kind == Clause::BySource) Add(where, noRowIn(sourceRef));
                if (!c.condition.empty()) {
                    if (!where.empty()) Add(where, {"AND"});
                    Add(where, Parenthesised(c.condition));
                }
                if (!earlier.empty()) {
                    if (!where.empty()) Add(where, {"AND"});
                    Add(where, {"NOT"});
                    Add(where, Parenthesised(earlier));
                }
                Tokens st;
                if (c.action[0].Is("UPDATE")) {
                    Add(st, {"UPDATE"});
                    Add(st, targetName);
                    Add(st, Slice(c.action, 1, c.action.size()));  // SET ...
                } else {
                    Add(st, {"DELETE"});
                    Add(st, targetName);
                }
                Add(st, {"FROM"});
                Add(st, targetRef);
                if (kind == Clause::Matched) {
                    Add(st, {"JOIN"});
                    Add(st, sourceRef);
                    Add(st, {"ON"});
                    Add(st, Parenthesised(on));
                }
                if (!where.empty()) {
                    Add(st, {"WHERE"});
                    Add(st, where);
                }
                run(st);
                total += rowcount_;
                if (!c.condition.empty()) {
                    if (!earlier.empty()) Add(earlier, {"OR"});
                    Add(earlier, Parenthesised(c.condition));
                }
            }
        }
        if (insert) {
            // INSERT target [(columns)] SELECT <values> FROM #insert AS alias
            const Tokens& a = insert->action;
            size_t k = 1;
            if (k < a.size() && a[k].Is("INTO")) ++k;
            Tokens columns;
            if (k < a.size() && a[k].IsOp("(")) {
                const size_t close = MatchParen(a, k);
                columns = Slice(a, k, close + 1);
                k = close + 1;
            }
            if (k + 1 >= a.size() || !a[k].Is("VALUES") || !a[k + 1].IsOp("(")) throw syntax(i);
            const size_t close = MatchParen(a, k + 1);
            Tokens st;
            Add(st, {"INSERT", "INTO"});
            Add(st, target);
            Add(st, columns);
            Add(st, {"SELECT"});
            Add(st, Slice(a, k + 2, close));
            Add(st, {"FROM"});
            Add(st, fresh);
            Add(st, {"AS"});
            Add(st, sourceAlias);
            run(st);
            total += rowcount_;
        }
    } catch (...) {
        nocount_ = nocount;
        dropTemps();
        undo();
        throw;
    }
    nocount_ = nocount;
    dropTemps();
    if (implicit) {
        if (tranCount_ > 0) sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        tranCount_ = 0;
    } else if (tranCount_ > 0) {
        sqlite3_exec(db_, "RELEASE sandbox_merge", nullptr, nullptr, nullptr);
    }
    rowcount_ = total;
    Done(nocount_ ? 0 : kDoneCount, 0, nocount_ ? 0 : static_cast<std::uint64_t>(total));
}
