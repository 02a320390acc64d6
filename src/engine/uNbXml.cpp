#include "uNbXml.h"

#include "MemFormat.h"
#include "uNbData.h"
#include "uNbFormat.h"

#include <cctype>
#include <cmath>
#include <cstring>

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
    static const std::pair<const char*, int> kTypes[] = {
        {"Char", ftString},       {"FixedChar", ftFixedChar}, {"WideString", ftWideString}, {"SmallInt", ftSmallint},
        {"Integer", ftInteger},   {"Word", ftWord},           {"AutoInc", ftAutoInc},       {"LargeInt", ftLargeint},
        {"Boolean", ftBoolean},   {"Float", ftFloat},         {"Currency", ftCurrency},     {"BCD", ftBCD},
        {"DateTime", ftDateTime}, {"Bytes", ftBytes},         {"VarBytes", ftVarBytes},     {"Blob", ftBlob},
        {"Memo", ftMemo},         {"Graphic", ftGraphic},     {"FmtMemo", ftFmtMemo},       {"ParadoxOle", ftParadoxOle},
        {"DBaseOle", ftDBaseOle}, {"TypedBinary", ftTypedBinary}, {"Cursor", ftCursor},     {"Date", ftDate},
        {"Time", ftTime}};
    if (name.size() < 3) return -1;
    for (const auto& [n, t] : kTypes)
        if (name == n) return t;
    return -1;
}

// The second decoding of plain values: named entities, case-insensitive, first found first.
std::string DecodeNamed(std::string text) {
    static const std::pair<const char*, char> kNames[] = {{"&AMP;", 38}, {"&LT;", 60}, {"&GT;", 62},
                                                          {"&APOS;", 39}, {"&QUOT;", 34}, {"&TRADE;", static_cast<char>(174)},
                                                          {"&COPY;", static_cast<char>(169)}, {"&INFIN;", static_cast<char>(236)},
                                                          {"&PI;", static_cast<char>(227)}};
    for (;;) {
        bool replaced = false;
        std::string upper = text;
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        for (const auto& [name, ch] : kNames) {
            const size_t at = upper.find(name);
            if (at != std::string::npos) {
                text.replace(at, std::strlen(name), 1, ch);
                replaced = true;
                break;
            }
        }
        if (!replaced) return text;
    }
}

}  // namespace

