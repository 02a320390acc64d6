// Scalar built-ins SQLite lacks or answers differently: strings (STUFF, REPLICATE, PATINDEX,
// QUOTENAME ...), dates built from parts, TRY_CAST, TRY_CONVERT and PARSE, SQL Server's math (LOG's
// base second, errors for a domain a function does not cover), CHOOSE, GREATEST, LEAST and JSON.
// Each is registered on the session's handle; its declared type is BuiltinCallType's answer.
#include "Conversions.h"
#include "Scripts.h"
#include "Session.h"
#include "SqliteUtil.h"
#include "TextCodec.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>

namespace {

enum Id {
    bStuff,
    bReplicate,
    bSpace,
    bReverse,
    bPatIndex,
    bQuoteName,
    bConcatWs,
    bTranslate,
    bAscii,
    bChar,
    bNChar,
    bSoundex,
    bDifference,
    bStringEscape,
    bFormatMessage,
    bEoMonth,
    bDateFromParts,
    bDateTimeFromParts,
    bDateTime2FromParts,
    bTimeFromParts,
    bSmallDateTimeFromParts,
    bSysUtcDateTime,
    bSysDateTimeOffset,
    bIsDate,
    bIsNumeric,
    bTryCast,
    bParse,
    bPower,
    bSqrt,
    bSquare,
    bExp,
    bLog,
    bLog10,
    bSin,
    bCos,
    bTan,
    bCot,
    bAsin,
    bAcos,
    bAtan,
    bAtn2,
    bRand,
    bChoose,
    bGreatest,
    bNullIf,
    bLeast,
    bIsJson,
    bJsonValue,
    bJsonQuery,
    bJsonModify,
};

struct Spec {
    const char* name;
    int args;  // as registered: -1 for any number (checked here), or the count SQLite's own function of the name takes
    int least, most;
    Id id;
};

const Spec kSpecs[] = {
    {"stuff", -1, 4, 4, bStuff},
    {"replicate", -1, 2, 2, bReplicate},
    {"space", 1, 1, 1, bSpace},
    {"reverse", -1, 1, 1, bReverse},
    {"patindex", -1, 2, 2, bPatIndex},
    {"quotename", -1, 1, 2, bQuoteName},
    {"concat_ws", -1, 3, 254, bConcatWs},
    {"translate", -1, 3, 3, bTranslate},
    {"ascii", -1, 1, 1, bAscii},
    {"char", -1, 1, 1, bChar},
    {"nchar", -1, 1, 1, bNChar},
    {"soundex", -1, 1, 1, bSoundex},
    {"difference", -1, 2, 2, bDifference},
    {"string_escape", -1, 2, 2, bStringEscape},
    {"formatmessage", -1, 1, 255, bFormatMessage},
    {"eomonth", -1, 1, 2, bEoMonth},
    {"datefromparts", -1, 3, 3, bDateFromParts},
    {"datetimefromparts", -1, 7, 7, bDateTimeFromParts},
    {"datetime2fromparts", -1, 8, 8, bDateTime2FromParts},
    {"timefromparts", -1, 5, 5, bTimeFromParts},
    {"smalldatetimefromparts", -1, 5, 5, bSmallDateTimeFromParts},
    {"sysutcdatetime", -1, 0, 0, bSysUtcDateTime},
    {"sysdatetimeoffset", -1, 0, 0, bSysDateTimeOffset},
    {"isdate", -1, 1, 1, bIsDate},
    {"isnumeric", -1, 1, 1, bIsNumeric},
    {"sandbox_trycast", 2, 2, 2, bTryCast},
    {"sandbox_parse", 3, 3, 3, bParse},
    {"power", 2, 2, 2, bPower},
    {"sqrt", 1, 1, 1, bSqrt},
    {"square", -1, 1, 1, bSquare},
    {"exp", 1, 1, 1, bExp},
    {"log", 1, 1, 2, bLog},
    {"log", 2, 1, 2, bLog},
    {"log10", 1, 1, 1, bLog10},
    {"sin", 1, 1, 1, bSin},
    {"cos", 1, 1, 1, bCos},
    {"tan", 1, 1, 1, bTan},
    {"cot", -1, 1, 1, bCot},
    {"asin", 1, 1, 1, bAsin},
    {"acos", 1, 1, 1, bAcos},
    {"atan", 1, 1, 1, bAtan},
    {"atn2", -1, 2, 2, bAtn2},
    {"rand", -1, 0, 1, bRand},
    {"choose", -1, 2, 255, bChoose},
    {"greatest", -1, 1, 254, bGreatest},
    {"least", -1, 1, 254, bLeast},
    {"nullif", 2, 2, 2, bNullIf},
    {"isjson", -1, 1, 1, bIsJson},
    {"json_value", -1, 2, 2, bJsonValue},
    {"json_query", -1, 1, 2, bJsonQuery},
    {"json_modify", -1, 3, 3, bJsonModify},
};

// The translation passes REPLICATE the length its result is cut to as -(kCutMarker + length), 0
// for none, after the arguments written.
constexpr std::int64_t kCutMarker = 1000000;

// The subtype SQLite's own JSON functions give JSON text; JSON_QUERY's result carries it.
constexpr unsigned kJsonSubtype = 'J';

std::string Text(sqlite3_value* v) {
    const unsigned char* p = sqlite3_value_text(v);
    return p ? std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(sqlite3_value_bytes(v))) : std::string();
}

bool IsNull(sqlite3_value* v) { return sqlite3_value_type(v) == SQLITE_NULL; }

[[noreturn]] void Fail(int number, int severity, int state, const std::string& text) {
    throw SqlError{number, severity, state, text, 1, "", false};
}

void ResultText(sqlite3_context* ctx, const std::string& s) {
    sqlite3_result_text(ctx, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
}

// A string as its characters (code points) and back.
std::vector<std::uint32_t> Chars(std::string_view s) {
    std::vector<std::uint32_t> out;
    for (size_t i = 0; i < s.size();) out.push_back(NextCodePoint(s, i));
    return out;
}


std::string FromChars(const std::vector<std::uint32_t>& cs, size_t from = 0, size_t to = std::string::npos) {
    std::string out;
    for (size_t i = from; i < std::min(to, cs.size()); ++i) AppendUtf8(out, cs[i]);
    return out;
}

// Case folded as the default collation compares: ASCII and Latin-1 letters.
std::uint32_t Fold(std::uint32_t c) {
    if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) return c - 32;
    return c;
}

// LIKE's pattern against text from a position: % any run, _ one character, [abc], [a-z], [^a].
bool Like(const std::vector<std::uint32_t>& p, size_t pi, const std::vector<std::uint32_t>& s, size_t si) {
    while (pi < p.size()) {
        const std::uint32_t c = p[pi];
        if (c == '%') {
            while (pi < p.size() && p[pi] == '%') ++pi;
            if (pi == p.size()) return true;
            for (size_t k = si; k <= s.size(); ++k)
                if (Like(p, pi, s, k)) return true;
            return false;
        }
        if (si >= s.size()) return false;
        if (c == '[') {
            size_t close = pi + 1;
            while (close < p.size() && p[close] != ']') ++close;
            if (close < p.size()) {
                bool negate = pi + 1 < close && p[pi + 1] == '^';
                bool hit = false;
                for (size_t k = pi + 1 + (negate ? 1 : 0); k < close; ++k) {
                    if (k + 2 < close && p[k + 1] == '-') {
                        hit = hit || (Fold(s[si]) >= Fold(p[k]) && Fold(s[si]) <= Fold(p[k + 2]));
                        k += 2;
                    } else {
                        hit = hit || Fold(s[si]) == Fold(p[k]);
                    }
                }
                if (hit == negate) return false;
                pi = close + 1;
                ++si;
                continue;
            }
        }
        if (c != '_' && Fold(c) != Fold(s[si])) return false;
        ++pi;
        ++si;
    }
    return si == s.size();
}

