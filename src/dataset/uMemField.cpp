#include "uMemDataSet.h"

#include "uNbFormat.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace {

constexpr double kNanosPerDay = 86400e9;

template <typename T>
T Load(const std::uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <typename T>
void Store(std::uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Cuts a text at its first NUL and at the declared number of characters (code points), never
// inside a UTF-8 sequence.
std::string_view CutChars(std::string_view text, int size) {
    const size_t nul = text.find('\0');
    if (nul != std::string_view::npos) text = text.substr(0, nul);
    if (size <= 0) return {};
    if (text.size() <= static_cast<size_t>(size)) return text;  // at most one byte per character
    size_t i = 0;
    int chars = 0;
    while (i < text.size()) {
        if (chars == size) return text.substr(0, i);
        ++i;
        while (i < text.size() && IsContinuation(static_cast<unsigned char>(text[i]))) ++i;
        ++chars;
    }
    return text;
}

TMemInt128 Pow10Wide(int n) {
    TMemInt128 p = 1;
    while (n-- > 0) p *= 10;
    return p;
}

// Rescales an exact decimal, rounding half away from zero when digits are dropped.
TMemInt128 Rescale(TMemInt128 v, int from, int to) {
    if (to >= from) return v * Pow10Wide(to - from);
    const TMemInt128 div = Pow10Wide(from - to);
    TMemInt128 q = v / div, r = v % div;
    if (r < 0) r = -r;
    if (r * 2 >= div) q += v < 0 ? -1 : 1;
    return q;
}

std::string TimeStampText(std::int64_t days, std::int64_t nanos, int digits) {
    int y, mo, d, h, mi, s, ms;
    DecodeDateTime(static_cast<double>(days), y, mo, d, h, mi, s, ms);
    const std::int64_t secs = nanos / 1000000000;
    const std::int64_t frac = nanos % 1000000000;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02lld:%02lld:%02lld", y, mo, d, static_cast<long long>(secs / 3600),
                  static_cast<long long>(secs / 60 % 60), static_cast<long long>(secs % 60));
    std::string out(buf);
    char fbuf[16];
    std::snprintf(fbuf, sizeof fbuf, "%09lld", static_cast<long long>(frac));
    std::string f(fbuf);
    if (digits > 0) {
        f.resize(static_cast<size_t>(std::min(digits, 9)));
    } else {
        while (!f.empty() && f.back() == '0') f.pop_back();
    }
    if (!f.empty()) out += "." + f;
    return out;
}

// "yyyy-mm-dd[ hh:mm:ss[.fffffffff]]" into days and nanoseconds of the day.
bool ParseIsoTimeStamp(std::string_view t, std::int64_t& days, std::int64_t& nanos) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, n = 0;
    char frac[16] = {0};
    const std::string str(t);
    const int got = std::sscanf(str.c_str(), "%4d-%2d-%2d%n", &y, &mo, &d, &n);
    if (got != 3 || n != 10) return false;
    TDateTime date;
    if (!TryEncodeDate(y, mo, d, date)) return false;
    days = static_cast<std::int64_t>(date);
    nanos = 0;
    std::string_view rest = t.substr(static_cast<size_t>(n));
    if (rest.empty()) return true;
    if (rest[0] != ' ' && rest[0] != 'T') return false;
    const std::string r(rest.substr(1));
    int m = 0;
    if (std::sscanf(r.c_str(), "%2d:%2d:%2d%n", &h, &mi, &s, &m) != 3 || h > 23 || mi > 59 || s > 59) return false;
    std::string_view tail = std::string_view(r).substr(static_cast<size_t>(m));
    std::int64_t ns = 0;
    if (!tail.empty()) {
        if (tail[0] != '.' || tail.size() < 2 || tail.size() > 10) return false;
        int digits = 0;
        for (char c : tail.substr(1)) {
            if (c < '0' || c > '9') return false;
            frac[digits++] = c;
        }
        for (int i = 0; i < 9; ++i) ns = ns * 10 + (i < digits ? frac[i] - '0' : 0);
    }
    nanos = (h * 3600LL + mi * 60LL + s) * 1000000000LL + ns;
    return true;
}

void TimeStampFromDateTime(TDateTime dt, std::int64_t& days, std::int64_t& nanos) {
    const double whole = std::floor(dt);
    days = static_cast<std::int64_t>(whole);
    nanos = std::llround((dt - whole) * 86400000.0) * 1000000LL;
    if (nanos >= 86400000000000LL) {
        nanos -= 86400000000000LL;
        ++days;
    }
}

}  // namespace

