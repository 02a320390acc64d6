// Statements the interpreter runs itself: DECLARE, SET, PRINT, RAISERROR, THROW, USE, WAITFOR,
// transactions, and the benchmark row generator.
#include "Session.h"
#include "SqliteUtil.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

std::string FormatRaiserror(const std::string& fmt, const std::vector<SqlValue>& args) {
    std::string out;
    size_t a = 0;
    for (size_t i = 0; i < fmt.size(); ++i) {
        if (fmt[i] != '%') {
            out += fmt[i];
            continue;
        }
        if (i + 1 < fmt.size() && fmt[i + 1] == '%') {
            out += '%';
            ++i;
            continue;
        }
        size_t j = i + 1;
        while (j < fmt.size() && std::strchr("-+ #0123456789.*lhI", fmt[j])) ++j;
        if (j >= fmt.size()) {
            out += fmt.substr(i);
            break;
        }
        const char conv = fmt[j];
        const SqlValue v = a < args.size() ? args[a++] : SqlValue{};
        if (conv == 'd' || conv == 'i')
            out += std::to_string(v.type == SqlValue::Integer ? v.i : std::strtoll(v.AsText().c_str(), nullptr, 10));
        else if (conv == 'u')
            out += std::to_string(static_cast<unsigned long long>(v.i));
        else if (conv == 'x' || conv == 'X') {
            char buf[32];
            std::snprintf(buf, sizeof buf, conv == 'x' ? "%llx" : "%llX", static_cast<unsigned long long>(v.i));
            out += buf;
        } else
            out += v.type == SqlValue::Null ? "(null)" : v.AsText();
        i = j;
    }
    return out;
}

// ---------------------------------------------------------------- other statements

void Session::ExecDeclare(const std::vector<Token>& t, int line) {
    for (auto& part : SplitCommas(t, 1, t.size())) {
        if (part.empty() || part[0].kind != Token::Variable) throw SqlError{102, 15, 1, "Incorrect syntax near 'DECLARE'.", line, "", true};
        size_t i = 1;
        if (i < part.size() && part[i].Is("AS")) ++i;
        if (i < part.size() && part[i].Is("CURSOR"))
            throw SqlError{40000, 16, 1, "Cursors are not supported by the stand-in.", line, "", true};
        const bool table = i < part.size() && part[i].Is("TABLE");
        const size_t end = table ? part.size() : TypeEnd(part, i);
        Variable v;
        if (!table) {
            v.type = TypeOf(part, i, end);
            CheckTypeSize(v.type, line);
        }
        if (FindVar(part[0].value) || scopes_.back().tables.count(part[0].value))
            throw SqlError{134,
                           15,
                           1,
                           "The variable name '" + part[0].text +
                               "' has already been declared. Variable names must be unique within a query batch or stored procedure.",
                           line,
                           "",
                           true};
        if (table) {
            DeclareTableVariable(part, i, line);
            continue;
        }
        // Declared before its value is computed: a value that fails to convert leaves it NULL.
        scopes_.back().vars[part[0].value] = v;
        if (end < part.size() && part[end].IsOp("=")) {
            const std::vector<Token> expr(part.begin() + static_cast<std::ptrdiff_t>(end) + 1, part.end());
            if (v.type.kind == SqlType::Variant) VariantTakesBase(v, expr, expr);
            v.value = AssignedValue(v.type, Eval(expr, line), TextFormInto(v.type, expr, expr), line);
            scopes_.back().vars[part[0].value] = std::move(v);
        }
        if (end < part.size()) AssignDone(1);
    }
}

