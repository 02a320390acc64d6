// Values stored into table columns are converted to the column's type as SQL Server converts them:
// date strings by the session's DATEFORMAT, char(n) padded with blanks, strings into numbers,
// decimals rounded to their scale and kept exactly as text. INSERT and UPDATE wrap each value in
// sandbox_store(value, 'type'); a literal is converted once, while the statement is rewritten.
#include "Arithmetic.h"
#include "BinaryCasts.h"
#include "CivilDate.h"
#include "Collation.h"
#include "Conversions.h"
#include "Scripts.h"
#include "SelectList.h"
#include "Session.h"
#include "SqliteUtil.h"
#include "TextCodec.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

SqlError Failed(int number, int state, const std::string& message) { return SqlError{number, 16, state, message, 1, "", false}; }

bool IsDateKind(SqlType::Kind k) {
    return k == SqlType::Date || k == SqlType::DateTime || k == SqlType::DateTime2 || k == SqlType::SmallDateTime || k == SqlType::Time ||
           k == SqlType::DateTimeOffset;
}

bool IsDecimalKind(SqlType::Kind k) {
    return k == SqlType::Decimal || k == SqlType::Numeric || k == SqlType::Money || k == SqlType::SmallMoney;
}

bool IsIntKind(SqlType::Kind k) { return k == SqlType::Int || k == SqlType::BigInt || k == SqlType::SmallInt || k == SqlType::TinyInt; }

std::string KindName(const SqlType& t) {
    const std::string n = t.Name();
    return n.substr(0, n.find('('));
}

const char* SourceName(const SqlValue& v) { return v.type == SqlValue::Integer ? "int" : v.type == SqlValue::Real ? "float" : "varchar"; }

// The stored form of a date written as the stand-in stores dates (2011-12-04, 2011-12-04 10:04:23.000):
// read year, month, day whatever the DATEFORMAT, as it came from a date column.
bool IsStoredDateForm(const std::string& s) {
    auto digits = [&](size_t from, size_t n) {
        if (from + n > s.size()) return false;
        for (size_t i = from; i < from + n; ++i)
            if (s[i] < '0' || s[i] > '9') return false;
        return true;
    };
    return s.size() >= 10 && digits(0, 4) && s[4] == '-' && digits(5, 2) && s[7] == '-' && digits(8, 2) &&
           (s.size() == 10 || (s[10] == ' ' && s.size() >= 19 && digits(11, 2) && s[13] == ':'));
}

}  // namespace

bool StoreConverts(const SqlType& t) {
    return IsDateKind(t.kind) || IsDecimalKind(t.kind) || IsIntKind(t.kind) || t.kind == SqlType::Bit || t.kind == SqlType::Float ||
           t.kind == SqlType::Real || ((t.kind == SqlType::Char || t.kind == SqlType::NChar) && t.length > 0) ||
           (t.IsText() && t.collation != kDefaultCollation) || t.kind == SqlType::Binary || t.kind == SqlType::VarBinary;
}

bool ExactDecimalText(const SqlValue& v, int precision, int scale, std::string& out, bool& overflow) {
    overflow = false;
    std::string t;
    if (v.type == SqlValue::Integer) {
        t = std::to_string(v.i);
    } else if (v.type == SqlValue::Real) {
        if (!std::isfinite(v.d)) return false;
        // Fifteen significant digits, as a float literal is written; rounding twice (first to
        // scale + 1 places) would carry 1.249999 up to 1.3.
        char buf[400];
        std::snprintf(buf, sizeof buf, "%.15g", v.d);
        if (std::strpbrk(buf, "eE")) std::snprintf(buf, sizeof buf, "%.*f", scale + 1 > 17 ? 17 : scale + 1, v.d);
        t = buf;
    } else {
        t = v.s;
    }
    size_t i = 0;
    while (i < t.size() && (t[i] == ' ' || t[i] == '\t')) ++i;
    bool neg = false;
    if (i < t.size() && (t[i] == '-' || t[i] == '+')) neg = t[i++] == '-';
    if (i < t.size() && t[i] == '$') ++i;
    std::string whole, frac;
    bool inFrac = false, any = false;
    for (; i < t.size(); ++i) {
        if (t[i] == '.' && !inFrac) {
            inFrac = true;
            continue;
        }
        if (t[i] < '0' || t[i] > '9') break;
        (inFrac ? frac : whole) += t[i];
        any = true;
    }
    while (i < t.size() && (t[i] == ' ' || t[i] == '\t')) ++i;
    if (!any || i != t.size()) return false;
    const auto sc = static_cast<size_t>(scale);
    const bool roundUp = frac.size() > sc && frac[sc] >= '5';
    frac.resize(sc, '0');
    std::string digits = whole + frac;
    if (roundUp) {
        size_t k = digits.size();
        while (k > 0 && digits[k - 1] == '9') digits[--k] = '0';
        if (k == 0)
            digits.insert(digits.begin(), '1');
        else
            digits[k - 1]++;
    }
    while (digits.size() > sc + 1 && digits[0] == '0') digits.erase(0, 1);
    if (digits.size() <= sc) digits.insert(0, sc + 1 - digits.size(), '0');
    std::string intPart = digits.substr(0, digits.size() - sc);
    if (intPart != "0" && intPart.size() > static_cast<size_t>(precision - scale)) {
        overflow = true;
        return false;
    }
    out = intPart;
    if (scale > 0) out += "." + digits.substr(digits.size() - sc);
    if (neg && out.find_first_not_of("0.") != std::string::npos) out = "-" + out;
    return true;
}