std::string Soundex(const std::string& text) {
    auto code = [](char c) -> char {
        switch (c) {
        case 'B':
        case 'F':
        case 'P':
        case 'V':
            return '1';
        case 'C':
        case 'G':
        case 'J':
        case 'K':
        case 'Q':
        case 'S':
        case 'X':
        case 'Z':
            return '2';
        case 'D':
        case 'T':
            return '3';
        case 'L':
            return '4';
        case 'M':
        case 'N':
            return '5';
        case 'R':
            return '6';
        default:
            return '0';
        }
    };
    std::string u;
    for (char c : text) {
        if (!std::isalpha(static_cast<unsigned char>(c))) {
            if (u.empty()) continue;
            break;
        }
        u += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (u.empty()) return "0000";
    std::string out(1, u[0]);
    char last = code(u[0]);
    for (size_t i = 1; i < u.size() && out.size() < 4; ++i) {
        const char c = code(u[i]);
        if (c != '0' && c != last) out += c;
        if (u[i] != 'H' && u[i] != 'W') last = c;  // H and W do not part two letters of one code
    }
    out.resize(4, '0');
    return out;
}

bool ValidDate(std::int64_t y, std::int64_t m, std::int64_t d) {
    if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1) return false;
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return d <= kDays[m - 1] + (m == 2 && leap ? 1 : 0);
}

// ISNUMERIC: text an integer, decimal, float or money conversion reads; a sign, a currency symbol
// or a point alone count, as on SQL Server.
bool LooksNumeric(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    if (i == s.size()) return false;
    bool marks = false, digits = false;
    if (s[i] == '$') ++i, marks = true;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i, marks = true;
    if (!marks || i < s.size()) {
        while (i < s.size() && s[i] == ' ') ++i;
    }
    if (i < s.size() && s[i] == '$' && !marks) ++i;
    for (; i < s.size() && (std::isdigit(static_cast<unsigned char>(s[i])) || s[i] == ','); ++i) digits = digits || s[i] != ',';
    if (i < s.size() && s[i] == '.') ++i, marks = true;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, digits = true;
    if (i < s.size() && digits && (s[i] == 'e' || s[i] == 'E' || s[i] == 'd' || s[i] == 'D')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        size_t from = i;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
        if (i == from) return false;
    }
    return i == s.size() && (digits || marks);
}

// An int argument: text is converted as SQL Server converts it to int (245 when it is no number).
std::int64_t IntArg(sqlite3_value* v) {
    if (sqlite3_value_type(v) != SQLITE_TEXT) return sqlite3_value_int64(v);
    long double x = 0;
    const std::string t = Text(v);
    if (t.find('.') != std::string::npos || !ParseIntegerText(t, x))
        Fail(245, 16, 1, "Conversion failed when converting the varchar value '" + t + "' to data type int.");
    return static_cast<std::int64_t>(x);
}

// The name SQL Server gives a value's type in a conversion error, from how it arrives.
std::string SourceTypeName(sqlite3_value* v) {
    if (sqlite3_value_type(v) == SQLITE_INTEGER) {
        const sqlite3_int64 i = sqlite3_value_int64(v);
        return i > 2147483647LL || i < -2147483648LL ? "bigint" : "int";
    }
    return sqlite3_value_type(v) == SQLITE_FLOAT ? "float" : "varchar";
}

std::string KindName(const SqlType& t) {
    std::string n = t.Name();
    return n.substr(0, n.find('('));
}

// Two values compared as SQL Server compares them: numbers (and decimals, which travel as text) as
// numbers, text without regard to case or trailing blanks.
int Compare(sqlite3_value* a, sqlite3_value* b) {
    auto number = [](sqlite3_value* v, double& out) {
        if (sqlite3_value_type(v) == SQLITE_INTEGER || sqlite3_value_type(v) == SQLITE_FLOAT) {
            out = sqlite3_value_double(v);
            return true;
        }
        const std::string t = Text(v);
        char* end = nullptr;
        out = std::strtod(t.c_str(), &end);
        return !t.empty() && t.find_first_not_of(" +-.0123456789") == std::string::npos && end && *end == '\0';
    };
    double x = 0, y = 0;
    if (number(a, x) && number(b, y)) return x < y ? -1 : x > y ? 1 : 0;
    std::string s = Upper(Text(a)), t = Upper(Text(b));
    while (!s.empty() && s.back() == ' ') s.pop_back();
    while (!t.empty() && t.back() == ' ') t.pop_back();
    return s.compare(t);
}

// A float result: NaN and infinity are the invalid floating point operation SQL Server raises.
void ResultFloat(sqlite3_context* ctx, double d) {
    if (!std::isfinite(d)) Fail(3623, 16, 1, "An invalid floating point operation occurred.");
    sqlite3_result_double(ctx, d);
}

// JSON path: lax (the default) or strict, then SQLite's path ($.a.b[0], $."a b").
struct JsonPath {
    bool strict = false;
    std::string path;
};

JsonPath ReadPath(const std::string& text) {
    JsonPath p;
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    auto word = [&](const char* w) {
        const size_t n = std::strlen(w);
        if (text.size() - i > n && SameNoCase(text.substr(i, n), w) && text[i + n] == ' ') {
            i += n;
            while (i < text.size() && text[i] == ' ') ++i;
            return true;
        }
        return false;
    };
    if (word("strict"))
        p.strict = true;
    else
        word("lax");
    p.path = text.substr(i);
    if (p.path.empty() || p.path[0] != '$') {
        const std::string at = p.path.empty() ? std::string() : p.path.substr(0, 1);
        Fail(13607, 16, 3,
             "JSON path is not properly formatted. Unexpected character '" + at + "' is found at position " + std::to_string(i) + ".");
    }
    return p;
}

}  // namespace

struct Builtins {
    static void Call(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
        auto* data = static_cast<FnData*>(sqlite3_user_data(ctx));
        try {
            Run(*data->session, static_cast<Id>(data->id), ctx, argc, argv);
        } catch (...) {
            data->session->pending_ = std::current_exception();
            sqlite3_result_error(ctx, "error in a function", -1);
        }
    }

