#include "uNbXml.h"

#include "MemFormat.h"
#include "uNbData.h"
#include "uNbFormat.h"
#include "uNbText.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <optional>

namespace {

std::string Spaces(std::string name) {
    // Each "__", counted from the left, stands for a space.
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '_' && i + 1 < name.size() && name[i + 1] == '_') {
            out += ' ';
            ++i;
        } else {
            out += name[i];
        }
    }
    return out;
}

bool StartsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

int TypeCode(const std::string& name) {
    static const std::pair<const char*, int> kTypes[] = {{"Char", ftString},
                                                         {"FixedChar", ftFixedChar},
                                                         {"WideString", ftWideString},
                                                         {"SmallInt", ftSmallint},
                                                         {"Integer", ftInteger},
                                                         {"Word", ftWord},
                                                         {"AutoInc", ftAutoInc},
                                                         {"LargeInt", ftLargeint},
                                                         {"Boolean", ftBoolean},
                                                         {"Float", ftFloat},
                                                         {"Currency", ftCurrency},
                                                         {"BCD", ftBCD},
                                                         {"DateTime", ftDateTime},
                                                         {"Bytes", ftBytes},
                                                         {"VarBytes", ftVarBytes},
                                                         {"Blob", ftBlob},
                                                         {"Memo", ftMemo},
                                                         {"Graphic", ftGraphic},
                                                         {"FmtMemo", ftFmtMemo},
                                                         {"ParadoxOle", ftParadoxOle},
                                                         {"DBaseOle", ftDBaseOle},
                                                         {"TypedBinary", ftTypedBinary},
                                                         {"Cursor", ftCursor},
                                                         {"Date", ftDate},
                                                         {"Time", ftTime}};
    if (name.size() < 3) return -1;
    for (const auto& [n, t] : kTypes)
        if (name == n) return t;
    return -1;
}

char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

bool MatchNoCase(std::string_view text, size_t at, std::string_view upper) {
    if (at + upper.size() > text.size()) return false;
    for (size_t k = 0; k < upper.size(); ++k)
        if (UpperAscii(text[at + k]) != upper[k]) return false;
    return true;
}

// The second decoding of plain values: the names below, without regard to case, become the
// characters with those codes (stored as UTF-8). The result is that of replacing one name at a time,
// always the first occurrence of the first name in the list that occurs, until none is left. Only
// "&AMP;" gives a character that can begin a new name, and only where it stood, so one pass from the
// left gives the same text: an ampersand stays while "AMP;" follows it, then a name after it is
// replaced.
std::string DecodeNamed(std::string_view text) {
    struct Name {
        std::string_view tail;  // after the "&"
        std::uint32_t code;
    };
    static const Name kNames[] = {{"LT;", 60},     {"GT;", 62},    {"APOS;", 39},   {"QUOT;", 34},
                                  {"TRADE;", 174}, {"COPY;", 169}, {"INFIN;", 236}, {"PI;", 227}};
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const size_t amp = text.find('&', i);
        if (amp == std::string_view::npos) {
            out.append(text.substr(i));
            break;
        }
        out.append(text.substr(i, amp - i));
        size_t j = amp + 1;
        while (MatchNoCase(text, j, "AMP;")) j += 4;
        bool replaced = false;
        for (const Name& n : kNames)
            if (MatchNoCase(text, j, n.tail)) {
                NbAppendUtf8(out, n.code);
                j += n.tail.size();
                replaced = true;
                break;
            }
        if (!replaced) out += '&';
        i = j;
    }
    return out;
}

// A UTF-16 text after its byte-order mark as UTF-8; the offset of the first broken unit otherwise.
std::optional<size_t> Utf16ToUtf8(std::string_view in, bool bigEndian, std::string& out) {
    out.reserve(in.size() / 2 * 3);
    auto unit = [&](size_t at) {
        const unsigned a = static_cast<unsigned char>(in[at]), b = static_cast<unsigned char>(in[at + 1]);
        return bigEndian ? (a << 8 | b) : (b << 8 | a);
    };
    size_t i = 2;
    for (; i + 1 < in.size(); i += 2) {
        std::uint32_t u = unit(i);
        if (u >= 0xDC00 && u <= 0xDFFF) return i;
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 3 >= in.size()) return i;
            const std::uint32_t low = unit(i + 2);
            if (low < 0xDC00 || low > 0xDFFF) return i;
            u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        }
        NbAppendUtf8(out, u);
    }
    if (i != in.size()) return i;
    return std::nullopt;
}

