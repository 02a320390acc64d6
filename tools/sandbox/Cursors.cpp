// Cursors: DECLARE name CURSOR ... FOR select, OPEN, FETCH, CLOSE, DEALLOCATE and @@FETCH_STATUS.
// A cursor's rows are read when it is opened (as a STATIC cursor has them); a cursor is global to
// the connection unless declared LOCAL, which ends with its batch or procedure.
#include "Session.h"
#include "SqliteUtil.h"

#include <sqlite3.h>

#include <cctype>
#include <cstdlib>

namespace {

SqlError CursorError(int number, int state, const std::string& text, int line) { return {number, 16, state, text, line, "", false}; }

}  // namespace

bool Session::IsCursorDeclaration(const std::vector<Token>& t) {
    // DECLARE name [INSENSITIVE] [SCROLL] CURSOR ...: a name without '@', then CURSOR before FOR.
    if (t.size() < 3 || !t[1].IsName() || t[1].kind == Token::Variable) return false;
    for (size_t i = 2; i < t.size() && i < 6; ++i)
        if (t[i].Is("CURSOR")) return true;
    return false;
}

Session::Cursor* Session::FindCursor(const std::string& name, bool global) {
    const std::string key = Upper(name);
    if (!global && !scopes_.empty()) {
        auto it = scopes_.back().cursors.find(key);
        if (it != scopes_.back().cursors.end()) return &it->second;
    }
    auto it = cursors_.find(key);
    return it == cursors_.end() ? nullptr : &it->second;
}

void Session::ExecDeclareCursor(const std::vector<Token>& t, int line) {
    Cursor c;
    bool local = false;
    size_t i = 2;
    for (; i < t.size() && !t[i].Is("FOR"); ++i) {
        if (t[i].Is("LOCAL")) local = true;
        if (t[i].Is("SCROLL") || t[i].Is("STATIC") || t[i].Is("KEYSET") || t[i].Is("DYNAMIC") || t[i].Is("INSENSITIVE")) c.scroll = true;
        if (t[i].Is("FORWARD_ONLY") || t[i].Is("FAST_FORWARD")) c.scroll = false;
    }
    if (i + 1 >= t.size() || !(t[i + 1].Is("SELECT") || t[i + 1].Is("WITH")))
        throw SqlError{102, 15, 1, "Incorrect syntax near '" + (i < t.size() ? t[i].text : t.back().text) + "'.", line, "", true};
    size_t end = t.size();
    // FOR READ ONLY | FOR UPDATE [OF columns] after the query.
    for (size_t k = i + 2; k + 1 < t.size(); ++k)
        if (t[k].Is("FOR") && (t[k + 1].Is("UPDATE") || t[k + 1].Is("READ"))) {
            end = k;
            break;
        }
    c.query.assign(t.begin() + static_cast<std::ptrdiff_t>(i) + 1, t.begin() + static_cast<std::ptrdiff_t>(end));
    const std::string name = NameOf(t[1]);
    auto& map = local && !scopes_.empty() ? scopes_.back().cursors : cursors_;
    if (map.count(Upper(name))) throw CursorError(16915, 1, "A cursor with the name '" + name + "' already exists.", line);
    map[Upper(name)] = std::move(c);
}