    // One statement of SQLite's JSON functions on the session's handle: its first value, as text or NULL.
    static std::optional<std::string> Json(Session& s, const char* sql, const std::string& a, const std::string& b) {
        SqlStmt st;
        if (sqlite3_prepare_v2(s.db_, sql, -1, st.Out(), nullptr) != SQLITE_OK) return std::nullopt;
        sqlite3_bind_text(st, 1, a.c_str(), static_cast<int>(a.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 2, b.c_str(), static_cast<int>(b.size()), SQLITE_TRANSIENT);
        std::optional<std::string> out;
        if (sqlite3_step(st) == SQLITE_ROW && sqlite3_column_type(st, 0) != SQLITE_NULL)
            out = std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), static_cast<size_t>(sqlite3_column_bytes(st, 0)));
        return out;
    }

    // JSON text as SQL Server requires it: an object or an array.
    static void CheckJson(Session& s, const std::string& j) {
        const auto valid = Json(s, "SELECT json_valid(?1) AND json_type(?1) IN ('object', 'array'), ?2", j, "");
        if (valid && *valid == "1") return;
        size_t at = 0;
        while (at < j.size() && (j[at] == ' ' || j[at] == '\t' || j[at] == '\r' || j[at] == '\n')) ++at;
        const std::string ch = at < j.size() ? j.substr(at, 1) : std::string();
        Fail(13609, 16, 4,
             "JSON text is not properly formatted. Unexpected character '" + ch + "' is found at position " + std::to_string(at) + ".");
    }

    static void Run(Session& s, Id id, sqlite3_context* ctx, int argc, sqlite3_value** argv) {
        // REPLICATE's last argument as the translation adds it: where its result is cut (below).
        std::int64_t cutAt = 0;
        if (id == bReplicate && argc > 0 && sqlite3_value_type(argv[argc - 1]) == SQLITE_INTEGER &&
            sqlite3_value_int64(argv[argc - 1]) <= -kCutMarker) {
            cutAt = -sqlite3_value_int64(argv[--argc]) - kCutMarker;
        }
        for (const Spec& spec : kSpecs) {
            if (spec.id != id) continue;
            if (argc < spec.least || argc > spec.most) {
                std::string fn = spec.name;
                if (spec.least == spec.most)
                    Fail(174, 15, 1, "The " + fn + " function requires " + std::to_string(spec.least) + " argument(s).");
                Fail(189, 15, 1,
                     "The " + fn + " function requires " + std::to_string(spec.least) + " to " + std::to_string(spec.most) + " arguments.");
            }
            break;
        }
        auto anyNull = [&](int from, int to) {
            for (int k = from; k < std::min(to, argc); ++k)
                if (IsNull(argv[k])) return true;
            return false;
        };
        switch (id) {
        case bStuff: {
            // STUFF(text, start, length, insert): NULL for a start outside the text or a negative length.
            if (anyNull(0, 3)) return sqlite3_result_null(ctx);
            const auto cs = Chars(Text(argv[0]));
            const sqlite3_int64 start = sqlite3_value_int64(argv[1]), length = sqlite3_value_int64(argv[2]);
            if (start < 1 || start > static_cast<sqlite3_int64>(cs.size()) || length < 0) return sqlite3_result_null(ctx);
            const size_t from = static_cast<size_t>(start - 1);
            const size_t to = std::min(cs.size(), from + static_cast<size_t>(std::min<sqlite3_int64>(length, 1LL << 40)));
            return ResultText(ctx, FromChars(cs, 0, from) + (IsNull(argv[3]) ? "" : Text(argv[3])) + FromChars(cs, to));
        }
        case bReplicate: {
            // A negative count is NULL; the result of a text not of a max type is cut at 8000 bytes
            // (4000 characters of nvarchar).
            if (anyNull(0, 2) || sqlite3_value_int64(argv[1]) < 0) return sqlite3_result_null(ctx);
            const std::string v = Text(argv[0]);
            const sqlite3_int64 n = sqlite3_value_int64(argv[1]);
            if (v.empty() || n == 0) return ResultText(ctx, "");
            const long double total = static_cast<long double>(v.size()) * static_cast<long double>(n);
            if (total > 1e9L) Fail(40000, 16, 1, "The result of REPLICATE is too large for the stand-in to hold.");
            std::string r;
            r.reserve(static_cast<size_t>(total));
            for (sqlite3_int64 k = 0; k < n; ++k) r += v;
            if (cutAt > 0) {
                const auto cs = Chars(r);
                if (static_cast<std::int64_t>(cs.size()) > cutAt) r = FromChars(cs, 0, static_cast<size_t>(cutAt));
            }
            return ResultText(ctx, r);
        }
        case bSpace: {
            if (IsNull(argv[0]) || sqlite3_value_int64(argv[0]) < 0) return sqlite3_result_null(ctx);
            return ResultText(ctx, std::string(static_cast<size_t>(std::min<sqlite3_int64>(sqlite3_value_int64(argv[0]), 8000)), ' '));
        }
        case bReverse: {
            if (IsNull(argv[0])) return sqlite3_result_null(ctx);
            auto cs = Chars(Text(argv[0]));
            std::reverse(cs.begin(), cs.end());
            return ResultText(ctx, FromChars(cs));
        }
        case bPatIndex: {
            // The start of the first match of a LIKE pattern; a pattern without a leading % matches at 1 or not at all.
            if (anyNull(0, 2)) return sqlite3_result_null(ctx);
            auto p = Chars(Text(argv[0]));
            const auto t = Chars(Text(argv[1]));
            if (p.empty() || p[0] != '%') return sqlite3_result_int64(ctx, Like(p, 0, t, 0) ? 1 : 0);
            size_t lead = 0;
            while (lead < p.size() && p[lead] == '%') ++lead;
            if (lead == p.size()) return sqlite3_result_int64(ctx, t.empty() ? 0 : 1);
            for (size_t k = 0; k < t.size(); ++k)
                if (Like(p, lead, t, k)) {
                    // The pattern's own end: '%b%' against 'abc' is 2, where b is.
                    return sqlite3_result_int64(ctx, static_cast<sqlite3_int64>(k) + 1);
                }
            return sqlite3_result_int64(ctx, 0);
        }
        case bQuoteName: {
            // Up to 128 characters between the quote character's pair, the closing one doubled inside.
            if (IsNull(argv[0]) || (argc > 1 && IsNull(argv[1]))) return sqlite3_result_null(ctx);
            const auto cs = Chars(Text(argv[0]));
            if (cs.size() > 128) return sqlite3_result_null(ctx);
            const auto q = argc > 1 ? Chars(Text(argv[1])) : std::vector<std::uint32_t>{'['};
            if (q.empty()) return sqlite3_result_null(ctx);
            std::uint32_t open = q[0], close;
            switch (open) {
            case '[':
            case ']':
                open = '[', close = ']';
                break;
            case '(':
            case ')':
                open = '(', close = ')';
                break;
            case '<':
            case '>':
                open = '<', close = '>';
                break;
            case '{':
            case '}':
                open = '{', close = '}';
                break;
            case '"':
            case '\'':
            case '`':
                close = open;
                break;
            default:
                return sqlite3_result_null(ctx);
            }
            std::string out;
            AppendUtf8(out, open);
            for (std::uint32_t c : cs) {
                AppendUtf8(out, c);
                if (c == close) AppendUtf8(out, c);
            }
            AppendUtf8(out, close);
            return ResultText(ctx, out);
        }
        case bConcatWs: {
            // The separator between the values that are not NULL.
            const std::string sep = IsNull(argv[0]) ? std::string() : Text(argv[0]);
            std::string out;
            bool first = true;
            for (int k = 1; k < argc; ++k) {
                if (IsNull(argv[k])) continue;
                if (!first) out += sep;
                first = false;
                out += sqlite3_value_type(argv[k]) == SQLITE_BLOB
                           ? Cp1252ToUtf8(std::string_view(static_cast<const char*>(sqlite3_value_blob(argv[k])),
                                                           static_cast<size_t>(sqlite3_value_bytes(argv[k]))))
                           : Text(argv[k]);
            }
            return ResultText(ctx, out);
        }
        case bTranslate: {
            if (anyNull(0, 3)) return sqlite3_result_null(ctx);
            auto cs = Chars(Text(argv[0]));
            const auto from = Chars(Text(argv[1])), to = Chars(Text(argv[2]));
            if (from.size() != to.size())
                Fail(9828, 16, 1,
                     "The second and third arguments of the TRANSLATE built-in function must contain an equal number of characters.");
            for (auto& c : cs)
                for (size_t k = 0; k < from.size(); ++k)
                    if (c == from[k]) {
                        c = to[k];
                        break;
                    }
            return ResultText(ctx, FromChars(cs));
        }
        case bAscii: {
            // The first character's byte in code page 1252.
            if (IsNull(argv[0])) return sqlite3_result_null(ctx);
            const std::string t = Text(argv[0]);
            if (t.empty()) return sqlite3_result_null(ctx);
            size_t i = 0;
            NextCodePoint(t, i);
            const std::string b = Utf8ToCp1252(std::string_view(t).substr(0, i));
            return sqlite3_result_int(ctx, b.empty() ? 63 : static_cast<unsigned char>(b[0]));
        }
        case bChar: {
            if (IsNull(argv[0])) return sqlite3_result_null(ctx);
            const sqlite3_int64 n = sqlite3_value_int64(argv[0]);
            if (n < 0 || n > 255) return sqlite3_result_null(ctx);
            return ResultText(ctx, Cp1252ToUtf8(std::string(1, static_cast<char>(n))));
        }
        case bNChar: {
            if (IsNull(argv[0])) return sqlite3_result_null(ctx);
            const sqlite3_int64 n = sqlite3_value_int64(argv[0]);
            if (n < 0 || n > 0x10FFFF || (n >= 0xD800 && n <= 0xDFFF)) return sqlite3_result_null(ctx);
            std::string out;
            AppendUtf8(out, static_cast<std::uint32_t>(n));
            return ResultText(ctx, out);
        }
        case bSoundex: {
            if (IsNull(argv[0])) return sqlite3_result_null(ctx);
            return ResultText(ctx, Soundex(Text(argv[0])));
        }
        case bDifference: {
            if (anyNull(0, 2)) return sqlite3_result_null(ctx);
            const std::string a = Soundex(Text(argv[0])), b = Soundex(Text(argv[1]));
            int same = 0;
            for (size_t k = 0; k < 4; ++k) same += a[k] == b[k];
            return sqlite3_result_int(ctx, same);
        }
        case bStringEscape: {
            if (IsNull(argv[0])) return sqlite3_result_null(ctx);
            if (IsNull(argv[1]) || !SameNoCase(Text(argv[1]), "json"))
                Fail(4113, 16, 1, "The second argument of the STRING_ESCAPE function is not a valid escape type: only 'json' is.");
            const std::string out = JsonEscaped(Text(argv[0]));
            return ResultText(ctx, out);
        }
        case bFormatMessage: {
            // A message text formatted as RAISERROR does; a message number (of sys.messages) is not
            // known here and gives NULL.
            if (IsNull(argv[0]) || sqlite3_value_type(argv[0]) != SQLITE_TEXT) return sqlite3_result_null(ctx);
            std::vector<SqlValue> values;
            for (int k = 1; k < argc; ++k) {
                switch (sqlite3_value_type(argv[k])) {
                case SQLITE_INTEGER:
                    values.push_back(SqlValue::FromInt(sqlite3_value_int64(argv[k])));
                    break;
                case SQLITE_NULL:
                    values.emplace_back();
                    break;
                default:
                    values.push_back(SqlValue::FromText(Text(argv[k])));
                    break;
                }
            }
            std::string out = FormatRaiserror(Text(argv[0]), values);
            const auto cs = Chars(out);
            if (cs.size() > 2047) out = FromChars(cs, 0, 2047);
            return ResultText(ctx, out);
        }
        case bEoMonth: {
            // The month's last day, after moving the given number of months.
            if (anyNull(0, 2)) return sqlite3_result_null(ctx);
            DateTimeParts p;
            if (sqlite3_value_type(argv[0]) != SQLITE_TEXT)
                Fail(8116, 16, 1, "Argument data type " + SourceTypeName(argv[0]) + " is invalid for argument 1 of eomonth function.");
            if (!ParseDateTime(Text(argv[0]), p, s.dateOrder_))
                Fail(241, 16, 1, "Conversion failed when converting date and/or time from character string.");
            const std::int64_t months =
                static_cast<std::int64_t>(p.year) * 12 + (p.month - 1) + (argc > 1 ? sqlite3_value_int64(argv[1]) : 0);
            const std::int64_t y = months / 12, m = months % 12 + 1;
            if (months < 12 || y > 9999) Fail(517, 16, 3, "Adding a value to a 'date' column caused an overflow.");
            std::int64_t d = 31;
            while (!ValidDate(y, m, d)) --d;
            char buf[16];
            std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", static_cast<int>(y), static_cast<int>(m), static_cast<int>(d));
            return ResultText(ctx, buf);
        }
        case bDateFromParts:
        case bDateTimeFromParts:
        case bDateTime2FromParts:
        case bTimeFromParts:
        case bSmallDateTimeFromParts: {
            const bool timeOnly = id == bTimeFromParts;
            const int precisionAt = id == bDateTime2FromParts ? 7 : id == bTimeFromParts ? 4 : -1;
            const char* typeName = id == bDateFromParts        ? "date"
                                   : id == bDateTimeFromParts  ? "datetime"
                                   : id == bDateTime2FromParts ? "datetime2"
                                   : id == bTimeFromParts      ? "time"
                                                               : "smalldatetime";
            int precision = 0;
            if (precisionAt >= 0) {
                if (IsNull(argv[precisionAt]))
                    Fail(10760, 16, 1,
                         std::string("Scale argument is not valid. Valid expressions for data type ") + typeName +
                             " scale argument are integer constants and integer constant expressions.");
                const sqlite3_int64 scale = sqlite3_value_int64(argv[precisionAt]);
                if (scale < 0 || scale > 7) Fail(1002, 16, 1, "Line 1: Specified scale " + std::to_string(scale) + " is invalid.");
                precision = static_cast<int>(scale);
            }
            if (anyNull(0, precisionAt >= 0 ? precisionAt : argc)) return sqlite3_result_null(ctx);
            std::int64_t v[7] = {1900, 1, 1, 0, 0, 0, 0};
            const int dateParts = timeOnly ? 0 : 3;
            for (int k = 0; k < (precisionAt >= 0 ? precisionAt : argc); ++k) v[k + (timeOnly ? 3 : 0)] = IntArg(argv[k]);
            const std::int64_t fraction = v[6];
            const std::int64_t fractionLimit = id == bDateTimeFromParts ? 1000 : static_cast<std::int64_t>(std::pow(10.0, precision));
            bool ok = (dateParts == 0 || ValidDate(v[0], v[1], v[2])) && v[3] >= 0 && v[3] < 24 && v[4] >= 0 && v[4] < 60 && v[5] >= 0 &&
                      v[5] < 60 && fraction >= 0 && fraction < fractionLimit;
            SqlType type = SqlType::Of(id == bDateFromParts        ? SqlType::Date
                                       : id == bDateTimeFromParts  ? SqlType::DateTime
                                       : id == bDateTime2FromParts ? SqlType::DateTime2
                                       : id == bTimeFromParts      ? SqlType::Time
                                                                   : SqlType::SmallDateTime,
                                       0, 0, precision);
            DateTimeParts p;
            if (ok) {
                p.year = static_cast<int>(v[0]);
                p.month = static_cast<int>(v[1]);
                p.day = static_cast<int>(v[2]);
                p.hour = static_cast<int>(v[3]);
                p.minute = static_cast<int>(v[4]);
                p.second = static_cast<int>(v[5]);
                p.nanos = id == bDateTimeFromParts ? static_cast<int>(fraction) * 1000000
                                                   : static_cast<int>(fraction * static_cast<std::int64_t>(std::pow(10.0, 9 - precision)));
                ok = timeOnly || InDateRange(p, type.kind);
            }
            if (!ok)
                Fail(289, 16, 1,
                     std::string("Cannot construct data type ") + typeName + ", some of the arguments have values which are not valid.");
            return ResultText(ctx, FormatDateTime(p, type));
        }
        case bSysUtcDateTime:
        case bSysDateTimeOffset: {
            // Now to 100 nanoseconds: in UTC, or local time with its offset.
            timespec ts{};
            clock_gettime(CLOCK_REALTIME, &ts);
            std::tm tmv{};
            if (id == bSysUtcDateTime)
                gmtime_r(&ts.tv_sec, &tmv);
            else
                localtime_r(&ts.tv_sec, &tmv);
            char buf[64];
            std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%07ld", tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday,
                          tmv.tm_hour, tmv.tm_min, tmv.tm_sec, ts.tv_nsec / 100);
            std::string out = buf;
            if (id == bSysDateTimeOffset) {
                const long minutes = tmv.tm_gmtoff / 60;
                std::snprintf(buf, sizeof buf, " %c%02ld:%02ld", minutes < 0 ? '-' : '+', std::labs(minutes) / 60, std::labs(minutes) % 60);
                out += buf;
            }
            return ResultText(ctx, out);
        }
        case bIsDate: {
            // Whether the text converts to datetime under the session's DATEFORMAT.
            if (IsNull(argv[0]) || sqlite3_value_type(argv[0]) == SQLITE_BLOB) return sqlite3_result_int(ctx, 0);
            DateTimeParts p;
            return sqlite3_result_int(ctx, ParseDateTime(Text(argv[0]), p, s.dateOrder_, true) && InDateRange(p, SqlType::DateTime));
        }
        case bIsNumeric: {
            const int type = sqlite3_value_type(argv[0]);
            if (type == SQLITE_NULL || type == SQLITE_BLOB) return sqlite3_result_int(ctx, 0);
            if (type != SQLITE_TEXT) return sqlite3_result_int(ctx, 1);
            return sqlite3_result_int(ctx, LooksNumeric(Text(argv[0])));
        }
        case bTryCast: {
            // The value CAST gives, or NULL where CAST would fail to convert it; a conversion SQL
            // Server does not allow at all still fails.
            if (IsNull(argv[0])) return sqlite3_result_null(ctx);
            SqlType type;
            if (!ParseSqlType(Text(argv[1]), type)) return sqlite3_result_value(ctx, argv[0]);
            const int from = sqlite3_value_type(argv[0]);
            const bool newDate = type.kind == SqlType::Date || type.kind == SqlType::Time || type.kind == SqlType::DateTime2 ||
                                 type.kind == SqlType::DateTimeOffset;
            if ((from == SQLITE_INTEGER || from == SQLITE_FLOAT) && newDate)
                Fail(529, 16, 2,
                     "Explicit conversion from data type " + SourceTypeName(argv[0]) + " to " + KindName(type) + " is not allowed.");
            if (type.IsText() || type.IsUnicode()) {
                // Text is cut to the length (char padded); a number too long for it is '*' as CAST gives.
                std::string t = Text(argv[0]);
                const auto cs = Chars(t);
                if (type.length > 0 && static_cast<long>(cs.size()) > type.length) {
                    if (from == SQLITE_INTEGER) return ResultText(ctx, type.IsUnicode() ? std::string() : std::string("*"));
                    t = FromChars(cs, 0, static_cast<size_t>(type.length));
                }
                if ((type.kind == SqlType::Char || type.kind == SqlType::NChar) && type.length > static_cast<long>(cs.size()))
                    t.append(static_cast<size_t>(type.length) - cs.size(), ' ');
                return ResultText(ctx, t);
            }
            SqlValue in;
            switch (from) {
            case SQLITE_INTEGER:
                in = SqlValue::FromInt(sqlite3_value_int64(argv[0]));
                break;
            case SQLITE_FLOAT:
                in = SqlValue::FromReal(sqlite3_value_double(argv[0]));
                break;
            case SQLITE_BLOB:
                return sqlite3_result_value(ctx, argv[0]);
            default:
                in = SqlValue::FromText(Text(argv[0]));
                break;
            }
            SqlValue out;
            try {
                out = StoreValue(type, in, s.dateOrder_, false);
            } catch (const SqlError& e) {
                if (e.number == 245 || e.number == 8114 || e.number == 8115 || e.number == 241 || e.number == 242 || e.number == 235 ||
                    e.number == 206)
                    return sqlite3_result_null(ctx);
                throw;
            }
            return ResultValue(ctx, out);
        }
        case bParse: {
            // PARSE and TRY_PARSE in en-US: numbers may have a currency sign and thousands separators,
            // dates a weekday name before them; TRY_PARSE gives NULL where PARSE fails.
            if (IsNull(argv[0])) return sqlite3_result_null(ctx);
            const bool tryOnly = sqlite3_value_int(argv[2]) != 0;
            SqlType type;
            if (!ParseSqlType(Text(argv[1]), type)) return sqlite3_result_value(ctx, argv[0]);
            if (sqlite3_value_type(argv[0]) != SQLITE_TEXT)
                Fail(8116, 16, 1, "Argument data type " + SourceTypeName(argv[0]) + " is invalid for argument 1 of parse function.");
            std::string text = Text(argv[0]);
            const bool date = type.kind == SqlType::Date || type.kind == SqlType::DateTime || type.kind == SqlType::DateTime2 ||
                              type.kind == SqlType::SmallDateTime || type.kind == SqlType::Time || type.kind == SqlType::DateTimeOffset;
            if (date) {
                static const char* const kDays[] = {"sunday", "monday", "tuesday", "wednesday", "thursday", "friday", "saturday"};
                const size_t comma = text.find(',');
                if (comma != std::string::npos)
                    for (const char* d : kDays) {
                        std::string head = text.substr(0, comma);
                        while (!head.empty() && head.back() == ' ') head.pop_back();
                        while (!head.empty() && head.front() == ' ') head.erase(0, 1);
                        if (SameNoCase(head, d) || (head.size() == 3 && SameNoCase(head, std::string(d, 3)))) {
                            text = text.substr(comma + 1);
                            break;
                        }
                    }
            } else {
                std::string plain;
                for (char c : text)
                    if (c != ',' && c != '$') plain += c;
                text = plain;
            }
            try {
                const SqlValue out = StoreValue(type, SqlValue::FromText(text), "mdy", true);
                return ResultValue(ctx, out);
            } catch (const SqlError&) {
                if (tryOnly) return sqlite3_result_null(ctx);
                Fail(9819, 16, 1,
                     "Error converting string value '" + Text(argv[0]) + "' into data type " + KindName(type) + " using culture ''.");
            }
        }
        case bPower: {
            // The first argument's type: an integer power is cut to an integer, and must fit it.
            if (anyNull(0, 2)) return sqlite3_result_null(ctx);
            const double r = std::pow(sqlite3_value_double(argv[0]), sqlite3_value_double(argv[1]));
            if (sqlite3_value_type(argv[0]) == SQLITE_INTEGER && std::isfinite(r)) {
                const sqlite3_int64 base = sqlite3_value_int64(argv[0]);
                const bool big = base > 2147483647LL || base < -2147483648LL;
                const double t = std::trunc(r);
                if (big ? (t >= 9223372036854775808.0 || t < -9223372036854775808.0) : (t > 2147483647.0 || t < -2147483648.0)) {
                    char buf[64];
                    std::snprintf(buf, sizeof buf, "%.6f", r);
                    Fail(232, 16, 3,
                         std::string("Arithmetic overflow error for type ") + (big ? "bigint" : "int") + ", value = " + buf + ".");
                }
                return sqlite3_result_int64(ctx, static_cast<sqlite3_int64>(t));
            }
            return ResultFloat(ctx, r);
        }
        case bSqrt:
        case bSquare:
        case bExp:
        case bLog10:
        case bSin:
        case bCos:
        case bTan:
        case bCot:
        case bAsin:
        case bAcos:
        case bAtan: {
            if (IsNull(argv[0])) return sqlite3_result_null(ctx);
            const double x = sqlite3_value_double(argv[0]);
            if (((id == bSqrt) && x < 0) || (id == bLog10 && x <= 0) || ((id == bAsin || id == bAcos) && (x < -1 || x > 1)))
                Fail(3623, 16, 1, "An invalid floating point operation occurred.");
            const double r = id == bSqrt     ? std::sqrt(x)
                             : id == bSquare ? x * x
                             : id == bExp    ? std::exp(x)
                             : id == bLog10  ? std::log10(x)
                             : id == bSin    ? std::sin(x)
                             : id == bCos    ? std::cos(x)
                             : id == bTan    ? std::tan(x)
                             : id == bCot    ? 1.0 / std::tan(x)
                             : id == bAsin   ? std::asin(x)
                             : id == bAcos   ? std::acos(x)
                                             : std::atan(x);
            return ResultFloat(ctx, r);
        }
        case bLog: {
            // LOG(x [, base]): natural by default; the base comes second, unlike SQLite's own.
            if (anyNull(0, argc)) return sqlite3_result_null(ctx);
            const double x = sqlite3_value_double(argv[0]);
            const double base = argc > 1 ? sqlite3_value_double(argv[1]) : 0;
            if (x <= 0 || (argc > 1 && (base <= 0 || base == 1))) Fail(3623, 16, 1, "An invalid floating point operation occurred.");
            return ResultFloat(ctx, argc > 1 ? std::log(x) / std::log(base) : std::log(x));
        }
        case bAtn2: {
            if (anyNull(0, 2)) return sqlite3_result_null(ctx);
            return ResultFloat(ctx, std::atan2(sqlite3_value_double(argv[0]), sqlite3_value_double(argv[1])));
        }
        case bRand: {
            // A seed starts the session's sequence again.
            static thread_local std::mt19937_64 rng{std::random_device{}()};
            if (argc > 0 && !IsNull(argv[0])) rng.seed(static_cast<std::uint64_t>(sqlite3_value_int64(argv[0])));
            return sqlite3_result_double(ctx, std::uniform_real_distribution<double>(0.0, 1.0)(rng));
        }
        case bChoose: {
            if (IsNull(argv[0])) return sqlite3_result_null(ctx);
            const sqlite3_int64 k = sqlite3_value_int64(argv[0]);
            if (k < 1 || k >= argc) return sqlite3_result_null(ctx);
            return sqlite3_result_value(ctx, argv[k]);
        }
        case bGreatest:
        case bLeast: {
            // NULLs are skipped; numbers compare as numbers, text without regard to case.
            int best = -1;
            for (int k = 0; k < argc; ++k) {
                if (IsNull(argv[k])) continue;
                if (best < 0) {
                    best = k;
                    continue;
                }
                const int c = Compare(argv[k], argv[best]);
                if (id == bGreatest ? c > 0 : c < 0) best = k;
            }
            if (best < 0) return sqlite3_result_null(ctx);
            return sqlite3_result_value(ctx, argv[best]);
        }
        case bNullIf: {
            if (IsNull(argv[0]) || IsNull(argv[1])) return sqlite3_result_value(ctx, argv[0]);
            if (Compare(argv[0], argv[1]) == 0) return sqlite3_result_null(ctx);
            return sqlite3_result_value(ctx, argv[0]);
        }
        case bIsJson: {
            if (IsNull(argv[0])) return sqlite3_result_null(ctx);
            const auto valid = Json(s, "SELECT json_valid(?1) AND json_type(?1) IN ('object', 'array'), ?2", Text(argv[0]), "");
            return sqlite3_result_int(ctx, valid && *valid == "1");
        }
        case bJsonValue:
        case bJsonQuery: {
            // JSON_VALUE gives a scalar (up to 4000 characters), JSON_QUERY an object or array; in lax
            // mode anything else is NULL, in strict mode an error.
            if (IsNull(argv[0])) return sqlite3_result_null(ctx);
            if (argc > 1 && IsNull(argv[1]))
                Fail(13607, 16, 3, "JSON path is not properly formatted. Unexpected character '' is found at position 0.");
            const std::string j = Text(argv[0]);
            const JsonPath path = ReadPath(argc > 1 ? Text(argv[1]) : "$");
            CheckJson(s, j);
            const auto type = Json(s, "SELECT json_type(?1, ?2)", j, path.path);
            if (!type) {
                if (path.strict) Fail(13608, 16, 2, "Property cannot be found on the specified JSON path.");
                return sqlite3_result_null(ctx);
            }
            const bool composite = *type == "object" || *type == "array";
            if (id == bJsonValue) {
                if (composite) {
                    if (path.strict) Fail(13623, 16, 1, "Scalar value cannot be found in the specified JSON path.");
                    return sqlite3_result_null(ctx);
                }
                if (*type == "null") return sqlite3_result_null(ctx);
                const auto v = Json(s, *type == "text" ? "SELECT json_extract(?1, ?2)" : "SELECT ?1 -> ?2", j, path.path);
                if (!v) return sqlite3_result_null(ctx);
                if (Chars(*v).size() > 4000) {
                    if (path.strict) Fail(13625, 16, 1, "String value in the specified JSON path would be truncated.");
                    return sqlite3_result_null(ctx);
                }
                return ResultText(ctx, *v);
            }
            if (!composite) {
                if (path.strict) Fail(13624, 16, 1, "Object or array cannot be found in the specified JSON path.");
                return sqlite3_result_null(ctx);
            }
            const auto v = Json(s, "SELECT ?1 -> ?2", j, path.path);
            if (!v) return sqlite3_result_null(ctx);
            ResultText(ctx, *v);
            sqlite3_result_subtype(ctx, kJsonSubtype);  // JSON_MODIFY takes it as JSON, not as a string
            return;
        }
        case bJsonModify: {
            // JSON_MODIFY(json, '[append] [lax | strict] $.path', value): a string value goes in as a
            // string, JSON_QUERY's as JSON; in lax mode NULL removes the property and a missing one is
            // added, in strict mode a missing one is 13608.
            if (IsNull(argv[0])) return sqlite3_result_null(ctx);
            if (IsNull(argv[1])) Fail(13607, 16, 3, "JSON path is not properly formatted. Unexpected character '' is found at position 0.");
            const std::string j = Text(argv[0]);
            CheckJson(s, j);
            std::string pathText = Text(argv[1]);
            size_t at = pathText.find_first_not_of(' ');
            const bool append = at != std::string::npos && pathText.size() > at + 7 && SameNoCase(pathText.substr(at, 6), "append") &&
                                pathText[at + 6] == ' ';
            if (append) pathText = pathText.substr(at + 7);
            const JsonPath path = ReadPath(pathText);
            const auto type = Json(s, "SELECT json_type(?1, ?2)", j, path.path);
            if (append && (!type || *type != "array")) {
                if (path.strict) Fail(13608, 16, 2, "Property cannot be found on the specified JSON path.");
                return ResultText(ctx, j);
            }
            if (!type && path.strict) Fail(13608, 16, 2, "Property cannot be found on the specified JSON path.");
            const bool remove = IsNull(argv[2]) && !path.strict && !append;
            const bool json = sqlite3_value_subtype(argv[2]) == kJsonSubtype;
            const std::string sql =
                remove   ? "SELECT json_remove(?1, ?2)"
                : append ? (json ? "SELECT json_insert(?1, ?2 || '[#]', json(?3))" : "SELECT json_insert(?1, ?2 || '[#]', ?3)")
                : json   ? "SELECT json_set(?1, ?2, json(?3))"
                         : "SELECT json_set(?1, ?2, ?3)";
            SqlStmt st;
            if (sqlite3_prepare_v2(s.db_, sql.c_str(), -1, st.Out(), nullptr) != SQLITE_OK) return sqlite3_result_null(ctx);
            sqlite3_bind_text(st, 1, j.c_str(), static_cast<int>(j.size()), SQLITE_TRANSIENT);
            sqlite3_bind_text(st, 2, path.path.c_str(), static_cast<int>(path.path.size()), SQLITE_TRANSIENT);
            if (!remove) sqlite3_bind_value(st, 3, argv[2]);
            if (sqlite3_step(st) != SQLITE_ROW || sqlite3_column_type(st, 0) == SQLITE_NULL) return ResultText(ctx, j);
            return ResultText(ctx, std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)),
                                               static_cast<size_t>(sqlite3_column_bytes(st, 0))));
        }
        }
    }
};

