// printf-style formatting over texts and integers, checked at run time: a placeholder that does not
// match its argument raises EConvertError before anything is produced.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

class NbFormatArg {
public:
    NbFormatArg(std::string_view s) : v_(s) {}
    NbFormatArg(const std::string& s) : v_(std::string_view(s)) {}
    NbFormatArg(const char* s) : v_(std::string_view(s ? s : "")) {}
    template <typename T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
    NbFormatArg(T i) : v_(static_cast<std::int64_t>(i)) {}

    bool IsText() const { return std::holds_alternative<std::string_view>(v_); }
    std::string_view Text() const { return std::get<std::string_view>(v_); }
    std::int64_t Int() const { return std::get<std::int64_t>(v_); }

private:
    std::variant<std::string_view, std::int64_t> v_;
};

// Supports %s, %d, %u, %x, %X and %% with an optional "-" or "0" flag, width and, for %s, precision.
std::string NbFormatList(std::string_view format, std::initializer_list<NbFormatArg> args);

template <typename... Args>
std::string NbFormat(std::string_view format, const Args&... args) {
    return NbFormatList(format, {NbFormatArg(args)...});
}
