// T-SQL to SQLite: rewriting the tokens of one statement, and the built-in functions SQL Server
// offers that SQLite lacks.
#include "Engine.h"

#include <sqlite3.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <random>

namespace {

Token Tok(Token::Kind kind, std::string text, bool space = true) {
    Token t;
    t.kind = kind;
    t.text = text;
    t.value = kind == Token::Word ? Upper(text) : text;
    t.spaceBefore = space;
    return t;
}

size_t Match(const std::vector<Token>& t, size_t open) {
    int depth = 0;
    for (size_t i = open; i < t.size(); ++i) {
        if (t[i].IsOp("(")) depth++;
        else if (t[i].IsOp(")") && --depth == 0) return i;
    }
    return t.size();
}

bool IsSchemaWord(const Token& t) {
    return t.IsName() && (Upper(t.kind == Token::Word ? t.text : t.value) == "DBO" || Upper(t.value) == "SYS");
}

}  // namespace

std::string Session::Translate(const std::vector<Token>& in, int line) {
    (void)line;
    std::vector<Token> t;
    t.reserve(in.size() + 4);
    // Pass 1: names, literals, variables.
    for (size_t i = 0; i < in.size(); ++i) {
        const Token& k = in[i];
        if (k.kind == Token::String) {
            t.push_back(Tok(Token::String, SqlLiteral(k.value), k.spaceBefore));
            continue;
        }
        if (k.kind == Token::Hex) {
            t.push_back(Tok(Token::String, "X'" + (k.value.size() % 2 ? "0" + k.value : k.value) + "'", k.spaceBefore));
            continue;
        }
        if (k.kind == Token::Variable && k.value.rfind("@@", 0) == 0) {
            std::string v;
            if (k.value == "@@ROWCOUNT") v = std::to_string(rowcount_);
            else if (k.value == "@@IDENTITY") v = "last_insert_rowid()";
            else if (k.value == "@@SPID") v = std::to_string(spid_);
            else if (k.value == "@@TRANCOUNT") v = std::to_string(tranCount_);
            else if (k.value == "@@ERROR") v = std::to_string(lastError_);
            else if (k.value == "@@VERSION") v = SqlLiteral("Tolvan Sandbox 15.0.2000 (SQL Server stand-in on SQLite " + std::string(sqlite3_libversion()) + ")");
            else if (k.value == "@@SERVERNAME") v = SqlLiteral(server_.ServerName());
            else if (k.value == "@@LANGUAGE") v = SqlLiteral("us_english");
            else if (k.value == "@@FETCH_STATUS") v = "-1";
            else if (k.value == "@@NESTLEVEL") v = std::to_string(procDepth_);
            else if (k.value == "@@MAX_PRECISION") v = "38";
            else v = "NULL";
            t.push_back(Tok(Token::Word, v, k.spaceBefore));
            continue;
        }
        if (k.IsName() && i + 2 < in.size() && in[i + 1].IsOp(".")) {
            // db.dbo.obj, db..obj, dbo.obj, INFORMATION_SCHEMA.X
            if (Upper(k.kind == Token::Word ? k.text : k.value) == "INFORMATION_SCHEMA" && in[i + 2].IsName()) {
                t.push_back(Tok(Token::Word, "information_schema_" + std::string(Upper(in[i + 2].value) == in[i + 2].value ? in[i + 2].text : in[i + 2].value), k.spaceBefore));
                i += 2;
                continue;
            }
            if (IsSchemaWord(k) && in[i + 2].IsName()) {
                Token obj = in[i + 2];
                obj.spaceBefore = k.spaceBefore;
                t.push_back(obj);
                i += 2;
                continue;
            }
            const bool threePart = i + 4 < in.size() + 1 && i + 3 < in.size() && (in[i + 2].IsOp(".") || (IsSchemaWord(in[i + 2]) && in[i + 3].IsOp(".")));
            if (threePart) {
                const std::string db = k.kind == Token::Word ? k.text : k.value;
                const size_t objAt = in[i + 2].IsOp(".") ? i + 3 : i + 4;
                if (objAt < in.size() && !server_.CanonicalDatabase(db).empty()) {
                    EnsureAttached(db);
                    const bool current = Upper(db) == Upper(dbName_);
                    t.push_back(Tok(Token::Word, current ? std::string("main") : "\"" + server_.CanonicalDatabase(db) + "\"", k.spaceBefore));
                    t.push_back(Tok(Token::Op, ".", false));
                    Token obj = in[objAt];
                    obj.spaceBefore = false;
                    t.push_back(obj);
                    i = objAt;
                    continue;
                }
            }
        }
        if (k.kind == Token::Word && !k.value.empty() && k.value[0] == '#') {
            t.push_back(Tok(Token::Quoted, "\"" + k.text + "\"", k.spaceBefore));
            continue;
        }
        t.push_back(k);
    }
    // Pass 2: constructs.
    std::vector<Token> o;
    o.reserve(t.size() + 4);
    std::vector<std::pair<int, std::string>> pendingLimits;  // paren depth of the SELECT, LIMIT text
    int depth = 0;
    auto closeLimits = [&](int atDepth) {
        while (!pendingLimits.empty() && pendingLimits.back().first == atDepth) {
            o.push_back(Tok(Token::Word, "LIMIT"));
            o.push_back(Tok(Token::Word, pendingLimits.back().second));
            pendingLimits.pop_back();
        }
    };
    for (size_t i = 0; i < t.size(); ++i) {
        const Token& k = t[i];
        if (k.IsOp("(")) {
            depth++;
            o.push_back(k);
            continue;
        }
        if (k.IsOp(")")) {
            closeLimits(depth);
            depth--;
            o.push_back(k);
            continue;
        }
        if (k.IsOp(";")) {
            closeLimits(depth);
            continue;
        }
        if (k.Is("SELECT")) {
            o.push_back(k);
            size_t j = i + 1;
            if (j < t.size() && (t[j].Is("DISTINCT") || t[j].Is("ALL"))) o.push_back(t[j++]);
            if (j < t.size() && t[j].Is("TOP")) {
                ++j;
                std::string n;
                if (j < t.size() && t[j].IsOp("(")) {
                    const size_t close = Match(t, j);
                    n = "(" + JoinTokens(t, j + 1, close) + ")";
                    j = close + 1;
                } else if (j < t.size()) {
                    n = t[j++].text;
                }
                if (j < t.size() && t[j].Is("PERCENT")) ++j;
                if (j + 1 < t.size() && t[j].Is("WITH") && t[j + 1].Is("TIES")) j += 2;
                pendingLimits.emplace_back(depth, n);
            }
            i = j - 1;
            continue;
        }
        if (k.Is("CONVERT") && i + 1 < t.size() && t[i + 1].IsOp("(")) {
            // CONVERT(type, expr[, style]) -> CAST(expr AS type)
            const size_t close = Match(t, i + 1);
            size_t comma = i + 2;
            int d = 0;
            for (; comma < close; ++comma) {
                if (t[comma].IsOp("(")) d++;
                else if (t[comma].IsOp(")")) d--;
                else if (d == 0 && t[comma].IsOp(",")) break;
            }
            size_t exprEnd = comma + 1;
            d = 0;
            for (; exprEnd < close; ++exprEnd) {
                if (t[exprEnd].IsOp("(")) d++;
                else if (t[exprEnd].IsOp(")")) d--;
                else if (d == 0 && t[exprEnd].IsOp(",")) break;
            }
            std::vector<Token> cast = {Tok(Token::Word, "CAST", k.spaceBefore), Tok(Token::Op, "(", false)};
            cast.insert(cast.end(), t.begin() + static_cast<std::ptrdiff_t>(comma) + 1, t.begin() + static_cast<std::ptrdiff_t>(exprEnd));
            cast.push_back(Tok(Token::Word, "AS"));
            cast.insert(cast.end(), t.begin() + static_cast<std::ptrdiff_t>(i) + 2, t.begin() + static_cast<std::ptrdiff_t>(comma));
            cast.push_back(Tok(Token::Op, ")", false));
            t.erase(t.begin() + static_cast<std::ptrdiff_t>(i), t.begin() + static_cast<std::ptrdiff_t>(close) + 1);
            t.insert(t.begin() + static_cast<std::ptrdiff_t>(i), cast.begin(), cast.end());
            --i;
            continue;
        }
        if (k.Is("CAST") && i + 1 < t.size() && t[i + 1].IsOp("(")) {
            const size_t close = Match(t, i + 1);
            size_t as = close;
            int d = 0;
            for (size_t j = i + 2; j < close; ++j) {
                if (t[j].IsOp("(")) d++;
                else if (t[j].IsOp(")")) d--;
                else if (d == 0 && t[j].Is("AS")) as = j;
            }
            if (as < close) {
                std::string typeText;
                for (size_t j = as + 1; j < close; ++j) typeText += t[j].kind == Token::Bracketed ? t[j].value : t[j].text;
                SqlType type;
                if (ParseSqlType(typeText, type)) {
                    std::vector<Token> expr(t.begin() + static_cast<std::ptrdiff_t>(i) + 2, t.begin() + static_cast<std::ptrdiff_t>(as));
                    std::vector<Token> rep;
                    if (type.kind == SqlType::Decimal || type.kind == SqlType::Numeric || type.kind == SqlType::Money || type.kind == SqlType::SmallMoney) {
                        // Exact decimals travel as text; SQLite's numbers keep 15 digits.
                        const int p = type.kind == SqlType::Money ? 19 : type.kind == SqlType::SmallMoney ? 10 : type.precision;
                        const int s = type.kind == SqlType::Money || type.kind == SqlType::SmallMoney ? 4 : type.scale;
                        rep = {Tok(Token::Word, "sandbox_decimal", k.spaceBefore), Tok(Token::Op, "(", false)};
                        rep.insert(rep.end(), expr.begin(), expr.end());
                        rep.push_back(Tok(Token::Op, ",", false));
                        rep.push_back(Tok(Token::Number, std::to_string(p)));
                        rep.push_back(Tok(Token::Op, ",", false));
                        rep.push_back(Tok(Token::Number, std::to_string(s)));
                        rep.push_back(Tok(Token::Op, ")", false));
                    } else {
                        std::string target;
                        if (type.IsBinary()) target = "BLOB";
                        else if (type.IsText() || type.IsUnicode() || type.kind == SqlType::UniqueIdentifier || type.kind == SqlType::Date ||
                                 type.kind == SqlType::DateTime || type.kind == SqlType::DateTime2 || type.kind == SqlType::SmallDateTime ||
                                 type.kind == SqlType::Time || type.kind == SqlType::DateTimeOffset)
                            target = "TEXT";
                        else if (type.kind == SqlType::Float || type.kind == SqlType::Real) target = "REAL";
                        else if (type.kind == SqlType::Variant) target = "";
                        else target = "INTEGER";
                        if (target.empty()) {
                            rep.push_back(Tok(Token::Op, "(", k.spaceBefore));
                            rep.insert(rep.end(), expr.begin(), expr.end());
                            rep.push_back(Tok(Token::Op, ")", false));
                        } else if (target == "TEXT" && type.length > 0 && (type.IsText() || type.IsUnicode())) {
                            rep = {Tok(Token::Word, "substr", k.spaceBefore), Tok(Token::Op, "(", false), Tok(Token::Word, "CAST", false), Tok(Token::Op, "(", false)};
                            rep.insert(rep.end(), expr.begin(), expr.end());
                            rep.push_back(Tok(Token::Word, "AS"));
                            rep.push_back(Tok(Token::Word, "TEXT"));
                            rep.push_back(Tok(Token::Op, ")", false));
                            rep.push_back(Tok(Token::Op, ",", false));
                            rep.push_back(Tok(Token::Number, "1"));
                            rep.push_back(Tok(Token::Op, ",", false));
                            rep.push_back(Tok(Token::Number, std::to_string(type.length)));
                            rep.push_back(Tok(Token::Op, ")", false));
                        } else {
                            rep = {Tok(Token::Word, "CAST", k.spaceBefore), Tok(Token::Op, "(", false)};
                            rep.insert(rep.end(), expr.begin(), expr.end());
                            rep.push_back(Tok(Token::Word, "AS"));
                            rep.push_back(Tok(Token::Word, target));
                            rep.push_back(Tok(Token::Op, ")", false));
                        }
                    }
                    t.erase(t.begin() + static_cast<std::ptrdiff_t>(i), t.begin() + static_cast<std::ptrdiff_t>(close) + 1);
                    t.insert(t.begin() + static_cast<std::ptrdiff_t>(i), rep.begin(), rep.end());
                    // Continue with the rewritten tokens (the inner expression is translated in turn).
                    o.push_back(t[i]);
                    if (t[i].IsOp("(")) depth++;
                    continue;
                }
            }
        }
        if (k.Is("WITH") && i + 1 < t.size() && t[i + 1].IsOp("(") && !o.empty() && (o.back().IsName() || o.back().IsOp(")"))) {
            // Table hints: WITH (NOLOCK)
            const size_t close = Match(t, i + 1);
            bool hints = true;
            for (size_t j = i + 2; j < close; ++j)
                if (!(t[j].kind == Token::Word || t[j].IsOp(","))) hints = false;
            if (hints) {
                i = close;
                continue;
            }
        }
        if (k.IsOp("+") && ((!o.empty() && o.back().kind == Token::String) || (i + 1 < t.size() && t[i + 1].kind == Token::String))) {
            o.push_back(Tok(Token::Op, "||", k.spaceBefore));
            continue;
        }
        if (k.IsName() && i + 2 < t.size() && t[i + 1].IsOp("=") && !o.empty() &&
            (o.back().Is("SELECT") || (o.back().IsOp(",") && depth == 0)) && !k.Is("CASE") && t[0].Is("SELECT")) {
            // SELECT alias = expr
            size_t end = i + 2;
            int d = 0;
            for (; end < t.size(); ++end) {
                if (t[end].IsOp("(")) d++;
                else if (t[end].IsOp(")")) {
                    if (d == 0) break;
                    d--;
                } else if (d == 0 && (t[end].IsOp(",") || t[end].Is("FROM") || t[end].Is("WHERE") || t[end].Is("ORDER") || t[end].Is("GROUP") || t[end].IsOp(";")))
                    break;
            }
            std::vector<Token> rep(t.begin() + static_cast<std::ptrdiff_t>(i) + 2, t.begin() + static_cast<std::ptrdiff_t>(end));
            if (!rep.empty()) rep[0].spaceBefore = k.spaceBefore;
            rep.push_back(Tok(Token::Word, "AS"));
            Token alias = k;
            alias.spaceBefore = true;
            rep.push_back(alias);
            t.erase(t.begin() + static_cast<std::ptrdiff_t>(i), t.begin() + static_cast<std::ptrdiff_t>(end));
            t.insert(t.begin() + static_cast<std::ptrdiff_t>(i), rep.begin(), rep.end());
            --i;
            continue;
        }
        if (k.IsName() && i + 2 < t.size() && IsSchemaWord(k) && t[i + 1].IsOp(".")) continue;  // dbo.f(...)
        o.push_back(k);
    }
    closeLimits(0);
    while (!pendingLimits.empty()) closeLimits(pendingLimits.back().first);
    return JoinTokens(o);
}