void Session::RegisterBuiltinFunctions() {
    for (const Spec& f : kSpecs) {
        fnData_.push_back(std::make_unique<FnData>(FnData{this, static_cast<int>(f.id), f.name}));
        int flags = SQLITE_UTF8 | (f.id == bJsonModify ? SQLITE_SUBTYPE : 0);
#ifdef SQLITE_RESULT_SUBTYPE
        if (f.id == bJsonQuery) flags |= SQLITE_RESULT_SUBTYPE;  // newer SQLite keeps the subtype only when told
#endif
        sqlite3_create_function_v2(db_, f.name, f.args, flags, fnData_.back().get(), Builtins::Call, nullptr, nullptr, nullptr);
        // Registered for its own count of arguments to stand before SQLite's function of the name;
        // any other count reaches here too, to be refused as SQL Server refuses it.
        if (f.args >= 0)
            sqlite3_create_function_v2(db_, f.name, -1, SQLITE_UTF8, fnData_.back().get(), Builtins::Call, nullptr, nullptr, nullptr);
    }
}

bool Session::BuiltinCallType(const std::vector<Token>& e, SqlType& type) {
    const std::string& f = e[0].value;
    const auto args = SplitCommas(e, 2, e.size() - 1);
    auto argType = [&](size_t k, bool& named) {
        named = false;
        return k < args.size() ? InferExprType(args[k], named) : SqlType::Of(SqlType::Int);
    };
    bool named = false;
    // Character results of the first argument's kind: a max type stays max, others are the
    // longest the kind holds (8000 bytes) or the argument's own length.
    auto textOf = [&](size_t k, bool keepLength, size_t alsoUnicode) {
        const SqlType t = argType(k, named);
        bool other = false;
        const bool unicode = t.IsUnicode() || (alsoUnicode < args.size() && argType(alsoUnicode, other).IsUnicode());
        const bool isText = t.IsText() || t.IsUnicode();
        const bool max = isText && (t.length < 0 || t.kind == SqlType::Text || t.kind == SqlType::NText);
        int length = max ? -1 : unicode ? 4000 : 8000;
        if (keepLength && isText && !max) length = t.length;
        return SqlType::Of(unicode ? SqlType::NVarChar : SqlType::VarChar, length);
    };
    static const char* const kFloat[] = {"SQRT", "SQUARE", "EXP",  "LOG",  "LOG10", "SIN",  "COS", "TAN",
                                         "COT",  "ASIN",   "ACOS", "ATAN", "ATN2",  "RAND", "PI"};
    for (const char* n : kFloat)
        if (f == n) return type = SqlType::Of(SqlType::Float), true;
    static const char* const kInt[] = {"PATINDEX", "ASCII", "UNICODE", "DIFFERENCE", "ISDATE", "ISNUMERIC", "ISJSON", "DATEPART"};
    for (const char* n : kInt)
        if (f == n) return type = SqlType::Of(SqlType::Int), true;
    if (f == "STUFF") return type = textOf(0, false, 3), true;
    if (f == "REPLICATE") return type = textOf(0, false, SIZE_MAX), true;
    if (f == "REVERSE" || f == "TRANSLATE" || f == "TRIM") return type = textOf(0, true, SIZE_MAX), true;
    if (f == "SPACE") return type = SqlType::Of(SqlType::VarChar, 8000), true;
    if (f == "QUOTENAME") return type = SqlType::Of(SqlType::NVarChar, 258), true;
    if (f == "CHAR") return type = SqlType::Of(SqlType::Char, 1), true;
    if (f == "NCHAR") return type = SqlType::Of(SqlType::NChar, 1), true;
    if (f == "SOUNDEX") return type = SqlType::Of(SqlType::VarChar, 4), true;
    if (f == "STRING_ESCAPE" || f == "JSON_QUERY" || f == "JSON_MODIFY") return type = SqlType::Of(SqlType::NVarChar, -1), true;
    if (f == "JSON_VALUE") return type = SqlType::Of(SqlType::NVarChar, 4000), true;
    if (f == "FORMATMESSAGE") return type = SqlType::Of(SqlType::NVarChar, 2048), true;
    if (f == "DATENAME") return type = SqlType::Of(SqlType::NVarChar, 30), true;
    if (f == "DATEDIFF_BIG") return type = SqlType::Of(SqlType::BigInt), true;
    if (f == "SYSUTCDATETIME") return type = SqlType::Of(SqlType::DateTime2, 0, 0, 7), true;
    if (f == "SYSDATETIMEOFFSET") return type = SqlType::Of(SqlType::DateTimeOffset, 0, 0, 7), true;
    if (f == "EOMONTH" || f == "DATEFROMPARTS") return type = SqlType::Of(SqlType::Date), true;
    if (f == "DATETIMEFROMPARTS") return type = SqlType::Of(SqlType::DateTime), true;
    if (f == "SMALLDATETIMEFROMPARTS") return type = SqlType::Of(SqlType::SmallDateTime), true;
    if (f == "DATETIME2FROMPARTS" || f == "TIMEFROMPARTS") {
        const size_t at = f == "TIMEFROMPARTS" ? 4 : 7;
        int scale = 7;
        if (at < args.size() && args[at].size() == 1 && args[at][0].kind == Token::Number) scale = std::atoi(args[at][0].text.c_str());
        return type = SqlType::Of(f == "TIMEFROMPARTS" ? SqlType::Time : SqlType::DateTime2, 0, 0, std::clamp(scale, 0, 7)), true;
    }
    if (f == "DATEADD" || f == "DATETRUNC") {
        // The date argument's type; a string is datetime for DATEADD, datetime2 for DATETRUNC.
        const SqlType t = argType(f == "DATEADD" ? 2 : 1, named);
        const bool date = t.kind == SqlType::Date || t.kind == SqlType::DateTime || t.kind == SqlType::DateTime2 ||
                          t.kind == SqlType::SmallDateTime || t.kind == SqlType::Time || t.kind == SqlType::DateTimeOffset;
        if (named && date) return type = t, true;
        return type = f == "DATEADD" ? SqlType::Of(SqlType::DateTime) : SqlType::Of(SqlType::DateTime2, 0, 0, 7), true;
    }
    if (f == "TRY_CAST" || f == "TRY_CONVERT" || f == "PARSE" || f == "TRY_PARSE") {
        std::vector<Token> cast = e;
        cast[0] = MakeToken(Token::Word, f == "TRY_CONVERT" ? "CONVERT" : "CAST", e[0].spaceBefore);
        // PARSE(text AS type USING culture): the culture is no part of the type.
        for (size_t k = 2; k + 1 < cast.size(); ++k)
            if (cast[k].Is("USING")) cast.erase(cast.begin() + static_cast<std::ptrdiff_t>(k), cast.end() - 1);
        return type = InferExprType(cast, named), named;
    }
    if (f == "CONCAT_WS") {
        // As CONCAT of the values with a separator between each two.
        std::vector<Token> concat = {MakeToken(Token::Word, "CONCAT"), MakeToken(Token::Op, "(")};
        for (size_t k = 1; k < args.size(); ++k) {
            if (k > 1) {
                concat.insert(concat.end(), args[0].begin(), args[0].end());
                concat.push_back(MakeToken(Token::Op, ","));
            }
            concat.insert(concat.end(), args[k].begin(), args[k].end());
            concat.push_back(MakeToken(Token::Op, ","));
        }
        concat.back() = MakeToken(Token::Op, ")");
        return type = InferExprType(concat, named), named;
    }
    if (f == "CHOOSE" || f == "GREATEST" || f == "LEAST") {
        std::vector<std::vector<Token>> values(args.begin() + (f == "CHOOSE" ? 1 : 0), args.end());
        type = MergedType(values, named);
        return named;
    }
    if (f == "NULLIF" && !args.empty()) return type = argType(0, named), named;
    if (f == "POWER" || f == "SIGN") {
        const SqlType t = argType(0, named);
        if (!named) return false;
        switch (t.kind) {
        case SqlType::TinyInt:
        case SqlType::SmallInt:
        case SqlType::Int:
            return type = SqlType::Of(SqlType::Int), true;
        case SqlType::BigInt:
            return type = t, true;
        case SqlType::Money:
        case SqlType::SmallMoney:
            return type = SqlType::Of(SqlType::Money), true;
        case SqlType::Decimal:
        case SqlType::Numeric:
            return type = SqlType::Of(t.kind, 0, 38, t.scale), true;
        default:
            return type = SqlType::Of(SqlType::Float), true;
        }
    }
    return false;
}