TField::TField(TMemCustomDataSet& dataSet, const TFieldDef& def, int index)
    : ds_(&dataSet),
      name_(def.Name),
      type_(def.DataType),
      size_(def.Size),
      fieldNo_(def.FieldNo),
      index_(index),
      storage_(StorageOf(def.DataType)) {
    switch (type_) {
    case ftString:
    case ftFixedChar:
    case ftWideString:
    case ftFixedWideChar:
    case ftBytes:
    case ftVarBytes:
    case ftGuid:
        displayWidth_ = size_;
        break;
    case ftSmallint:
        displayWidth_ = 6;
        break;
    case ftWord:
        displayWidth_ = 5;
        break;
    case ftInteger:
    case ftAutoInc:
        displayWidth_ = 11;
        break;
    case ftLargeint:
        displayWidth_ = 20;
        break;
    case ftBoolean:
        displayWidth_ = 5;
        break;
    case ftDate:
    case ftTime:
        displayWidth_ = 10;
        break;
    case ftDateTime:
        displayWidth_ = 18;
        break;
    case ftTimeStamp:
        displayWidth_ = 27;
        break;
    case ftBCD:
    case ftFMTBcd:
    case ftFloat:
    case ftCurrency:
        displayWidth_ = 15;
        break;
    default:
        displayWidth_ = 10;
        break;
    }
}

void TField::SetDisplayLabel(std::string label) {
    displayLabel_ = std::move(label);
    ds_->NotifyLayout();
}

void TField::SetDisplayWidth(int width) {
    if (width == displayWidth_) return;
    displayWidth_ = width;
    ds_->NotifyLayout();
}

void TField::InvalidValue(std::string_view text, const char* kind) const {
    throw EDatabaseError(NbFormat("'%s' is not a valid %s value for field '%s'", text, kind, DisplayName()));
}

// ---------------------------------------------------------------- reading

bool TField::ValueIsNull() const {
    const std::uint8_t* v = ds_->ReadValues();
    if (!v) return true;
    return !(Load<std::uint32_t>(v + nullWord_) & nullBit_);
}

std::string_view TField::TextView() const {
    const std::uint8_t* v = ds_->ReadValues();
    if (!v || storage_ != TMemStorage::Text || !(Load<std::uint32_t>(v + nullWord_) & nullBit_)) return {};
    return TMemRowStore::LoadText(v + offset_);
}

std::string TField::BlobBytes() const { return BlobBytesFrom(ds_->ReadValues()); }

std::string TField::BlobBytesFrom(const std::uint8_t* v) const {
    if (!v || storage_ != TMemStorage::Blob || !(Load<std::uint32_t>(v + nullWord_) & nullBit_)) return {};
    const std::string* b = ds_->store_.FindBlob(Load<std::int32_t>(v + offset_), fieldNo_);
    return b ? *b : std::string();
}

std::string TField::ValueText() const { return ValueTextFrom(ds_->ReadValues()); }

std::string TField::ValueTextFrom(const std::uint8_t* v) const {
    if (!v || !(Load<std::uint32_t>(v + nullWord_) & nullBit_)) return {};
    const std::uint8_t* slot = v + offset_;
    switch (type_) {
    case ftSmallint:
        return std::to_string(Load<std::int16_t>(slot));
    case ftWord:
        return std::to_string(Load<std::uint16_t>(slot));
    case ftInteger:
    case ftAutoInc:
        return std::to_string(Load<std::int32_t>(slot));
    case ftLargeint:
        return std::to_string(Load<std::int64_t>(slot));
    case ftBoolean:
        return Load<std::int16_t>(slot) ? "True" : "False";
    case ftFloat:
    case ftCurrency:
        return FloatToText(Load<double>(slot));
    case ftBCD:
        return DecimalToText(Load<std::int64_t>(slot), 4, true);
    case ftFMTBcd:
        return DecimalToText(Load<TMemInt128>(slot), size_, false);
    case ftDate:
        return DateToText(Load<double>(slot));
    case ftTime:
        return TimeToText(Load<std::int32_t>(slot) / 86400000.0);
    case ftDateTime:
        return DateTimeToText(Load<double>(slot));
    case ftTimeStamp:
        return TimeStampText(Load<std::int64_t>(slot), Load<std::int64_t>(slot + 8), size_);
    default:
        break;
    }
    if (storage_ == TMemStorage::Text) return std::string(TMemRowStore::LoadText(slot));
    if (storage_ == TMemStorage::Blob) return BlobBytesFrom(v);
    return {};
}