// ---------------------------------------------------------------- functions

namespace {

enum Fn {
    fGetDate, fGetUtcDate, fIsNull, fLen, fDataLength, fCharIndex, fLeft, fRight, fNewId, fObjectId, fObjectName, fObjectProperty,
    fColumnProperty, fDbName, fDbId, fErrorNumber, fErrorSeverity, fErrorState, fErrorProcedure, fErrorLine, fErrorMessage,
    fScopeIdentity, fSuserSname, fDecimal, fYear, fMonth, fDay, fSpace, fReplicate, fUser, fHost, fApp, fSysDateTime, fUdf
};

struct FnSpec {
    const char* name;
    int args;
    Fn id;
};

const FnSpec kFunctions[] = {
    {"getdate", 0, fGetDate}, {"getutcdate", 0, fGetUtcDate}, {"sysdatetime", 0, fSysDateTime}, {"isnull", 2, fIsNull},
    {"len", 1, fLen}, {"datalength", 1, fDataLength}, {"charindex", -1, fCharIndex}, {"left", 2, fLeft}, {"right", 2, fRight},
    {"newid", 0, fNewId}, {"object_id", -1, fObjectId}, {"object_name", -1, fObjectName}, {"objectproperty", 2, fObjectProperty},
    {"columnproperty", 3, fColumnProperty}, {"db_name", -1, fDbName}, {"db_id", -1, fDbId}, {"error_number", 0, fErrorNumber},
    {"error_severity", 0, fErrorSeverity}, {"error_state", 0, fErrorState}, {"error_procedure", 0, fErrorProcedure},
    {"error_line", 0, fErrorLine}, {"error_message", 0, fErrorMessage}, {"scope_identity", 0, fScopeIdentity},
    {"suser_sname", -1, fSuserSname}, {"user_name", -1, fUser}, {"host_name", 0, fHost}, {"app_name", 0, fApp},
    {"sandbox_decimal", 3, fDecimal}, {"year", 1, fYear}, {"month", 1, fMonth}, {"day", 1, fDay}, {"space", 1, fSpace},
    {"replicate", 2, fReplicate},
};

std::string Text(sqlite3_value* v) {
    const unsigned char* p = sqlite3_value_text(v);
    return p ? std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(sqlite3_value_bytes(v))) : std::string();
}