void Session::ExecSet(const std::vector<Token>& t, int line) {
    if (t.size() >= 3 && t[1].kind == Token::Variable) {
        Variable* v = FindVar(t[1].value);
        if (!v) throw SqlError{137, 15, 1, "Must declare the scalar variable \"" + t[1].text + "\".", line, "", true};
        std::vector<Token> expr(t.begin() + 3, t.end());
        if (t[2].kind == Token::Op && t[2].text.size() == 2 && t[2].text[1] == '=') {
            // SET @x += e  ->  @x + (e)
            std::vector<Token> combined = {t[1], MakeToken(Token::Op, std::string(1, t[2].text[0])), MakeToken(Token::Op, "(")};
            combined.insert(combined.end(), expr.begin(), expr.end());
            combined.push_back(MakeToken(Token::Op, ")"));
            expr = combined;
        }
        if (v->type.kind == SqlType::Variant) VariantTakesBase(*v, expr, expr);
        v->value = AssignedValue(v->type, Eval(expr, line), TextFormInto(v->type, expr, expr), line);
        AssignDone(1);
        return;
    }
    if (t.size() >= 3 && t[1].Is("NOCOUNT")) {
        nocount_ = t[2].Is("ON");
        return;
    }
    if (t.size() >= 3 && t[1].Is("TEXTSIZE")) {
        const long long n = std::strtoll(t[2].text.c_str(), nullptr, 10);
        textSize_ = n <= 0 ? 2147483647 : n;
        return;
    }
    if (SetDateOption(t, line)) return;
    if (t.size() >= 3 && t[1].Is("ANSI_WARNINGS")) {
        ansiWarnings_ = t[2].Is("ON");
        return;
    }
    if (t.size() >= 3 && t[1].Is("XACT_ABORT")) {
        xactAbort_ = t[2].Is("ON");
        return;
    }
    if (t.size() >= 3 && t[1].Is("FMTONLY")) {
        fmtonly_ = t[2].Is("ON");
        return;
    }
    if (t.size() >= 4 && t[1].Is("IDENTITY_INSERT")) return SetIdentityInsert(t, line);
    // Session options the stand-in does not model are accepted and ignored.
}

void Session::ExecPrint(const std::vector<Token>& t, int line) {
    // The value as it converts to varchar: money with two decimals, datetime in style 0.
    const std::vector<Token> expr(t.begin() + 1, t.end());
    const SqlType text = SqlType::Of(SqlType::VarChar, 8000);
    const SqlValue v = AssignedValue(text, Eval(expr, line), TextFormInto(text, expr, expr), line);
    Info(0, 1, 0, v.AsText(), line);
}

void Session::ExecRaiserror(const std::vector<Token>& t, int line) {
    if (t.size() < 3 || !t[1].IsOp("(")) throw SqlError{102, 15, 1, "Incorrect syntax near 'RAISERROR'.", line, "", true};
    const size_t close = MatchParen(t, 1);
    auto args = SplitCommas(t, 2, close);
    if (args.size() < 3) throw SqlError{102, 15, 1, "Incorrect syntax near ')'.", line, "", true};
    std::vector<SqlValue> vals;
    for (auto& a : args) vals.push_back(Eval(a, line));
    const int severity = static_cast<int>(std::strtol(vals[1].AsText().c_str(), nullptr, 10));
    const int state = static_cast<int>(std::strtol(vals[2].AsText().c_str(), nullptr, 10));
    std::string msg;
    int number = 50000;
    if (vals[0].type == SqlValue::Integer) {
        number = static_cast<int>(vals[0].i);
        msg = "Error " + std::to_string(number) + ", severity " + std::to_string(severity) + ", state " + std::to_string(state) +
              " was raised, but no message with that error number was found in sys.messages. If error is larger than 50000, make sure the "
              "user-defined message is added using sp_addmessage.";
        number = 18054;
    } else {
        msg = FormatRaiserror(vals[0].AsText(), std::vector<SqlValue>(vals.begin() + 3, vals.end()));
    }
    if (severity <= 10) {
        Info(number, state, severity, msg, line);
        // WITH NOWAIT: the client gets the message now, not when the packet fills.
        for (size_t k = close + 1; k < t.size(); ++k)
            if (t[k].Is("NOWAIT")) out_.Flush();
        return;
    }
    bool withLog = false;
    for (size_t k = close + 1; k + 1 < t.size(); ++k) withLog = withLog || (t[k].Is("WITH") && t[k + 1].Is("LOG"));
    for (size_t k = close + 1; k < t.size(); ++k) withLog = withLog || t[k].Is("LOG");
    if (severity > 18 && !withLog)
        throw SqlError{
            2754, 16,
            1,    "Error severity levels greater than 18 can only be specified by members of the sysadmin role, using the WITH LOG option.",
            line, "",
            false};
    if (severity >= 20) {
        // A fatal error: the client gets it, then the connection ends.
        EmitError(
            SqlError{number, std::min(severity, 25), state, msg, line, scopes_.empty() ? std::string() : scopes_.back().procedure, true});
        throw EndConnection{};
    }
    throw SqlError{number, std::min(severity, 25), state, msg, line, "", false, true};
}

