#include "Aggregates.h"

#include <sqlite3.h>

namespace {

bool IsAggregate(const Token& k) {
    if (k.kind != Token::Word) return false;
    const std::string u = Upper(k.text);
    return u == "SUM" || u == "AVG" || u == "MIN" || u == "MAX" || u == "COUNT" || u == "COUNT_BIG" || u == "STDEV" || u == "STDEVP" ||
           u == "VAR" || u == "VARP";
}

}  // namespace

std::vector<Token> WatchAggregateNulls(std::vector<Token> t) {
    std::vector<Token> out;
    out.reserve(t.size());
    std::vector<size_t> closes;  // indexes in t of the ')' that end a watched argument
    for (size_t i = 0; i < t.size(); ++i) {
        if (!closes.empty() && closes.back() == i) {
            out.push_back(MakeToken(Token::Op, ")", false));
            closes.pop_back();
        }
        out.push_back(t[i]);
        if (!IsAggregate(t[i]) || i + 2 >= t.size() || !t[i + 1].IsOp("(") || t[i + 2].IsOp("*") || t[i + 2].IsOp(")")) continue;
        // Past "(" and a DISTINCT or ALL, the argument runs to the matching ")".
        const size_t close = MatchParen(t, i + 1);
        if (close >= t.size()) continue;
        out.push_back(t[++i]);
        if (t[i + 1].Is("DISTINCT") || t[i + 1].Is("ALL")) out.push_back(t[++i]);
        out.push_back(MakeToken(Token::Word, "sandbox_nullwatch"));
        out.push_back(MakeToken(Token::Op, "(", false));
        closes.push_back(close);
    }
    return out;
}

void RegisterNullWatch(sqlite3* db, bool* seen) {
    sqlite3_create_function_v2(
        db, "sandbox_nullwatch", 1, SQLITE_UTF8, seen,
        [](sqlite3_context* ctx, int, sqlite3_value** argv) {
            if (sqlite3_value_type(argv[0]) == SQLITE_NULL) *static_cast<bool*>(sqlite3_user_data(ctx)) = true;
            sqlite3_result_value(ctx, argv[0]);
        },
        nullptr, nullptr, nullptr);
}