// A floating-point text (the user's decimal separator, an optional exponent) as its value x 10000,
// exactly, rounded half to even; nothing when it is not such a number or does not fit 64 bits.
std::optional<std::int64_t> TextToBcd(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    const std::string& sep = FormatSettings().DecimalSeparator;
    std::string digits;  // all digits of the mantissa
    long long fraction = 0, exponent = 0;
    bool inFraction = false;
    size_t i = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            digits += c;
            if (inFraction) ++fraction;
        } else if (!inFraction && !sep.empty() && text.compare(i, sep.size(), sep) == 0) {
            inFraction = true;
            i += sep.size() - 1;
        } else {
            break;
        }
    }
    if (digits.empty()) return std::nullopt;
    if (i < text.size()) {
        if (text[i] != 'e' && text[i] != 'E') return std::nullopt;
        ++i;
        bool negExp = false;
        if (i < text.size() && (text[i] == '-' || text[i] == '+')) negExp = text[i++] == '-';
        if (i == text.size()) return std::nullopt;
        for (; i < text.size(); ++i) {
            if (text[i] < '0' || text[i] > '9') return std::nullopt;
            if (exponent < 1000000000) exponent = exponent * 10 + (text[i] - '0');
        }
        if (negExp) exponent = -exponent;
    }
    // value x 10000 = digits x 10^shift
    const long long shift = exponent - fraction + 4;
    const long long drop = shift < 0 ? -shift : 0;
    const size_t keep = drop >= static_cast<long long>(digits.size()) ? 0 : digits.size() - static_cast<size_t>(drop);
    constexpr TMemUInt128 kLimit = static_cast<TMemUInt128>(1) << 63;
    TMemUInt128 v = 0;
    for (size_t k = 0; k < keep; ++k) {
        v = v * 10 + static_cast<unsigned>(digits[k] - '0');
        if (v > kLimit) return std::nullopt;
    }
    if (drop > 0) {
        // Half to even on the dropped digits (all of them when drop exceeds the digits).
        const bool wholeDrop = drop > static_cast<long long>(digits.size());
        const int first = wholeDrop || keep == digits.size() ? 0 : digits[keep] - '0';
        const bool restNonZero = !wholeDrop && keep < digits.size() && digits.find_first_not_of('0', keep + 1) != std::string::npos;
        if (first > 5 || (first == 5 && (restNonZero || (v & 1) != 0))) ++v;
    } else if (v != 0) {
        for (long long k = 0; k < shift; ++k) {
            v *= 10;
            if (v > kLimit) return std::nullopt;
        }
    }
    if (v > kLimit || (v == kLimit && !negative)) return std::nullopt;
    if (negative) return v == kLimit ? std::numeric_limits<std::int64_t>::min() : -static_cast<std::int64_t>(v);
    return static_cast<std::int64_t>(v);
}

constexpr std::string_view kValueOf = "the value of ";

// Line and column (in characters) of a byte offset, for error texts.
std::string Where(std::string_view in, size_t at) {
    int line = 1, column = 1;
    for (size_t i = 0; i < at && i < in.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(in[i]);
        if (c == '\n') {
            ++line;
            column = 1;
        } else if (c != '\r' && (c & 0xC0) != 0x80) {
            ++column;
        }
    }
    return NbFormat("line %d, column %d", line, column);
}

}  // namespace

