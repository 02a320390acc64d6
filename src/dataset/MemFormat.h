// The regional settings that value and display texts use, and the conversions between values and
// texts that follow them. One process-wide settings object, read from the process locale once; the
// CSV export and the XML import use another short date format and date separator on their own
// threads for their duration.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

__extension__ typedef __int128 TMemInt128;
__extension__ typedef unsigned __int128 TMemUInt128;

// Days since 1899-12-30, the fraction being the time of day.
using TDateTime = double;

struct TFormatSettings {
    std::string ShortDateFormat = "M/d/yyyy";
    std::string DateSeparator = "/";
    std::string LongTimeFormat = "h:mm:ss AMPM";
    std::string TimeSeparator = ":";
    std::string TimeAMString = "AM";
    std::string TimePMString = "PM";
    std::string DecimalSeparator = ".";
    std::string ThousandSeparator = ",";
    std::string CurrencyString = "$";
    int CurrencyFormat = 0;  // 0 "$1", 1 "1$", 2 "$ 1", 3 "1 $"
    int NegCurrFormat = 0;   // 0 "($1)", 1 "-$1", 2 "$-1", 3 "$1-", 4 "(1$)", 5 "-1$", 6 "1-$", 7 "1$-", 8 "-1 $", 9 "-$ 1"
    int CurrencyDecimals = 2;
};

// The settings of this thread: the process-wide ones, unless a swap is in force on this thread.
TFormatSettings& FormatSettings();

// Reads the settings from the process locale (LC_TIME, LC_NUMERIC, LC_MONETARY). The C and POSIX
// locales give the defaults above.
TFormatSettings FormatSettingsFromLocale();

// Replaces the short date format and date separator for this thread until destroyed, also when the
// work in between fails. Other threads keep formatting with the process-wide settings, so a window
// painting dates is not disturbed by an export running beside it.
class TFormatSettingsSwap {
public:
    TFormatSettingsSwap(std::string shortDateFormat, std::string dateSeparator);
    ~TFormatSettingsSwap();
    TFormatSettingsSwap(const TFormatSettingsSwap&) = delete;
    TFormatSettingsSwap& operator=(const TFormatSettingsSwap&) = delete;
    // The settings in force, for helper threads of the swapping thread (TFormatSettingsUse).
    TFormatSettings& Settings() { return mine_; }

private:
    TFormatSettings mine_;
    TFormatSettings* saved_;
};

// Makes this thread format with the given settings until destroyed: a helper thread doing part of
// the work of a thread with a swap in force.
class TFormatSettingsUse {
public:
    explicit TFormatSettingsUse(TFormatSettings& settings);
    ~TFormatSettingsUse();
    TFormatSettingsUse(const TFormatSettingsUse&) = delete;
    TFormatSettingsUse& operator=(const TFormatSettingsUse&) = delete;

private:
    TFormatSettings* saved_;
};

// Calendar helpers (proleptic Gregorian).
bool TryEncodeDate(int year, int month, int day, TDateTime& out);
bool TryEncodeTime(int hour, int minute, int second, int ms, TDateTime& out);
void DecodeDateTime(TDateTime dt, int& year, int& month, int& day, int& hour, int& minute, int& second, int& ms);

// Formats with Delphi-style tokens (d, dd, m, mm, yy, yyyy, h, hh, n, nn, s, ss, z, zzz, am/pm,
// ampm, tt, "/" for the date separator, ":" for the time separator, quoted literals).
std::string FormatDateTime(std::string_view format, TDateTime dt);

std::string DateToText(TDateTime dt);      // short date format
std::string TimeToText(TDateTime dt);      // long time format
std::string DateTimeToText(TDateTime dt);  // date, and the time when it is not midnight
void AppendDateTimeText(std::string& out, TDateTime dt);

std::optional<TDateTime> TextToDate(std::string_view text);
std::optional<TDateTime> TextToTime(std::string_view text);
std::optional<TDateTime> TextToDateTime(std::string_view text);

// General format, at most 15 significant digits, the user's decimal separator.
std::string FloatToText(double value);
// The user's currency format with thousands separators and the currency decimals.
std::string CurrencyToText(double value);
std::optional<double> TextToFloat(std::string_view text);
std::optional<std::int64_t> TextToInt(std::string_view text);

// Exact decimals: an unscaled value and a scale. ftBCD uses scale 4 in an int64.
std::string DecimalToText(TMemInt128 unscaled, int scale, bool trimZeros);
// Parses a plain decimal text (user's separator, or "." as well), rounding half away from zero to
// the scale; fails on more than 38 significant digits or malformed text.
std::optional<TMemInt128> TextToDecimal(std::string_view text, int scale);
