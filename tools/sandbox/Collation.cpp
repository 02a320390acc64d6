#include "Collation.h"

#include <algorithm>
#include <cctype>
#include <deque>
#include <mutex>

namespace {

std::string Upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// Windows collations: the language part of the name, its locale id and its code page.
struct Language {
    const char* name;
    std::uint32_t lcid;
    int codePage;
};
const Language kLanguages[] = {
    {"Latin1_General", 0x0409, 1252},
    {"French", 0x040C, 1252},
    {"German_PhoneBook", 0x10407, 1252},
    {"Modern_Spanish", 0x0C0A, 1252},
    {"Traditional_Spanish", 0x040A, 1252},
    {"Danish_Norwegian", 0x0406, 1252},
    {"Finnish_Swedish", 0x040B, 1252},
    {"Icelandic", 0x040F, 1252},
    {"Cyrillic_General", 0x0419, 1251},
    {"Ukrainian", 0x0422, 1251},
    {"Macedonian_FYROM", 0x042F, 1251},
    {"Serbian_Cyrillic", 0x0C1A, 1251},
    {"Greek", 0x0408, 1253},
    {"Polish", 0x0415, 1250},
    {"Czech", 0x0405, 1250},
    {"Hungarian", 0x040E, 1250},
    {"Croatian", 0x041A, 1250},
    {"Romanian", 0x0418, 1250},
    {"Slovak", 0x041B, 1250},
    {"Slovenian", 0x0424, 1250},
    {"Albanian", 0x041C, 1250},
    {"Serbian_Latin", 0x081A, 1250},
    {"Turkish", 0x041F, 1254},
    {"Hebrew", 0x040D, 1255},
    {"Arabic", 0x0401, 1256},
    {"Estonian", 0x0425, 1257},
    {"Latvian", 0x0426, 1257},
    {"Lithuanian", 0x0427, 1257},
    {"Vietnamese", 0x042A, 1258},
    {"Thai", 0x041E, 874},
    {"Japanese", 0x0411, 932},
    {"Chinese_PRC", 0x0804, 936},
    {"Korean_Wansung", 0x0412, 949},
    {"Chinese_Taiwan_Stroke", 0x0404, 950},
};

// SQL collations: each has a sort id of its own.
struct SqlCollation {
    const char* name;
    std::uint8_t sortId;
    int codePage;
};
const SqlCollation kSqlCollations[] = {
    {"SQL_Latin1_General_CP1_CI_AS", 52, 1252},     {"SQL_Latin1_General_CP1_CS_AS", 51, 1252},
    {"SQL_Latin1_General_CP1_CI_AI", 54, 1252},     {"SQL_Latin1_General_CP437_CI_AS", 32, 437},
    {"SQL_Latin1_General_CP850_CI_AS", 42, 850},    {"SQL_Latin1_General_CP1250_CI_AS", 82, 1250},
    {"SQL_Latin1_General_CP1250_CS_AS", 81, 1250},  {"SQL_Latin1_General_CP1251_CI_AS", 106, 1251},
    {"SQL_Latin1_General_CP1251_CS_AS", 105, 1251}, {"SQL_Latin1_General_CP1253_CI_AS", 114, 1253},
    {"SQL_Latin1_General_CP1253_CS_AS", 113, 1253}, {"SQL_Latin1_General_CP1255_CI_AS", 138, 1255},
    {"SQL_Latin1_General_CP1256_CI_AS", 146, 1256}, {"SQL_Latin1_General_CP1257_CI_AS", 154, 1257},
};

// Comparison flags: ignore case, accents, kana type and width; binary orders.
enum : std::uint32_t { kIgnoreCase = 1, kIgnoreAccent = 2, kIgnoreKana = 4, kIgnoreWidth = 8, kBinary = 16, kBinary2 = 32 };

// The flags a collation's name gives after its language (and version): "CI_AS", "CS_AS_KS_WS", "BIN2".
bool Flags(std::string_view rest, std::uint32_t& flags) {
    flags = kIgnoreKana | kIgnoreWidth;
    bool caseGiven = false, accentGiven = false;
    while (!rest.empty()) {
        const size_t bar = rest.find('_');
        const std::string_view part = rest.substr(0, bar);
        rest = bar == std::string_view::npos ? std::string_view() : rest.substr(bar + 1);
        if (part == "CI")
            flags |= kIgnoreCase, caseGiven = true;
        else if (part == "CS")
            caseGiven = true;
        else if (part == "AI")
            flags |= kIgnoreAccent, accentGiven = true;
        else if (part == "AS")
            accentGiven = true;
        else if (part == "KS")
            flags &= ~static_cast<std::uint32_t>(kIgnoreKana);
        else if (part == "WS")
            flags &= ~static_cast<std::uint32_t>(kIgnoreWidth);
        else if (part == "BIN" || part == "BIN2") {
            if (caseGiven || accentGiven || !rest.empty()) return false;
            flags = part == "BIN" ? kBinary : kBinary2;
            return true;
        } else if (part != "SC" && part != "UTF8")
            return false;
    }
    return caseGiven && accentGiven;
}

// Fills in a collation's wire bytes and code page, and its name as SQL Server spells it.
bool Resolve(const std::string& upper, CollationInfo& out) {
    for (const auto& c : kSqlCollations) {
        if (upper != Upper(c.name)) continue;
        std::uint32_t flags = 0;
        Flags(std::string_view(upper).substr(upper.size() - 5), flags);
        const std::uint32_t info = 0x0409 | (flags << 20);
        for (int k = 0; k < 4; ++k) out.wire[k] = static_cast<std::uint8_t>(info >> (8 * k));
        out.wire[4] = c.sortId;
        out.codePage = c.codePage;
        out.name = c.name;
        return true;
    }
    for (const auto& l : kLanguages) {
        const std::string prefix = Upper(l.name) + "_";
        if (upper.compare(0, prefix.size(), prefix) != 0) continue;
        std::string_view rest = std::string_view(upper).substr(prefix.size());
        out.name = std::string(l.name) + "_" + std::string(rest);
        std::uint32_t version = 0;
        if (rest.compare(0, 3, "90_") == 0)
            version = 1, rest.remove_prefix(3);
        else if (rest.compare(0, 4, "100_") == 0)
            version = 2, rest.remove_prefix(4);
        else if (rest.compare(0, 4, "140_") == 0)
            version = 3, rest.remove_prefix(4);
        std::uint32_t flags = 0;
        if (!Flags(rest, flags)) return false;
        const std::uint32_t info = (l.lcid & 0xFFFFF) | (flags << 20) | (version << 28);
        for (int k = 0; k < 4; ++k) out.wire[k] = static_cast<std::uint8_t>(info >> (8 * k));
        out.wire[4] = 0;
        out.codePage = l.codePage;
        return true;
    }
    return false;
}

std::mutex gMutex;
std::deque<CollationInfo>& Known() {
    static std::deque<CollationInfo> known = [] {
        std::deque<CollationInfo> d;
        d.push_back({"SQL_Latin1_General_CP1_CI_AS", {0x09, 0x04, 0xD0, 0x00, 0x34}, 1252});
        return d;
    }();
    return known;
}

}  // namespace

int CollationId(std::string_view name) {
    const std::string upper = Upper(name);
    std::lock_guard<std::mutex> lock(gMutex);
    auto& known = Known();
    for (size_t i = 0; i < known.size(); ++i)
        if (Upper(known[i].name) == upper) return static_cast<int>(i);
    CollationInfo c;
    if (!Resolve(upper, c)) return -1;
    known.push_back(c);
    return static_cast<int>(known.size() - 1);
}

const CollationInfo& CollationById(int id) {
    static const CollationInfo kDefault = {"SQL_Latin1_General_CP1_CI_AS", {0x09, 0x04, 0xD0, 0x00, 0x34}, 1252};
    if (id <= kDefaultCollation) return kDefault;
    std::lock_guard<std::mutex> lock(gMutex);
    auto& known = Known();
    return known[id >= 0 && static_cast<size_t>(id) < known.size() ? static_cast<size_t>(id) : 0];
}
