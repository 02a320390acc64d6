// FOR XML PATH and RAW, FOR JSON PATH and AUTO. Each row of the query becomes its XML fragment
// (sandbox_xml_row) or JSON object (sandbox_json_row), from the column names the select list gives,
// and these are joined in the query's order (sandbox_xml_concat, sandbox_json_concat) with the ROOT
// around them when one is asked for. At the top of a statement the text is one column of SQL
// Server's name for it, cut into rows of 2033 characters as SQL Server sends it; in a subquery it is
// a string, or with TYPE an XML value whose .value('.', type) is its text.
#include "Session.h"
#include "SqliteUtil.h"
#include "TextCodec.h"

#include <sqlite3.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

namespace {

// How a column's value goes into the XML (the third argument of each column of sandbox_xml_row).
enum ValueKind { kText = 0, kXml = 1, kDateTime = 2 };

std::string Escape(const std::string& v, bool attribute) {
    std::string out;
    out.reserve(v.size());
    for (char c : v) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '\r':
            out += "&#x0D;";
            break;
        case '"':
            out += attribute ? "&quot;" : "\"";
            break;
        case '\n':
            out += attribute ? "&#x0A;" : "\n";
            break;
        case '\t':
            out += attribute ? "&#x09;" : "\t";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// A name as an XML name: characters XML does not allow in one are written _xHHHH_.
std::string XmlName(const std::string& name) {
    std::string out;
    const std::u16string units = Utf8ToUtf16(name);
    for (size_t i = 0; i < units.size(); ++i) {
        const char16_t c = units[i];
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c > 0x7F;
        const bool other = (c >= '0' && c <= '9') || c == '.' || c == '-';
        if (letter || (other && i > 0)) {
            out += Utf16ToUtf8(&c, 1);
        } else {
            char buf[12];
            std::snprintf(buf, sizeof buf, "_x%04X_", static_cast<unsigned>(c));
            out += buf;
        }
    }
    return out;
}

std::string Base64(const unsigned char* p, int n) {
    static const char* const kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (int i = 0; i < n; i += 3) {
        const unsigned v = (unsigned{p[i]} << 16) | (i + 1 < n ? unsigned{p[i + 1]} << 8 : 0u) | (i + 2 < n ? unsigned{p[i + 2]} : 0u);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < n ? kAlphabet[(v >> 6) & 63] : '=';
        out += i + 2 < n ? kAlphabet[v & 63] : '=';
    }
    return out;
}

// The value as XML text: floats in SQL Server's scientific form, dates with their T, binary in base64.
std::string ValueText(sqlite3_value* v, int kind) {
    switch (sqlite3_value_type(v)) {
    case SQLITE_INTEGER:
        return std::to_string(sqlite3_value_int64(v));
    case SQLITE_FLOAT: {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.15e", sqlite3_value_double(v));
        std::string s = buf;
        // e+05 -> e+005
        const size_t e = s.find('e');
        if (e != std::string::npos && s.size() - e - 2 < 3) s.insert(e + 2, std::string(3 - (s.size() - e - 2), '0'));
        return s;
    }
    case SQLITE_BLOB:
        return Base64(static_cast<const unsigned char*>(sqlite3_value_blob(v)), sqlite3_value_bytes(v));
    default: {
        const unsigned char* p = sqlite3_value_text(v);
        std::string s = p ? reinterpret_cast<const char*>(p) : "";
        if (kind == kDateTime) {
            if (s.size() > 10 && s[10] == ' ') s[10] = 'T';
            const size_t dot = s.find('.', 10);
            if (dot != std::string::npos) {
                size_t end = dot + 1;
                while (end < s.size() && std::isdigit(static_cast<unsigned char>(s[end]))) ++end;
                size_t last = end;
                while (last > dot + 1 && s[last - 1] == '0') --last;
                s.erase(last == dot + 1 ? dot : last, end - (last == dot + 1 ? dot : last));
            }
        }
        return s;
    }
    }
}

// XML text's characters as its value: tags dropped, entities read.
std::string TextOf(const std::string& xml) {
    std::string out;
    for (size_t i = 0; i < xml.size(); ++i) {
        if (xml[i] == '<') {
            const size_t close = xml.find('>', i);
            if (close == std::string::npos) break;
            i = close;
            continue;
        }
        if (xml[i] != '&') {
            out += xml[i];
            continue;
        }
        const size_t semi = xml.find(';', i);
        if (semi == std::string::npos) {
            out += xml[i];
            continue;
        }
        const std::string entity = xml.substr(i + 1, semi - i - 1);
        if (entity == "amp")
            out += '&';
        else if (entity == "lt")
            out += '<';
        else if (entity == "gt")
            out += '>';
        else if (entity == "quot")
            out += '"';
        else if (entity == "apos")
            out += '\'';
        else if (!entity.empty() && entity[0] == '#') {
            const unsigned long code = entity.size() > 1 && (entity[1] == 'x' || entity[1] == 'X')
                                           ? std::strtoul(entity.c_str() + 2, nullptr, 16)
                                           : std::strtoul(entity.c_str() + 1, nullptr, 10);
            if (code < 0x80) {
                out += static_cast<char>(code);
            } else {
                std::u16string u;
                if (code >= 0x10000) {
                    u += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
                    u += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
                } else {
                    u += static_cast<char16_t>(code);
                }
                out += Utf16ToUtf8(u.data(), u.size());
            }
        } else {
            out += xml.substr(i, semi - i + 1);
        }
        i = semi;
    }
    return out;
}

// How a column's value goes into JSON (the second argument of each column of sandbox_json_row).
enum JsonKind { kJsonAny = 0, kJsonRaw = 1, kJsonDate = 2, kJsonBit = 3, kJsonNumber = 4, kJsonString = 5 };

std::string JsonString(const std::string& v) { return "\"" + JsonEscaped(v) + "\""; }

std::string JsonValue(sqlite3_value* v, int kind) {
    const int type = sqlite3_value_type(v);
    if (type == SQLITE_NULL) return "null";
    if (kind == kJsonRaw) return reinterpret_cast<const char*>(sqlite3_value_text(v));
    if (kind == kJsonBit) return sqlite3_value_int64(v) != 0 ? "true" : "false";
    if (kind == kJsonDate) return JsonString(ValueText(v, kDateTime));
    if (type == SQLITE_BLOB) return JsonString(ValueText(v, kText));
    if (kind == kJsonString) return JsonString(reinterpret_cast<const char*>(sqlite3_value_text(v)));
    if (type == SQLITE_INTEGER) return std::to_string(sqlite3_value_int64(v));
    if (type == SQLITE_FLOAT) {
        const double d = sqlite3_value_double(v);
        char buf[40];
        for (int digits = 15; digits <= 17; ++digits) {
            std::snprintf(buf, sizeof buf, "%.*g", digits, d);
            if (std::strtod(buf, nullptr) == d) break;
        }
        return buf;
    }
    const std::string text = reinterpret_cast<const char*>(sqlite3_value_text(v));
    if (kind == kJsonNumber) {
        char* endp = nullptr;
        std::strtod(text.c_str(), &endp);
        if (!text.empty() && endp && *endp == '\0') return text;
    }
    return JsonString(text);
}

// A JSON object built from dotted names (a.b nests b in a), keys in the order first written.
struct JsonNode {
    std::vector<std::pair<std::string, JsonNode>> members;
    std::string value;
    bool leaf = false;
    std::string Text() const {
        if (leaf) return value;
        std::string out = "{";
        for (size_t i = 0; i < members.size(); ++i) out += (i ? "," : "") + JsonString(members[i].first) + ":" + members[i].second.Text();
        return out + "}";
    }
};

// Whether the expression is a subquery ending FOR <what> (XML or JSON), with TYPE when typed is asked.
bool SubqueryFor(const std::vector<Token>& e, const char* what, bool typed) {
    if (e.size() < 4 || !e.front().IsOp("(") || MatchParen(e, 0) != e.size() - 1) return false;
    bool found = false;
    for (size_t i = 1, d = 0; i + 1 < e.size(); ++i) {
        if (e[i].IsOp("(")) d++;
        if (e[i].IsOp(")")) d--;
        if (d == 0 && e[i].Is("FOR") && e[i + 1].Is(what)) found = true;
        if (d == 0 && found && (!typed || e[i].Is("TYPE"))) return true;
    }
    return false;
}

bool IsNamedItem(const SelectItem& it, std::string& name) {
    if (it.hasAlias) {
        name = it.alias;
        return true;
    }
    const auto& e = it.expr;
    if (!e.empty() && e.back().IsName() && (e.size() == 1 || (e.size() >= 3 && e[e.size() - 2].IsOp(".")))) {
        name = NameOf(e.back());
        return true;
    }
    name.clear();
    return false;
}

}  // namespace

struct XmlFunctions {
    struct Concat {
        std::string text, root;
        bool hasRoot = false;
        bool bare = false;  // JSON without its array's brackets
    };
    // sandbox_xml_row(row element or NULL, raw, name, kind, value, ...)
    static void Row(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
        auto* s = static_cast<Session*>(sqlite3_user_data(ctx));
        const unsigned char* rowText = sqlite3_value_text(argv[0]);
        const std::string row = rowText ? reinterpret_cast<const char*>(rowText) : "";
        const bool raw = sqlite3_value_int(argv[1]) != 0;
        std::string attributes, content;
        for (int i = 2; i + 2 < argc; i += 3) {
            if (sqlite3_value_type(argv[i + 2]) == SQLITE_NULL) continue;
            const unsigned char* n = sqlite3_value_text(argv[i]);
            const std::string name = n ? reinterpret_cast<const char*>(n) : "";
            const int kind = sqlite3_value_int(argv[i + 1]);
            const std::string value = ValueText(argv[i + 2], kind);
            for (unsigned char c : value) {
                if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
                    char code[8];
                    std::snprintf(code, sizeof code, "0x%04X", c);
                    s->pending_ = std::make_exception_ptr(SqlError{6841, 16, 1,
                                                                   "FOR XML could not serialize the data for node '" +
                                                                       (name.empty() ? std::string("NoName") : name) +
                                                                       "' because it contains a character (" + code +
                                                                       ") which is not allowed in XML. To retrieve this data using FOR "
                                                                       "XML, convert it to binary, varbinary or image data type "
                                                                       "and use the BINARY BASE64 directive.",
                                                                   1, "", false});
                    return sqlite3_result_error(ctx, "error in a function", -1);
                }
            }
            if (raw) {
                attributes += " " + XmlName(name) + "=\"" + Escape(value, true) + "\"";
            } else if (!name.empty() && name[0] == '@') {
                attributes += " " + XmlName(name.substr(1)) + "=\"" + Escape(value, true) + "\"";
            } else if (kind == kXml) {
                content += name.empty() || name == "*" ? value : "<" + XmlName(name) + ">" + value + "</" + XmlName(name) + ">";
            } else if (name.empty() || name == "*" || name == "text()") {
                content += Escape(value, false);
            } else {
                content += "<" + XmlName(name) + ">" + Escape(value, false) + "</" + XmlName(name) + ">";
            }
        }
        std::string out = row.empty()       ? content
                          : content.empty() ? "<" + XmlName(row) + attributes + "/>"
                                            : "<" + XmlName(row) + attributes + ">" + content + "</" + XmlName(row) + ">";
        sqlite3_result_text(ctx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
    }
    // sandbox_xml_concat(fragment, root or NULL): the fragments in order; NULL for no rows.
    static void ConcatStep(sqlite3_context* ctx, int, sqlite3_value** argv) {
        auto** slot = static_cast<Concat**>(sqlite3_aggregate_context(ctx, sizeof(Concat*)));
        if (!slot) return sqlite3_result_error_nomem(ctx);
        if (!*slot) {
            *slot = new Concat;
            if (const unsigned char* r = sqlite3_value_text(argv[1])) {
                (*slot)->hasRoot = true;
                (*slot)->root = XmlName(reinterpret_cast<const char*>(r));
            }
        }
        if (const unsigned char* p = sqlite3_value_text(argv[0])) (*slot)->text += reinterpret_cast<const char*>(p);
    }
    static void ConcatFinal(sqlite3_context* ctx) {
        auto** slot = static_cast<Concat**>(sqlite3_aggregate_context(ctx, 0));
        if (!slot || !*slot) return sqlite3_result_null(ctx);
        const std::unique_ptr<Concat> state(std::exchange(*slot, nullptr));
        std::string text = std::move(state->text);
        if (state->hasRoot) text = text.empty() ? "<" + state->root + "/>" : "<" + state->root + ">" + text + "</" + state->root + ">";
        sqlite3_result_text(ctx, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    // sandbox_json_row(include nulls, name, kind, value, ...): the row's object.
    static void JsonRow(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
        auto* s = static_cast<Session*>(sqlite3_user_data(ctx));
        const bool nulls = sqlite3_value_int(argv[0]) != 0;
        JsonNode object;
        for (int i = 1; i + 2 < argc; i += 3) {
            if (!nulls && sqlite3_value_type(argv[i + 2]) == SQLITE_NULL) continue;
            const std::string name = reinterpret_cast<const char*>(sqlite3_value_text(argv[i]));
            JsonNode* at = &object;
            size_t from = 0;
            for (;;) {
                const size_t dot = name.find('.', from);
                const std::string key = name.substr(from, dot == std::string::npos ? std::string::npos : dot - from);
                auto it = std::find_if(at->members.begin(), at->members.end(), [&](const auto& m) { return m.first == key; });
                const bool last = dot == std::string::npos;
                if (it != at->members.end() && (last || it->second.leaf)) {
                    s->pending_ = std::make_exception_ptr(SqlError{
                        13601, 16, 1,
                        "Property '" + name +
                            "' cannot be generated in JSON output due to a conflict with another column name or alias. Use different names "
                            "and aliases for each column in SELECT list.",
                        1, "", false});
                    return sqlite3_result_error(ctx, "error in a function", -1);
                }
                if (it == at->members.end()) {
                    at->members.emplace_back(key, JsonNode{});
                    it = at->members.end() - 1;
                }
                if (last) {
                    it->second.leaf = true;
                    it->second.value = JsonValue(argv[i + 2], sqlite3_value_int(argv[i + 1]));
                    break;
                }
                at = &it->second;
                from = dot + 1;
            }
        }
        const std::string out = object.Text();
        sqlite3_result_text(ctx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
    }
    // sandbox_json_concat(object, root or NULL, without array wrapper): the objects as an array.
    static void JsonConcatStep(sqlite3_context* ctx, int, sqlite3_value** argv) {
        auto** slot = static_cast<Concat**>(sqlite3_aggregate_context(ctx, sizeof(Concat*)));
        if (!slot) return sqlite3_result_error_nomem(ctx);
        if (!*slot) {
            *slot = new Concat;
            if (const unsigned char* r = sqlite3_value_text(argv[1])) {
                (*slot)->hasRoot = true;
                (*slot)->root = reinterpret_cast<const char*>(r);
            }
            (*slot)->bare = sqlite3_value_int(argv[2]) != 0;
        } else {
            (*slot)->text += ",";
        }
        if (const unsigned char* p = sqlite3_value_text(argv[0])) (*slot)->text += reinterpret_cast<const char*>(p);
    }
    static void JsonConcatFinal(sqlite3_context* ctx) {
        auto** slot = static_cast<Concat**>(sqlite3_aggregate_context(ctx, 0));
        if (!slot || !*slot) return sqlite3_result_null(ctx);
        const std::unique_ptr<Concat> state(std::exchange(*slot, nullptr));
        std::string text = state->bare ? state->text : "[" + state->text + "]";
        if (state->hasRoot) text = "{" + JsonString(state->root) + ":" + text + "}";
        sqlite3_result_text(ctx, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    static void Value(sqlite3_context* ctx, int, sqlite3_value** argv) {
        const unsigned char* p = sqlite3_value_text(argv[0]);
        if (!p) return sqlite3_result_null(ctx);
        const std::string text = TextOf(reinterpret_cast<const char*>(p));
        sqlite3_result_text(ctx, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
};

void Session::RegisterXmlFunctions() {
    sqlite3_create_function_v2(db_, "sandbox_xml_row", -1, SQLITE_UTF8, this, XmlFunctions::Row, nullptr, nullptr, nullptr);
    sqlite3_create_function_v2(db_, "sandbox_xml_concat", 2, SQLITE_UTF8, nullptr, nullptr, XmlFunctions::ConcatStep,
                               XmlFunctions::ConcatFinal, nullptr);
    sqlite3_create_function_v2(db_, "sandbox_json_row", -1, SQLITE_UTF8, this, XmlFunctions::JsonRow, nullptr, nullptr, nullptr);
    sqlite3_create_function_v2(db_, "sandbox_json_concat", 3, SQLITE_UTF8, nullptr, nullptr, XmlFunctions::JsonConcatStep,
                               XmlFunctions::JsonConcatFinal, nullptr);
    sqlite3_create_function_v2(db_, "sandbox_xml_value", 1, SQLITE_UTF8, nullptr, XmlFunctions::Value, nullptr, nullptr, nullptr);
}

std::vector<Token> Session::RewriteForXml(std::vector<Token> given, int line, ForXmlAtTop* top) {
    auto isForXml = [](const std::vector<Token>& t, size_t i) {
        return t[i].Is("FOR") && i + 1 < t.size() && (t[i + 1].Is("XML") || t[i + 1].Is("JSON"));
    };
    bool any = false;
    for (size_t i = 0; i < given.size() && !any; ++i) any = isForXml(given, i);
    if (!any) return given;
    std::vector<Token> t = std::move(given);
    auto refuse = [&](const std::string& what) {
        return SqlError{40000, 16, 1, what + " is not supported by the stand-in.", line, "", true};
    };
    for (;;) {
        // The outermost FOR XML first: its columns tell whether a nested one is typed XML.
        size_t forAt = t.size();
        int best = INT_MAX;
        for (size_t i = 0, d = 0; i < t.size(); ++i) {
            if (t[i].IsOp("(")) d++;
            if (t[i].IsOp(")")) d--;
            if (isForXml(t, i) && static_cast<int>(d) < best) {
                best = static_cast<int>(d);
                forAt = i;
            }
        }
        if (forAt == t.size()) break;
        // The query it ends: from the parenthesis around it, or the statement's start.
        size_t open = t.size(), start = 0;
        for (size_t i = forAt, d = 0; i-- > 0;) {
            if (t[i].IsOp(")")) d++;
            if (t[i].IsOp("(")) {
                if (d == 0) {
                    open = i;
                    start = i + 1;
                    break;
                }
                d--;
            }
        }
        const size_t close = open < t.size() ? MatchParen(t, open) : t.size();
        // FOR XML PATH [('row')] | RAW [('row')] [, ELEMENTS] [, ROOT [('root')]] [, TYPE] [, BINARY BASE64]
        // FOR JSON PATH | AUTO [, ROOT [('root')]] [, INCLUDE_NULL_VALUES] [, WITHOUT_ARRAY_WRAPPER]
        const bool json = t[forAt + 1].Is("JSON");
        const std::string clause = json ? "FOR JSON" : "FOR XML";
        size_t k = forAt + 2;
        if (k >= close || !t[k].IsName()) throw SqlError{102, 15, 1, "Incorrect syntax near '" + t[forAt + 1].text + "'.", line, "", true};
        if (!(t[k].Is("PATH") || (!json && t[k].Is("RAW")) || (json && t[k].Is("AUTO")))) throw refuse(clause + " " + Upper(t[k].text));
        bool raw = t[k].Is("RAW"), typed = false, elements = false, jsonAuto = t[k].Is("AUTO"), nulls = false, bare = false;
        std::string row = "row", root;
        bool hasRoot = false;
        ++k;
        if (!json && k < close && t[k].IsOp("(")) {
            const size_t c = MatchParen(t, k);
            if (c != k + 2 || t[k + 1].kind != Token::String) throw SqlError{102, 15, 1, "Incorrect syntax near '('.", line, "", true};
            row = t[k + 1].value;
            k = c + 1;
        }
        while (k < close && t[k].IsOp(",")) {
            ++k;
            if (json && k < close && t[k].Is("INCLUDE_NULL_VALUES")) {
                nulls = true;
                ++k;
            } else if (json && k < close && t[k].Is("WITHOUT_ARRAY_WRAPPER")) {
                bare = true;
                ++k;
            } else if (!json && k < close && t[k].Is("TYPE")) {
                typed = true;
                ++k;
            } else if (k < close && t[k].Is("ELEMENTS") && raw) {
                elements = true;
                ++k;
                if (k < close && (t[k].Is("XSINIL") || t[k].Is("ABSENT"))) throw refuse("FOR XML ELEMENTS " + Upper(t[k].text));
            } else if (k < close && t[k].Is("ROOT")) {
                hasRoot = true;
                root = "root";
                ++k;
                if (k < close && t[k].IsOp("(")) {
                    const size_t c = MatchParen(t, k);
                    if (c != k + 2 || t[k + 1].kind != Token::String)
                        throw SqlError{102, 15, 1, "Incorrect syntax near '('.", line, "", true};
                    root = t[k + 1].value;
                    k = c + 1;
                }
            } else if (!json && k + 1 < close && t[k].Is("BINARY") && t[k + 1].Is("BASE64")) {
                k += 2;
            } else {
                throw refuse("This " + clause + " option");
            }
        }
        const size_t end = k;  // the end of the FOR XML clause
        if (end < close && !t[end].IsOp(";")) throw SqlError{102, 15, 1, "Incorrect syntax near '" + t[end].text + "'.", line, "", true};
        // The query's SELECTs at its own level (one per UNION branch); what comes before the first (WITH ...) stays in front.
        std::vector<size_t> selects;
        bool ordered = false;
        for (size_t i = start, d = 0; i < forAt; ++i) {
            if (t[i].IsOp("(")) d++;
            if (t[i].IsOp(")")) d--;
            if (d == 0 && t[i].Is("SELECT")) selects.push_back(i);
            if (d == 0 && t[i].Is("ORDER")) ordered = true;
        }
        if (selects.empty()) throw SqlError{102, 15, 1, "Incorrect syntax near 'FOR'.", line, "", true};
        const std::vector<Token> query(t.begin() + static_cast<std::ptrdiff_t>(selects[0]), t.begin() + static_cast<std::ptrdiff_t>(forAt));
        std::vector<SelectItem> items = SelectItems(query);
        // The names of the columns, * by those a query of it gives; their kinds by their types.
        std::vector<std::string> names;
        std::vector<int> kinds;
        std::vector<std::vector<Token>> exprs;
        if (json && jsonAuto) {
            // AUTO nests the columns of each joined table: of one table it is PATH.
            for (size_t i = 0; i < query.size(); ++i) {
                if (query[i].IsOp("("))
                    i = MatchParen(query, i);
                else if (i < query.size() && (query[i].Is("JOIN") || query[i].Is("APPLY") || query[i].IsOp(",")) &&
                         std::any_of(query.begin(), query.begin() + static_cast<std::ptrdiff_t>(i),
                                     [](const Token& x) { return x.Is("FROM"); }))
                    throw refuse("FOR JSON AUTO of more than one table");
            }
        }
        {
            const StatementTablesInView inView(*this, query);
            auto kindOf = [&](const std::vector<Token>& e) -> int {
                bool named = false;
                const SqlType type = InferExprType(e, named);
                const bool dated = named && (type.kind == SqlType::DateTime || type.kind == SqlType::DateTime2 ||
                                             type.kind == SqlType::SmallDateTime || type.kind == SqlType::DateTimeOffset);
                if (!json) return SubqueryFor(e, "XML", true) || (named && type.kind == SqlType::Xml) ? kXml : dated ? kDateTime : kText;
                if (SubqueryFor(e, "JSON", false)) return kJsonRaw;
                if (!named) return kJsonAny;
                if (dated || type.kind == SqlType::Date || type.kind == SqlType::Time) return kJsonDate;
                if (type.kind == SqlType::Bit) return kJsonBit;
                if (type.kind == SqlType::Decimal || type.kind == SqlType::Numeric || type.kind == SqlType::Money ||
                    type.kind == SqlType::SmallMoney)
                    return kJsonNumber;
                if (type.IsText() || type.IsUnicode() || type.kind == SqlType::UniqueIdentifier) return kJsonString;
                return kJsonAny;
            };
            for (const SelectItem& it : items) {
                const auto& e = it.expr;
                const bool star = !e.empty() && e.back().IsOp("*") && (e.size() == 1 || (e.size() == 3 && e[1].IsOp(".")));
                if (star) {
                    std::vector<Token> probe = {MakeToken(Token::Word, "SELECT", false)};
                    probe.insert(probe.end(), e.begin(), e.end());
                    size_t ls = 0, le = 0;
                    TopSelectList(query, ls, le);
                    probe.insert(probe.end(), query.begin() + static_cast<std::ptrdiff_t>(le), query.end());
                    SqlStmt st = Prepare(Translate(probe, line), line);
                    for (int c = 0; c < sqlite3_column_count(st); ++c) {
                        names.push_back(sqlite3_column_name(st, c));
                        std::vector<Token> ref;
                        if (e.size() == 3) ref = {e[0], MakeToken(Token::Op, ".", false)};
                        Token n = MakeToken(Token::Bracketed, "[" + names.back() + "]", e.size() != 3);
                        n.value = names.back();
                        ref.push_back(n);
                        kinds.push_back(kindOf(ref));
                        exprs.push_back(ref);
                    }
                    continue;
                }
                std::string name;
                IsNamedItem(it, name);
                if (json && name.empty())
                    throw SqlError{
                        13605,
                        16,
                        1,
                        "Column expressions and data sources without names or aliases cannot be formatted as JSON text using FOR JSON "
                        "clause. Add alias to the unnamed column or table.",
                        line,
                        "",
                        true};
                if (raw && name.empty()) throw refuse("FOR XML RAW of a column without a name");
                if (!json && name.find('/') != std::string::npos) throw refuse("FOR XML PATH of a nested path ('" + name + "')");
                const int kind = kindOf(e);
                if (!json && !raw && !name.empty() && name[0] == '@' &&
                    std::any_of(names.begin(), names.end(), [](const std::string& n) { return n.empty() || n[0] != '@'; }))
                    throw SqlError{
                        6852,
                        16,
                        1,
                        "Attribute-centric column '" + name + "' must not come after a non-attribute-centric sibling in XML hierarchy in FOR XML PATH.",
                        line,
                        "",
                        true};
                names.push_back(name);
                kinds.push_back(kind);
                exprs.push_back(e);
            }
        }
        // Each branch's select list becomes its rows' XML (and keeps its own columns, for ORDER BY by alias).
        auto rowCall = [&](const std::vector<std::vector<Token>>& values) {
            std::vector<Token> call = {MakeToken(Token::Word, json ? "sandbox_json_row" : "sandbox_xml_row"),
                                       MakeToken(Token::Op, "(", false)};
            if (json) {
                call.push_back(MakeToken(Token::Number, nulls ? "1" : "0", false));
            } else {
                Token r =
                    raw || !row.empty() ? MakeToken(Token::String, SqlLiteral(row, "N"), false) : MakeToken(Token::Word, "NULL", false);
                r.value = row;
                r.national = true;
                call.push_back(r);
                call.push_back(MakeToken(Token::Op, ",", false));
                call.push_back(MakeToken(Token::Number, raw && !elements ? "1" : "0"));
            }
            for (size_t c = 0; c < values.size() && c < names.size(); ++c) {
                Token n = MakeToken(Token::String, SqlLiteral(names[c], "N"));
                n.value = names[c];
                n.national = true;
                call.push_back(MakeToken(Token::Op, ",", false));
                call.push_back(n);
                call.push_back(MakeToken(Token::Op, ",", false));
                call.push_back(MakeToken(Token::Number, std::to_string(kinds[c])));
                call.push_back(MakeToken(Token::Op, ",", false));
                call.insert(call.end(), values[c].begin(), values[c].end());
                call[call.size() - values[c].size()].spaceBefore = true;
            }
            call.push_back(MakeToken(Token::Op, ")", false));
            call.push_back(MakeToken(Token::Word, "AS"));
            call.push_back(MakeToken(Token::Word, "__xml_row"));
            return call;
        };
        std::vector<Token> body;
        size_t from = start;
        for (size_t b = 0; b < selects.size(); ++b) {
            std::vector<Token> branch(t.begin() + static_cast<std::ptrdiff_t>(selects[b]), t.begin() + static_cast<std::ptrdiff_t>(forAt));
            size_t ls = 0, le = 0;
            if (!TopSelectList(branch, ls, le)) throw SqlError{102, 15, 1, "Incorrect syntax near 'FOR'.", line, "", true};
            std::vector<std::vector<Token>> values;
            if (b == 0) {
                values = exprs;
            } else {
                for (const auto& it : SelectItems(branch)) values.push_back(it.expr);
            }
            body.insert(body.end(), t.begin() + static_cast<std::ptrdiff_t>(from),
                        t.begin() + static_cast<std::ptrdiff_t>(selects[b] + ls));
            // ORDER BY names the columns by alias or position: they stay where they are, the XML after them.
            if (ordered) {
                body.insert(body.end(), t.begin() + static_cast<std::ptrdiff_t>(selects[b] + ls),
                            t.begin() + static_cast<std::ptrdiff_t>(selects[b] + le));
                body.push_back(MakeToken(Token::Op, ",", false));
            }
            const auto call = rowCall(values);
            body.insert(body.end(), call.begin(), call.end());
            from = selects[b] + le;
        }
        body.insert(body.end(), t.begin() + static_cast<std::ptrdiff_t>(from), t.begin() + static_cast<std::ptrdiff_t>(forAt));
        std::vector<Token> rep(t.begin() + static_cast<std::ptrdiff_t>(start), t.begin() + static_cast<std::ptrdiff_t>(selects[0]));
        const bool atTop = open == t.size();
        Token rootToken = hasRoot ? MakeToken(Token::String, SqlLiteral(root, "N")) : MakeToken(Token::Word, "NULL");
        rootToken.value = hasRoot ? root : "NULL";
        rootToken.national = true;
        std::vector<Token> head = {MakeToken(Token::Word, "SELECT", !rep.empty()),
                                   MakeToken(Token::Word, json ? "sandbox_json_concat" : "sandbox_xml_concat"),
                                   MakeToken(Token::Op, "(", false),
                                   MakeToken(Token::Word, "__xml_row", false),
                                   MakeToken(Token::Op, ",", false),
                                   rootToken};
        if (json) {
            head.push_back(MakeToken(Token::Op, ",", false));
            head.push_back(MakeToken(Token::Number, bare ? "1" : "0"));
        }
        head.push_back(MakeToken(Token::Op, ")", false));
        rep.insert(rep.end(), head.begin(), head.end());
        if (atTop) {
            rep.push_back(MakeToken(Token::Word, "AS"));
            const std::string columnName = std::string(json ? "JSON" : "XML") + "_F52E2B61-18A1-11d1-B105-00805F49916B";
            Token name = MakeToken(Token::Bracketed, "[" + columnName + "]");
            name.value = columnName;
            rep.push_back(name);
            if (top) {
                top->present = true;
                top->typed = typed;
            }
        }
        rep.push_back(MakeToken(Token::Word, "FROM"));
        rep.push_back(MakeToken(Token::Op, "("));
        rep.insert(rep.end(), body.begin(), body.end());
        rep.push_back(MakeToken(Token::Op, ")", false));
        rep.push_back(MakeToken(Token::Word, "AS"));
        rep.push_back(MakeToken(Token::Word, "__xml"));
        size_t replaceFrom = start, replaceTo = end;
        // (... FOR XML ..., TYPE).value('.', 'type'): the text of the XML as that type.
        if (typed && !atTop && close + 6 < t.size() && t[close + 1].IsOp(".") && t[close + 2].Is("VALUE") && t[close + 3].IsOp("(")) {
            const size_t valueClose = MatchParen(t, close + 3);
            const auto args = SplitCommas(t, close + 4, valueClose);
            if (args.size() != 2 || args[0].size() != 1 || args[1].size() != 1 || args[0][0].kind != Token::String ||
                args[1][0].kind != Token::String)
                throw refuse("This XML value() call");
            const std::string path = args[0][0].value;
            if (path != "." && path != "(./text())[1]" && path != "./text()[1]" && path != "(text())[1]")
                throw refuse("XML value() of '" + path + "'");
            const std::vector<Token> typeTokens = Tokenize(args[1][0].value);
            std::vector<Token> cast = {MakeToken(Token::Word, "CAST", t[open].spaceBefore), MakeToken(Token::Op, "(", false),
                                       MakeToken(Token::Word, "sandbox_xml_value", false), MakeToken(Token::Op, "(", false),
                                       MakeToken(Token::Op, "(", false)};
            rep.insert(rep.begin(), cast.begin(), cast.end());
            rep.push_back(MakeToken(Token::Op, ")", false));
            rep.push_back(MakeToken(Token::Op, ")", false));
            rep.push_back(MakeToken(Token::Word, "AS"));
            rep.insert(rep.end(), typeTokens.begin(), typeTokens.end());
            rep.push_back(MakeToken(Token::Op, ")", false));
            replaceFrom = open;
            replaceTo = valueClose + 1;
        } else if (!atTop && end == close) {
            // A subquery's value is nvarchar(max), or xml with TYPE: so typed where the result is described.
            const Token& before = open > 0 ? t[open - 1] : t[open];
            const bool value = open == 0 || (before.kind == Token::Op && !before.IsOp(")")) || before.Is("SELECT") || before.Is("WHEN") ||
                               before.Is("THEN") || before.Is("ELSE") || before.Is("RETURN") || before.Is("PRINT");
            if (value) {
                std::vector<Token> cast = {MakeToken(Token::Word, "CAST", t[open].spaceBefore), MakeToken(Token::Op, "(", false),
                                           MakeToken(Token::Op, "(", false)};
                rep.insert(rep.begin(), cast.begin(), cast.end());
                rep.push_back(MakeToken(Token::Op, ")", false));
                rep.push_back(MakeToken(Token::Word, "AS"));
                if (typed) {
                    rep.push_back(MakeToken(Token::Word, "xml"));
                } else {
                    rep.push_back(MakeToken(Token::Word, "nvarchar"));
                    rep.push_back(MakeToken(Token::Op, "(", false));
                    rep.push_back(MakeToken(Token::Word, "max", false));
                    rep.push_back(MakeToken(Token::Op, ")", false));
                }
                rep.push_back(MakeToken(Token::Op, ")", false));
                replaceFrom = open;
                replaceTo = close + 1;
            }
        }
        t.erase(t.begin() + static_cast<std::ptrdiff_t>(replaceFrom), t.begin() + static_cast<std::ptrdiff_t>(replaceTo));
        t.insert(t.begin() + static_cast<std::ptrdiff_t>(replaceFrom), rep.begin(), rep.end());
    }
    return t;
}

void Session::SendForXml(sqlite3_stmt* st, int rc, std::vector<SqlColumn> cols, bool typed, int line) {
    // One value, cut into rows of 2033 characters; none when the query had no rows.
    std::string xml;
    bool present = false;
    if (rc == SQLITE_ROW && sqlite3_column_type(st, 0) != SQLITE_NULL) {
        present = true;
        xml = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    }
    if (rc == SQLITE_ROW) rc = sqlite3_step(st);
    if (rc != SQLITE_DONE) {
        SqlError e = TranslateError(line);
        sqlite3_reset(st);
        throw e;
    }
    sqlite3_reset(st);
    if (cols.size() != 1) cols.resize(1);
    cols[0].type = SqlType::Of(typed ? SqlType::Xml : SqlType::NText, -1);
    cols[0].nullable = true;
    out_.Columns(cols);
    std::uint64_t rows = 0;
    std::vector<SqlValue> values(1);
    const std::u16string units = Utf8ToUtf16(xml);
    for (size_t at = 0; present && at < units.size();) {
        size_t n = typed ? units.size() - at : std::min<size_t>(2033, units.size() - at);
        // A surrogate pair stays whole.
        if (at + n < units.size() && n > 1 && units[at + n - 1] >= 0xD800 && units[at + n - 1] <= 0xDBFF) --n;
        values[0] = SqlValue::FromText(Utf16ToUtf8(units.data() + at, n));
        out_.Row(cols, values);
        ++rows;
        at += n;
    }
    rowcount_ = static_cast<std::int64_t>(rows);
    Done(nocount_ ? 0 : kDoneCount, kCmdSelect, nocount_ ? 0 : rows);
}