SqlValue StoreValue(const SqlType& type, const SqlValue& v, const std::string& dateOrder, bool literal) {
    if (type.kind == SqlType::Binary || type.kind == SqlType::VarBinary) return StoredBinary(type, v, false);
    if (v.type == SqlValue::Null || v.type == SqlValue::Blob) return v;
    if (type.IsText() && type.collation != kDefaultCollation && v.type == SqlValue::Text) {
        // Kept in the collation's code page: a character it does not have becomes '?'.
        const int codePage = CollationById(type.collation).codePage;
        const std::string bytes = Utf8ToCodePage(v.s, codePage);
        SqlType plain = type;
        plain.collation = kDefaultCollation;
        if (type.kind == SqlType::Char && type.length > 0 && IsDoubleByteCodePage(codePage)) {
            // char(n) counts bytes of the code page, where a character may take two.
            std::string text = CodePageToUtf8(bytes, codePage);
            if (bytes.size() < static_cast<size_t>(type.length)) text.append(static_cast<size_t>(type.length) - bytes.size(), ' ');
            return SqlValue::FromText(std::move(text));
        }
        return StoreValue(plain, SqlValue::FromText(CodePageToUtf8(bytes, codePage)), dateOrder, literal);
    }
    const SqlType::Kind k = type.kind;
    if (IsIntKind(k)) {
        long double x = 0;
        if (v.type == SqlValue::Integer)
            x = static_cast<long double>(v.i);
        else if (v.type == SqlValue::Real)
            x = v.d;
        else if (!ParseIntegerString(v.s, x))
            throw Failed(245, 1, "Conversion failed when converting the varchar value '" + v.s + "' to data type " + KindName(type) + ".");
        else if (k == SqlType::Int && (x < -2147483648.0L || x > 2147483647.0L))
            throw Failed(248, 1, "The conversion of the varchar value '" + v.s + "' overflowed an int column.");
        x = x < 0 ? std::ceil(x) : std::floor(x);
        const long double lo = k == SqlType::TinyInt    ? 0
                               : k == SqlType::SmallInt ? -32768
                               : k == SqlType::Int      ? -2147483648.0L
                                                        : -9223372036854775808.0L;
        const long double hi = k == SqlType::TinyInt    ? 255
                               : k == SqlType::SmallInt ? 32767
                               : k == SqlType::Int      ? 2147483647.0L
                                                        : 9223372036854775807.0L;
        if (x < lo || x > hi) throw Failed(8115, 2, "Arithmetic overflow error converting expression to data type " + KindName(type) + ".");
        return v.type == SqlValue::Integer ? v : SqlValue::FromInt(static_cast<std::int64_t>(x));
    }
    if (k == SqlType::Bit) {
        if (v.type == SqlValue::Integer) return SqlValue::FromInt(v.i != 0);
        if (v.type == SqlValue::Real) return SqlValue::FromInt(v.d != 0);
        std::string u = Upper(v.s);
        while (!u.empty() && u.back() == ' ') u.pop_back();
        while (!u.empty() && u.front() == ' ') u.erase(0, 1);
        if (u == "TRUE") return SqlValue::FromInt(1);
        if (u == "FALSE") return SqlValue::FromInt(0);
        long double x = 0;
        if (!ParseIntegerText(u, x))
            throw Failed(245, 1, "Conversion failed when converting the varchar value '" + v.s + "' to data type bit.");
        return SqlValue::FromInt(x != 0);
    }
    if (k == SqlType::Float || k == SqlType::Real) {
        if (v.type == SqlValue::Integer) return SqlValue::FromReal(static_cast<double>(v.i));
        if (v.type == SqlValue::Real) return v;
        char* end = nullptr;
        const double d = std::strtod(v.s.c_str(), &end);
        while (end && *end == ' ') ++end;
        if (v.s.find_first_not_of(' ') == std::string::npos) return SqlValue::FromReal(0);
        if (!end || *end != '\0') throw Failed(8114, 5, "Error converting data type varchar to float.");
        return SqlValue::FromReal(d);
    }
    if (IsDecimalKind(k)) {
        const bool money = k == SqlType::Money || k == SqlType::SmallMoney;
        const int p = k == SqlType::Money ? 19 : k == SqlType::SmallMoney ? 10 : type.precision > 0 ? type.precision : 18;
        const int s = money ? 4 : type.scale;
        SqlValue in = v;
        if (v.type == SqlValue::Text && money) {
            // Money's text may group its digits with commas, and blank text is 0.
            const size_t point = std::min(in.s.find('.'), in.s.size());
            in.s.erase(std::remove(in.s.begin(), in.s.begin() + static_cast<std::ptrdiff_t>(point), ','),
                       in.s.begin() + static_cast<std::ptrdiff_t>(point));
            if (in.s.find_first_not_of(" \t") == std::string::npos) in.s = "0";
        } else if (v.type == SqlValue::Text && v.s.find('$') != std::string::npos) {
            throw Failed(8114, 5, "Error converting data type varchar to numeric.");
        }
        std::string out;
        bool overflow = false;
        const bool ok = ExactDecimalText(in, p, s, out, overflow);
        if (ok && money) {
            // money holds -922337203685477.5808 to 922337203685477.5807, smallmoney +-214748.3647.
            const std::string limit = k == SqlType::Money ? (out[0] == '-' ? "922337203685477.5808" : "922337203685477.5807")
                                                          : (out[0] == '-' ? "214748.3648" : "214748.3647");
            const std::string mag = out[0] == '-' ? out.substr(1) : out;
            if (mag.size() > limit.size() || (mag.size() == limit.size() && mag > limit))
                throw Failed(8115, 2, "Arithmetic overflow error converting expression to data type " + KindName(type) + ".");
        }
        if (ok) return SqlValue::FromText(out);
        if (overflow)
            throw Failed(8115, 2,
                         money ? "Arithmetic overflow error converting expression to data type " + KindName(type) + "."
                               : std::string("Arithmetic overflow error converting ") + SourceName(v) + " to data type numeric.");
        if (money) throw Failed(235, 0, "Cannot convert a char value to money. The char value has incorrect syntax.");
        throw Failed(8114, 5, "Error converting data type varchar to numeric.");
    }
    if (IsDateKind(k)) {
        DateTimeParts p;
        const bool oldStyle = k == SqlType::DateTime || k == SqlType::SmallDateTime;
        if (v.type != SqlValue::Text) {
            if (!oldStyle)
                throw Failed(206, 2,
                             std::string("Operand type clash: ") + (v.type == SqlValue::Integer ? "int" : "float") +
                                 " is incompatible with " + KindName(type));
            // A number of days since 1900-01-01, as for CAST.
            const double days = v.type == SqlValue::Integer ? static_cast<double>(v.i) : v.d;
            std::int64_t y;
            unsigned m, d;
            CivilFromDays(DaysFromCivil(1900, 1, 1) + static_cast<std::int64_t>(std::floor(days)), y, m, d);
            p.year = static_cast<int>(y);
            p.month = static_cast<int>(m);
            p.day = static_cast<int>(d);
            const double ms = std::round((days - std::floor(days)) * 86400000.0);
            p.hour = static_cast<int>(ms / 3600000);
            p.minute = static_cast<int>(std::fmod(ms / 60000, 60));
            p.second = static_cast<int>(std::fmod(ms / 1000, 60));
            p.nanos = static_cast<int>(std::fmod(ms, 1000)) * 1000000;
        } else {
            const std::string order = !literal && IsStoredDateForm(v.s) ? "ymd" : dateOrder;
            if (!ParseDateTime(v.s, p, order, oldStyle))
                throw Failed(241, 1, "Conversion failed when converting date and/or time from character string.");
        }
        if (!InDateRange(p, k))
            throw Failed(242, 3,
                         std::string("The conversion of a varchar data type to a ") + KindName(type) +
                             " data type resulted in an out-of-range value.");
        return SqlValue::FromText(FormatDateTime(p, type));
    }
    if ((k == SqlType::Char || k == SqlType::NChar) && type.length > 0) {
        std::string s = v.AsText();
        long chars = 0;
        for (unsigned char c : s)
            if ((c & 0xC0) != 0x80) ++chars;
        if (chars < type.length) s.append(static_cast<size_t>(type.length - chars), ' ');
        return SqlValue::FromText(std::move(s));
    }
    return v;
}