void Session::ExecCursorStatement(const std::vector<Token>& t, int line) {
    const std::string w = t[0].value;
    size_t i = 1;
    // FETCH [NEXT | PRIOR | FIRST | LAST | ABSOLUTE n | RELATIVE n] [FROM]
    std::string direction = "NEXT";
    long long offset = 0;
    if (w == "FETCH") {
        if (i < t.size() && (t[i].Is("NEXT") || t[i].Is("PRIOR") || t[i].Is("FIRST") || t[i].Is("LAST"))) {
            direction = t[i++].value;
        } else if (i < t.size() && (t[i].Is("ABSOLUTE") || t[i].Is("RELATIVE"))) {
            direction = t[i++].value;
            bool negative = false;
            if (i < t.size() && t[i].IsOp("-")) {
                negative = true;
                ++i;
            }
            if (i < t.size() && t[i].kind == Token::Variable) {
                Variable* v = FindVar(t[i].value);
                if (!v) throw SqlError{137, 15, 1, "Must declare the scalar variable \"" + t[i].text + "\".", line, "", true};
                offset = v->value.type == SqlValue::Integer ? v->value.i : std::strtoll(v->value.AsText().c_str(), nullptr, 10);
            } else if (i < t.size()) {
                offset = std::strtoll(t[i].text.c_str(), nullptr, 10);
            }
            if (negative) offset = -offset;
            ++i;
        }
        if (i < t.size() && t[i].Is("FROM")) ++i;
    }
    bool global = false;
    if (i < t.size() && t[i].Is("GLOBAL") && i + 1 < t.size() && t[i + 1].IsName()) {
        global = true;
        ++i;
    }
    if (i >= t.size() || !t[i].IsName() || t[i].kind == Token::Variable)
        throw SqlError{102, 15, 1, "Incorrect syntax near '" + (i < t.size() ? t[i].text : t.back().text) + "'.", line, "", true};
    const std::string name = NameOf(t[i]);
    Cursor* c = FindCursor(name, global);
    if (!c) throw CursorError(16916, 1, "A cursor with the name '" + name + "' does not exist.", line);
    ++i;

    if (w == "DEALLOCATE") {
        const std::string key = Upper(name);
        if (!global && !scopes_.empty() && scopes_.back().cursors.erase(key)) return;
        cursors_.erase(key);
        return;
    }
    if (w == "CLOSE") {
        if (!c->open) throw CursorError(16917, 2, "Cursor is not open.", line);
        c->open = false;
        c->rows.clear();
        return;
    }
    if (w == "OPEN") {
        if (c->open) throw CursorError(16905, 1, "The cursor is already open.", line);
        SqlStmt st = Prepare(Translate(c->query, line), line);
        Bind(st, line);
        c->rows.clear();
        int rc = sqlite3_step(st);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
            SqlError e = TranslateError(line);
            st.Reset();
            throw e;
        }
        c->columns = DescribeColumns(st, c->query);
        const int n = sqlite3_column_count(st);
        while (rc == SQLITE_ROW) {
            std::vector<SqlValue> row(static_cast<size_t>(n));
            for (int k = 0; k < n; ++k) row[static_cast<size_t>(k)] = ColumnValue(st, k);
            c->rows.push_back(std::move(row));
            rc = sqlite3_step(st);
        }
        if (rc != SQLITE_DONE) {
            SqlError e = TranslateError(line);
            st.Reset();
            throw e;
        }
        st.Reset();
        c->open = true;
        c->position = -1;
        cursorRows_ = static_cast<std::int64_t>(c->rows.size());
        return;
    }
    // FETCH
    if (!c->open) throw CursorError(16917, 2, "Cursor is not open.", line);
    if (!c->scroll && direction != "NEXT") {
        std::string type = direction;
        for (char& ch : type) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        throw CursorError(16911, 1, "fetch: The fetch type " + type + " cannot be used with forward only cursors.", line);
    }
    const long long count = static_cast<long long>(c->rows.size());
    long long at = c->position;
    if (direction == "NEXT")
        at = at + 1;
    else if (direction == "PRIOR")
        at = at - 1;
    else if (direction == "FIRST")
        at = 0;
    else if (direction == "LAST")
        at = count - 1;
    else if (direction == "ABSOLUTE")
        at = offset > 0 ? offset - 1 : offset < 0 ? count + offset : -1;
    else
        at = at + offset;
    // Past either end the cursor rests before the first row or after the last.
    c->position = at < 0 ? -1 : at >= count ? count : at;
    const bool found = at >= 0 && at < count;
    std::vector<Token> into;
    if (i < t.size() && t[i].Is("INTO")) into.assign(t.begin() + static_cast<std::ptrdiff_t>(i) + 1, t.end());
    if (!into.empty()) {
        const auto targets = SplitCommas(into, 0, into.size());
        if (targets.size() != c->columns.size())
            throw CursorError(16924, 1, "Cursorfetch: The number of variables declared in the INTO list must match that of selected columns.", line);
        std::vector<Variable*> vars;
        for (const auto& target : targets) {
            Variable* v = target.size() == 1 && target[0].kind == Token::Variable ? FindVar(target[0].value) : nullptr;
            if (!v) throw SqlError{137, 15, 1, "Must declare the scalar variable \"" + (target.empty() ? std::string() : target[0].text) + "\".", line, "", true};
            vars.push_back(v);
        }
        if (found)
            for (size_t k = 0; k < vars.size(); ++k) vars[k]->value = Coerce(vars[k]->type, c->rows[static_cast<size_t>(at)][k]);
    } else {
        out_.Columns(c->columns);
        if (found) out_.Row(c->columns, c->rows[static_cast<size_t>(at)]);
        Done(kDoneCount, kCmdSelect, found ? 1 : 0);
    }
    fetchStatus_ = found ? 0 : -1;
}
