// SQLite's failures in SQL Server's numbers and words: duplicate keys by the kind of key that
// refused them, mismatched INSERT lists, ambiguous names and the other texts SQLite would show.
#include "Session.h"
#include "SqliteUtil.h"

#include <sqlite3.h>

#include <cstdlib>
#include <cstring>

namespace {

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::vector<std::string> IndexColumns(sqlite3* db, const std::string& index) {
    std::vector<std::string> cols;
    SqlStmt st;
    if (sqlite3_prepare_v2(db, ("PRAGMA index_info(" + QuoteIdent(index) + ")").c_str(), -1, st.Out(), nullptr) != SQLITE_OK) return cols;
    while (sqlite3_step(st) == SQLITE_ROW) {
        const unsigned char* n = sqlite3_column_text(st, 2);
        cols.push_back(Lower(n ? reinterpret_cast<const char*>(n) : ""));
    }
    return cols;
}

std::string FirstText(sqlite3* db, const char* sql, const std::vector<std::string>& args) {
    SqlStmt st;
    if (sqlite3_prepare_v2(db, sql, -1, st.Out(), nullptr) != SQLITE_OK) return {};
    for (size_t i = 0; i < args.size(); ++i) sqlite3_bind_text(st, static_cast<int>(i) + 1, args[i].c_str(), -1, SQLITE_TRANSIENT);
    std::string out;
    if (sqlite3_step(st) == SQLITE_ROW && sqlite3_column_type(st, 0) != SQLITE_NULL)
        out = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    return out;
}

}  // namespace