namespace {

SqlValue FromSqlite(sqlite3_value* v) {
    switch (sqlite3_value_type(v)) {
    case SQLITE_INTEGER:
        return SqlValue::FromInt(sqlite3_value_int64(v));
    case SQLITE_FLOAT:
        return SqlValue::FromReal(sqlite3_value_double(v));
    case SQLITE_NULL:
        return {};
    case SQLITE_BLOB:
        return SqlValue::FromBlob(
            std::string(static_cast<const char*>(sqlite3_value_blob(v)), static_cast<size_t>(sqlite3_value_bytes(v))));
    default:
        return SqlValue::FromText(
            std::string(reinterpret_cast<const char*>(sqlite3_value_text(v)), static_cast<size_t>(sqlite3_value_bytes(v))));
    }
}


}  // namespace

namespace {

// A decimal text as sign, integer digits without leading zeros and fraction digits without trailing
// ones; false when the text is no plain decimal number.
bool SplitDecimal(const char* p, int n, bool& negative, std::string_view& whole, std::string_view& frac) {
    int i = 0;
    while (i < n && p[i] == ' ') ++i;
    negative = i < n && p[i] == '-';
    if (i < n && (p[i] == '-' || p[i] == '+')) ++i;
    int start = i;
    while (i < n && p[i] >= '0' && p[i] <= '9') ++i;
    int wholeEnd = i;
    int fracStart = i, fracEnd = i;
    if (i < n && p[i] == '.') {
        fracStart = ++i;
        while (i < n && p[i] >= '0' && p[i] <= '9') ++i;
        fracEnd = i;
    }
    while (i < n && p[i] == ' ') ++i;
    if (i != n || (wholeEnd == start && fracEnd == fracStart)) return false;
    while (start < wholeEnd && p[start] == '0') ++start;
    while (fracEnd > fracStart && p[fracEnd - 1] == '0') --fracEnd;
    whole = std::string_view(p + start, static_cast<size_t>(wholeEnd - start));
    frac = std::string_view(p + fracStart, static_cast<size_t>(fracEnd - fracStart));
    if (whole.empty() && frac.empty()) negative = false;
    return true;
}

// Text as the server's default collation compares it: without regard to case (ASCII letters, as
// SQLite's own NOCASE) and to trailing blanks ('a' = 'a  '). It replaces NOCASE, which every text
// column and catalog name of the stand-in uses.
int CompareText(void*, int na, const void* a, int nb, const void* b) {
    const char* pa = static_cast<const char*>(a);
    const char* pb = static_cast<const char*>(b);
    while (na > 0 && pa[na - 1] == ' ') --na;
    while (nb > 0 && pb[nb - 1] == ' ') --nb;
    const int c = sqlite3_strnicmp(pa, pb, std::min(na, nb));
    return c != 0 ? c : na - nb;
}

// The collation of decimal and money columns, which hold exact decimal text: compared as numbers.
int CompareDecimals(void*, int na, const void* a, int nb, const void* b) {
    const char* pa = static_cast<const char*>(a);
    const char* pb = static_cast<const char*>(b);
    bool negA, negB;
    std::string_view wa, fa, wb, fb;
    if (!SplitDecimal(pa, na, negA, wa, fa) || !SplitDecimal(pb, nb, negB, wb, fb)) {
        const int c = sqlite3_strnicmp(pa, pb, std::min(na, nb));  // not numbers: as NOCASE compares
        return c != 0 ? c : na - nb;
    }
    if (negA != negB) return negA ? -1 : 1;
    int c = 0;
    if (wa.size() != wb.size())
        c = wa.size() < wb.size() ? -1 : 1;
    else if (const int w = wa.compare(wb); w != 0)
        c = w;
    else if (const int f = fa.compare(fb); f != 0)
        c = f;
    return negA ? -c : c;
}

// SUM of a decimal column, exact: the values' digits added as one integer at the largest scale seen.
// Kept in SQLite's aggregate memory, which is aligned for 8 bytes only: the sum is copied in and out.
struct DecimalSum {
    unsigned char sum[sizeof(__int128)];
    int scale;
    bool any, overflow;
};

__int128 SumOf(const DecimalSum* acc) {
    __int128 v;
    std::memcpy(&v, acc->sum, sizeof v);
    return v;
}

constexpr __int128 Pow10(int n) {
    __int128 p = 1;
    for (int i = 0; i < n; ++i) p *= 10;
    return p;
}

void DecimalSumStep(sqlite3_context* ctx, int, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return;
    auto* acc = static_cast<DecimalSum*>(sqlite3_aggregate_context(ctx, sizeof(DecimalSum)));
    if (!acc || acc->overflow) return;
    std::string text;
    if (sqlite3_value_type(argv[0]) == SQLITE_INTEGER) {
        text = std::to_string(sqlite3_value_int64(argv[0]));
    } else if (sqlite3_value_type(argv[0]) == SQLITE_FLOAT) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.15g", sqlite3_value_double(argv[0]));
        text = buf;
        if (text.find_first_of("eE") != std::string::npos) {
            std::snprintf(buf, sizeof buf, "%.6f", sqlite3_value_double(argv[0]));
            text = buf;
        }
    } else {
        text.assign(reinterpret_cast<const char*>(sqlite3_value_text(argv[0])), static_cast<size_t>(sqlite3_value_bytes(argv[0])));
    }
    bool negative;
    std::string_view whole, frac;
    if (!SplitDecimal(text.data(), static_cast<int>(text.size()), negative, whole, frac)) return;
    if (whole.size() + frac.size() > 38 || frac.size() > 38) {
        acc->overflow = true;
        return;
    }
    __int128 v = 0;
    for (char c : whole) v = v * 10 + (c - '0');
    for (char c : frac) v = v * 10 + (c - '0');
    int scale = static_cast<int>(frac.size());
    __int128 sum = SumOf(acc);
    if (scale > acc->scale) {
        sum *= Pow10(scale - acc->scale);
        acc->scale = scale;
    } else {
        v *= Pow10(acc->scale - scale);
    }
    sum += negative ? -v : v;
    std::memcpy(acc->sum, &sum, sizeof sum);
    acc->any = true;
    const __int128 limit = Pow10(38);
    if (sum >= limit || sum <= -limit) acc->overflow = true;
}