void TField::AppendValueText(std::string& out) const { AppendValueText(out, ds_->ReadValues()); }

void TField::AppendValueText(std::string& out, const std::uint8_t* v) const {
    if (!v || !(Load<std::uint32_t>(v + nullWord_) & nullBit_)) return;
    const std::uint8_t* slot = v + offset_;
    char buf[48];
    auto number = [&](std::int64_t x) {
        const auto r = std::to_chars(buf, buf + sizeof buf, x);
        out.append(buf, static_cast<size_t>(r.ptr - buf));
    };
    switch (type_) {
    case ftSmallint:
        number(Load<std::int16_t>(slot));
        return;
    case ftWord:
        number(Load<std::uint16_t>(slot));
        return;
    case ftInteger:
    case ftAutoInc:
        number(Load<std::int32_t>(slot));
        return;
    case ftLargeint:
        number(Load<std::int64_t>(slot));
        return;
    case ftBoolean:
        out += Load<std::int16_t>(slot) ? "True" : "False";
        return;
    case ftDateTime:
        AppendDateTimeText(out, Load<double>(slot));
        return;
    case ftBCD: {
        // value x 10000: whole part, then the fraction without trailing zeros.
        const std::int64_t x = Load<std::int64_t>(slot);
        const bool negative = x < 0;
        const std::uint64_t m = negative ? 0ULL - static_cast<std::uint64_t>(x) : static_cast<std::uint64_t>(x);
        if (negative) out += '-';
        const auto r = std::to_chars(buf, buf + sizeof buf, m / 10000);
        out.append(buf, static_cast<size_t>(r.ptr - buf));
        std::uint64_t frac = m % 10000;
        if (frac) {
            out += FormatSettings().DecimalSeparator;
            char f[4];
            for (int k = 3; k >= 0; --k) {
                f[k] = static_cast<char>('0' + frac % 10);
                frac /= 10;
            }
            int len = 4;
            while (len > 0 && f[len - 1] == '0') --len;
            out.append(f, static_cast<size_t>(len));
        }
        return;
    }
    case ftFloat:
    case ftCurrency: {
        const double d = Load<double>(slot);
        const auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, 15);
        std::string_view t(buf, static_cast<size_t>(r.ptr - buf));
        // Plain forms hold only digits, '-' and '.'; a letter means an exponent or a special.
        if (std::any_of(t.begin(), t.end(), [](char ch) { return ch >= 'A'; })) {
            out += FloatToText(d);  // exponent forms and specials keep their own spelling
            return;
        }
        const size_t dot = t.find('.');
        if (dot == std::string_view::npos) {
            out.append(t);
        } else {
            out.append(t.substr(0, dot));
            out += FormatSettings().DecimalSeparator;
            out.append(t.substr(dot + 1));
        }
        return;
    }
    default:
        break;
    }
    if (storage_ == TMemStorage::Text) {
        out.append(TMemRowStore::LoadText(slot));
        return;
    }
    if (storage_ == TMemStorage::Blob) {
        // The blob of the row asked for, not of the cursor's row.
        if (const std::string* b = ds_->store_.FindBlob(Load<std::int32_t>(slot), fieldNo_)) out += *b;
        return;
    }
    out += ValueTextFrom(v);
}

std::string TField::DisplayText() const {
    if (type_ == ftCurrency && !ValueIsNull()) return CurrencyToText(AsFloat());
    return ValueText();
}

bool TField::ValueIsNullIn(const std::uint8_t* v) const { return !v || !(Load<std::uint32_t>(v + nullWord_) & nullBit_); }

std::string TField::DisplayTextFrom(const std::uint8_t* v) const {
    if (type_ == ftCurrency && !ValueIsNullIn(v)) return CurrencyToText(Load<double>(v + offset_));
    return ValueTextFrom(v);
}

