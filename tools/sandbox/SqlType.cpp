#include "SqlType.h"

#include "Collation.h"

#include <cctype>
#include <cstdlib>
#include <string>

namespace {

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

std::string SqlType::Name() const {
    auto len = [&] { return length < 0 ? std::string("max") : std::to_string(length); };
    switch (kind) {
    case Int:
        return "int";
    case BigInt:
        return "bigint";
    case SmallInt:
        return "smallint";
    case TinyInt:
        return "tinyint";
    case Bit:
        return "bit";
    case Decimal:
        return "decimal(" + std::to_string(precision) + "," + std::to_string(scale) + ")";
    case Numeric:
        return "numeric(" + std::to_string(precision) + "," + std::to_string(scale) + ")";
    case Money:
        return "money";
    case SmallMoney:
        return "smallmoney";
    case Float:
        return "float";
    case Real:
        return "real";
    case DateTime:
        return "datetime";
    case SmallDateTime:
        return "smalldatetime";
    case Date:
        return "date";
    case Time:
        return "time(" + std::to_string(scale) + ")";
    case DateTime2:
        return "datetime2(" + std::to_string(scale) + ")";
    case DateTimeOffset:
        return "datetimeoffset(" + std::to_string(scale) + ")";
    case Char:
        return "char(" + len() + ")";
    case VarChar:
        return "varchar(" + len() + ")";
    case NChar:
        return "nchar(" + len() + ")";
    case NVarChar:
        return "nvarchar(" + len() + ")";
    case Text:
        return "text";
    case NText:
        return "ntext";
    case Binary:
        return "binary(" + len() + ")";
    case VarBinary:
        return "varbinary(" + len() + ")";
    case Image:
        return "image";
    case UniqueIdentifier:
        return "uniqueidentifier";
    case Variant:
        return "sql_variant";
    case Xml:
        return "xml";
    }
    return "int";
}

std::string SqlType::Declared() const {
    return collation == kDefaultCollation ? Name() : Name() + " COLLATE " + CollationById(collation).name;
}

bool ParseSqlType(std::string_view text, SqlType& out) {
    std::string t = Lower(text);
    if (const size_t at = t.find(" collate "); at != std::string::npos) {
        std::string_view name = text.substr(at + 9);
        while (!name.empty() && std::isspace(static_cast<unsigned char>(name.front()))) name.remove_prefix(1);
        while (!name.empty() && std::isspace(static_cast<unsigned char>(name.back()))) name.remove_suffix(1);
        const int id = CollationId(name);
        if (!ParseSqlType(text.substr(0, at), out)) return false;
        if (id >= 0 && (out.IsText() || out.IsUnicode())) out.collation = id;
        return true;
    }
    // Drop brackets and anything after the type and its arguments.
    std::string name, args;
    size_t i = 0;
    while (i < t.size() && (std::isspace(static_cast<unsigned char>(t[i])) || t[i] == '[')) ++i;
    while (i < t.size() && (std::isalnum(static_cast<unsigned char>(t[i])) || t[i] == '_')) name += t[i++];
    while (i < t.size() && (t[i] == ']' || std::isspace(static_cast<unsigned char>(t[i])))) ++i;
    if (i < t.size() && t[i] == '(') {
        const size_t close = t.find(')', i);
        if (close != std::string::npos) args = t.substr(i + 1, close - i - 1);
    }
    int a1 = -2, a2 = 0;
    if (!args.empty()) {
        std::string first = args.substr(0, args.find(','));
        while (!first.empty() && std::isspace(static_cast<unsigned char>(first.front()))) first.erase(0, 1);
        while (!first.empty() && std::isspace(static_cast<unsigned char>(first.back()))) first.pop_back();
        a1 = first == "max" ? -1 : std::atoi(first.c_str());
        const size_t comma = args.find(',');
        if (comma != std::string::npos) a2 = std::atoi(args.c_str() + comma + 1);
    }
    auto sized = [&](SqlType::Kind k, int dflt) {
        out = SqlType::Of(k, a1 == -2 ? dflt : a1);
        return true;
    };
    if (name == "int" || name == "integer") return out = SqlType::Of(SqlType::Int), true;
    if (name == "bigint") return out = SqlType::Of(SqlType::BigInt), true;
    if (name == "smallint") return out = SqlType::Of(SqlType::SmallInt), true;
    if (name == "tinyint") return out = SqlType::Of(SqlType::TinyInt), true;
    if (name == "bit") return out = SqlType::Of(SqlType::Bit), true;
    if (name == "decimal" || name == "numeric" || name == "dec") {
        out = SqlType::Of(name == "numeric" ? SqlType::Numeric : SqlType::Decimal, 0, a1 > 0 ? a1 : 18, a1 > 0 ? a2 : 0);
        return true;
    }
    if (name == "money") return out = SqlType::Of(SqlType::Money), true;
    if (name == "smallmoney") return out = SqlType::Of(SqlType::SmallMoney), true;
    if (name == "float" || name == "double") return out = SqlType::Of(SqlType::Float), true;
    if (name == "real") return out = SqlType::Of(SqlType::Real), true;
    if (name == "datetime") return out = SqlType::Of(SqlType::DateTime), true;
    if (name == "smalldatetime") return out = SqlType::Of(SqlType::SmallDateTime), true;
    if (name == "date") return out = SqlType::Of(SqlType::Date), true;
    if (name == "time") return out = SqlType::Of(SqlType::Time, 0, 0, a1 >= 0 ? a1 : 7), true;
    if (name == "datetime2") return out = SqlType::Of(SqlType::DateTime2, 0, 0, a1 >= 0 ? a1 : 7), true;
    if (name == "datetimeoffset") return out = SqlType::Of(SqlType::DateTimeOffset, 0, 0, a1 >= 0 ? a1 : 7), true;
    if (name == "char" || name == "character") return sized(SqlType::Char, 1);
    if (name == "varchar") return sized(SqlType::VarChar, 1);
    if (name == "nchar") return sized(SqlType::NChar, 1);
    if (name == "nvarchar" || name == "sysname") return sized(SqlType::NVarChar, name == "sysname" ? 128 : 1);
    if (name == "text") return out = SqlType::Of(SqlType::Text, -1), true;
    if (name == "ntext") return out = SqlType::Of(SqlType::NText, -1), true;
    if (name == "binary") return sized(SqlType::Binary, 1);
    if (name == "varbinary") return sized(SqlType::VarBinary, 1);
    if (name == "image") return out = SqlType::Of(SqlType::Image, -1), true;
    if (name == "uniqueidentifier") return out = SqlType::Of(SqlType::UniqueIdentifier), true;
    if (name == "sql_variant") return out = SqlType::Of(SqlType::Variant), true;
    if (name == "xml") return out = SqlType::Of(SqlType::Xml, -1), true;
    return false;
}

SqlType IntegerAsDecimal(const SqlType& t) {
    switch (t.kind) {
    case SqlType::BigInt:
        return SqlType::Of(SqlType::Numeric, 0, 19, 0);
    case SqlType::Int:
        return SqlType::Of(SqlType::Numeric, 0, 10, 0);
    case SqlType::SmallInt:
        return SqlType::Of(SqlType::Numeric, 0, 5, 0);
    case SqlType::TinyInt:
        return SqlType::Of(SqlType::Numeric, 0, 3, 0);
    case SqlType::Bit:
        return SqlType::Of(SqlType::Numeric, 0, 1, 0);
    default:
        return t;
    }
}