void DecimalSumFinal(sqlite3_context* ctx) {
    auto* acc = static_cast<DecimalSum*>(sqlite3_aggregate_context(ctx, 0));
    if (!acc || !acc->any) return sqlite3_result_null(ctx);
    if (acc->overflow) return sqlite3_result_error(ctx, "decimal overflow", -1);  // worded as SQL Server's 8115 (Errors.cpp)
    const __int128 sum = SumOf(acc);
    __int128 m = sum < 0 ? -sum : sum;
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
        m /= 10;
    } while (m != 0);
    const auto sc = static_cast<size_t>(acc->scale);
    if (digits.size() <= sc) digits.insert(0, sc + 1 - digits.size(), '0');
    std::string out = (sum < 0 ? "-" : "") + digits.substr(0, digits.size() - sc);
    if (sc > 0) out += "." + digits.substr(digits.size() - sc);
    sqlite3_result_text(ctx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

}  // namespace

void Session::RegisterStoreFunction() {
    sqlite3_create_function_v2(db_, "sandbox_decsum", 1, SQLITE_UTF8, this, nullptr, DecimalSumStep, DecimalSumFinal, nullptr);
    sqlite3_create_collation_v2(db_, "sandbox_numeric", SQLITE_UTF8, nullptr, CompareDecimals, nullptr);
    sqlite3_create_collation_v2(db_, "NOCASE", SQLITE_UTF8, nullptr, CompareText, nullptr);
    sqlite3_create_function_v2(
        db_, "sandbox_store", 2, SQLITE_UTF8, this,
        [](sqlite3_context* ctx, int, sqlite3_value** argv) {
            auto* s = static_cast<Session*>(sqlite3_user_data(ctx));
            try {
                SqlType type;
                const unsigned char* text = sqlite3_value_text(argv[1]);
                if (!text || !ParseSqlType(reinterpret_cast<const char*>(text), type)) return sqlite3_result_value(ctx, argv[0]);
                ResultValue(ctx, StoreValue(type, FromSqlite(argv[0]), s->dateOrder_, false));
            } catch (...) {
                s->pending_ = std::current_exception();
                sqlite3_result_error(ctx, "error in a function", -1);
            }
        },
        nullptr, nullptr, nullptr);
}

