#include "Aggregates.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {

bool IsAggregate(const Token& k) {
    if (k.kind != Token::Word) return false;
    for (const char* name : {"SUM", "AVG", "MIN", "MAX", "COUNT", "COUNT_BIG", "STDEV", "STDEVP", "VAR", "VARP"})
        if (SameNoCase(k.text, name)) return true;
    return false;
}

}  // namespace

std::vector<Token> WatchAggregateNulls(std::vector<Token> t) {
    if (std::none_of(t.begin(), t.end(), IsAggregate)) return t;
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

namespace {

// Welford's running mean and sum of squared differences; values leave a window in reverse.
struct Deviation {
    long long n;
    double mean, m2;
};

enum DeviationKind : std::intptr_t { kStdev, kStdevp, kVar, kVarp };

void DeviationStep(sqlite3_context* ctx, int, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return;
    auto* d = static_cast<Deviation*>(sqlite3_aggregate_context(ctx, sizeof(Deviation)));
    if (!d) return sqlite3_result_error_nomem(ctx);
    const double x = sqlite3_value_double(argv[0]);
    ++d->n;
    const double delta = x - d->mean;
    d->mean += delta / static_cast<double>(d->n);
    d->m2 += delta * (x - d->mean);
}

void DeviationInverse(sqlite3_context* ctx, int, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return;
    auto* d = static_cast<Deviation*>(sqlite3_aggregate_context(ctx, sizeof(Deviation)));
    if (!d || d->n == 0) return;
    const double x = sqlite3_value_double(argv[0]);
    if (--d->n == 0) {
        d->mean = d->m2 = 0;
        return;
    }
    const double delta = x - d->mean;
    d->mean -= delta / static_cast<double>(d->n);
    d->m2 -= delta * (x - d->mean);
    if (d->m2 < 0) d->m2 = 0;
}

void DeviationValue(sqlite3_context* ctx) {
    auto* d = static_cast<Deviation*>(sqlite3_aggregate_context(ctx, 0));
    const auto kind = static_cast<DeviationKind>(reinterpret_cast<std::intptr_t>(sqlite3_user_data(ctx)));
    const bool sample = kind == kStdev || kind == kVar;
    if (!d || d->n < (sample ? 2 : 1)) return sqlite3_result_null(ctx);
    const double variance = d->m2 / static_cast<double>(sample ? d->n - 1 : d->n);
    sqlite3_result_double(ctx, kind == kStdev || kind == kStdevp ? std::sqrt(variance) : variance);
}

}  // namespace

void RegisterDeviations(sqlite3* db) {
    const std::pair<const char*, DeviationKind> kinds[] = {{"stdev", kStdev}, {"stdevp", kStdevp}, {"var", kVar}, {"varp", kVarp}};
    for (const auto& [name, kind] : kinds)
        sqlite3_create_window_function(db, name, 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, reinterpret_cast<void*>(kind), DeviationStep, DeviationValue,
                                       DeviationValue, DeviationInverse, nullptr);
}