// Exact decimal text of a value at a scale, rounding half away from zero.
std::string DecimalText(sqlite3_value* v, int scale) {
    std::string t;
    if (sqlite3_value_type(v) == SQLITE_INTEGER) t = std::to_string(sqlite3_value_int64(v));
    else if (sqlite3_value_type(v) == SQLITE_FLOAT) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.*f", scale + 2 > 17 ? 17 : scale + 2, sqlite3_value_double(v));
        t = buf;
    } else t = Text(v);
    size_t i = 0;
    while (i < t.size() && t[i] == ' ') ++i;
    bool neg = false;
    if (i < t.size() && (t[i] == '-' || t[i] == '+')) neg = t[i++] == '-';
    std::string whole, frac;
    bool inFrac = false;
    for (; i < t.size(); ++i) {
        if (t[i] == '.') { inFrac = true; continue; }
        if (t[i] < '0' || t[i] > '9') break;
        (inFrac ? frac : whole) += t[i];
    }
    const bool roundUp = frac.size() > static_cast<size_t>(scale) && frac[static_cast<size_t>(scale)] >= '5';
    frac.resize(static_cast<size_t>(scale), '0');
    std::string digits = whole + frac;
    if (roundUp) {
        int k = static_cast<int>(digits.size()) - 1;
        while (k >= 0 && digits[static_cast<size_t>(k)] == '9') digits[static_cast<size_t>(k--)] = '0';
        if (k < 0) digits.insert(digits.begin(), '1');
        else digits[static_cast<size_t>(k)]++;
    }
    while (digits.size() > static_cast<size_t>(scale) + 1 && digits[0] == '0') digits.erase(0, 1);
    if (digits.size() <= static_cast<size_t>(scale)) digits.insert(0, static_cast<size_t>(scale) + 1 - digits.size(), '0');
    std::string out = digits.substr(0, digits.size() - static_cast<size_t>(scale));
    if (scale > 0) out += "." + digits.substr(digits.size() - static_cast<size_t>(scale));
    if (neg && out.find_first_not_of("0.") != std::string::npos) out = "-" + out;
    return out;
}

}  // namespace