// A datepart the date argument's type does not hold (9810): a time's part of a date, a date's part of
// a time (a string literal is neither), and DATEADD of microseconds or nanoseconds to a datetime.
void Session::CheckDatePart(const std::vector<Token>& t, size_t at, size_t close) {
    const auto args = SplitCommas(t, at + 2, close);
    const bool add = t[at].Is("DATEADD");
    const size_t dateAt = add ? 2 : 1;
    if (args.size() <= dateAt || args[0].size() != 1 || args[0][0].kind != Token::Word) return;
    bool named = false;
    SqlType type = InferExprType(args[dateAt], named);
    if (add && args[dateAt].size() == 1 && args[dateAt][0].kind == Token::String) type = SqlType::Of(SqlType::DateTime), named = true;
    if (!named) return;
    const std::string part = DatePartName(args[0][0].value);
    const bool timePart =
        part == "HOUR" || part == "MINUTE" || part == "SECOND" || part == "MILLISECOND" || part == "MICROSECOND" || part == "NANOSECOND";
    const bool datePart = part == "YEAR" || part == "QUARTER" || part == "MONTH" || part == "DAYOFYEAR" || part == "DAY" ||
                          part == "WEEK" || part == "WEEKDAY" || part == "ISO_WEEK";
    const SqlType::Kind k = type.kind;
    const bool refused =
        (k == SqlType::Date && timePart) || (k == SqlType::Time && datePart) ||
        (add && (k == SqlType::DateTime || k == SqlType::SmallDateTime) && (part == "MICROSECOND" || part == "NANOSECOND"));
    if (!refused) return;
    std::string partName = part, function = t[at].value, typeName = type.Name();
    for (std::string* x : {&partName, &function})
        for (char& c : *x) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    typeName = typeName.substr(0, typeName.find('('));
    throw SqlError{
        9810,       16,
        1,          "The datepart " + partName + " is not supported by date function " + function + " for data type " + typeName + ".",
        t[at].line, "",
        false};
}