// ---------------------------------------------------------------- variables

TextForm TextFormOf(const SqlType& type) {
    switch (type.kind) {
    case SqlType::Money:
    case SqlType::SmallMoney:
        return {TextForm::Money, 4};
    case SqlType::DateTime:
    case SqlType::SmallDateTime:
        return {TextForm::DateTime, 0};
    case SqlType::Float:
    case SqlType::Real:
        return {TextForm::Float, 0};
    case SqlType::Decimal:
    case SqlType::Numeric:
        return {TextForm::Decimal, type.scale};
    default:
        return {};
    }
}

std::vector<Token> TextFormTokens(const std::vector<Token>& expr, const TextForm& form, std::vector<Token> style) {
    if (form.kind == TextForm::Stored) return expr;
    const char* fn = form.kind == TextForm::Money      ? "sandbox_moneytext"
                     : form.kind == TextForm::DateTime ? "sandbox_to_style"
                     : form.kind == TextForm::Float    ? "sandbox_floattext"
                                                       : "sandbox_decscaled";
    if (form.kind == TextForm::Decimal) style = {MakeToken(Token::Number, std::to_string(form.scale))};
    if (style.empty()) style = {MakeToken(Token::Number, "0")};
    std::vector<Token> w = {MakeToken(Token::Word, fn, !expr.empty() && expr[0].spaceBefore), MakeToken(Token::Op, "(", false)};
    w.insert(w.end(), expr.begin(), expr.end());
    if (w.size() > 2) w[2].spaceBefore = false;
    w.push_back(MakeToken(Token::Op, ",", false));
    w.insert(w.end(), style.begin(), style.end());
    w.push_back(MakeToken(Token::Op, ")", false));
    return w;
}

TextForm Session::TextFormInto(const SqlType& target, const std::vector<Token>& expr, const std::vector<Token>& statement) {
    if (target.kind == SqlType::Text || target.kind == SqlType::NText || !(target.IsText() || target.IsUnicode())) return {};
    const StatementTablesInView inView(*this, statement);
    SqlType type;
    return SeenType(expr, type) ? TextFormOf(type) : TextForm{};
}

SqlValue Session::DateFromText(const SqlType& type, SqlValue v) {
    if (v.type == SqlValue::Text && IsDateKind(type.kind)) return StoreValue(type, v, dateOrder_, false);
    return v;
}

SqlValue Session::AssignedValue(const SqlType& type, SqlValue v, TextForm form, int line) {
    try {
        // A string into a date or time is read as one ('20251201', '06/02/2024', 'Jun 2 2024'), or 241.
        v = DateFromText(type, std::move(v));
        if (v.type == SqlValue::Text && IsDecimalKind(type.kind)) {
            v = StoreValue(type, v, dateOrder_, false);
        } else if (form.kind == TextForm::Money && (v.type == SqlValue::Text || v.type == SqlValue::Real || v.type == SqlValue::Integer)) {
            v = SqlValue::FromText(MoneyText(StoreValue(SqlType::Of(SqlType::Money), v, dateOrder_, false).s, 0));
        } else if (form.kind == TextForm::DateTime && v.type == SqlValue::Text) {
            v = SqlValue::FromText(DateInStyle(v.s, 0));
        } else if (form.kind == TextForm::Float && (v.type == SqlValue::Real || v.type == SqlValue::Integer)) {
            v = SqlValue::FromText(FloatText(v.type == SqlValue::Real ? v.d : static_cast<double>(v.i), 0));
        } else if (form.kind == TextForm::Decimal && v.type != SqlValue::Null && v.type != SqlValue::Blob) {
            v = SqlValue::FromText(DecimalAtScale(v, form.scale));
        }
    } catch (SqlError& e) {
        e.line = line;
        throw;
    }
    return Coerce(type, std::move(v));
}

