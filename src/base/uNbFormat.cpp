#include "uNbFormat.h"

#include "uNbExceptions.h"

#include <charconv>

namespace {

[[noreturn]] void Invalid(std::string_view format) {
    throw EConvertError("Format '" + std::string(format) + "' invalid or incompatible with argument");
}

void Pad(std::string& out, std::string_view body, int width, bool left, bool zero = false) {
    const int fill = width - static_cast<int>(body.size());
    if (fill > 0 && !left && zero) {
        // Zeros go after the sign.
        if (!body.empty() && body[0] == '-') {
            out.push_back('-');
            body.remove_prefix(1);
        }
        out.append(static_cast<size_t>(fill), '0');
    } else if (fill > 0 && !left) {
        out.append(static_cast<size_t>(fill), ' ');
    }
    out.append(body);
    if (fill > 0 && left) out.append(static_cast<size_t>(fill), ' ');
}

}  // namespace

std::string NbFormatList(std::string_view format, std::initializer_list<NbFormatArg> args) {
    std::string out;
    out.reserve(format.size() + 16 * args.size());
    auto next = args.begin();
    for (size_t i = 0; i < format.size(); ++i) {
        const char c = format[i];
        if (c != '%') {
            out.push_back(c);
            continue;
        }
        if (++i >= format.size()) Invalid(format);
        if (format[i] == '%') {
            out.push_back('%');
            continue;
        }
        bool left = false;
        if (format[i] == '-') {
            left = true;
            if (++i >= format.size()) Invalid(format);
        }
        bool zero = false;
        if (format[i] == '0') {
            zero = true;
            ++i;
        }
        int width = 0;
        while (i < format.size() && format[i] >= '0' && format[i] <= '9') width = width * 10 + (format[i++] - '0');
        int precision = -1;
        if (i < format.size() && format[i] == '.') {
            precision = 0;
            ++i;
            while (i < format.size() && format[i] >= '0' && format[i] <= '9') precision = precision * 10 + (format[i++] - '0');
        }
        if (i >= format.size() || next == args.end()) Invalid(format);
        const NbFormatArg& arg = *next++;
        char buf[32];
        switch (format[i]) {
        case 's': {
            if (!arg.IsText()) Invalid(format);
            std::string_view t = arg.Text();
            if (precision >= 0 && static_cast<size_t>(precision) < t.size()) t = t.substr(0, static_cast<size_t>(precision));
            Pad(out, t, width, left);
            break;
        }
        case 'd':
        case 'u':
        case 'x':
        case 'X': {
            if (arg.IsText()) Invalid(format);
            const int base = (format[i] == 'd' || format[i] == 'u') ? 10 : 16;
            std::to_chars_result r;
            if (format[i] == 'd')
                r = std::to_chars(buf, buf + sizeof buf, arg.Int(), base);
            else
                r = std::to_chars(buf, buf + sizeof buf, static_cast<std::uint64_t>(arg.Int()), base);
            std::string_view body(buf, static_cast<size_t>(r.ptr - buf));
            if (format[i] == 'X')
                for (char* p = buf; p != r.ptr; ++p)
                    if (*p >= 'a' && *p <= 'f') *p = static_cast<char>(*p - 'a' + 'A');
            Pad(out, body, width, left, zero);
            break;
        }
        default:
            Invalid(format);
        }
    }
    return out;
}
