// The built-in functions SQL Server offers that SQLite lacks, registered on each session's handle.
#include "BinaryCasts.h"
#include "CivilDate.h"
#include "Collation.h"
#include "Conversions.h"
#include "Scripts.h"
#include "Session.h"
#include "SqliteUtil.h"
#include "TextCodec.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>

// The last part of a multi-part object name ("db.dbo.[a]]b]" gives "a]b"): parts are plain, bracketed
// ("]" doubled inside) or quoted ('"' doubled inside).
std::string LastNamePart(const std::string& name) {
    std::string part;
    for (size_t i = 0; i < name.size();) {
        const char c = name[i];
        if (c == '.') {
            part.clear();
            ++i;
        } else if (c == '[' || c == '"') {
            const char close = c == '[' ? ']' : '"';
            for (++i; i < name.size(); ++i) {
                if (name[i] == close) {
                    if (i + 1 < name.size() && name[i + 1] == close)
                        ++i;
                    else
                        break;
                }
                part += name[i];
            }
            ++i;
        } else {
            part += c;
            ++i;
        }
    }
    return part;
}

namespace {

enum Fn {
    fGetDate,
    fGetUtcDate,
    fIsNull,
    fLen,
    fDataLength,
    fCharIndex,
    fLeft,
    fStr,
    fRight,
    fNewId,
    fObjectId,
    fObjectName,
    fObjectProperty,
    fColumnProperty,
    fDbName,
    fDbId,
    fErrorNumber,
    fErrorSeverity,
    fErrorState,
    fErrorProcedure,
    fErrorLine,
    fErrorMessage,
    fScopeIdentity,
    fIdentSeed,
    fIdentIncr,
    fIdentCurrent,
    fSuserSname,
    fDecimal,
    fMoneyText,
    fVariantProperty,
    fTagVariant,
    fPlainVariant,
    fYear,
    fMonth,
    fDay,
    fConcat,
    fUser,
    fHost,
    fApp,
    fSysDateTime,
    fCastInt,
    fToBinary,
    fUnhex,
    fHex,
    fCastBit,
    fCastFloat,
    fCastDate,
    fDivide,
    fDateMath,
    fClash,
    fFloatText,
    fFits,
    fServerProperty,
    fTypeId,
    fTypeName,
    fUdf
};

struct FnSpec {
    const char* name;
    int args;
    Fn id;
};

const FnSpec kFunctions[] = {
    {"getdate", 0, fGetDate},
    {"getutcdate", 0, fGetUtcDate},
    {"sysdatetime", 0, fSysDateTime},
    {"isnull", 2, fIsNull},
    {"len", 1, fLen},
    {"datalength", 1, fDataLength},
    {"charindex", -1, fCharIndex},
    {"left", 2, fLeft},
    {"str", -1, fStr},
    {"right", 2, fRight},
    {"newid", 0, fNewId},
    {"object_id", -1, fObjectId},
    {"object_name", -1, fObjectName},
    {"objectproperty", 2, fObjectProperty},
    {"columnproperty", 3, fColumnProperty},
    {"db_name", -1, fDbName},
    {"db_id", -1, fDbId},
    {"error_number", 0, fErrorNumber},
    {"error_severity", 0, fErrorSeverity},
    {"error_state", 0, fErrorState},
    {"error_procedure", 0, fErrorProcedure},
    {"error_line", 0, fErrorLine},
    {"error_message", 0, fErrorMessage},
    {"scope_identity", 0, fScopeIdentity},
    {"ident_seed", 1, fIdentSeed},
    {"ident_incr", 1, fIdentIncr},
    {"ident_current", 1, fIdentCurrent},
    {"suser_sname", -1, fSuserSname},
    {"user_name", -1, fUser},
    {"host_name", 0, fHost},
    {"app_name", 0, fApp},
    {"sandbox_decimal", -1, fDecimal},
    {"sandbox_moneytext", 2, fMoneyText},
    {"sandbox_variantproperty", 3, fVariantProperty},
    {"sandbox_variant", 2, fTagVariant},
    {"sandbox_plain", 1, fPlainVariant},
    {"year", 1, fYear},
    {"month", 1, fMonth},
    {"day", 1, fDay},
    {"concat", -1, fConcat},
    {"sandbox_int", 2, fCastInt},
    {"sandbox_int", 3, fCastInt},
    {"sandbox_datemath", 6, fDateMath},
    {"sandbox_clash", 2, fClash},
    {"sandbox_floattext", 2, fFloatText},
    {"sandbox_binary", 4, fToBinary},
    {"sandbox_unhex", 2, fUnhex},
    {"sandbox_hex", 2, fHex},
    {"sandbox_bit", 1, fCastBit},
    {"sandbox_float", 1, fCastFloat},
    {"sandbox_datetime", 2, fCastDate},
    {"sandbox_div", 2, fDivide},
    {"sandbox_fits", 5, fFits},
    {"serverproperty", 1, fServerProperty},
    {"type_id", 1, fTypeId},
    {"type_name", 1, fTypeName},
};

std::string Text(sqlite3_value* v) {
    const unsigned char* p = sqlite3_value_text(v);
    return p ? std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(sqlite3_value_bytes(v))) : std::string();
}