TXML2DataSet::TXML2DataSet(TMemCustomDataSet& dataset, TNbTempMemoryStream& stream) : ds_(dataset) {
    lists_[0].AddPair(reinterpret_cast<std::uintptr_t>(&stream), "");
    std::uintptr_t found = 0;
    if (!lists_[0].FindByText("", found)) return;
    // The whole input is held: an element, a row or the column list may be of any length.
    in_ = reinterpret_cast<TNbTempMemoryStream*>(found)->Data();
    // A UTF-16 file is read by its byte-order mark; everything else is taken as UTF-8.
    if (in_.size() >= 2 && ((in_[0] == '\xFF' && in_[1] == '\xFE') || (in_[0] == '\xFE' && in_[1] == '\xFF'))) {
        if (auto bad = Utf16ToUtf8(in_, in_[0] == '\xFE', decoded_))
            throw EXML2Dataset(NbFormat("XML2Dataset: Invalid UTF-16 text at byte %d", static_cast<std::int64_t>(*bad)));
        in_ = decoded_;
    } else if (in_.substr(0, 3) == "\xEF\xBB\xBF") {
        pos_ = 3;
    }
    bool sawTable = false;
    size_t tableAt = 0;
    std::string element;
    while (NextElement(element)) {
        switch (state_) {
        case State::WaitTable:
            if (element == "TABLE") {
                state_ = State::InTable;
                sawTable = true;
                tableAt = elementAt_;
            }
            break;
        case State::InTable:
            if (element == "METADATA") {
                state_ = State::InMetadata;
                break;
            }
            [[fallthrough]];
        case State::AfterMetadata:
            if (element == "/TABLE") {
                state_ = State::WaitTable;
            } else if (element == "TABLENAME") {
                const size_t at = elementAt_;
                ReadText("<TABLENAME>", "", at);
                NextElement(element);
                rowCounter_ = 0;
            } else if (element == "ROWDATA") {
                if (!ds_.Active()) ds_.Open();
                state_ = State::InRowdata;
            }
            break;
        case State::InMetadata:
            if (StartsWith(element, "FIELDS")) ReadFields();
            state_ = State::InTable;
            break;
        case State::InRowdata:
            if (StartsWith(element, "ROW")) {
                if (rowCounter_ == 0 && ds_.FieldCount() == 0) throw EXML2Dataset("XML2Dataset: No metadata, and no fields defined!");
                ReadRow();
            } else {
                state_ = State::AfterMetadata;
            }
            break;
        }
    }
    // A file that ends before its table is closed has lost its end: nothing of it is taken.
    if (state_ != State::WaitTable) Truncated("<TABLE>", tableAt);
    if (!sawTable) throw EXML2Dataset("XML2Dataset: No <TABLE> element found!");
}

TXML2DataSet::~TXML2DataSet() {
    if (ds_.Active() && ds_.RowCount() > 0) ds_.MoveFirst();
}

void TXML2DataSet::Truncated(const std::string& what, size_t startedAt) const {
    throw EXML2Dataset(NbFormat("XML2Dataset: Unexpected end of file: %s at %s is not closed", what, Where(in_, startedAt)));
}

bool TXML2DataSet::NextElement(std::string& element) {
    const size_t lt = in_.find('<', pos_);
    if (lt == std::string::npos) {
        pos_ = in_.size();
        return false;
    }
    const size_t gt = in_.find('>', lt + 1);
    if (gt == std::string::npos) Truncated("the tag", lt);
    element.assign(in_.substr(lt + 1, gt - lt - 1));
    elementAt_ = lt;
    pos_ = gt + 1;
    return true;
}