// ---------------------------------------------------------------- rewriting INSERT and UPDATE

namespace {}  // namespace

// The value tokens wrapped for a column of the type: a literal converted now, anything else at run time.
std::vector<Token> StoredValueTokens(const std::vector<Token>& expr, const SqlType& type, const std::string& dateOrder, int line) {
    if (expr.empty() || !StoreConverts(type)) return expr;
    if (expr.size() == 1 && (expr[0].Is("NULL") || expr[0].Is("DEFAULT"))) return expr;
    const bool negative = expr.size() == 2 && expr[0].IsOp("-") && expr[1].kind == Token::Number;
    if ((expr.size() == 1 && (expr[0].kind == Token::String || expr[0].kind == Token::Number)) || negative) {
        const Token& k = expr.back();
        SqlValue v;
        if (k.kind == Token::String) {
            v = SqlValue::FromText(k.value);
        } else if (k.text.find_first_of(".eE") == std::string::npos && k.text.size() < 19) {
            v = SqlValue::FromInt(std::strtoll(k.text.c_str(), nullptr, 10) * (negative ? -1 : 1));
        } else if (k.text.find_first_of("eE") != std::string::npos) {
            v = SqlValue::FromReal(std::strtod(k.text.c_str(), nullptr) * (negative ? -1 : 1));
        } else {
            v = SqlValue::FromText((negative ? "-" : "") + k.text);
            if (!IsDecimalKind(type.kind)) v = SqlValue::FromReal(std::strtod(v.s.c_str(), nullptr));
        }
        SqlValue r;
        try {
            r = StoreValue(type, v, dateOrder, true);
        } catch (SqlError& e) {
            e.line = line;
            throw;
        }
        Token out = expr[0];
        if (r.type == SqlValue::Integer) {
            out = MakeToken(Token::Number, std::to_string(r.i), expr[0].spaceBefore);
        } else if (r.type == SqlValue::Real) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.17g", r.d);
            out = MakeToken(Token::Number, buf, expr[0].spaceBefore);
            if (out.text.find_first_of(".eEn") == std::string::npos) out.text += ".0";
        } else if (r.type == SqlValue::Text) {
            out = MakeToken(Token::String, SqlLiteral(r.s, k.national ? "N" : ""), expr[0].spaceBefore);
            out.value = r.s;
            out.national = k.national;
        } else if (r.type == SqlValue::Blob) {
            const std::string hex = HexOfBinary(r.s, 2);
            out = MakeToken(Token::Hex, "0x" + hex, expr[0].spaceBefore);
            out.value = hex;
        }
        return {out};
    }
    std::vector<Token> w = {MakeToken(Token::Word, "sandbox_store", expr[0].spaceBefore), MakeToken(Token::Op, "(", false)};
    w.insert(w.end(), expr.begin(), expr.end());
    w[2].spaceBefore = false;
    w.push_back(MakeToken(Token::Op, ",", false));
    Token name = MakeToken(Token::String, SqlLiteral(type.Declared()));
    name.value = type.Declared();
    w.push_back(name);
    w.push_back(MakeToken(Token::Op, ")", false));
    return w;
}

namespace {

// A character column of a width (not text or ntext), which takes money and datetime in style 0.
bool TakesTextForm(const SqlType& t) { return t.kind != SqlType::Text && t.kind != SqlType::NText && (t.IsText() || t.IsUnicode()); }

// Whether a sql_variant column keeps a value of the base type tagged with it (Value.h): its plain
// storage would lose the type of decimals, money and dates (integers, floats, text and binary keep
// theirs, and compare as they are).
bool TaggedInVariant(SqlType::Kind k) {
    return IsDecimalKind(k) || IsDateKind(k);
}

// sandbox_variant(expr, 'base type').
std::vector<Token> VariantTagTokens(const std::vector<Token>& expr, const std::string& base) {
    std::vector<Token> w = {MakeToken(Token::Word, "sandbox_variant", !expr.empty() && expr[0].spaceBefore), MakeToken(Token::Op, "(", false)};
    w.insert(w.end(), expr.begin(), expr.end());
    w[2].spaceBefore = false;
    w.push_back(MakeToken(Token::Op, ",", false));
    Token name = MakeToken(Token::String, SqlLiteral(base));
    name.value = base;
    w.push_back(name);
    w.push_back(MakeToken(Token::Op, ")", false));
    return w;
}

// sandbox_moneytext(expr, 0): money as CAST writes it.
bool EndsSetList(const Token& k) { return k.Is("FROM") || k.Is("WHERE") || k.Is("OPTION") || k.Is("OUTPUT") || k.IsOp(";"); }

}  // namespace