std::int64_t TField::AsLargeInt() const {
    if (ValueIsNull()) return 0;
    const std::uint8_t* slot = ds_->ReadValues() + offset_;
    switch (storage_) {
    case TMemStorage::Int16:
        return Load<std::int16_t>(slot);
    case TMemStorage::UInt16:
        return Load<std::uint16_t>(slot);
    case TMemStorage::Int32:
        return Load<std::int32_t>(slot);
    case TMemStorage::Int64:
        return type_ == ftBCD ? Load<std::int64_t>(slot) / 10000 : Load<std::int64_t>(slot);
    case TMemStorage::Double:
        return std::llround(Load<double>(slot));
    case TMemStorage::Decimal:
        return static_cast<std::int64_t>(Rescale(Load<TMemInt128>(slot), size_, 0));
    default:
        break;
    }
    const std::string text = ValueText();
    if (auto i = TextToInt(text)) return *i;
    InvalidValue(text, "integer");
}

std::int32_t TField::AsInteger() const { return static_cast<std::int32_t>(AsLargeInt()); }

double TField::AsFloat() const {
    if (ValueIsNull()) return 0;
    const std::uint8_t* slot = ds_->ReadValues() + offset_;
    switch (storage_) {
    case TMemStorage::Double:
        return Load<double>(slot);
    case TMemStorage::Int64:
        return type_ == ftBCD ? static_cast<double>(Load<std::int64_t>(slot)) / 10000.0 : static_cast<double>(Load<std::int64_t>(slot));
    case TMemStorage::Int16:
    case TMemStorage::UInt16:
    case TMemStorage::Int32:
        return static_cast<double>(AsLargeInt());
    case TMemStorage::TimeMs:
        return Load<std::int32_t>(slot) / 86400000.0;
    case TMemStorage::TimeStamp:
        return static_cast<double>(Load<std::int64_t>(slot)) + static_cast<double>(Load<std::int64_t>(slot + 8)) / kNanosPerDay;
    case TMemStorage::Decimal:
        return static_cast<double>(Load<TMemInt128>(slot)) / static_cast<double>(Pow10Wide(size_));
    default:
        break;
    }
    const std::string text = ValueText();
    if (auto d = TextToFloat(text)) return *d;
    InvalidValue(text, "floating point");
}

std::int64_t TField::AsCurrency() const {
    if (ValueIsNull()) return 0;
    const std::uint8_t* slot = ds_->ReadValues() + offset_;
    if (type_ == ftBCD) return Load<std::int64_t>(slot);
    if (storage_ == TMemStorage::Decimal) return static_cast<std::int64_t>(Rescale(Load<TMemInt128>(slot), size_, 4));
    if (storage_ == TMemStorage::Text) {
        const std::string text = ValueText();
        if (auto d = TextToDecimal(text, 4)) return static_cast<std::int64_t>(*d);
        InvalidValue(text, "floating point");
    }
    if (storage_ == TMemStorage::Int16 || storage_ == TMemStorage::UInt16 || storage_ == TMemStorage::Int32 ||
        storage_ == TMemStorage::Int64)
        return AsLargeInt() * 10000;
    return std::llround(AsFloat() * 10000.0);
}

TDateTime TField::AsDateTime() const {
    if (ValueIsNull()) return 0;
    if (storage_ == TMemStorage::Text || storage_ == TMemStorage::Blob) {
        const std::string text = ValueText();
        if (auto d = TextToDateTime(text)) return *d;
        std::int64_t days, nanos;
        if (ParseIsoTimeStamp(text, days, nanos)) return static_cast<double>(days) + static_cast<double>(nanos) / kNanosPerDay;
        throw EDatabaseError(NbFormat("'%s' is not a valid date and time", text));
    }
    return AsFloat();
}

bool TField::AsBoolean() const {
    if (ValueIsNull()) return false;
    switch (storage_) {
    case TMemStorage::Int16:
    case TMemStorage::UInt16:
    case TMemStorage::Int32:
    case TMemStorage::Int64:
        return AsLargeInt() != 0;
    case TMemStorage::Double:
        return AsFloat() != 0;
    default:
        break;
    }
    const std::string text = ValueText();
    if (!text.empty()) {
        std::string upper;
        for (char c : text) upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
        if (std::string_view("TRUE").substr(0, upper.size()) == upper) return true;
        if (std::string_view("FALSE").substr(0, upper.size()) == upper) return false;
    }
    InvalidValue(text, "boolean");
}