struct SessionFunctions {
    static void Call(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
        auto* data = static_cast<FnData*>(sqlite3_user_data(ctx));
        Session& s = *data->session;
        auto arg = [&](int i) { return i < argc ? argv[i] : nullptr; };
        auto lookupInt = [&](const std::string& sql, const std::string& bindText, sqlite3_int64 bindInt, bool useText) {
            sqlite3_stmt* st = nullptr;
            std::optional<sqlite3_int64> r;
            if (sqlite3_prepare_v2(s.db_, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
                if (useText) sqlite3_bind_text(st, 1, bindText.c_str(), -1, SQLITE_TRANSIENT);
                else sqlite3_bind_int64(st, 1, bindInt);
                if (sqlite3_step(st) == SQLITE_ROW && sqlite3_column_type(st, 0) != SQLITE_NULL) r = sqlite3_column_int64(st, 0);
            }
            sqlite3_finalize(st);
            return r;
        };
        const Session::CatchInfo* c = s.catches_.empty() ? nullptr : &s.catches_.back();
        switch (static_cast<Fn>(data->id)) {
        case fGetDate: sqlite3_result_text(ctx, NowText(false).c_str(), -1, SQLITE_TRANSIENT); return;
        case fGetUtcDate: sqlite3_result_text(ctx, NowText(true).c_str(), -1, SQLITE_TRANSIENT); return;
        case fSysDateTime: sqlite3_result_text(ctx, (NowText(false) + "0000").c_str(), -1, SQLITE_TRANSIENT); return;
        case fIsNull: sqlite3_result_value(ctx, sqlite3_value_type(argv[0]) == SQLITE_NULL ? argv[1] : argv[0]); return;
        case fLen: {
            if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
            std::string v = Text(argv[0]);
            while (!v.empty() && v.back() == ' ') v.pop_back();
            long n = 0;
            for (char ch : v)
                if ((static_cast<unsigned char>(ch) & 0xC0) != 0x80) ++n;
            sqlite3_result_int64(ctx, n);
            return;
        }
        case fDataLength:
            if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
            sqlite3_result_int64(ctx, sqlite3_value_bytes(argv[0]));
            return;
        case fCharIndex: {
            if (argc < 2) return sqlite3_result_null(ctx);
            const std::string needle = Upper(Text(argv[0])), hay = Upper(Text(argv[1]));
            size_t start = argc > 2 ? static_cast<size_t>(std::max<sqlite3_int64>(1, sqlite3_value_int64(argv[2]))) - 1 : 0;
            const size_t p = hay.find(needle, start);
            sqlite3_result_int64(ctx, p == std::string::npos ? 0 : static_cast<sqlite3_int64>(p) + 1);
            return;
        }
        case fLeft:
        case fRight: {
            if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
            const std::string v = Text(argv[0]);
            const size_t n = static_cast<size_t>(std::max<sqlite3_int64>(0, sqlite3_value_int64(argv[1])));
            const std::string r = data->id == fLeft ? v.substr(0, n) : (n >= v.size() ? v : v.substr(v.size() - n));
            sqlite3_result_text(ctx, r.c_str(), static_cast<int>(r.size()), SQLITE_TRANSIENT);
            return;
        }
        case fNewId: {
            static thread_local std::mt19937_64 rng{std::random_device{}()};
            char buf[40];
            const std::uint64_t a = rng(), b = rng();
            std::snprintf(buf, sizeof buf, "%08X-%04X-4%03X-%04X-%012llX", static_cast<unsigned>(a >> 32), static_cast<unsigned>((a >> 16) & 0xFFFF),
                          static_cast<unsigned>(a & 0xFFF), static_cast<unsigned>(0x8000 | ((b >> 48) & 0x3FFF)),
                          static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFULL));
            sqlite3_result_text(ctx, buf, -1, SQLITE_TRANSIENT);
            return;
        }
        case fObjectId: {
            std::string name = Text(argv[0]);
            const size_t dot = name.rfind('.');
            if (dot != std::string::npos) name = name.substr(dot + 1);
            if (name.size() > 1 && name.front() == '[') name = name.substr(1, name.size() - 2);
            auto r = lookupInt("SELECT id FROM __objects WHERE lower(name) = lower(?)", name, 0, true);
            if (r) sqlite3_result_int64(ctx, *r);
            else sqlite3_result_null(ctx);
            return;
        }
        case fObjectName: {
            sqlite3_stmt* st = nullptr;
            sqlite3_prepare_v2(s.db_, "SELECT name FROM __objects WHERE id = ?", -1, &st, nullptr);
            sqlite3_bind_int64(st, 1, sqlite3_value_int64(argv[0]));
            if (sqlite3_step(st) == SQLITE_ROW) sqlite3_result_text(ctx, reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), -1, SQLITE_TRANSIENT);
            else sqlite3_result_null(ctx);
            sqlite3_finalize(st);
            return;
        }
        case fObjectProperty: {
            sqlite3_stmt* st = nullptr;
            sqlite3_prepare_v2(s.db_, "SELECT xtype FROM __objects WHERE id = ?", -1, &st, nullptr);
            sqlite3_bind_int64(st, 1, sqlite3_value_int64(argv[0]));
            std::string xtype;
            const bool found = sqlite3_step(st) == SQLITE_ROW;
            if (found) xtype = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
            sqlite3_finalize(st);
            if (!found) return sqlite3_result_null(ctx);
            while (!xtype.empty() && xtype.back() == ' ') xtype.pop_back();
            const std::string p = Upper(Text(argv[1]));
            int r;
            if (p == "ISTABLE" || p == "ISUSERTABLE") r = xtype == "U";
            else if (p == "ISVIEW") r = xtype == "V";
            else if (p == "ISPROCEDURE") r = xtype == "P";
            else if (p == "ISTRIGGER") r = xtype == "TR";
            else if (p == "ISSCALARFUNCTION") r = xtype == "FN";
            else if (p == "ISTABLEFUNCTION") r = xtype == "IF" || xtype == "TF";
            else if (p == "ISINLINEFUNCTION") r = xtype == "IF";
            else if (p == "ISSYSTEMTABLE" || p == "ISMSSHIPPED") r = 0;
            else return sqlite3_result_null(ctx);
            sqlite3_result_int(ctx, r);
            return;
        }
        case fColumnProperty: {
            const std::string p = Upper(Text(argv[2]));
            sqlite3_stmt* st = nullptr;
            sqlite3_prepare_v2(s.db_, "SELECT is_identity, is_nullable FROM __columns WHERE object_id = ? AND lower(name) = lower(?)", -1, &st, nullptr);
            sqlite3_bind_int64(st, 1, sqlite3_value_int64(argv[0]));
            sqlite3_bind_text(st, 2, Text(argv[1]).c_str(), -1, SQLITE_TRANSIENT);
            if (sqlite3_step(st) == SQLITE_ROW) {
                if (p == "ISIDENTITY") sqlite3_result_int(ctx, sqlite3_column_int(st, 0));
                else if (p == "ALLOWSNULL") sqlite3_result_int(ctx, std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, 1))) == "YES");
                else sqlite3_result_null(ctx);
            } else {
                sqlite3_result_null(ctx);
            }
            sqlite3_finalize(st);
            return;
        }
        case fDbName: sqlite3_result_text(ctx, s.dbName_.c_str(), -1, SQLITE_TRANSIENT); return;
        case fDbId: sqlite3_result_int(ctx, 5); return;
        case fErrorNumber: if (c) sqlite3_result_int(ctx, c->error.number); else sqlite3_result_null(ctx); return;
        case fErrorSeverity: if (c) sqlite3_result_int(ctx, c->error.severity); else sqlite3_result_null(ctx); return;
        case fErrorState: if (c) sqlite3_result_int(ctx, c->error.state); else sqlite3_result_null(ctx); return;
        case fErrorLine: if (c) sqlite3_result_int(ctx, c->error.line); else sqlite3_result_null(ctx); return;
        case fErrorProcedure:
            if (c && !c->error.procedure.empty()) sqlite3_result_text(ctx, c->error.procedure.c_str(), -1, SQLITE_TRANSIENT);
            else sqlite3_result_null(ctx);
            return;
        case fErrorMessage: if (c) sqlite3_result_text(ctx, c->error.message.c_str(), -1, SQLITE_TRANSIENT); else sqlite3_result_null(ctx); return;
        case fScopeIdentity: sqlite3_result_int64(ctx, sqlite3_last_insert_rowid(s.db_)); return;
        case fSuserSname:
        case fUser: sqlite3_result_text(ctx, s.user_.c_str(), -1, SQLITE_TRANSIENT); return;
        case fHost: sqlite3_result_text(ctx, "localhost", -1, SQLITE_STATIC); return;
        case fApp: sqlite3_result_text(ctx, "", -1, SQLITE_STATIC); return;
        case fDecimal: {
            if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
            const std::string d = DecimalText(argv[0], static_cast<int>(sqlite3_value_int(argv[2])));
            sqlite3_result_text(ctx, d.c_str(), -1, SQLITE_TRANSIENT);
            return;
        }
        case fYear:
        case fMonth:
        case fDay: {
            const std::string d = Text(argv[0]);
            int y = 1900, m = 1, dd = 1;
            std::sscanf(d.c_str(), "%d-%d-%d", &y, &m, &dd);
            sqlite3_result_int(ctx, data->id == fYear ? y : data->id == fMonth ? m : dd);
            return;
        }
        case fSpace: {
            const std::string sp(static_cast<size_t>(std::max<sqlite3_int64>(0, sqlite3_value_int64(argv[0]))), ' ');
            sqlite3_result_text(ctx, sp.c_str(), static_cast<int>(sp.size()), SQLITE_TRANSIENT);
            return;
        }
        case fReplicate: {
            std::string r;
            const std::string v = Text(argv[0]);
            for (sqlite3_int64 k = 0; k < sqlite3_value_int64(argv[1]); ++k) r += v;
            sqlite3_result_text(ctx, r.c_str(), static_cast<int>(r.size()), SQLITE_TRANSIENT);
            return;
        }
        case fUdf: {
            std::vector<SqlValue> args;
            for (int k = 0; k < argc; ++k) {
                sqlite3_value* v = arg(k);
                switch (sqlite3_value_type(v)) {
                case SQLITE_INTEGER: args.push_back(SqlValue::FromInt(sqlite3_value_int64(v))); break;
                case SQLITE_FLOAT: args.push_back(SqlValue::FromReal(sqlite3_value_double(v))); break;
                case SQLITE_NULL: args.emplace_back(); break;
                default: args.push_back(SqlValue::FromText(Text(v)));
                }
            }
            try {
                const SqlValue r = s.CallFunction(data->name, args);
                switch (r.type) {
                case SqlValue::Integer: sqlite3_result_int64(ctx, r.i); break;
                case SqlValue::Real: sqlite3_result_double(ctx, r.d); break;
                case SqlValue::Text: sqlite3_result_text(ctx, r.s.c_str(), static_cast<int>(r.s.size()), SQLITE_TRANSIENT); break;
                case SqlValue::Blob: sqlite3_result_blob(ctx, r.s.data(), static_cast<int>(r.s.size()), SQLITE_TRANSIENT); break;
                default: sqlite3_result_null(ctx);
                }
            } catch (const SqlError& e) {
                sqlite3_result_error(ctx, e.message.c_str(), -1);
            }
            return;
        }
        }
    }

    static std::string NowText(bool utc) {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        std::tm tmv{};
        if (utc) gmtime_r(&ts.tv_sec, &tmv);
        else localtime_r(&ts.tv_sec, &tmv);
        char buf[96];
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03ld", tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour,
                      tmv.tm_min, tmv.tm_sec, ts.tv_nsec / 1000000);
        return buf;
    }
};

void Session::RegisterFunctions() {
    fnData_.clear();
    for (const FnSpec& f : kFunctions) {
        fnData_.push_back(std::make_unique<FnData>(FnData{this, f.id, f.name}));
        sqlite3_create_function_v2(db_, f.name, f.args, SQLITE_UTF8, fnData_.back().get(), SessionFunctions::Call, nullptr, nullptr, nullptr);
    }
    // Scalar user functions of this database.
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, "SELECT name FROM __objects WHERE xtype = 'FN'", -1, &st, nullptr) == SQLITE_OK) {
        while (sqlite3_step(st) == SQLITE_ROW) {
            const std::string name = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
            fnData_.push_back(std::make_unique<FnData>(FnData{this, fUdf, name}));
            sqlite3_create_function_v2(db_, name.c_str(), -1, SQLITE_UTF8, fnData_.back().get(), SessionFunctions::Call, nullptr, nullptr, nullptr);
        }
    }
    sqlite3_finalize(st);
}

void Session::FnDispatch(sqlite3_context* ctx, int argc, sqlite3_value** argv) { SessionFunctions::Call(ctx, argc, argv); }