std::vector<std::pair<std::string, SqlType>> Session::StoredColumns(const std::string& table) { return FactsOf(table)->columns; }

std::vector<Token> Session::ConvertStoredValues(std::vector<Token> t, int line) {
    if (t.size() < 3) return t;
    const std::string written = TableOfDml(t);
    if (written.empty()) return t;
    const auto facts = FactsOf(TempName(written));
    const auto& cols = facts->columns;
    if (cols.empty()) return t;
    auto typeOf = [&](const std::string& name, SqlType& type) {
        for (auto& [n, ty] : cols)
            if (SameNoCase(n, name)) {
                type = ty;
                return true;
            }
        return false;
    };
    bool any = false;
    for (auto& c : cols) any = any || StoreConverts(c.second) || TakesTextForm(c.second) || c.second.kind == SqlType::Variant;
    for (size_t k = 2; k < t.size() && t[0].Is("INSERT"); ++k) any = any || (t[k].Is("DEFAULT") && !t[k - 1].Is("INTO"));
    if (!any) return t;
    // The value for a column: converted to its type, money into a character column as text (its
    // type seen among the statement's tables and the table written).
    // Made when first needed: most values are literals, which need no context.
    std::vector<Token> context;
    auto contextOf = [&]() -> const std::vector<Token>& {
        if (context.empty()) {
            context = t;
            Token target = MakeToken(Token::Bracketed, "[" + written + "]");
            target.value = written;
            context.push_back(MakeToken(Token::Word, "FROM"));
            context.push_back(target);
        }
        return context;
    };
    // The base type a value of expr keeps in a sql_variant column, when it is tagged with it.
    auto variantBase = [this, &contextOf](const std::vector<Token>& expr, const std::vector<Token>& statement) {
        if (expr.empty() || (expr.size() == 1 && expr[0].Is("NULL"))) return std::string();
        const StatementTablesInView inView(*this, statement.empty() ? contextOf() : statement);
        SqlType type;
        if (!SeenType(expr, type)) return std::string();
        if (type.kind == SqlType::Variant) {
            type.kind = type.base;
            type.base = SqlType::Variant;
        }
        return TaggedInVariant(type.kind) ? type.Declared() : std::string();
    };
    auto Wrapped = [this, &contextOf, &variantBase](const std::vector<Token>& expr, const SqlType& type, const std::string& dateOrder, int at) {
        if (type.kind == SqlType::Variant) {
            const std::string base = variantBase(expr, {});
            return base.empty() ? expr : VariantTagTokens(expr, base);
        }
        const bool literal =
            expr.size() == 1 && (expr[0].kind == Token::String || expr[0].kind == Token::Number || expr[0].kind == Token::Hex);
        if (!literal && !expr.empty() && TakesTextForm(type))
            return StoredValueTokens(TextFormTokens(expr, TextFormInto(type, expr, contextOf())), type, dateOrder, at);
        return StoredValueTokens(expr, type, dateOrder, at);
    };
    if (t[0].Is("UPDATE")) {
        size_t set = 1;
        int depth = 0;
        for (; set < t.size(); ++set) {
            if (t[set].IsOp("(")) depth++;
            if (t[set].IsOp(")")) depth--;
            if (depth == 0 && t[set].Is("SET")) break;
        }
        if (set >= t.size()) return t;
        size_t end = set + 1;
        depth = 0;
        for (; end < t.size(); ++end) {
            if (t[end].IsOp("(")) depth++;
            if (t[end].IsOp(")")) depth--;
            if (depth == 0 && EndsSetList(t[end])) break;
        }
        std::vector<Token> out(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(set) + 1);
        bool first = true;
        for (auto& item : SplitCommas(t, set + 1, end)) {
            if (!first) out.push_back(MakeToken(Token::Op, ",", false));
            first = false;
            // col = expr, alias.col = expr; @v = col = expr and compound operators are left as written.
            size_t eq = 0;
            while (eq < item.size() && !item[eq].IsOp("=")) ++eq;
            SqlType type;
            if (eq == 0 || eq + 1 >= item.size() || item[0].kind == Token::Variable || !item[eq - 1].IsName() ||
                !typeOf(NameOf(item[eq - 1]), type)) {
                out.insert(out.end(), item.begin(), item.end());
                continue;
            }
            out.insert(out.end(), item.begin(), item.begin() + static_cast<std::ptrdiff_t>(eq) + 1);
            const auto w =
                Wrapped(std::vector<Token>(item.begin() + static_cast<std::ptrdiff_t>(eq) + 1, item.end()), type, dateOrder_, line);
            out.insert(out.end(), w.begin(), w.end());
        }
        out.insert(out.end(), t.begin() + static_cast<std::ptrdiff_t>(end), t.end());
        return out;
    }
    // INSERT [INTO] name [(columns)] VALUES (...), (...) | SELECT ... | WITH ... SELECT ...
    size_t i = 1;
    if (t[i].Is("INTO")) ++i;
    ++i;
    while (i + 1 < t.size() && t[i].IsOp(".") && t[i + 1].IsName()) i += 2;
    std::vector<SqlType> targets;
    std::vector<std::string> names;
    size_t body = i;
    if (i < t.size() && t[i].IsOp("(")) {
        const size_t close = MatchParen(t, i);
        for (auto& c : SplitCommas(t, i + 1, close)) {
            SqlType type = SqlType::Of(SqlType::NVarChar, -1);
            if (!c.empty()) typeOf(NameOf(c.back()), type);
            targets.push_back(type);
            names.push_back(c.empty() ? std::string() : NameOf(c.back()));
        }
        body = close + 1;
    } else {
        for (auto& c : cols) {
            targets.push_back(c.second);
            names.push_back(c.first);
        }
    }
    // VALUES (..., DEFAULT, ...): the column's default, or NULL when it has none.
    auto defaultOf = [&](size_t n) {
        std::vector<Token> e;
        if (sqlite3_stmt* st = Cached("SELECT default_text FROM __columns WHERE table_name = ? AND name = ?")) {
            const std::string table = TempName(written);
            sqlite3_bind_text(st, 1, table.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(st, 2, names[n].c_str(), -1, SQLITE_TRANSIENT);
            if (sqlite3_step(st) == SQLITE_ROW && sqlite3_column_type(st, 0) != SQLITE_NULL)
                e = Tokenize(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
            sqlite3_reset(st);
        }
        if (e.empty()) e.push_back(MakeToken(Token::Word, "NULL"));
        return e;
    };
    if (body >= t.size()) return t;
    std::vector<Token> out(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(body));
    if (t[body].Is("VALUES")) {
        out.push_back(t[body]);
        size_t k = body + 1;
        while (k < t.size()) {
            if (!t[k].IsOp("(")) {
                out.push_back(t[k++]);
                continue;
            }
            const size_t close = MatchParen(t, k);
            out.push_back(t[k]);
            size_t n = 0;
            for (auto& v : SplitCommas(t, k + 1, close)) {
                if (n) out.push_back(MakeToken(Token::Op, ",", false));
                const bool byDefault = v.size() == 1 && v[0].Is("DEFAULT") && n < names.size();
                auto w = n < targets.size() ? Wrapped(byDefault ? defaultOf(n) : v, targets[n], dateOrder_, line) : std::move(v);
                out.insert(out.end(), std::make_move_iterator(w.begin()), std::make_move_iterator(w.end()));
                ++n;
            }
            if (close < t.size()) out.push_back(t[close]);
            k = close + 1;
        }
        return out;
    }
    if (!(t[body].Is("SELECT") || t[body].Is("WITH") || t[body].IsOp("("))) return t;
    // Money selected into a character column is written as text.
    const std::vector<Token> query(t.begin() + static_cast<std::ptrdiff_t>(body), t.end());
    const std::vector<SelectItem> items = SelectItems(query);
    std::vector<TextForm> textForms(targets.size());
    std::vector<std::string> variantBases(targets.size());
    bool needed = false;
    for (size_t n = 0; n < targets.size(); ++n) {
        if (items.size() == targets.size() && TakesTextForm(targets[n])) textForms[n] = TextFormInto(targets[n], items[n].expr, query);
        if (items.size() == targets.size() && targets[n].kind == SqlType::Variant) variantBases[n] = variantBase(items[n].expr, query);
        needed = needed || StoreConverts(targets[n]) || textForms[n].kind != TextForm::Stored || !variantBases[n].empty();
    }
    if (!needed) return t;
    // INSERT ... SELECT: the rows pass through a common table expression whose columns are converted.
    out.push_back(MakeToken(Token::Word, "WITH"));
    out.push_back(MakeToken(Token::Word, "sandbox_rows"));
    out.push_back(MakeToken(Token::Op, "(", false));
    for (size_t n = 0; n < targets.size(); ++n) {
        if (n) out.push_back(MakeToken(Token::Op, ",", false));
        out.push_back(MakeToken(Token::Word, "c" + std::to_string(n + 1)));
    }
    out.push_back(MakeToken(Token::Op, ")", false));
    out.push_back(MakeToken(Token::Word, "AS"));
    out.push_back(MakeToken(Token::Op, "("));
    size_t end = t.size();
    while (end > body && t[end - 1].IsOp(";")) --end;
    out.insert(out.end(), t.begin() + static_cast<std::ptrdiff_t>(body), t.begin() + static_cast<std::ptrdiff_t>(end));
    out.push_back(MakeToken(Token::Op, ")", false));
    out.push_back(MakeToken(Token::Word, "SELECT"));
    for (size_t n = 0; n < targets.size(); ++n) {
        if (n) out.push_back(MakeToken(Token::Op, ",", false));
        std::vector<Token> c = {MakeToken(Token::Word, "c" + std::to_string(n + 1))};
        c = TextFormTokens(c, textForms[n]);
        if (!variantBases[n].empty()) c = VariantTagTokens(c, variantBases[n]);
        const auto w = StoredValueTokens(c, targets[n], dateOrder_, line);
        out.insert(out.end(), w.begin(), w.end());
    }
    out.push_back(MakeToken(Token::Word, "FROM"));
    out.push_back(MakeToken(Token::Word, "sandbox_rows"));
    return out;
}