TMemVariant TField::AsVariant() const {
    if (ValueIsNull()) return {};
    const std::uint8_t* slot = ds_->ReadValues() + offset_;
    switch (type_) {
    case ftBoolean:
        return TMemVariant::FromBool(AsBoolean());
    case ftSmallint:
    case ftWord:
    case ftInteger:
    case ftAutoInc:
    case ftLargeint:
        return TMemVariant::FromInt(AsLargeInt());
    case ftFloat:
    case ftCurrency:
        return TMemVariant::FromFloat(Load<double>(slot));
    case ftBCD:
        return TMemVariant::FromCurrency(Load<std::int64_t>(slot));
    case ftFMTBcd:
        return TMemVariant::FromDecimal(Load<TMemInt128>(slot), size_);
    case ftDate:
    case ftDateTime:
        return TMemVariant::FromDateTime(Load<double>(slot));
    case ftTime:
        return TMemVariant::FromDateTime(Load<std::int32_t>(slot) / 86400000.0);
    case ftTimeStamp:
        return TMemVariant::FromTimeStamp(Load<std::int64_t>(slot), Load<std::int64_t>(slot + 8));
    default:
        break;
    }
    if (storage_ == TMemStorage::Text) return TMemVariant::FromText(std::string(TMemRowStore::LoadText(slot)));
    if (storage_ == TMemStorage::Blob) return TMemVariant::FromText(BlobBytes());
    return {};
}

// ---------------------------------------------------------------- writing

namespace {

// Sets or clears a column's null flag in a row's values.
void SetFlag(std::uint8_t* values, int word, std::uint32_t bit, bool hasValue) {
    std::uint32_t flags = Load<std::uint32_t>(values + word);
    flags = hasValue ? (flags | bit) : (flags & ~bit);
    Store(values + word, flags);
}

}  // namespace

void TField::ClearValue() {
    std::uint8_t* v = ds_->WriteValues();
    if (storage_ == TMemStorage::Blob) {
        // The blob stays until the row is posted, so that a cancel can keep it.
        const std::int32_t id = Load<std::int32_t>(v + offset_);
        if (id > 0) {
            auto& pending = ds_->pendingNewBlobs_;
            if (std::find(pending.begin(), pending.end(), id) != pending.end()) {
                ds_->store_.EraseBlob(id, fieldNo_);
                pending.erase(std::find(pending.begin(), pending.end(), id));
            } else {
                ds_->pendingOldBlobs_.push_back(id);
            }
            Store<std::int32_t>(v + offset_, 0);
        }
    }
    SetFlag(v, nullWord_, nullBit_, false);
    ds_->FieldWritten(*this);
}

void TField::SetAsText(std::string_view text) {
    std::uint8_t* v = ds_->WriteValues();
    switch (storage_) {
    case TMemStorage::Text: {
        std::string_view cut = text;
        if (IsCharType(type_))
            cut = CutChars(text, size_);
        else if (IsByteType(type_) && size_ > 0 && cut.size() > static_cast<size_t>(size_))
            cut = cut.substr(0, static_cast<size_t>(size_));
        ds_->store_.StoreText(v + offset_, cut);
        SetFlag(v, nullWord_, nullBit_, true);
        ds_->FieldWritten(*this);
        return;
    }
    case TMemStorage::Blob: {
        TMemBlobStream stream(*this, TBlobStreamMode::Write);
        stream.Write(text);
        stream.Close();
        return;
    }
    case TMemStorage::None:
        SetFlag(v, nullWord_, nullBit_, true);
        ds_->FieldWritten(*this);
        return;
    default:
        SetValueText(text);
    }
}