std::optional<SqlError> Session::ServerError(const std::string& msg, int line) {
    auto starts = [&](const char* prefix) { return msg.rfind(prefix, 0) == 0; };
    if (starts("UNIQUE constraint failed: ")) {
        // "t.a, t.b": the table and the key's columns; the key is the unique index on just those.
        const std::string detail = msg.substr(std::strlen("UNIQUE constraint failed: "));
        const std::string shown = detail.substr(0, detail.find('.'));
        std::vector<std::string> cols;
        for (size_t at = 0; at < detail.size();) {
            const size_t comma = detail.find(", ", at);
            const std::string part = detail.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
            cols.push_back(Lower(part.substr(part.find('.') + 1)));
            at = comma == std::string::npos ? detail.size() : comma + 2;
        }
        const std::string table = TempName(shown);
        std::string origin = "pk", index;
        SqlStmt list;
        if (sqlite3_prepare_v2(db_, ("PRAGMA index_list(" + QuoteIdent(table) + ")").c_str(), -1, list.Out(), nullptr) == SQLITE_OK)
            while (sqlite3_step(list) == SQLITE_ROW)
                if (sqlite3_column_int(list, 2) == 1) {
                    const std::string name = reinterpret_cast<const char*>(sqlite3_column_text(list, 1));
                    if (IndexColumns(db_, name) != cols) continue;
                    index = name;
                    origin = reinterpret_cast<const char*>(sqlite3_column_text(list, 3));
                    break;
                }
        list.Reset();
        std::string name;
        if (origin == "c") {
            // CREATE UNIQUE INDEX, or a constraint added later (kept as an index of that name).
            name = FirstText(db_, "SELECT name FROM __indexes WHERE stored = ?", {index});
            if (name.empty()) name = index.substr(index.find('$') + 1);
            const std::string kind = FirstText(db_, "SELECT kind FROM __constraints WHERE lower(tbl) = lower(?) AND name = ?", {table, name});
            if (kind.empty())
                return SqlError{2601, 14, 1,
                                "Cannot insert duplicate key row in object 'dbo." + shown + "' with unique index '" + name + "'.", line,
                                "", false};
            origin = kind == "PK" ? "pk" : "u";
        } else if (origin == "pk") {
            name = FirstText(db_, "SELECT name FROM __indexes WHERE lower(tbl) = lower(?) AND is_pk = 1", {table});
            if (name.empty() || name == "PK") name = "PK_" + shown;  // an unnamed key
        } else {
            name = "UQ_" + shown + "_" + cols[0];
        }
        return SqlError{2627, 14, 1,
                        std::string("Violation of ") + (origin == "pk" ? "PRIMARY KEY" : "UNIQUE KEY") + " constraint '" + name +
                            "'. Cannot insert duplicate key in object 'dbo." + shown + "'.",
                        line, "", false};
    }
    if (starts("unrecognized token: ")) {
        std::string token = msg.substr(std::strlen("unrecognized token: "));
        if (token.size() >= 2 && token.front() == '"' && token.back() == '"') token = token.substr(1, token.size() - 2);
        return SqlError{102, 15, 1, "Incorrect syntax near '" + token + "'.", line, "", true};
    }
    if (msg.find(" values were supplied") != std::string::npos && starts("table "))
        return SqlError{213, 16, 1, "Column name or number of supplied values does not match table definition.", line, "", true};
    if (msg.find(" values for ") != std::string::npos && msg.find(" columns") != std::string::npos) {
        // "3 values for 2 columns"
        const long values = std::strtol(msg.c_str(), nullptr, 10);
        const long columns = std::strtol(msg.c_str() + msg.find(" for ") + 5, nullptr, 10);
        if (msg.find("sandbox_rows") != std::string::npos) {
            // INSERT ... SELECT, whose rows pass through sandbox_rows to be converted (Store.cpp).
            const long selected = std::strtol(msg.c_str() + msg.find(" has ") + 5, nullptr, 10);
            const long inserted = std::strtol(msg.c_str() + msg.find(" for ") + 5, nullptr, 10);
            return SqlError{selected < inserted ? 120 : 121,
                            15,
                            1,
                            std::string("The select list for the INSERT statement contains ") + (selected < inserted ? "fewer" : "more") +
                                " items than the insert list. The number of SELECT values must match the number of INSERT columns.",
                            line,
                            "",
                            true};
        }
        const std::string more = values > columns ? "fewer columns in the INSERT statement than values specified in the VALUES clause"
                                                  : "more columns in the INSERT statement than values specified in the VALUES clause";
        return SqlError{values > columns ? 110 : 109, 15, 1,
                        "There are " + more +
                            ". The number of values in the VALUES clause must match the number of columns specified in the INSERT statement.",
                        line, "", true};
    }
    if (starts("ambiguous column name: ")) {
        std::string name = msg.substr(std::strlen("ambiguous column name: "));
        name = name.substr(name.rfind('.') == std::string::npos ? 0 : name.rfind('.') + 1);
        return SqlError{209, 16, 1, "Ambiguous column name '" + name + "'.", line, "", true};
    }
    if (starts("table ") && msg.find(" has no column named ") != std::string::npos)
        return SqlError{207, 16, 1, "Invalid column name '" + msg.substr(msg.find(" has no column named ") + 21) + "'.", line, "", true};
    if (msg.find("ORDER BY term out of range") != std::string::npos) {
        // "ORDER BY term out of range - should be between 1 and 2": the position is not in the text.
        return SqlError{108,  16, 1,   "The ORDER BY position number is out of range of the number of items in the select list.",
                        line, "", true};
    }
    if (msg.find("ORDER BY term does not match any column in the result set") != std::string::npos)
        return SqlError{
            104,  16, 1,   "ORDER BY items must appear in the select list if the statement contains a UNION, INTERSECT or EXCEPT operator.",
            line, "", true};
    if (msg.find("do not have the same number of result columns") != std::string::npos)
        return SqlError{
            205,
            16,
            1,
            "All queries combined using a UNION, INTERSECT or EXCEPT operator must have an equal number of expressions in their "
            "target lists.",
            line,
            "",
            true};
    if (starts("misuse of aggregate"))
        return SqlError{
            147,
            15,
            1,
            "An aggregate may not appear in the WHERE clause unless it is in a subquery contained in a HAVING clause or a select "
            "list, and the column being aggregated is an outer reference.",
            line,
            "",
            true};
    if (starts("sub-select returns "))
        return SqlError{
            116,  16, 1,   "Only one expression can be specified in the select list when the subquery is not introduced with EXISTS.",
            line, "", true};
    if (starts("cannot INSERT into generated column \"") || starts("cannot UPDATE generated column \"")) {
        const size_t open = msg.find('"');
        const std::string column = msg.substr(open + 1, msg.rfind('"') - open - 1);
        return SqlError{271, 16, 1, "The column \"" + column + "\" cannot be modified because it is either a computed column or is the result of a UNION operator.",
                        line, "", false};
    }
    if (starts("no such collation sequence: "))
        return SqlError{448, 16, 1, "Invalid collation '" + msg.substr(std::strlen("no such collation sequence: ")) + "'.", line, "", true};
    if (starts("database is locked") || starts("database table is locked"))
        return SqlError{1222, 16, 45, "Lock request time out period exceeded.", line, "", false};
    if (starts("arithmetic overflow: "))
        return SqlError{8115, 16, 2, "Arithmetic overflow error converting expression to data type " + msg.substr(21) + ".", line, "", false};
    if (msg == "Cannot convert a char value to money. The char value has incorrect syntax.") return SqlError{235, 16, 0, msg, line, "", false};
    if (msg == "Error converting data type varchar to numeric.") return SqlError{8114, 16, 5, msg, line, "", false};
    if (msg == "divide by zero") return SqlError{8134, 16, 1, "Divide by zero error encountered.", line, "", false};
    if (msg == "decimal overflow")
        return SqlError{8115, 16, 2, "Arithmetic overflow error converting expression to data type numeric.", line, "", false};
    if (msg == "integer overflow")
        return SqlError{8115, 16, 2, "Arithmetic overflow error converting expression to data type bigint.", line, "", false};
    if (msg == "parser stack overflow")
        return SqlError{191, 15, 1, "Some part of your SQL statement is nested too deeply. Rewrite the query or break it up into smaller queries.",
                        line, "", true};
    return std::nullopt;
}

// The errors after which SQL Server adds 3621 "The statement has been terminated.": a row refused by
// a key, a constraint, NOT NULL or a column's length (not ALTER TABLE's check of the rows there).
bool Session::EndsStatement(const SqlError& e) {
    switch (e.number) {
    case 515:
    case 1505:
    case 2601:
    case 2627:
    case 2628:
    case 8152:
        return true;
    case 547:
        return e.message.rfind("The ALTER TABLE ", 0) != 0;
    default:
        return false;
    }
}