TXML2DataSet::TXML2DataSet(TMemCustomDataSet& dataset, TNbTempMemoryStream& stream) : ds_(dataset) {
    lists_[0].AddPair(reinterpret_cast<std::uintptr_t>(&stream), "");
    std::uintptr_t found = 0;
    if (!lists_[0].FindByText("", found)) return;
    // The whole input is held: an element, a row or the column list may be of any length.
    in_ = reinterpret_cast<TNbTempMemoryStream*>(found)->Data();
    std::string element;
    while (NextElement(element)) {
        switch (state_) {
        case State::WaitTable:
            if (element == "TABLE") state_ = State::InTable;
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
                ReadText();
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
}

TXML2DataSet::~TXML2DataSet() {
    if (ds_.Active() && ds_.RowCount() > 0) ds_.MoveFirst();
}

bool TXML2DataSet::NextElement(std::string& element) {
    const size_t lt = in_.find('<', pos_);
    if (lt == std::string::npos) {
        pos_ = in_.size();
        return false;
    }
    const size_t gt = in_.find('>', lt + 1);
    if (gt == std::string::npos) {
        pos_ = in_.size();
        return false;
    }
    element.assign(in_.substr(lt + 1, gt - lt - 1));
    pos_ = gt + 1;
    return true;
}

std::string TXML2DataSet::ReadText() {
    std::string out;
    while (pos_ < in_.size()) {
        // Plain characters up to the next "<" or "&" are taken in one piece.
        const size_t special = in_.find_first_of("<&", pos_);
        const size_t stopAt = special == std::string_view::npos ? in_.size() : special;
        out.append(in_.substr(pos_, stopAt - pos_));
        pos_ = stopAt;
        if (pos_ >= in_.size()) break;
        const char c = in_[pos_];
        if (c == '<') {
            if (in_.compare(pos_, 9, "<![CDATA[") != 0) break;
            const size_t end = in_.find("]]>", pos_ + 9);
            const size_t stop = end == std::string_view::npos ? in_.size() : end;
            out.append(in_.substr(pos_ + 9, stop - pos_ - 9));
            pos_ = end == std::string_view::npos ? in_.size() : end + 3;
            continue;
        }
        if (c == '&') {
            static const std::pair<const char*, char> kEntities[] = {{"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&apos;", '\''}, {"&quot;", '"'}};
            bool matched = false;
            for (const auto& [e, ch] : kEntities)
                if (in_.compare(pos_, std::strlen(e), e) == 0) {
                    out += ch;
                    pos_ += std::strlen(e);
                    matched = true;
                    break;
                }
            if (matched) continue;
        }
        out += c;
        ++pos_;
    }
    return out;
}

void TXML2DataSet::ReadFields() {
    ds_.Close();
    ds_.ClearLayout();
    bool listEnded = false;
    std::string element;
    while (NextElement(element)) {
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
        int size = 0;
        const size_t paren = type.find('(');
        if (paren != std::string::npos && paren >= 1) {
            size_t close = type.find(')', paren + 1);
            if (close == std::string::npos || close >= type.size()) close = type.size() - 1;
            const std::string digits = type.substr(paren + 1, close > paren ? close - paren - 1 : 0);
            auto v = TextToInt(digits);
            if (!v) throw EDatabaseError(NbFormat("'%s' is not a valid integer value", digits));
            size = static_cast<int>(*v);
            type = type.substr(0, paren);
        }
        const int code = TypeCode(type);
        if (code < 0) {
            listEnded = true;
            continue;
        }
        ds_.DefineField(Spaces(quoted[0]), code, size);
    }
    // </METADATA> follows the list.
    const size_t save = pos_;
    if (!NextElement(element) || element != "/METADATA") pos_ = save;
    ds_.Open();
}

void TXML2DataSet::ReadRow() {
    if (ds_.State() != TDataSetState::Insert) ds_.AppendRow();
    std::string element;
    while (NextElement(element)) {
        if (element == "/ROW") break;
        if (!element.empty() && element[0] == '/') continue;
        const std::string name = Spaces(element);
        TField* f = ds_.FieldNamed(name);
        if (!f) throw EXML2Dataset("MemXML2Dataset: Field " + name + " not defined in result table!");
        StoreValue(*f);
        // The closing tag is passed over without checking its name.
        NextElement(element);
    }
    ++rowCounter_;
    ds_.PostRow();
}

std::string TXML2DataSet::ReadBlob(bool& present) {
    present = false;
    if (in_.compare(pos_, 5, "<UUCB") != 0) {
        ReadText();
        return {};
    }
    const size_t gt = in_.find('>', pos_);
    if (gt == std::string::npos) return {};
    pos_ = gt + 1;
    std::string chars;
    const size_t end = in_.find("</UUCB>", pos_);
    const size_t stop = end == std::string::npos ? in_.size() : end;
    while (pos_ < stop) {
        const size_t open = in_.find("<![CDATA[", pos_);
        if (open == std::string::npos || open >= stop) break;
        const size_t close = in_.find("]]>", open + 9);
        const size_t last = close == std::string::npos ? stop : close;
        for (size_t k = open + 9; k < last; ++k)
            if (static_cast<unsigned char>(in_[k]) >= 32) chars += in_[k];
        pos_ = close == std::string::npos ? stop : close + 3;
    }
    pos_ = end == std::string::npos ? in_.size() : end + 7;
    std::string bytes;
    auto six = [](char c) { return static_cast<unsigned>((static_cast<unsigned char>(c) - 32) & 63); };
    // Groups of four characters give three bytes; a shorter last group gives the whole bytes its
    // bits hold.
    for (size_t k = 0; k < chars.size(); k += 4) {
        const size_t n = std::min<size_t>(4, chars.size() - k);
        const unsigned a = six(chars[k]), b = n > 1 ? six(chars[k + 1]) : 0, c = n > 2 ? six(chars[k + 2]) : 0, d = n > 3 ? six(chars[k + 3]) : 0;
        if (n >= 2) bytes += static_cast<char>((a * 4 + b / 16) & 255);
        if (n >= 3) bytes += static_cast<char>((b * 16 + c / 4) & 255);
        if (n >= 4) bytes += static_cast<char>((c * 64 + d) & 255);
    }
    present = !bytes.empty();
    return bytes;
}

void TXML2DataSet::StoreValue(TField& f) {
    switch (f.DataType()) {
    case ftBCD: {
        const std::string text = ReadText();
        auto d = TextToFloat(text);
        if (!d) throw EDatabaseError(NbFormat("'%s' is not a valid floating point value", text));
        f.SetAsCurrency(static_cast<std::int64_t>(std::nearbyint(*d * 10000.0)));
        return;
    }
    case ftDate:
    case ftDateTime: {
        std::string text = ReadText();
        std::string clean;
        for (char c : text)
            if (c != '"' && c != '\'') clean += c;
        if (clean.empty()) {
            f.ClearValue();
            return;
        }
        f.SetValueText(clean);
        return;
    }
    case ftBlob: {
        bool present = false;
        const std::string bytes = ReadBlob(present);
        if (present) f.SetAsText(bytes);
        return;
    }
    case ftMemo: f.SetAsText(ReadText()); return;
    default: f.SetValueText(DecodeNamed(ReadText())); return;
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