void TField::SetValueText(std::string_view text) {
    if (storage_ == TMemStorage::Text || storage_ == TMemStorage::Blob || storage_ == TMemStorage::None) {
        SetAsText(text);
        return;
    }
    ds_->WriteValues();  // fails outside editing before any conversion
    if (text.empty()) {
        ClearValue();
        return;
    }
    switch (type_) {
    case ftBoolean: {
        std::string upper;
        for (char c : text) upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
        if (std::string_view("TRUE").substr(0, upper.size()) == upper)
            SetAsBoolean(true);
        else if (std::string_view("FALSE").substr(0, upper.size()) == upper)
            SetAsBoolean(false);
        else
            InvalidValue(text, "boolean");
        return;
    }
    case ftSmallint:
    case ftWord:
    case ftInteger:
    case ftAutoInc:
    case ftLargeint: {
        auto i = TextToInt(text);
        if (!i) InvalidValue(text, "integer");
        SetAsLargeInt(*i);
        return;
    }
    case ftFloat:
    case ftCurrency: {
        auto d = TextToFloat(text);
        if (!d) InvalidValue(text, "floating point");
        SetAsFloat(*d);
        return;
    }
    case ftBCD: {
        auto d = TextToDecimal(text, 4);
        if (!d || *d > std::numeric_limits<std::int64_t>::max() || *d < std::numeric_limits<std::int64_t>::min())
            InvalidValue(text, "floating point");
        SetAsCurrency(static_cast<std::int64_t>(*d));
        return;
    }
    case ftFMTBcd: {
        auto d = TextToDecimal(text, size_);
        if (!d) InvalidValue(text, "floating point");
        SetAsVariant(TMemVariant::FromDecimal(*d, size_));
        return;
    }
    case ftDate: {
        auto d = TextToDate(text);
        if (!d) throw EDatabaseError(NbFormat("'%s' is not a valid date", text));
        SetAsDateTime(*d);
        return;
    }
    case ftTime: {
        auto t = TextToTime(text);
        if (!t) throw EDatabaseError(NbFormat("'%s' is not a valid time", text));
        SetAsDateTime(*t);
        return;
    }
    case ftDateTime: {
        auto dt = TextToDateTime(text);
        if (!dt) throw EDatabaseError(NbFormat("'%s' is not a valid date and time", text));
        SetAsDateTime(*dt);
        return;
    }
    case ftTimeStamp: {
        std::int64_t days, nanos;
        if (ParseIsoTimeStamp(text, days, nanos)) {
            SetAsVariant(TMemVariant::FromTimeStamp(days, nanos));
            return;
        }
        auto dt = TextToDateTime(text);
        if (!dt) throw EDatabaseError(NbFormat("'%s' is not a valid date and time", text));
        SetAsDateTime(*dt);
        return;
    }
    default:
        return;
    }
}

void TField::SetAsLargeInt(std::int64_t x) {
    std::uint8_t* v = ds_->WriteValues();
    std::uint8_t* slot = v + offset_;
    auto outOfRange = [&](std::int64_t lo, std::int64_t hi) {
        if (x < lo || x > hi) InvalidValue(std::to_string(x), "integer");
    };
    switch (storage_) {
    case TMemStorage::Int16:
        if (type_ == ftBoolean) x = x != 0;
        outOfRange(-32768, 32767);
        Store<std::int16_t>(slot, static_cast<std::int16_t>(x));
        break;
    case TMemStorage::UInt16:
        outOfRange(0, 65535);
        Store<std::uint16_t>(slot, static_cast<std::uint16_t>(x));
        break;
    case TMemStorage::Int32:
        outOfRange(std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max());
        Store<std::int32_t>(slot, static_cast<std::int32_t>(x));
        break;
    case TMemStorage::Int64:
        if (type_ == ftBCD) {
            if (x > std::numeric_limits<std::int64_t>::max() / 10000 || x < std::numeric_limits<std::int64_t>::min() / 10000)
                InvalidValue(std::to_string(x), "floating point");
            x *= 10000;
        }
        Store<std::int64_t>(slot, x);
        break;
    case TMemStorage::Double:
        Store<double>(slot, static_cast<double>(x));
        break;
    case TMemStorage::Decimal:
        Store<TMemInt128>(slot, static_cast<TMemInt128>(x) * Pow10Wide(size_));
        break;
    case TMemStorage::TimeMs:
    case TMemStorage::TimeStamp:
        SetAsDateTime(static_cast<double>(x));
        return;
    default:
        SetAsText(std::to_string(x));
        return;
    }
    SetFlag(v, nullWord_, nullBit_, true);
    ds_->FieldWritten(*this);
}

void TField::SetAsFloat(double x) {
    std::uint8_t* v = ds_->WriteValues();
    std::uint8_t* slot = v + offset_;
    switch (storage_) {
    case TMemStorage::Double:
        if (type_ == ftDate) x = std::trunc(x);
        Store<double>(slot, x);
        break;
    case TMemStorage::Int16:
    case TMemStorage::UInt16:
    case TMemStorage::Int32:
        if (!std::isfinite(x)) InvalidValue(FloatToText(x), "integer");
        SetAsLargeInt(std::llround(x));
        return;
    case TMemStorage::Int64:
        if (!std::isfinite(x) || std::fabs(x) >= 9.2e18 / (type_ == ftBCD ? 10000.0 : 1.0)) InvalidValue(FloatToText(x), "floating point");
        if (type_ == ftBCD)
            Store<std::int64_t>(slot, std::llround(x * 10000.0));
        else
            Store<std::int64_t>(slot, std::llround(x));
        break;
    case TMemStorage::TimeMs:
    case TMemStorage::TimeStamp:
        SetAsDateTime(x);
        return;
    case TMemStorage::Decimal: {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.17g", x);
        auto d = TextToDecimal(buf, size_);
        if (!d) InvalidValue(buf, "floating point");
        Store<TMemInt128>(slot, *d);
        break;
    }
    default:
        SetAsText(FloatToText(x));
        return;
    }
    SetFlag(v, nullWord_, nullBit_, true);
    ds_->FieldWritten(*this);
}