void Session::ExecThrow(const std::vector<Token>& t, int line) {
    if (t.size() == 1) {
        if (catches_.empty())
            throw SqlError{10704, 15, 1, "To rethrow an error, a THROW statement must be used inside a CATCH block.", line, "", true};
        throw catches_.back().error;
    }
    auto args = SplitCommas(t, 1, t.size());
    if (args.size() != 3) throw SqlError{102, 15, 1, "Incorrect syntax near 'THROW'.", line, "", true};
    SqlError e;
    e.number = static_cast<int>(Eval(args[0], line).i);
    e.message = Eval(args[1], line).AsText();
    e.state = static_cast<int>(Eval(args[2], line).i);
    e.severity = 16;
    e.line = line;
    throw e;
}

void Session::ExecUse(const std::vector<Token>& t, int line) {
    if (t.size() < 2) throw SqlError{102, 15, 1, "Incorrect syntax near 'USE'.", line, "", true};
    const std::string want = NameOf(t[1]);
    const std::string name = server_.CanonicalDatabase(want);
    if (name.empty())
        throw SqlError{911, 16, 1, "Database '" + want + "' does not exist. Make sure that the name is entered correctly.", line, "", true};
    const std::string old = dbName_;
    // A session's transaction lives in its database's handle: moving to another would roll it back
    // unseen. USE of the database in use changes nothing but says so.
    if (db_ && name != dbName_ && tranCount_ > 0)
        throw SqlError{40000, 16, 1, "USE of another database inside a transaction is not supported by the stand-in.", line, "", false};
    if (!db_ || name != dbName_) OpenHandle(name);
    out_.DatabaseChanged(name, old);
    Info(5701, 1, 0, "Changed database context to '" + name + "'.", line);
}