// Exact decimal text of a value at a scale, rounding half away from zero.
std::string DecimalText(sqlite3_value* v, int scale) {
    std::string t;
    if (sqlite3_value_type(v) == SQLITE_INTEGER)
        t = std::to_string(sqlite3_value_int64(v));
    else if (sqlite3_value_type(v) == SQLITE_FLOAT) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.*f", scale + 2 > 17 ? 17 : scale + 2, sqlite3_value_double(v));
        t = buf;
    } else
        t = Text(v);
    size_t i = 0;
    while (i < t.size() && t[i] == ' ') ++i;
    bool neg = false;
    if (i < t.size() && (t[i] == '-' || t[i] == '+')) neg = t[i++] == '-';
    std::string whole, frac;
    bool inFrac = false;
    for (; i < t.size(); ++i) {
        if (t[i] == '.') {
            inFrac = true;
            continue;
        }
        if (t[i] < '0' || t[i] > '9') break;
        (inFrac ? frac : whole) += t[i];
    }
    const bool roundUp = frac.size() > static_cast<size_t>(scale) && frac[static_cast<size_t>(scale)] >= '5';
    frac.resize(static_cast<size_t>(scale), '0');
    std::string digits = whole + frac;
    if (roundUp) {
        int k = static_cast<int>(digits.size()) - 1;
        while (k >= 0 && digits[static_cast<size_t>(k)] == '9') digits[static_cast<size_t>(k--)] = '0';
        if (k < 0)
            digits.insert(digits.begin(), '1');
        else
            digits[static_cast<size_t>(k)]++;
    }
    while (digits.size() > static_cast<size_t>(scale) + 1 && digits[0] == '0') digits.erase(0, 1);
    if (digits.size() <= static_cast<size_t>(scale)) digits.insert(0, static_cast<size_t>(scale) + 1 - digits.size(), '0');
    std::string out = digits.substr(0, digits.size() - static_cast<size_t>(scale));
    if (scale > 0) out += "." + digits.substr(digits.size() - static_cast<size_t>(scale));
    if (neg && out.find_first_not_of("0.") != std::string::npos) out = "-" + out;
    return out;
}


// SQL_VARIANT_PROPERTY of a value of the base type: BaseType, Precision, Scale, TotalBytes (the
// variant's header, the type's properties and the value), Collation and MaxLength; NULL for
// another property.
void VariantProperty(sqlite3_context* ctx, const SqlType& t, sqlite3_value* v, std::string prop) {
    for (char& c : prop) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const bool text = t.IsText() || t.IsUnicode(), binary = t.IsBinary();
    if (prop == "basetype") {
        std::string name = t.Name();
        name = name.substr(0, name.find('('));
        return sqlite3_result_text(ctx, name.c_str(), -1, SQLITE_TRANSIENT);
    }
    if (prop == "collation") {
        if (!text) return sqlite3_result_null(ctx);
        return sqlite3_result_text(ctx, CollationById(t.collation).name.c_str(), -1, SQLITE_TRANSIENT);
    }
    const int timeBytes = t.scale <= 2 ? 3 : t.scale <= 4 ? 4 : 5;
    const int decimalBytes = t.precision <= 9 ? 5 : t.precision <= 19 ? 9 : t.precision <= 28 ? 13 : 17;
    int precision = 0, scale = 0, maxLength = 0, props = 0;
    switch (t.kind) {
    case SqlType::TinyInt: precision = 3, maxLength = 1; break;
    case SqlType::SmallInt: precision = 5, maxLength = 2; break;
    case SqlType::Int: precision = 10, maxLength = 4; break;
    case SqlType::BigInt: precision = 19, maxLength = 8; break;
    case SqlType::Bit: precision = 1, maxLength = 1; break;
    case SqlType::Real: precision = 24, maxLength = 4; break;
    case SqlType::Float: precision = 53, maxLength = 8; break;
    case SqlType::Money: precision = 19, scale = 4, maxLength = 8; break;
    case SqlType::SmallMoney: precision = 10, scale = 4, maxLength = 4; break;
    case SqlType::DateTime: precision = 23, scale = 3, maxLength = 8; break;
    case SqlType::SmallDateTime: precision = 16, maxLength = 4; break;
    case SqlType::Date: precision = 10, maxLength = 3; break;
    case SqlType::Time: precision = 8 + (t.scale > 0 ? t.scale + 1 : 0), scale = t.scale, maxLength = timeBytes, props = 1; break;
    case SqlType::DateTime2: precision = 19 + (t.scale > 0 ? t.scale + 1 : 0), scale = t.scale, maxLength = timeBytes + 3, props = 1; break;
    case SqlType::DateTimeOffset:
        precision = 26 + (t.scale > 0 ? t.scale + 1 : 0), scale = t.scale, maxLength = timeBytes + 5, props = 1;
        break;
    case SqlType::Decimal:
    case SqlType::Numeric: precision = t.precision, scale = t.scale, maxLength = decimalBytes, props = 2; break;
    case SqlType::UniqueIdentifier: maxLength = 16; break;
    default:
        maxLength = t.length < 0 ? 8000 : t.length * (t.IsUnicode() ? 2 : 1);
        props = text ? 7 : binary ? 2 : 0;
        break;
    }
    if (prop == "precision") return sqlite3_result_int(ctx, precision);
    if (prop == "scale") return sqlite3_result_int(ctx, scale);
    if (prop == "maxlength") return sqlite3_result_int(ctx, maxLength);
    if (prop == "totalbytes") {
        int value = maxLength;
        if (t.IsUnicode())
            value = static_cast<int>(Utf8ToUtf16(Text(v)).size() * 2);
        else if (text)
            value = static_cast<int>(Utf8ToCodePage(Text(v), CollationById(t.collation).codePage).size());
        else if (binary)
            value = sqlite3_value_bytes(v);
        return sqlite3_result_int(ctx, 2 + props + value);
    }
    sqlite3_result_null(ctx);
}
}  // namespace

struct SessionFunctions {
    // SQLite calls in C: an exception is kept and raised again once the statement has failed.
    static void Call(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
        auto* data = static_cast<FnData*>(sqlite3_user_data(ctx));
        try {
            Run(ctx, argc, argv);
        } catch (...) {
            data->session->pending_ = std::current_exception();
            sqlite3_result_error(ctx, "error in a function", -1);
        }
    }