std::vector<Token> Session::BuiltinCalls(std::vector<Token> t) {
    // The statement's tables, for the types of the columns REPLICATE and the date functions are given.
    std::unique_ptr<StatementTablesInView> inView;
    auto tablesInView = [&] {
        if (!inView) inView = std::make_unique<StatementTablesInView>(*this, t);
    };
    for (size_t i = 0; i < t.size(); ++i) {
        if (t[i].Is("CURRENT_TIMESTAMP") && (i == 0 || !t[i - 1].IsOp(".")) && (i + 1 == t.size() || !t[i + 1].IsOp("("))) {
            // GETDATE() by another name (SQLite's own is UTC and without milliseconds).
            const Token call[] = {MakeToken(Token::Word, "getdate", t[i].spaceBefore), MakeToken(Token::Op, "(", false),
                                  MakeToken(Token::Op, ")", false)};
            t.erase(t.begin() + static_cast<std::ptrdiff_t>(i));
            t.insert(t.begin() + static_cast<std::ptrdiff_t>(i), std::begin(call), std::end(call));
            continue;
        }
        if (i + 1 >= t.size() || !t[i + 1].IsOp("(") || t[i].kind != Token::Word) continue;
        const bool tryCast = t[i].Is("TRY_CAST"), tryConvert = t[i].Is("TRY_CONVERT"), trim = t[i].Is("TRIM");
        const bool parse = t[i].Is("PARSE") || t[i].Is("TRY_PARSE");
        const size_t close = MatchParen(t, i + 1);
        if (close >= t.size()) continue;
        if (IsDatePartFunction(t[i].value) && !t[i].Is("DATEDIFF") && !t[i].Is("DATEDIFF_BIG")) {
            tablesInView();
            CheckDatePart(t, i, close);
            continue;
        }
        if (t[i].Is("REPLICATE") && close > i + 2) {
            // Where the result is cut: 8000 bytes of a text not of a max type; nothing when its type is not seen.
            const auto args = SplitCommas(t, i + 2, close);
            bool named = false;
            tablesInView();
            const SqlType type = InferExprType(args[0], named);
            const bool max = type.length < 0 || type.kind == SqlType::Text || type.kind == SqlType::NText;
            const std::int64_t cut = !named || max || !(type.IsText() || type.IsUnicode()) ? 0 : type.IsUnicode() ? 4000 : 8000;
            const Token marker[] = {MakeToken(Token::Op, ",", false), MakeToken(Token::Number, std::to_string(-(kCutMarker + cut)))};
            t.insert(t.begin() + static_cast<std::ptrdiff_t>(close), std::begin(marker), std::end(marker));
            continue;
        }
        if (!tryCast && !tryConvert && !trim && !parse) continue;
        std::vector<Token> value, typeTokens, style, chars;
        const char* trimFunction = "trim";
        if (tryCast || parse) {
            // TRY_CAST(value AS type), [TRY_]PARSE(text AS type [USING culture]); every culture is read as en-US.
            const size_t as = CastAs(t, i + 1, close);
            if (as >= close) continue;
            size_t typeEnd = as + 1;
            while (typeEnd < close && !t[typeEnd].Is("USING")) ++typeEnd;
            value.assign(t.begin() + static_cast<std::ptrdiff_t>(i) + 2, t.begin() + static_cast<std::ptrdiff_t>(as));
            typeTokens.assign(t.begin() + static_cast<std::ptrdiff_t>(as) + 1, t.begin() + static_cast<std::ptrdiff_t>(typeEnd));
        } else if (tryConvert) {
            // TRY_CONVERT(type, value [, style])
            const auto parts = SplitCommas(t, i + 2, close);
            if (parts.size() < 2) continue;
            typeTokens = parts[0];
            value = parts[1];
            if (parts.size() > 2) style = parts[2];
        } else {
            // TRIM([LEADING | TRAILING | BOTH] [chars] FROM text)
            size_t from = close;
            for (size_t k = i + 2, d = 0; k < close; ++k) {
                if (t[k].IsOp("(")) ++d;
                if (t[k].IsOp(")")) --d;
                if (d == 0 && t[k].Is("FROM")) {
                    from = k;
                    break;
                }
            }
            if (from == close) continue;
            size_t start = i + 2;
            if (t[start].Is("LEADING") || t[start].Is("TRAILING") || t[start].Is("BOTH")) {
                trimFunction = t[start].Is("LEADING") ? "ltrim" : t[start].Is("TRAILING") ? "rtrim" : "trim";
                ++start;
            }
            chars.assign(t.begin() + static_cast<std::ptrdiff_t>(start), t.begin() + static_cast<std::ptrdiff_t>(from));
            value.assign(t.begin() + static_cast<std::ptrdiff_t>(from) + 1, t.begin() + static_cast<std::ptrdiff_t>(close));
        }
        std::vector<Token> rep;
        if (trim) {
            rep = {MakeToken(Token::Word, trimFunction, t[i].spaceBefore), MakeToken(Token::Op, "(", false)};
            rep.insert(rep.end(), value.begin(), value.end());
            if (!chars.empty()) {
                rep.push_back(MakeToken(Token::Op, ",", false));
                rep.insert(rep.end(), chars.begin(), chars.end());
            }
            rep.push_back(MakeToken(Token::Op, ")", false));
        } else {
            std::string typeText;
            for (const Token& k : typeTokens) typeText += k.kind == Token::Bracketed ? k.value : k.text;
            SqlType type;
            if (!ParseSqlType(typeText, type)) continue;
            CheckTypeSize(type, t[i].line);
            if (typeText.find('(') == std::string::npos && type.kind != SqlType::Text && type.kind != SqlType::NText &&
                (type.IsText() || type.IsUnicode()))
                type.length = 30;
            rep = {MakeToken(Token::Word, parse ? "sandbox_parse" : "sandbox_trycast", t[i].spaceBefore), MakeToken(Token::Op, "(", false)};
            if (!style.empty()) {
                // A style: dates are written (to text) or read (from text) in it.
                rep.push_back(MakeToken(Token::Word, type.IsText() || type.IsUnicode() ? "sandbox_to_style" : "sandbox_from_style", false));
                rep.push_back(MakeToken(Token::Op, "(", false));
            }
            rep.insert(rep.end(), value.begin(), value.end());
            if (!style.empty()) {
                rep.push_back(MakeToken(Token::Op, ",", false));
                rep.insert(rep.end(), style.begin(), style.end());
                rep.push_back(MakeToken(Token::Op, ")", false));
            }
            rep.push_back(MakeToken(Token::Op, ",", false));
            // A string token as the lexer gives it: its value unquoted.
            Token name = MakeToken(Token::String, type.Name());
            name.text = SqlLiteral(name.value);
            rep.push_back(name);
            if (parse) {
                rep.push_back(MakeToken(Token::Op, ",", false));
                rep.push_back(MakeToken(Token::Number, t[i].Is("TRY_PARSE") ? "1" : "0"));
            }
            rep.push_back(MakeToken(Token::Op, ")", false));
        }
        t.erase(t.begin() + static_cast<std::ptrdiff_t>(i), t.begin() + static_cast<std::ptrdiff_t>(close) + 1);
        t.insert(t.begin() + static_cast<std::ptrdiff_t>(i), rep.begin(), rep.end());
    }
    return t;
}
