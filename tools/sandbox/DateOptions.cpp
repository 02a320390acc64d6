// The session's date settings: SET LANGUAGE (its date order and first day of the week), SET
// DATEFORMAT and SET DATEFIRST.
#include "Session.h"

#include <cctype>
#include <cstdlib>

namespace {

struct Language {
    const char* name;   // as @@LANGUAGE gives it
    const char* alias;  // the English name SET LANGUAGE also accepts
    int id;
    const char* order;
    int dateFirst;
};

// The languages whose month names are English.
const Language kLanguages[] = {
    {"us_english", "English", 0, "mdy", 7},
    {"British", "British English", 23, "dmy", 1},
};

}  // namespace

bool Session::SetDateOption(const std::vector<Token>& t, int line) {
    if (t.size() < 3) return false;
    auto word = [&]() {
        if (t[2].kind == Token::Variable) return Eval({t[2]}, line).AsText();
        return t[2].kind == Token::String || t[2].kind == Token::Bracketed || t[2].kind == Token::Quoted ? t[2].value : t[2].text;
    };
    if (t[1].Is("LANGUAGE")) {
        const std::string want = word();
        for (const Language& l : kLanguages) {
            if (!SameNoCase(want, l.name) && !SameNoCase(want, l.alias)) continue;
            const std::string old = language_;
            language_ = l.name;
            langId_ = l.id;
            dateOrder_ = l.order;
            dateFirst_ = l.dateFirst;
            out_.LanguageChanged(language_, old);
            Info(5703, 1, 0, "Changed language setting to " + language_ + ".", line);
            return true;
        }
        throw SqlError{2732, 16, 1, "Error: Language '" + want + "' is not supported.", line, "", false};
    }
    if (t[1].Is("DATEFORMAT")) {
        std::string order = word();
        for (char& c : order) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        static const char* const kOrders[] = {"mdy", "dmy", "ymd", "ydm", "myd", "dym"};
        for (const char* o : kOrders)
            if (order == o) {
                dateOrder_ = order;
                return true;
            }
        throw SqlError{2741, 16, 1, "SET DATEFORMAT date order '" + word() + "' is invalid.", line, "", false};
    }
    if (t[1].Is("DATEFIRST")) {
        const long n = std::strtol(word().c_str(), nullptr, 10);
        if (n < 1 || n > 7)
            throw SqlError{2738, 16, 1, "SET DATEFIRST " + word() + " is out of range.", line, "", false};
        dateFirst_ = static_cast<int>(n);
        return true;
    }
    return false;
}
