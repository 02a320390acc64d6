// SELECT ... INTO table FROM ...: a new table with the result's columns and types, filled with its rows.
#include "Session.h"
#include "SqliteUtil.h"

#include <sqlite3.h>

bool Session::ExecSelectInto(const std::vector<Token>& t, int line) {
    // INTO at the outer level, before FROM, in the first SELECT.
    size_t into = 0;
    int depth = 0;
    for (size_t i = 1; i < t.size(); ++i) {
        if (t[i].IsOp("(")) depth++;
        if (t[i].IsOp(")")) depth--;
        if (depth != 0) continue;
        if (t[i].Is("FROM") || t[i].Is("UNION") || t[i].Is("EXCEPT") || t[i].Is("INTERSECT")) break;
        if (t[i].Is("INTO")) {
            into = i;
            break;
        }
    }
    if (into == 0 || into + 1 >= t.size() || !t[into + 1].IsName()) return false;
    size_t end = into + 2;
    while (end + 1 < t.size() && t[end].IsOp(".") && t[end + 1].IsName()) end += 2;
    const std::vector<Token> target(t.begin() + static_cast<std::ptrdiff_t>(into) + 1, t.begin() + static_cast<std::ptrdiff_t>(end));
    std::vector<Token> query(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(into));
    query.insert(query.end(), t.begin() + static_cast<std::ptrdiff_t>(end), t.end());

    // The columns as the query declares them (its first row types what the text does not).
    std::vector<SqlColumn> cols;
    {
        SqlStmt st = Prepare(Translate(query, line), line);
        Bind(st, line);
        const int rc = sqlite3_step(st);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) throw TranslateError(line);
        cols = DescribeColumns(st, query);
    }
    std::string ddl = "CREATE TABLE " + JoinTokens(target) + " (";
    for (size_t c = 0; c < cols.size(); ++c) {
        if (cols[c].name.empty())
            throw SqlError{1038, 15, 5,
                           "An object or column name is missing or empty. For SELECT INTO statements, verify each column has a name. "
                           "For other statements, look for empty alias names. Aliases defined as \"\" or [] are not allowed. Change "
                           "the alias to a valid name.",
                           line, "", true};
        std::string name;
        for (char ch : cols[c].name) name += ch == ']' ? std::string("]]") : std::string(1, ch);
        ddl += (c ? ", [" : "[") + name + "] " + cols[c].type.Declared() + (cols[c].nullable ? " NULL" : " NOT NULL");
    }
    ddl += ")";
    ExecCreateTable(Tokenize(ddl), line);
    std::vector<Token> insert = {MakeToken(Token::Word, "INSERT", false), MakeToken(Token::Word, "INTO")};
    insert.insert(insert.end(), target.begin(), target.end());
    insert.insert(insert.end(), query.begin(), query.end());
    if (insert.size() > 2) insert[2].spaceBefore = true;
    ExecSql(insert, line, false);
    return true;
}