void Session::ExecWaitfor(const std::vector<Token>& t, int line) {
    if (t.size() < 3 || !(t[1].Is("DELAY") || t[1].Is("TIME")))
        throw SqlError{102, 15, 1, "Incorrect syntax near 'WAITFOR'.", line, "", true};
    const std::string text = Eval(std::vector<Token>(t.begin() + 2, t.end()), line).AsText();
    // hh:mm[:ss[.fff]] within a day; anything else is not a time.
    int h = 0, m = 0, s = 0, ms = 0;
    {
        const char* c = text.c_str();
        while (*c == ' ') ++c;
        auto num = [&](int maxDigits, int& out) {
            int digits = 0;
            out = 0;
            while (*c >= '0' && *c <= '9' && digits < maxDigits) out = out * 10 + (*c++ - '0'), ++digits;
            return digits > 0;
        };
        bool ok = num(2, h) && *c++ == ':' && num(2, m);
        if (ok && *c == ':') {
            ++c;
            ok = num(2, s);
            if (ok && *c == '.') {
                ++c;
                int digits = 0;
                while (*c >= '0' && *c <= '9') {
                    if (digits < 3) ms = ms * 10 + (*c - '0');
                    ++digits;
                    ++c;
                }
                for (; digits < 3; ++digits) ms *= 10;
            }
        }
        while (*c == ' ') ++c;
        if (!ok || *c != '\0' || h > 23 || m > 59 || s > 59)
            throw SqlError{241, 16, 1, "Conversion failed when converting date and/or time from character string.", line, "", false};
    }
    auto total = std::chrono::milliseconds((h * 3600LL + m * 60LL + s) * 1000LL + ms);
    if (t[1].Is("TIME")) {
        const std::time_t now = std::time(nullptr);
        std::tm tmv{};
        localtime_r(&now, &tmv);
        long long secs = h * 3600LL + m * 60LL + s - (tmv.tm_hour * 3600LL + tmv.tm_min * 60LL + tmv.tm_sec);
        if (secs < 0) secs += 86400;
        total = std::chrono::milliseconds(secs * 1000);
    }
    const auto until = std::chrono::steady_clock::now() + total;
    while (std::chrono::steady_clock::now() < until) {
        if (attention_ && attention_()) throw Attention{};
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void Session::ExecTransaction(const std::string& word, int line, const std::vector<Token>* t) {
    // The name after TRAN, TRANSACTION or WORK (BEGIN DISTRIBUTED TRANSACTION too), or after the
    // verb itself; a variable gives its value. Names compare case-sensitively, as on SQL Server.
    std::string name;
    if (t) {
        size_t i = 1;
        if (i < t->size() && (*t)[i].Is("DISTRIBUTED")) ++i;
        if (i < t->size() && ((*t)[i].Is("TRAN") || (*t)[i].Is("TRANSACTION") || (*t)[i].Is("WORK"))) ++i;
        if (i < t->size() && (*t)[i].kind == Token::Variable)
            name = Eval({(*t)[i]}, line).AsText();
        else if (i < t->size() && (*t)[i].IsName() && !(*t)[i].Is("WITH"))
            name = NameOf((*t)[i]);
    }
    auto savepoint = [](const std::string& n) { return QuoteIdent("sandbox_save_" + n); };
    if (word == "ROLLBACK" && !name.empty() && tranCount_ > 0) {
        const auto it = std::find(savepoints_.rbegin(), savepoints_.rend(), name);
        if (it != savepoints_.rend()) {
            // To the savepoint: the transaction and @@TRANCOUNT stay; later savepoints go.
            sqlite3_exec(db_, ("ROLLBACK TO " + savepoint(name)).c_str(), nullptr, nullptr, nullptr);
            savepoints_.erase(it.base(), savepoints_.end());
            return;
        }
        if (name != tranName_)
            throw SqlError{6401, 16, 1, "Cannot roll back " + name + ". No transaction or savepoint of that name was found.", line, "", false};
    }
    if (word == "ROLLBACK" && RollbackInTrigger()) return;
    if (word == "BEGIN") {
        if (tranCount_++ == 0) {
            sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
            ++tranId_;
            tranName_ = name;
            savepoints_.clear();
            out_.Transaction(TranEvent::Begin, tranId_);
        }
        return;
    }
    if (word == "SAVE") {
        if (tranCount_ == 0)
            throw SqlError{628, 16, 0, "Cannot issue SAVE TRANSACTION when there is no active transaction.", line, "", false};
        if (name.empty()) throw SqlError{102, 15, 1, "Incorrect syntax near 'SAVE'.", line, "", true};
        sqlite3_exec(db_, ("SAVEPOINT " + savepoint(name)).c_str(), nullptr, nullptr, nullptr);
        savepoints_.push_back(name);
        return;
    }
    if (tranCount_ == 0) {
        if (word == "COMMIT")
            throw SqlError{3902, 16, 1, "The COMMIT TRANSACTION request has no corresponding BEGIN TRANSACTION.", line, "", false};
        throw SqlError{3903, 16, 1, "The ROLLBACK TRANSACTION request has no corresponding BEGIN TRANSACTION.", line, "", false};
    }
    if (word == "COMMIT") {
        if (--tranCount_ == 0) {
            sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
            out_.Transaction(TranEvent::Commit, tranId_);
        }
        return;
    }
    tranCount_ = 0;
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    out_.Transaction(TranEvent::Rollback, tranId_);
}

void Session::ResetConnection(bool keepTransaction) {
    if (tranCount_ > 0 && !keepTransaction) {
        tranCount_ = 0;
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        out_.Transaction(TranEvent::Rollback, tranId_);
    }
    nocount_ = false;
    fmtonly_ = false;
    identityInsert_.clear();
    ansiWarnings_ = true;
    xactAbort_ = false;
    language_ = "us_english";
    dateOrder_ = "mdy";
    dateFirst_ = 7;
    langId_ = 0;
    textSize_ = 2147483647;
    prepared_.clear();
}

void Session::TransactionRequest(int type, bool beginNew) {
    try {
        if (type == 5) {
            ExecTransaction("BEGIN", 1);
        } else if (type == 7 || type == 8) {
            // A commit request ends one level, as COMMIT TRANSACTION does; a rollback ends them all.
            if (tranCount_ > 0) ExecTransaction(type == 7 ? "COMMIT" : "ROLLBACK", 1);
            if (beginNew && tranCount_ == 0) ExecTransaction("BEGIN", 1);
        }
    } catch (const SqlError& e) {
        EmitError(e);
        return;
    }
    Done(0, 0, 0);
}

// A built-in row generator for benchmarks: rows of eight typed columns computed from the row
// number, streamed without SQLite in between.
void Session::GenerateRows(long count) {
    const std::vector<SqlColumn> cols = {
        {"id", SqlType::Of(SqlType::Int), false, false},
        {"big", SqlType::Of(SqlType::BigInt), true, false},
        {"name", SqlType::Of(SqlType::VarChar, 50), true, false},
        {"wide_name", SqlType::Of(SqlType::NVarChar, 50), true, false},
        {"amount", SqlType::Of(SqlType::Decimal, 0, 18, 4), true, false},
        {"created", SqlType::Of(SqlType::DateTime), true, false},
        {"ratio", SqlType::Of(SqlType::Float), true, false},
        {"flag", SqlType::Of(SqlType::Bit), true, false},
    };
    out_.Columns(cols);
    if (fmtonly_) {  // the description only, as for any query under SET FMTONLY ON
        Done(0, kCmdSelect, 0);
        return;
    }
    std::vector<SqlValue> v(cols.size());
    // Zero-padded decimal digits written by hand: the generator must cost far less than a client.
    auto digits = [](std::string& out, long long x, int width) {
        char tmp[24];
        int n = 0;
        do {
            tmp[n++] = static_cast<char>('0' + x % 10);
            x /= 10;
        } while (x > 0);
        for (int k = n; k < width; ++k) out += '0';
        while (n > 0) out += tmp[--n];
    };
    for (int k = 2; k <= 5; ++k) v[static_cast<size_t>(k)].type = SqlValue::Text;
    for (long i = 1; i <= count; ++i) {
        v[0] = SqlValue::FromInt(i);
        v[1] = SqlValue::FromInt(static_cast<std::int64_t>(i) * 3000000007LL);
        v[2].s.assign("customer_name_");
        digits(v[2].s, i, 7);
        v[3].s.assign("wide_n\xC3\xA4me_");
        digits(v[3].s, i, 7);
        const long long cents = static_cast<long long>(i) * 12345;
        v[4].s.clear();
        digits(v[4].s, cents / 10000, 1);
        v[4].s += '.';
        digits(v[4].s, cents % 10000, 4);
        const long secs = i % 86400;
        v[5].s.assign("2024-");
        digits(v[5].s, 1 + (i / 86400) % 12, 2);
        v[5].s += '-';
        digits(v[5].s, 1 + (i / 3600) % 28, 2);
        v[5].s += ' ';
        digits(v[5].s, secs / 3600, 2);
        v[5].s += ':';
        digits(v[5].s, secs / 60 % 60, 2);
        v[5].s += ':';
        digits(v[5].s, secs % 60, 2);
        v[6] = SqlValue::FromReal(static_cast<double>(i) / 7.0);
        v[7] = SqlValue::FromInt(i % 2);
        out_.Row(cols, v);
        if ((i & 1023) == 0) {
            if (out_.Failed()) throw DropConnection{};
            if (attention_ && attention_()) throw Attention{};
        }
    }
    Done(kDoneCount, kCmdSelect, static_cast<std::uint64_t>(count));
}