void TField::SetAsCurrency(std::int64_t x10000) {
    std::uint8_t* v = ds_->WriteValues();
    std::uint8_t* slot = v + offset_;
    if (type_ == ftBCD) {
        Store<std::int64_t>(slot, x10000);
    } else if (storage_ == TMemStorage::Decimal) {
        Store<TMemInt128>(slot, Rescale(x10000, 4, size_));
    } else if (storage_ == TMemStorage::Text || storage_ == TMemStorage::Blob || storage_ == TMemStorage::None) {
        SetAsText(DecimalToText(x10000, 4, true));
        return;
    } else if (storage_ == TMemStorage::Double) {
        Store<double>(slot, static_cast<double>(x10000) / 10000.0);
    } else {
        SetAsLargeInt(static_cast<std::int64_t>(Rescale(x10000, 4, 0)));
        return;
    }
    SetFlag(v, nullWord_, nullBit_, true);
    ds_->FieldWritten(*this);
}

void TField::SetAsDateTime(TDateTime x) {
    std::uint8_t* v = ds_->WriteValues();
    std::uint8_t* slot = v + offset_;
    switch (type_) {
    case ftDate:
        Store<double>(slot, std::trunc(x));
        break;
    case ftDateTime:
        Store<double>(slot, x);
        break;
    case ftTime: {
        const double frac = std::fabs(x - std::trunc(x));
        Store<std::int32_t>(slot, static_cast<std::int32_t>(std::llround(frac * 86400000.0) % 86400000));
        break;
    }
    case ftTimeStamp: {
        std::int64_t days, nanos;
        TimeStampFromDateTime(x, days, nanos);
        Store<std::int64_t>(slot, days);
        Store<std::int64_t>(slot + 8, nanos);
        break;
    }
    default:
        if (storage_ == TMemStorage::Text || storage_ == TMemStorage::Blob || storage_ == TMemStorage::None) {
            SetAsText(DateTimeToText(x));
            return;
        }
        SetAsFloat(x);
        return;
    }
    SetFlag(v, nullWord_, nullBit_, true);
    ds_->FieldWritten(*this);
}

void TField::SetAsBoolean(bool b) {
    if (storage_ == TMemStorage::Text || storage_ == TMemStorage::Blob || storage_ == TMemStorage::None) {
        SetAsText(b ? "True" : "False");
        return;
    }
    SetAsLargeInt(b ? 1 : 0);
}