std::string TXML2DataSet::ReadText(std::string_view what, std::string_view name, size_t startedAt) {
    std::string out;
    for (;;) {
        // Plain characters up to the next "<" or "&" are taken in one piece.
        size_t special = pos_;
        while (special < in_.size() && in_[special] != '<' && in_[special] != '&') ++special;
        if (special == in_.size()) Truncated(std::string(what) + std::string(name), startedAt);
        out.append(in_.substr(pos_, special - pos_));
        pos_ = special;
        if (in_[pos_] == '<') {
            if (in_.compare(pos_, 9, "<![CDATA[") != 0) return out;
            const size_t end = in_.find("]]>", pos_ + 9);
            if (end == std::string_view::npos) Truncated("the CDATA section", pos_);
            out.append(in_.substr(pos_ + 9, end - pos_ - 9));
            pos_ = end + 3;
            continue;
        }
        static const std::pair<std::string_view, char> kEntities[] = {
            {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&apos;", '\''}, {"&quot;", '"'}};
        char decoded = '&';
        size_t length = 1;
        for (const auto& [e, ch] : kEntities)
            if (in_.compare(pos_, e.size(), e) == 0) {
                decoded = ch;
                length = e.size();
                break;
            }
        out += decoded;
        pos_ += length;
    }
}

void TXML2DataSet::ReadFields() {
    const size_t fieldsAt = elementAt_;
    ds_.Close();
    ds_.ClearLayout();
    bool listEnded = false;
    std::string element;
    for (;;) {
        if (!NextElement(element)) Truncated("<FIELDS>", fieldsAt);
        if (element == "/FIELDS") break;
        if (!StartsWith(element, "FIELD ")) continue;
        if (listEnded) continue;
        // The first two values between double quotes, at most 255 characters each.
        std::vector<std::string> quoted;
        size_t i = 0;
        while (quoted.size() < 2) {
            const size_t open = element.find('"', i);
            if (open == std::string::npos) break;
            const size_t close = element.find('"', open + 1);
            std::string v = element.substr(open + 1, (close == std::string::npos ? element.size() : close) - open - 1);
            if (v.size() > 255) v.resize(255);
            quoted.push_back(v);
            if (close == std::string::npos) break;
            i = close + 1;
        }
        if (quoted.size() < 2 || quoted[0].empty()) {
            listEnded = true;
            continue;
        }
        std::string type = quoted[1];
        std::int64_t size = 0;
        const size_t paren = type.find('(');
        if (paren != std::string::npos && paren >= 1) {
            size_t close = type.find(')', paren + 1);
            if (close == std::string::npos || close >= type.size()) close = type.size() - 1;
            const std::string digits = type.substr(paren + 1, close > paren ? close - paren - 1 : 0);
            auto v = TextToInt(digits);
            if (!v) throw EDatabaseError(NbFormat("'%s' is not a valid integer value", digits));
            size = *v;
            type = type.substr(0, paren);
        }
        const int code = TypeCode(type);
        if (code < 0) {
            listEnded = true;
            continue;
        }
        // A size that no column can have, or no size where the values are cut at it, would make
        // every value of the column read as something else.
        const std::string name = Spaces(quoted[0]);
        if (size < 0 || size > std::numeric_limits<std::int32_t>::max() || (size == 0 && IsCharType(code)))
            throw EXML2Dataset(NbFormat("XML2Dataset: Field %s has no valid size in its type \"%s\"!", name, quoted[1]));
        ds_.DefineField(name, code, static_cast<int>(size));
    }
    // </METADATA> follows the list.
    const size_t save = pos_;
    if (!NextElement(element) || element != "/METADATA") pos_ = save;
    ds_.Open();
    nextField_ = 0;
}

TField* TXML2DataSet::FindField(const std::string& name) {
    // Rows name their columns mostly in column order: the field after the last one found is tried
    // first, the dataset's look-up by name after that.
    if (nextField_ < ds_.FieldCount()) {
        TField& f = ds_.Field(nextField_);
        const std::string& n = f.FieldName();
        bool same = n.size() == name.size();
        for (size_t k = 0; same && k < n.size(); ++k) same = UpperAscii(n[k]) == UpperAscii(name[k]);
        if (same) {
            ++nextField_;
            return &f;
        }
    }
    TField* f = ds_.FieldNamed(name);
    if (f) nextField_ = f->Index() + 1;
    return f;
}

void TXML2DataSet::ReadRow() {
    const size_t rowAt = elementAt_;
    if (ds_.State() != TDataSetState::Insert) ds_.AppendRow();
    nextField_ = 0;
    std::string element;
    for (;;) {
        if (!NextElement(element)) Truncated("<ROW>", rowAt);
        if (element == "/ROW") break;
        if (!element.empty() && element[0] == '/') continue;
        const size_t valueAt = elementAt_;
        const std::string name = Spaces(element);
        TField* f = FindField(name);
        if (!f) throw EXML2Dataset("MemXML2Dataset: Field " + name + " not defined in result table!");
        StoreValue(*f, valueAt);
        // The closing tag is passed over without checking its name.
        if (!NextElement(element)) Truncated(std::string(kValueOf) + name, valueAt);
    }
    ++rowCounter_;
    ds_.PostRow();
}

std::string TXML2DataSet::ReadBlob(TField& f, bool& present, size_t startedAt) {
    present = false;
    if (in_.compare(pos_, 5, "<UUCB") != 0) {
        ReadText(kValueOf, f.FieldName(), startedAt);
        return {};
    }
    const size_t uucbAt = pos_;
    const size_t gt = in_.find('>', pos_);
    if (gt == std::string::npos) Truncated("the tag", uucbAt);
    pos_ = gt + 1;
    std::string chars;
    const size_t end = in_.find("</UUCB>", pos_);
    if (end == std::string::npos) Truncated("<UUCB>", uucbAt);
    while (pos_ < end) {
        const size_t open = in_.find("<![CDATA[", pos_);
        if (open == std::string::npos || open >= end) break;
        const size_t close = in_.find("]]>", open + 9);
        if (close == std::string::npos) Truncated("the CDATA section", open);
        for (size_t k = open + 9; k < std::min(close, end); ++k)
            if (static_cast<unsigned char>(in_[k]) >= 32) chars += in_[k];
        pos_ = close + 3;
    }
    pos_ = end + 7;
    std::string bytes;
    auto six = [](char c) { return static_cast<unsigned>((static_cast<unsigned char>(c) - 32) & 63); };
    // Groups of four characters give three bytes; a shorter last group gives the whole bytes its
    // bits hold.
    for (size_t k = 0; k < chars.size(); k += 4) {
        const size_t n = std::min<size_t>(4, chars.size() - k);
        const unsigned a = six(chars[k]), b = n > 1 ? six(chars[k + 1]) : 0, c = n > 2 ? six(chars[k + 2]) : 0,
                       d = n > 3 ? six(chars[k + 3]) : 0;
        if (n >= 2) bytes += static_cast<char>((a * 4 + b / 16) & 255);
        if (n >= 3) bytes += static_cast<char>((b * 16 + c / 4) & 255);
        if (n >= 4) bytes += static_cast<char>((c * 64 + d) & 255);
    }
    present = !bytes.empty();
    return bytes;
}

void TXML2DataSet::StoreValue(TField& f, size_t startedAt) {
    const std::string& name = f.FieldName();
    switch (f.DataType()) {
    case ftBCD: {
        // Exactly, without going through a binary floating-point number.
        const std::string text = ReadText(kValueOf, name, startedAt);
        auto v = TextToBcd(text);
        if (!v) throw EDatabaseError(NbFormat("'%s' is not a valid floating point value for field '%s'", text, f.DisplayName()));
        f.SetAsCurrency(*v);
        return;
    }
    case ftDate:
    case ftDateTime: {
        // Both read as a date and time; a Date column then drops the time.
        std::string text = ReadText(kValueOf, name, startedAt);
        std::string clean;
        for (char c : text)
            if (c != '"' && c != '\'') clean += c;
        if (clean.empty()) {
            f.ClearValue();
            return;
        }
        auto dt = TextToDateTime(clean);
        if (!dt) throw EDatabaseError(NbFormat("'%s' is not a valid date and time", clean));
        f.SetAsDateTime(*dt);
        return;
    }
    case ftBlob: {
        bool present = false;
        const std::string bytes = ReadBlob(f, present, startedAt);
        if (present) f.SetAsText(bytes);
        return;
    }
    case ftMemo:
        f.SetAsText(ReadText(kValueOf, name, startedAt));
        return;
    default:
        f.SetValueText(DecodeNamed(ReadText(kValueOf, name, startedAt)));
        return;
    }
}

void FillFromXml(TMemCustomDataSet& intermediate, TNbTempMemoryStream& stream) {
    intermediate.SuspendControls();
    try {
        intermediate.ClearLayout();
        { TXML2DataSet reader(intermediate, stream); }
    } catch (...) {
        intermediate.ResumeControls();
        throw;
    }
    intermediate.ResumeControls();
}

void LoadXmlStream(TNbDataSet& result, TNbTempMemoryStream& stream) {
    TMemDataSet intermediate;
    intermediate.Name = "XMLFILE";
    TFormatSettingsSwap swap("M/d/yyyy", "/");
    // The reader only reads the stream, so it works on the loaded bytes without a second copy.
    FillFromXml(intermediate, stream);
    result.SmartCopy(intermediate);
}

void LoadXmlFile(TNbDataSet& result, TNbFileRepository* repository, const std::string& fileName) {
    const std::string path = repository ? repository->Resolve(fileName) : fileName;
    std::unique_ptr<TNbTempMemoryStream> stream(TNbTempMemoryStream::FromFile(path));
    LoadXmlStream(result, *stream);
}