    static void Run(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
        auto* data = static_cast<FnData*>(sqlite3_user_data(ctx));
        Session& s = *data->session;
        auto arg = [&](int i) { return i < argc ? argv[i] : nullptr; };
        auto lookupInt = [&](const std::string& sql, const std::string& bindText, sqlite3_int64 bindInt, bool useText) {
            SqlStmt st;
            std::optional<sqlite3_int64> r;
            if (sqlite3_prepare_v2(s.db_, sql.c_str(), -1, st.Out(), nullptr) == SQLITE_OK) {
                if (useText)
                    sqlite3_bind_text(st, 1, bindText.c_str(), -1, SQLITE_TRANSIENT);
                else
                    sqlite3_bind_int64(st, 1, bindInt);
                if (sqlite3_step(st) == SQLITE_ROW && sqlite3_column_type(st, 0) != SQLITE_NULL) r = sqlite3_column_int64(st, 0);
            }
            st.Reset();
            return r;
        };
        const Session::CatchInfo* c = s.catches_.empty() ? nullptr : &s.catches_.back();
        switch (static_cast<Fn>(data->id)) {
        case fGetDate:
            sqlite3_result_text(ctx, NowText(false).c_str(), -1, SQLITE_TRANSIENT);
            return;
        case fGetUtcDate:
            sqlite3_result_text(ctx, NowText(true).c_str(), -1, SQLITE_TRANSIENT);
            return;
        case fSysDateTime:
            sqlite3_result_text(ctx, (NowText(false) + "0000").c_str(), -1, SQLITE_TRANSIENT);
            return;
        case fIsNull:
            sqlite3_result_value(ctx, sqlite3_value_type(argv[0]) == SQLITE_NULL ? argv[1] : argv[0]);
            return;
        case fLen: {
            if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
            std::string v = Text(argv[0]);
            while (!v.empty() && v.back() == ' ') v.pop_back();
            // UTF-16 code units: a character beyond the basic plane counts two.
            long n = 0;
            for (char ch : v) {
                const auto b = static_cast<unsigned char>(ch);
                if ((b & 0xC0) != 0x80) n += b >= 0xF0 ? 2 : 1;
            }
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
        case fStr: {
            // STR(number [, length [, decimals]]): right-justified in length characters (10), with
            // fewer decimals (0 by default) when they do not fit, and '*'s when the whole part does not.
            if (argc < 1 || argc > 3) throw SqlError{174, 15, 1, "The str function requires 1 to 3 argument(s).", 1, "", true};
            if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
            const long long length = argc > 1 ? sqlite3_value_int64(argv[1]) : 10;
            long long decimals = argc > 2 ? std::min<long long>(16, sqlite3_value_int64(argv[2])) : 0;
            if (length <= 0 || length > 8000 || decimals < 0) return sqlite3_result_null(ctx);
            const double v = sqlite3_value_double(argv[0]);
            std::string text;
            for (; decimals >= 0; --decimals) {
                // Halves round away from zero, as SQL Server's STR does (printf rounds them to even).
                const double scale = std::pow(10.0, static_cast<double>(decimals));
                const double rounded = std::isfinite(v * scale) ? std::round(v * scale) / scale : v;
                char buf[400];
                std::snprintf(buf, sizeof buf, "%.*f", static_cast<int>(decimals), rounded);
                text = buf;
                if (static_cast<long long>(text.size()) <= length) break;
            }
            if (static_cast<long long>(text.size()) > length)
                text.assign(static_cast<size_t>(length), '*');
            else
                text.insert(0, static_cast<size_t>(length) - text.size(), ' ');
            sqlite3_result_text(ctx, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
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
            std::snprintf(buf, sizeof buf, "%08X-%04X-4%03X-%04X-%012llX", static_cast<unsigned>(a >> 32),
                          static_cast<unsigned>((a >> 16) & 0xFFFF), static_cast<unsigned>(a & 0xFFF),
                          static_cast<unsigned>(0x8000 | ((b >> 48) & 0x3FFF)), static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFULL));
            sqlite3_result_text(ctx, buf, -1, SQLITE_TRANSIENT);
            return;
        }
        case fObjectId: {
            std::string name = s.TempName(LastNamePart(Text(argv[0])));
            // Key constraints and foreign keys have ids of their own too.
            auto r = lookupInt("SELECT id FROM __objects WHERE lower(name) = lower(?1) "
                               "UNION ALL SELECT object_id FROM __sys_key_objects WHERE lower(name) = lower(?1)",
                               name, 0, true);
            if (r)
                sqlite3_result_int64(ctx, *r);
            else
                sqlite3_result_null(ctx);
            return;
        }
        case fObjectName: {
            SqlStmt st;
            sqlite3_prepare_v2(s.db_, "SELECT name FROM __objects WHERE id = ?1 UNION ALL SELECT name FROM __sys_key_objects WHERE object_id = ?1", -1,
                               st.Out(), nullptr);
            sqlite3_bind_int64(st, 1, sqlite3_value_int64(argv[0]));
            if (sqlite3_step(st) == SQLITE_ROW)
                sqlite3_result_text(ctx, reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), -1, SQLITE_TRANSIENT);
            else
                sqlite3_result_null(ctx);
            st.Reset();
            return;
        }
        case fTypeId:
        case fTypeName: {
            // A system type's id is its xusertype in systypes (sysname's 256), an alias type's 256
            // and its place among the database's alias types.
            if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
            const bool byName = data->id == fTypeId;
            const std::string name = byName ? LastNamePart(Text(argv[0])) : std::string();
            const sqlite3_int64 id = byName ? 0 : sqlite3_value_int64(argv[0]);
            if (byName ? SameNoCase(name, "sysname") : id == 256)
                return byName ? sqlite3_result_int(ctx, 256) : sqlite3_result_text(ctx, "sysname", -1, SQLITE_STATIC);
            static const char* const kQueries[] = {
                "SELECT xusertype FROM systypes WHERE name = ?1 COLLATE NOCASE AND name <> 'sysname' "
                "UNION ALL SELECT 256 + rowid FROM __types WHERE name = ?1 COLLATE NOCASE",
                "SELECT name FROM systypes WHERE xusertype = ?1 AND name <> 'sysname' "
                "UNION ALL SELECT name FROM __types WHERE rowid = ?1 - 256 AND ?1 > 256"};
            SqlStmt st;
            if (sqlite3_prepare_v2(s.db_, kQueries[byName ? 0 : 1], -1, st.Out(), nullptr) != SQLITE_OK) return sqlite3_result_null(ctx);
            if (byName)
                sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
            else
                sqlite3_bind_int64(st, 1, id);
            if (sqlite3_step(st) != SQLITE_ROW)
                sqlite3_result_null(ctx);
            else if (byName)
                sqlite3_result_int64(ctx, sqlite3_column_int64(st, 0));
            else
                sqlite3_result_text(ctx, reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), -1, SQLITE_TRANSIENT);
            st.Reset();
            return;
        }
        case fObjectProperty: {
            SqlStmt st;
            sqlite3_prepare_v2(s.db_, "SELECT xtype FROM __objects WHERE id = ?", -1, st.Out(), nullptr);
            sqlite3_bind_int64(st, 1, sqlite3_value_int64(argv[0]));
            std::string xtype;
            const bool found = sqlite3_step(st) == SQLITE_ROW;
            if (found) xtype = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
            st.Reset();
            if (!found) return sqlite3_result_null(ctx);
            while (!xtype.empty() && xtype.back() == ' ') xtype.pop_back();
            const std::string p = Upper(Text(argv[1]));
            int r;
            if (p == "ISTABLE" || p == "ISUSERTABLE")
                r = xtype == "U";
            else if (p == "ISVIEW")
                r = xtype == "V";
            else if (p == "ISPROCEDURE")
                r = xtype == "P";
            else if (p == "ISTRIGGER")
                r = xtype == "TR";
            else if (p == "ISSCALARFUNCTION")
                r = xtype == "FN";
            else if (p == "ISTABLEFUNCTION")
                r = xtype == "IF" || xtype == "TF";
            else if (p == "ISINLINEFUNCTION")
                r = xtype == "IF";
            else if (p == "ISSYSTEMTABLE" || p == "ISMSSHIPPED")
                r = 0;
            else
                return sqlite3_result_null(ctx);
            sqlite3_result_int(ctx, r);
            return;
        }
        case fColumnProperty: {
            const std::string p = Upper(Text(argv[2]));
            SqlStmt st;
            sqlite3_prepare_v2(s.db_, "SELECT is_identity, is_nullable FROM __columns WHERE object_id = ? AND lower(name) = lower(?)", -1,
                               st.Out(), nullptr);
            sqlite3_bind_int64(st, 1, sqlite3_value_int64(argv[0]));
            sqlite3_bind_text(st, 2, Text(argv[1]).c_str(), -1, SQLITE_TRANSIENT);
            if (sqlite3_step(st) == SQLITE_ROW) {
                if (p == "ISIDENTITY")
                    sqlite3_result_int(ctx, sqlite3_column_int(st, 0));
                else if (p == "ALLOWSNULL")
                    sqlite3_result_int(ctx, std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, 1))) == "YES");
                else
                    sqlite3_result_null(ctx);
            } else {
                sqlite3_result_null(ctx);
            }
            st.Reset();
            return;
        }
        case fDbName:
            sqlite3_result_text(ctx, s.dbName_.c_str(), -1, SQLITE_TRANSIENT);
            return;
        case fDbId: {
            const int id = s.server_.DatabaseId(argc > 0 ? Text(argv[0]) : s.dbName_);
            if (id == 0) return sqlite3_result_null(ctx);
            sqlite3_result_int(ctx, id);
            return;
        }
        case fErrorNumber:
            if (c)
                sqlite3_result_int(ctx, c->error.number);
            else
                sqlite3_result_null(ctx);
            return;
        case fErrorSeverity:
            if (c)
                sqlite3_result_int(ctx, c->error.severity);
            else
                sqlite3_result_null(ctx);
            return;
        case fErrorState:
            if (c)
                sqlite3_result_int(ctx, c->error.state);
            else
                sqlite3_result_null(ctx);
            return;
        case fErrorLine:
            if (c)
                sqlite3_result_int(ctx, c->error.line);
            else
                sqlite3_result_null(ctx);
            return;
        case fErrorProcedure:
            if (c && !c->error.procedure.empty())
                sqlite3_result_text(ctx, c->error.procedure.c_str(), -1, SQLITE_TRANSIENT);
            else
                sqlite3_result_null(ctx);
            return;
        case fErrorMessage:
            if (c)
                sqlite3_result_text(ctx, c->error.message.c_str(), -1, SQLITE_TRANSIENT);
            else
                sqlite3_result_null(ctx);
            return;
        case fIdentSeed:
        case fIdentIncr:
        case fIdentCurrent: {
            if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
            const auto id = s.IdentityOf(s.TempName(LastNamePart(Text(argv[0]))));
            if (!id) return sqlite3_result_null(ctx);
            sqlite3_result_int64(ctx, data->id == fIdentSeed ? id->seed : data->id == fIdentIncr ? id->increment : id->current);
            return;
        }
        case fScopeIdentity:
            // NULL until the session has made an identity value (SQLite's last row id is 0 then).
            if (!s.hasSessionIdentity_ && sqlite3_last_insert_rowid(s.db_) == 0)
                sqlite3_result_null(ctx);
            else
                sqlite3_result_int64(ctx, sqlite3_last_insert_rowid(s.db_));
            return;
        case fSuserSname:
        case fUser:
            sqlite3_result_text(ctx, s.user_.c_str(), -1, SQLITE_TRANSIENT);
            return;
        case fHost:
            sqlite3_result_text(ctx, s.hostName_.c_str(), -1, SQLITE_TRANSIENT);
            return;
        case fApp:
            sqlite3_result_text(ctx, s.appName_.c_str(), -1, SQLITE_TRANSIENT);
            return;
        case fDecimal: {
            // CAST to decimal(p, s), or to the type the fourth argument names (money): rounded to
            // the scale, with SQL Server's errors for text that is no number and for overflow.
            if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
            SqlType type = SqlType::Of(SqlType::Numeric, 0, sqlite3_value_int(argv[1]), sqlite3_value_int(argv[2]));
            if (argc > 3) ParseSqlType(Text(argv[3]), type);
            SqlValue v;
            switch (sqlite3_value_type(argv[0])) {
            case SQLITE_INTEGER: v = SqlValue::FromInt(sqlite3_value_int64(argv[0])); break;
            case SQLITE_FLOAT: v = SqlValue::FromReal(sqlite3_value_double(argv[0])); break;
            case SQLITE_BLOB: {
                SqlType base;
                if (!UntagVariant(SqlValue::FromBlob(std::string(static_cast<const char*>(sqlite3_value_blob(argv[0])),
                                                                 static_cast<size_t>(sqlite3_value_bytes(argv[0])))),
                                  base, v))
                    v = SqlValue::FromText(DecimalText(argv[0], type.scale));
                break;
            }
            default: v = SqlValue::FromText(Text(argv[0])); break;
            }
            const SqlValue d = StoreValue(type, v, s.dateOrder_, false);
            sqlite3_result_text(ctx, d.s.c_str(), static_cast<int>(d.s.size()), SQLITE_TRANSIENT);
            return;
        }
        case fMoneyText: {
            // Money as text in CONVERT's style: 0 two decimals, 1 two decimals and thousands
            // separators, 2 and 126 four decimals.
            if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL) return sqlite3_result_null(ctx);
            const std::string d = MoneyText(DecimalText(argv[0], 4), sqlite3_value_int(argv[1]));
            sqlite3_result_text(ctx, d.c_str(), -1, SQLITE_TRANSIENT);
            return;
        }
        case fPlainVariant: {
            // A value tagged with its base type as SQLite compares it: a decimal or money of up to
            // 15 digits as a number, longer ones and dates as text.
            SqlType base;
            SqlValue v;
            if (sqlite3_value_type(argv[0]) != SQLITE_BLOB ||
                !UntagVariant(SqlValue::FromBlob(std::string(static_cast<const char*>(sqlite3_value_blob(argv[0])),
                                                             static_cast<size_t>(sqlite3_value_bytes(argv[0])))),
                              base, v))
                return sqlite3_result_value(ctx, argv[0]);
            const bool exact = base.base == SqlType::Decimal || base.base == SqlType::Numeric || base.base == SqlType::Money ||
                               base.base == SqlType::SmallMoney;
            if (v.type == SqlValue::Integer) return sqlite3_result_int64(ctx, v.i);
            if (v.type == SqlValue::Real) return sqlite3_result_double(ctx, v.d);
            if (exact && std::count_if(v.s.begin(), v.s.end(), [](char ch) { return ch >= '0' && ch <= '9'; }) <= 15)
                return sqlite3_result_double(ctx, std::strtod(v.s.c_str(), nullptr));
            return sqlite3_result_text(ctx, v.s.c_str(), static_cast<int>(v.s.size()), SQLITE_TRANSIENT);
        }
        case fTagVariant: {
            if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
            if (sqlite3_value_type(argv[0]) == SQLITE_BLOB) {
                // Already tagged: it keeps its own base type.
                SqlType base;
                SqlValue v;
                if (UntagVariant(SqlValue::FromBlob(std::string(static_cast<const char*>(sqlite3_value_blob(argv[0])),
                                                                static_cast<size_t>(sqlite3_value_bytes(argv[0])))),
                                 base, v))
                    return sqlite3_result_value(ctx, argv[0]);
            }
            const std::string tagged = TaggedVariant(Text(argv[1]), Text(argv[0]));
            sqlite3_result_blob(ctx, tagged.data(), static_cast<int>(tagged.size()), SQLITE_TRANSIENT);
            return;
        }
        case fVariantProperty: {
            if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL) return sqlite3_result_null(ctx);
            SqlType t;
            std::string declared = Text(argv[2]);
            SqlType taggedType;
            SqlValue taggedValue;
            if (sqlite3_value_type(argv[0]) == SQLITE_BLOB) {
                SqlValue blob = SqlValue::FromBlob(std::string(static_cast<const char*>(sqlite3_value_blob(argv[0])),
                                                               static_cast<size_t>(sqlite3_value_bytes(argv[0]))));
                if (UntagVariant(blob, taggedType, taggedValue)) {
                    taggedType.kind = taggedType.base;
                    taggedType.base = SqlType::Variant;
                    declared = taggedType.Declared();
                }
            }
            if (declared.empty() || !ParseSqlType(declared, t)) {
                // A variant whose base type is not seen: its value's storage class decides.
                switch (sqlite3_value_type(argv[0])) {
                case SQLITE_INTEGER: {
                    const sqlite3_int64 i = sqlite3_value_int64(argv[0]);
                    t = SqlType::Of(i > 2147483647LL || i < -2147483648LL ? SqlType::BigInt : SqlType::Int);
                    break;
                }
                case SQLITE_FLOAT:
                    t = SqlType::Of(SqlType::Float);
                    break;
                case SQLITE_BLOB:
                    t = SqlType::Of(SqlType::VarBinary, 8000);
                    break;
                default:
                    t = SqlType::Of(SqlType::NVarChar, 4000);
                    break;
                }
            }
            VariantProperty(ctx, t, argv[0], Text(argv[1]));
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
        case fConcat: {
            // Every argument as text, NULL as nothing.
            if (argc < 2 || argc > 254) throw SqlError{189, 15, 1, "The concat function requires 2 to 254 arguments.", 1, "", false};
            std::string out;
            for (int k = 0; k < argc; ++k) {
                const int type = sqlite3_value_type(argv[k]);
                if (type == SQLITE_NULL) continue;
                if (type == SQLITE_BLOB)
                    out += Cp1252ToUtf8(std::string_view(static_cast<const char*>(sqlite3_value_blob(argv[k])),
                                                         static_cast<size_t>(sqlite3_value_bytes(argv[k]))));
                else
                    out += Text(argv[k]);
            }
            return sqlite3_result_text(ctx, out.data(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
        }
        case fCastInt: {
            // CAST to an integer type: text must be a number; the value must fit the type.
            const int type = sqlite3_value_type(argv[0]);
            if (type == SQLITE_NULL) return sqlite3_result_null(ctx);
            const std::string kind = Text(argv[1]);
            long double v = 0;
            if (type == SQLITE_INTEGER)
                v = static_cast<long double>(sqlite3_value_int64(argv[0]));
            else if (type == SQLITE_FLOAT)
                v = sqlite3_value_double(argv[0]);
            else if (type == SQLITE_BLOB) {
                const std::string_view bytes(static_cast<const char*>(sqlite3_value_blob(argv[0])),
                                             static_cast<size_t>(sqlite3_value_bytes(argv[0])));
                const int width = kind == "tinyint" ? 1 : kind == "smallint" ? 2 : kind == "int" ? 4 : 8;
                return sqlite3_result_int64(ctx, IntegerOfBinary(bytes, width, kind == "tinyint"));
            }
            else if (const bool fromText = argc > 2 && sqlite3_value_int(argv[2]) != 0;
                     !(fromText ? ParseIntegerString(Text(argv[0]), v) : ParseIntegerText(Text(argv[0]), v)))
                throw SqlError{
                    245, 16, 1,    "Conversion failed when converting the varchar value '" + Text(argv[0]) + "' to data type " + kind + ".",
                    1,   "", false};
            else if (fromText && kind == "int" && (v < -2147483648.0L || v > 2147483647.0L))
                throw SqlError{248, 16, 1, "The conversion of the varchar value '" + Text(argv[0]) + "' overflowed an int column.", 1, "", false};
            v = v < 0 ? std::ceil(v) : std::floor(v);
            const long double lo = kind == "tinyint"    ? 0
                                   : kind == "smallint" ? -32768
                                   : kind == "int"      ? -2147483648.0L
                                                        : -9223372036854775808.0L;
            const long double hi = kind == "tinyint"    ? 255
                                   : kind == "smallint" ? 32767
                                   : kind == "int"      ? 2147483647.0L
                                                        : 9223372036854775807.0L;
            if (v < lo || v > hi)
                throw SqlError{8115, 16, 2, "Arithmetic overflow error converting expression to data type " + kind + ".", 1, "", false};
            if (type == SQLITE_INTEGER) return sqlite3_result_int64(ctx, sqlite3_value_int64(argv[0]));
            return sqlite3_result_int64(ctx, static_cast<sqlite3_int64>(v));
        }
        case fToBinary: {
            if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
            const std::string bytes = BinaryOf(argv[0], Text(argv[1]), sqlite3_value_int64(argv[2]), sqlite3_value_int(argv[3]) != 0);
            return sqlite3_result_blob(ctx, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
        }
        case fUnhex: {
            if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
            const std::optional<std::string> bytes = BinaryFromHex(Text(argv[0]), sqlite3_value_int(argv[1]));
            if (!bytes) throw SqlError{8114, 16, 5, "Error converting data type varchar to varbinary.", 1, "", false};
            return sqlite3_result_blob(ctx, bytes->data(), static_cast<int>(bytes->size()), SQLITE_TRANSIENT);
        }
        case fHex: {
            if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
            const std::string_view bytes(static_cast<const char*>(sqlite3_value_blob(argv[0])), static_cast<size_t>(sqlite3_value_bytes(argv[0])));
            const std::string text = HexOfBinary(bytes, sqlite3_value_int(argv[1]));
            return sqlite3_result_text(ctx, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        }
        case fCastBit: {
            const int type = sqlite3_value_type(argv[0]);
            if (type == SQLITE_NULL) return sqlite3_result_null(ctx);
            if (type == SQLITE_INTEGER) return sqlite3_result_int(ctx, sqlite3_value_int64(argv[0]) != 0);
            if (type == SQLITE_FLOAT) return sqlite3_result_int(ctx, sqlite3_value_double(argv[0]) != 0);
            std::string t = Upper(Text(argv[0]));
            while (!t.empty() && t.back() == ' ') t.pop_back();
            while (!t.empty() && t.front() == ' ') t.erase(0, 1);
            if (t == "TRUE") return sqlite3_result_int(ctx, 1);
            if (t == "FALSE") return sqlite3_result_int(ctx, 0);
            long double v = 0;
            if (!ParseIntegerText(t, v))
                throw SqlError{
                    245, 16, 1,    "Conversion failed when converting the varchar value '" + Text(argv[0]) + "' to data type bit.",
                    1,   "", false};
            return sqlite3_result_int(ctx, v != 0);
        }
        case fCastFloat: {
            const int type = sqlite3_value_type(argv[0]);
            if (type == SQLITE_NULL) return sqlite3_result_null(ctx);
            if (type == SQLITE_INTEGER || type == SQLITE_FLOAT) return sqlite3_result_double(ctx, sqlite3_value_double(argv[0]));
            const std::string t = Text(argv[0]);
            char* end = nullptr;
            const double d = std::strtod(t.c_str(), &end);
            while (end && *end == ' ') ++end;
            // A string of blanks is 0, as SQL Server reads it.
            if (t.find_first_not_of(' ') == std::string::npos) return sqlite3_result_double(ctx, 0);
            if (!end || *end != '\0') throw SqlError{8114, 16, 5, "Error converting data type varchar to float.", 1, "", false};
            return sqlite3_result_double(ctx, d);
        }
        case fCastDate: {
            // CAST of text to a date/time type: SQL Server's formats, stored in the canonical form.
            const int type = sqlite3_value_type(argv[0]);
            if (type == SQLITE_NULL) return sqlite3_result_null(ctx);
            SqlType target;
            ParseSqlType(Text(argv[1]), target);
            DateTimeParts p;
            if (type == SQLITE_INTEGER || type == SQLITE_FLOAT) {
                // A number of days since 1900-01-01 (datetime only, as on SQL Server).
                const double days = sqlite3_value_double(argv[0]);
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
            } else if (!ParseDateTime(Text(argv[0]), p, s.dateOrder_,
                                      target.kind == SqlType::DateTime || target.kind == SqlType::SmallDateTime)) {
                throw SqlError{241, 16, 1, "Conversion failed when converting date and/or time from character string.", 1, "", false};
            }
            if (!InDateRange(p, target.kind))
                throw SqlError{
                    242,  16,
                    3,    "The conversion of a varchar data type to a " + target.Name() + " data type resulted in an out-of-range value.",
                    1,    "",
                    false};
            const std::string out = FormatDateTime(p, target);
            return sqlite3_result_text(ctx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
        }
        case fClash:
            throw SqlError{206, 16, 2, "Operand type clash: " + Text(argv[0]) + " is incompatible with " + Text(argv[1]), 1, "", false};
        case fFloatText: {
            const int type = sqlite3_value_type(argv[0]);
            if (type != SQLITE_FLOAT && type != SQLITE_INTEGER) return sqlite3_result_value(ctx, argv[0]);
            const std::string out = FloatText(sqlite3_value_double(argv[0]), sqlite3_value_int(argv[1]));
            return sqlite3_result_text(ctx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
        }
        case fDateMath: {
            // datetime and smalldatetime meeting + or -: each side as days since 1900-01-01 (a
            // number is days, a string is read as a datetime), the result rounded to the type.
            const int op = Text(argv[0])[0];
            auto days = [&](sqlite3_value* v, const std::string& typeName, bool& null) -> long double {
                null = sqlite3_value_type(v) == SQLITE_NULL;
                if (null) return 0;
                SqlType type;
                ParseSqlType(typeName, type);
                const bool date = type.kind == SqlType::DateTime || type.kind == SqlType::SmallDateTime;
                if (!date && !type.IsText() && !type.IsUnicode()) {
                    if (sqlite3_value_type(v) == SQLITE_TEXT) return std::strtold(Text(v).c_str(), nullptr);
                    return sqlite3_value_double(v);
                }
                DateTimeParts p;
                if (!ParseDateTime(Text(v), p, date ? "ymd" : s.dateOrder_, !date))
                    throw SqlError{241, 16, 1, "Conversion failed when converting date and/or time from character string.", 1, "", false};
                const long double ms = ((p.hour * 60.0L + p.minute) * 60.0L + p.second) * 1000.0L + p.nanos / 1000000.0L;
                return static_cast<long double>(DaysFromCivil(p.year, static_cast<unsigned>(p.month), static_cast<unsigned>(p.day)) -
                                                DaysFromCivil(1900, 1, 1)) +
                       ms / 86400000.0L;
            };
            bool nullA = false, nullB = false;
            const long double a = days(argv[1], Text(argv[2]), nullA), b = days(argv[3], Text(argv[4]), nullB);
            if (nullA || nullB) return sqlite3_result_null(ctx);
            SqlType target;
            ParseSqlType(Text(argv[5]), target);
            const long double sum = op == '-' ? a - b : a + b;
            // datetime counts 1/300 s ticks, smalldatetime minutes.
            const bool small = target.kind == SqlType::SmallDateTime;
            const std::int64_t perDay = small ? 1440 : 86400LL * 300;
            const long double units = std::round(sum * perDay);
            DateTimeParts p;
            if (std::fabs(units) < 1e15L) {
                const auto total = static_cast<std::int64_t>(units);
                std::int64_t day = total / perDay, rest = total % perDay;
                if (rest < 0) rest += perDay, --day;
                std::int64_t y;
                unsigned m, d;
                CivilFromDays(DaysFromCivil(1900, 1, 1) + day, y, m, d);
                p.year = y > 99999 || y < -99999 ? 99999 : static_cast<int>(y);
                p.month = static_cast<int>(m);
                p.day = static_cast<int>(d);
                const std::int64_t ms = small ? rest * 60000 : (rest * 10 + 1) / 3;
                p.hour = static_cast<int>(ms / 3600000);
                p.minute = static_cast<int>(ms / 60000 % 60);
                p.second = static_cast<int>(ms / 1000 % 60);
                p.nanos = static_cast<int>(ms % 1000) * 1000000;
            } else {
                p.year = 99999;
            }
            if (!InDateRange(p, target.kind))
                throw SqlError{517, 16, 1, "Adding a value to a '" + target.Name() + "' column caused an overflow.", 1, "", false};
            const std::string out = FormatDateTime(p, target);
            return sqlite3_result_text(ctx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
        }
        case fDivide: {
            const int ta = sqlite3_value_type(argv[0]), tb = sqlite3_value_type(argv[1]);
            if (ta == SQLITE_NULL || tb == SQLITE_NULL) return sqlite3_result_null(ctx);
            if (sqlite3_value_double(argv[1]) == 0.0 && (tb != SQLITE_TEXT || std::strtod(Text(argv[1]).c_str(), nullptr) == 0.0))
                throw SqlError{8134, 16, 1, "Divide by zero error encountered.", 1, "", false};
            if (ta == SQLITE_INTEGER && tb == SQLITE_INTEGER) {
                const sqlite3_int64 a = sqlite3_value_int64(argv[0]), b = sqlite3_value_int64(argv[1]);
                if (a == INT64_MIN && b == -1)
                    throw SqlError{8115, 16, 2, "Arithmetic overflow error converting expression to data type bigint.", 1, "", false};
                return sqlite3_result_int64(ctx, a / b);
            }
            return sqlite3_result_double(ctx, sqlite3_value_double(argv[0]) / sqlite3_value_double(argv[1]));
        }
        case fFits: {
            // A CHECK on character and binary columns: a longer value is an error, not a silent cut
            // (trailing blanks excepted, as with ANSI_PADDING).
            const int type = sqlite3_value_type(argv[0]);
            if (type == SQLITE_NULL) return sqlite3_result_int(ctx, 1);
            const sqlite3_int64 limit = sqlite3_value_int64(argv[1]);
            if (type == SQLITE_BLOB) {
                if (sqlite3_value_bytes(argv[0]) <= limit) return sqlite3_result_int(ctx, 1);
            } else {
                const std::string v = Text(argv[0]);
                // Characters; bytes of the code page for varchar in a double-byte one (the last argument).
                int codePage = -1;  // read at the first character past ASCII
                size_t chars = 0, cutAt = v.size(), lastNonBlank = 0;
                for (size_t i = 0; i < v.size(); ++i) {
                    if ((static_cast<unsigned char>(v[i]) & 0xC0) == 0x80) continue;
                    size_t width = 1;
                    if (static_cast<unsigned char>(v[i]) >= 0x80 && codePage < 0) codePage = sqlite3_value_int(argv[4]);
                    if (codePage > 0 && static_cast<unsigned char>(v[i]) >= 0x80) {
                        size_t next = i;
                        NextCodePoint(v, next);
                        width = Utf8ToCodePage(std::string_view(v).substr(i, next - i), codePage).size();
                    }
                    if (cutAt == v.size() && static_cast<sqlite3_int64>(chars + width) > limit) cutAt = i;
                    chars += width;
                    if (v[i] != ' ') lastNonBlank = chars;
                }
                if (static_cast<sqlite3_int64>(lastNonBlank) <= limit) return sqlite3_result_int(ctx, 1);
                throw SqlError{2628,
                               16,
                               1,
                               "String or binary data would be truncated in table '" + s.dbName_ + ".dbo." + Text(argv[2]) + "', column '" +
                                   Text(argv[3]) + "'. Truncated value: '" + v.substr(0, cutAt) + "'.",
                               1,
                               "",
                               false};
            }
            throw SqlError{2628,
                           16,
                           1,
                           "String or binary data would be truncated in table '" + s.dbName_ + ".dbo." + Text(argv[2]) + "', column '" +
                               Text(argv[3]) + "'. Truncated value: ''.",
                           1,
                           "",
                           false};
        }
        case fServerProperty: {
            const std::string p = Upper(Text(argv[0]));
            std::string v;
            if (p == "PRODUCTVERSION")
                v = "15.0.2000.5";
            else if (p == "PRODUCTLEVEL")
                v = "RTM";
            else if (p == "EDITION")
                v = "Developer Edition (64-bit)";
            else if (p == "ENGINEEDITION")
                return sqlite3_result_int(ctx, 3);
            else if (p == "SERVERNAME" || p == "MACHINENAME" || p == "INSTANCENAME")
                v = s.server_.ServerName();
            else if (p == "COLLATION")
                v = "SQL_Latin1_General_CP1_CI_AS";
            else if (p == "ISINTEGRATEDSECURITYONLY" || p == "ISCLUSTERED" || p == "ISFULLTEXTINSTALLED")
                return sqlite3_result_int(ctx, 0);
            else
                return sqlite3_result_null(ctx);
            return sqlite3_result_text(ctx, v.c_str(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        }
        case fUdf: {
            std::vector<SqlValue> args;
            for (int k = 0; k < argc; ++k) {
                sqlite3_value* v = arg(k);
                switch (sqlite3_value_type(v)) {
                case SQLITE_INTEGER:
                    args.push_back(SqlValue::FromInt(sqlite3_value_int64(v)));
                    break;
                case SQLITE_FLOAT:
                    args.push_back(SqlValue::FromReal(sqlite3_value_double(v)));
                    break;
                case SQLITE_NULL:
                    args.emplace_back();
                    break;
                default:
                    args.push_back(SqlValue::FromText(Text(v)));
                }
            }
            ResultValue(ctx, s.CallFunction(data->name, args));
            return;
        }
        }
    }

    static std::string NowText(bool utc) {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        std::tm tmv{};
        if (utc)
            gmtime_r(&ts.tv_sec, &tmv);
        else
            localtime_r(&ts.tv_sec, &tmv);
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
        // A CHECK constraint may only call deterministic functions.
        const int flags = SQLITE_UTF8 | (f.id == fFits ? SQLITE_DETERMINISTIC : 0);
        sqlite3_create_function_v2(db_, f.name, f.args, flags, fnData_.back().get(), SessionFunctions::Call, nullptr, nullptr, nullptr);
    }
    // Scalar user functions of this database.
    SqlStmt st;
    if (sqlite3_prepare_v2(db_, "SELECT name FROM __objects WHERE xtype = 'FN'", -1, st.Out(), nullptr) == SQLITE_OK) {
        while (sqlite3_step(st) == SQLITE_ROW) {
            const std::string name = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
            fnData_.push_back(std::make_unique<FnData>(FnData{this, fUdf, name}));
            sqlite3_create_function_v2(db_, name.c_str(), -1, SQLITE_UTF8, fnData_.back().get(), SessionFunctions::Call, nullptr, nullptr,
                                       nullptr);
        }
    }
    st.Reset();
    RegisterScriptFunctions();
}

void Session::FnDispatch(sqlite3_context* ctx, int argc, sqlite3_value** argv) { SessionFunctions::Call(ctx, argc, argv); }