void TField::SetAsVariant(const TMemVariant& x) {
    switch (x.kind) {
    case TMemVariant::Null:
        ClearValue();
        return;
    case TMemVariant::Boolean:
        SetAsBoolean(x.i != 0);
        return;
    case TMemVariant::Integer:
        SetAsLargeInt(x.i);
        return;
    case TMemVariant::Float:
        SetAsFloat(x.d);
        return;
    case TMemVariant::Currency:
        SetAsCurrency(x.i);
        return;
    case TMemVariant::DateTime:
        SetAsDateTime(x.d);
        return;
    case TMemVariant::TimeStamp:
        if (type_ == ftTimeStamp) {
            std::uint8_t* v = ds_->WriteValues();
            Store<std::int64_t>(v + offset_, x.i);
            Store<std::int64_t>(v + offset_ + 8, x.nanos);
            SetFlag(v, nullWord_, nullBit_, true);
            ds_->FieldWritten(*this);
        } else if (storage_ == TMemStorage::Text || storage_ == TMemStorage::Blob) {
            SetAsText(TimeStampText(x.i, x.nanos, 0));
        } else {
            SetAsDateTime(static_cast<double>(x.i) + static_cast<double>(x.nanos) / kNanosPerDay);
        }
        return;
    case TMemVariant::Decimal:
        if (storage_ == TMemStorage::Decimal) {
            std::uint8_t* v = ds_->WriteValues();
            Store<TMemInt128>(v + offset_, Rescale(x.dec, x.scale, size_));
            SetFlag(v, nullWord_, nullBit_, true);
            ds_->FieldWritten(*this);
        } else if (type_ == ftBCD) {
            const TMemInt128 r = Rescale(x.dec, x.scale, 4);
            if (r > std::numeric_limits<std::int64_t>::max() || r < std::numeric_limits<std::int64_t>::min())
                InvalidValue(DecimalToText(x.dec, x.scale, false), "floating point");
            SetAsCurrency(static_cast<std::int64_t>(r));
        } else if (storage_ == TMemStorage::Text || storage_ == TMemStorage::Blob || storage_ == TMemStorage::None) {
            SetAsText(DecimalToText(x.dec, x.scale, false));
        } else if (storage_ == TMemStorage::Double) {
            SetAsFloat(static_cast<double>(x.dec) / static_cast<double>(Pow10Wide(x.scale)));
        } else {
            SetAsLargeInt(static_cast<std::int64_t>(Rescale(x.dec, x.scale, 0)));
        }
        return;
    case TMemVariant::Text:
        SetValueText(x.text);
        return;
    }
}

void TField::AssignValue(const TField& source) {
    if (IsBlob() && source.IsBlob()) {
        if (source.ValueIsNull()) {
            ClearValue();
            return;
        }
        const std::string bytes = source.BlobBytes();
        TMemBlobStream stream(*this, TBlobStreamMode::Write);
        stream.Write(bytes);
        stream.Close();
        return;
    }
    SetAsVariant(source.AsVariant());
}

std::unique_ptr<TMemBlobStream> TField::OpenBlobStream(TBlobStreamMode mode) { return std::make_unique<TMemBlobStream>(*this, mode); }

// ---------------------------------------------------------------- blob stream

TMemBlobStream::TMemBlobStream(TField& field, TBlobStreamMode mode) : field_(&field) {
    if (mode == TBlobStreamMode::Write) {
        modified_ = true;
    } else {
        data_ = field.BlobBytes();
    }
}

TMemBlobStream::~TMemBlobStream() { Close(); }

size_t TMemBlobStream::Read(void* buffer, size_t count) {
    const size_t n = std::min(count, data_.size() - pos_);
    if (n) std::memcpy(buffer, data_.data() + pos_, n);
    pos_ += n;
    return n;
}

void TMemBlobStream::Write(const void* buffer, size_t count) {
    if (pos_ + count > data_.size()) data_.resize(pos_ + count);
    if (count) std::memcpy(data_.data() + pos_, buffer, count);
    pos_ += count;
    modified_ = true;
}

void TMemBlobStream::Close() {
    if (closed_) return;
    closed_ = true;
    TMemCustomDataSet& ds = *field_->ds_;
    if (!modified_ || (ds.state_ != TDataSetState::Edit && ds.state_ != TDataSetState::Insert)) return;
    try {
        std::uint8_t* v = ds.WriteValues();
        std::uint8_t* slot = v + field_->offset_;
        const std::int32_t id = Load<std::int32_t>(slot);
        auto& fresh = ds.pendingNewBlobs_;
        const bool ours = id > 0 && std::find(fresh.begin(), fresh.end(), id) != fresh.end();
        if (ours) {
            // Written before in this same edit: replace in place.
            ds.store_.PutBlob(id, field_->fieldNo_, data_);
        } else if (!(ds.state_ == TDataSetState::Insert && data_.empty())) {
            // A blob the row had before this edit stays until the post, so a cancel keeps it.
            if (id > 0) ds.pendingOldBlobs_.push_back(id);
            if (data_.empty()) {
                Store<std::int32_t>(slot, 0);
            } else {
                const std::int32_t nid = ds.store_.NewBlobId();
                ds.store_.PutBlob(nid, field_->fieldNo_, data_);
                fresh.push_back(nid);
                Store<std::int32_t>(slot, nid);
            }
        }
        // An empty value is a value, not a null (a null comes from ClearValue).
        SetFlag(v, field_->nullWord_, field_->nullBit_, true);
        ds.FieldWritten(*field_);
    } catch (const std::exception& e) {
        if (auto& handler = TMemCustomDataSet::BlobErrorHandler()) handler(e);
    }
}
