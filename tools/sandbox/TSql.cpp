#include "TSql.h"

#include <algorithm>
#include <cctype>
#include <set>

namespace {

// The process keeps the C locale: toupper changes ASCII letters only.
char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

std::string Upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = UpperAscii(c);
    return out;
}

bool SameNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
    return true;
}

std::string SqlLiteral(std::string_view s, std::string_view prefix) {
    std::string out;
    out.reserve(prefix.size() + s.size() + 2);
    out += prefix;
    out += '\'';
    for (size_t i = 0;;) {
        const size_t quote = s.find('\'', i);
        out.append(s.substr(i, quote == std::string_view::npos ? std::string_view::npos : quote + 1 - i));
        if (quote == std::string_view::npos) break;
        out += '\'';
        i = quote + 1;
    }
    out += '\'';
    return out;
}

namespace {

bool IsIdentStart(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) || c == '_' || c == '#' || static_cast<unsigned char>(c) >= 0x80;
}
bool IsIdentChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '#' || c == '$' || static_cast<unsigned char>(c) >= 0x80;
}

}  // namespace

bool ReadQuoted(std::string_view s, size_t& i, char close, std::string& value) {
    while (i < s.size()) {
        const size_t at = s.find(close, i);
        if (at == std::string_view::npos) {
            value.append(s.substr(i));
            i = s.size();
            return false;
        }
        value.append(s.substr(i, at - i));
        i = at + 1;
        if (i < s.size() && s[i] == close) {  // doubled, it stands for itself
            value += close;
            ++i;
            continue;
        }
        return true;
    }
    return false;
}

std::vector<Token> Tokenize(std::string_view s, ParseError* problem) {
    std::vector<Token> out;
    out.reserve(s.size() / 8 + 16);
    size_t i = 0;
    int line = 1;
    bool space = false;
    auto push = [&](Token::Kind k, size_t start, std::string value) {
        Token t;
        t.kind = k;
        t.text = std::string(s.substr(start, i - start));
        t.value = std::move(value);
        t.line = line;
        t.pos = start;
        t.spaceBefore = space;
        for (char c : t.text)
            if (c == '\n') ++line;
        // The token's line is where it starts.
        out.push_back(std::move(t));
        space = false;
    };
    while (i < s.size()) {
        const char c = s[i];
        if (c == '\n') {
            ++line;
            ++i;
            space = true;
            continue;
        }
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
            space = true;
            continue;
        }
        if (c == '-' && i + 1 < s.size() && s[i + 1] == '-') {
            while (i < s.size() && s[i] != '\n') ++i;
            space = true;
            continue;
        }
        if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
            i += 2;
            int depth = 1;
            while (i < s.size() && depth > 0) {
                if (s[i] == '\n') ++line;
                if (s[i] == '/' && i + 1 < s.size() && s[i + 1] == '*') {
                    depth++;
                    i += 2;
                    continue;
                }
                if (s[i] == '*' && i + 1 < s.size() && s[i + 1] == '/') {
                    depth--;
                    i += 2;
                    continue;
                }
                ++i;
            }
            if (depth > 0 && problem && problem->message.empty()) *problem = ParseError{"Missing end comment mark '*/'.", line, 113};
            space = true;
            continue;
        }
        const size_t start = i;
        const int startLine = line;
        if ((c == 'N' || c == 'n') && i + 1 < s.size() && s[i + 1] == '\'') {
            ++i;
        }
        if (s[i] == '\'') {
            std::string v;
            ++i;
            const bool closed = ReadQuoted(s, i, '\'', v);
            if (!closed && problem && problem->message.empty())
                *problem = ParseError{"Unclosed quotation mark after the character string '" + v + "'.", startLine, 105};
            Token t;
            t.kind = Token::String;
            t.text = std::string(s.substr(start, i - start));
            t.value = std::move(v);
            t.national = start != i && (s[start] == 'N' || s[start] == 'n');
            t.line = startLine;
            t.pos = start;
            t.spaceBefore = space;
            line += static_cast<int>(std::count(t.text.begin(), t.text.end(), '\n'));
            out.push_back(std::move(t));
            space = false;
            continue;
        }
        if (c == '[') {
            std::string v;
            ++i;
            const bool closed = ReadQuoted(s, i, ']', v);
            if (!closed && problem && problem->message.empty())
                *problem = ParseError{"Unclosed quotation mark after the character string '" + v + "'.", line, 105};
            push(Token::Bracketed, start, std::move(v));
            continue;
        }
        if (c == '"') {
            ++i;
            const size_t close = std::min(s.find('"', i), s.size());
            std::string v(s.substr(i, close - i));
            i = close < s.size() ? close + 1 : close;
            push(Token::Quoted, start, std::move(v));
            continue;
        }
        if (c == '0' && i + 1 < s.size() && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
            i += 2;
            while (i < s.size() && std::isxdigit(static_cast<unsigned char>(s[i]))) ++i;
            push(Token::Hex, start, std::string(s.substr(start + 2, i - start - 2)));
            continue;
        }
        if (std::isdigit(static_cast<unsigned char>(c)) ||
            (c == '.' && i + 1 < s.size() && std::isdigit(static_cast<unsigned char>(s[i + 1])))) {
            while (i < s.size() && (std::isdigit(static_cast<unsigned char>(s[i])) || s[i] == '.')) ++i;
            if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
                ++i;
                if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
                while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
            }
            push(Token::Number, start, std::string(s.substr(start, i - start)));
            continue;
        }
        if (c == '@') {
            ++i;
            if (i < s.size() && s[i] == '@') ++i;
            while (i < s.size() && IsIdentChar(s[i])) ++i;
            push(Token::Variable, start, Upper(s.substr(start, i - start)));
            continue;
        }
        if (IsIdentStart(c)) {
            while (i < s.size() && IsIdentChar(s[i])) ++i;
            push(Token::Word, start, Upper(s.substr(start, i - start)));
            continue;
        }
        static constexpr std::string_view kTwo[] = {"<>", "!=", ">=", "<=", "!<", "!>", "||", "+=", "-=", "*=", "/="};
        bool two = false;
        if (i + 1 < s.size())
            for (std::string_view op : kTwo)
                if (s[i] == op[0] && s[i + 1] == op[1]) two = true;
        i += two ? 2 : 1;
        push(Token::Op, start, std::string(s.substr(start, i - start)));
    }
    return out;
}

std::string JoinTokens(const std::vector<Token>& tokens, size_t from, size_t to) {
    std::string out;
    to = std::min(to, tokens.size());
    size_t size = 0;
    for (size_t i = from; i < to; ++i) size += tokens[i].text.size() + 1;
    out.reserve(size);
    for (size_t i = from; i < to; ++i) {
        if (i > from && tokens[i].spaceBefore) out += ' ';
        out += tokens[i].text;
    }
    return out;
}

namespace {

const std::set<std::string> kStatementStarts = {"SELECT",   "INSERT",  "UPDATE",  "DELETE", "PRINT", "RAISERROR", "THROW",    "SET",
                                                "DECLARE",  "EXEC",    "EXECUTE", "BEGIN",  "IF",    "WHILE",     "RETURN",   "BREAK",
                                                "CONTINUE", "WAITFOR", "USE",     "CREATE", "ALTER", "DROP",      "TRUNCATE", "COMMIT",
                                                "ROLLBACK", "WITH",    "GOTO",    "MERGE",  "SAVE",
                                                "CHECKPOINT", "GRANT", "DENY", "REVOKE", "OPEN", "FETCH", "CLOSE", "DEALLOCATE", "DBCC"};

class Parser {
public:
    Parser(std::string_view sql, std::vector<Token> tokens) : sql_(sql), t_(std::move(tokens)) {}

    std::vector<std::unique_ptr<Stmt>> All() {
        std::vector<std::unique_ptr<Stmt>> out;
        while (!AtEnd()) {
            if (Peek().IsOp(";")) {
                ++p_;
                continue;
            }
            out.push_back(Statement());
        }
        return out;
    }

private:
    bool AtEnd() const { return p_ >= t_.size(); }
    const Token& Peek(size_t ahead = 0) const {
        static const Token end;
        return p_ + ahead < t_.size() ? t_[p_ + ahead] : end;
    }
    [[noreturn]] void Fail(const Token& near) const {
        throw ParseError{"Incorrect syntax near '" + (near.kind == Token::End ? std::string("end of batch") : near.text) + "'.", near.line};
    }
    void Expect(std::string_view word) {
        if (!Peek().Is(word)) Fail(Peek());
        ++p_;
    }

    std::unique_ptr<Stmt> Statement() {
        const Token& first = Peek();
        auto s = std::make_unique<Stmt>();
        s->line = first.line;
        if (first.Is("BEGIN")) {
            const Token& next = Peek(1);
            if (next.Is("TRY")) {
                p_ += 2;
                s->kind = Stmt::TryCatch;
                s->body = Until("TRY");
                Expect("BEGIN");
                Expect("CATCH");
                s->alt = Until("CATCH");
                return s;
            }
            if (next.Is("TRAN") || next.Is("TRANSACTION") || next.Is("DISTRIBUTED")) return SimpleStatement(std::move(s));
            ++p_;
            s->kind = Stmt::Block;
            s->body = Until("");
            return s;
        }
        if (first.Is("IF") || first.Is("WHILE")) {
            ++p_;
            s->kind = first.Is("IF") ? Stmt::If : Stmt::While;
            int depth = 0;
            while (!AtEnd()) {
                const Token& t = Peek();
                if (t.IsOp("("))
                    depth++;
                else if (t.IsOp(")"))
                    depth--;
                else if (depth == 0 && t.kind == Token::Word && kStatementStarts.count(t.value) && !s->tokens.empty() &&
                         !(t.Is("UPDATE") && Peek(1).IsOp("(")))  // IF UPDATE(a) OR UPDATE(b) in a trigger
                    break;
                s->tokens.push_back(t);
                ++p_;
            }
            if (s->tokens.empty() || AtEnd()) Fail(Peek());
            s->body.push_back(Statement());
            while (Peek().IsOp(";")) ++p_;
            if (s->kind == Stmt::If && Peek().Is("ELSE")) {
                ++p_;
                s->alt.push_back(Statement());
            }
            return s;
        }
        // name: a label that GOTO jumps to.
        if (IsLabel()) {
            s->kind = Stmt::Label;
            s->tokens.push_back(first);
            p_ += 2;
            return s;
        }
        if (((first.Is("CREATE") || first.Is("ALTER")) && IsModule(Peek(1))) ||
            (first.Is("CREATE") && Peek(1).Is("OR") && Peek(2).Is("ALTER") && IsModule(Peek(3)))) {
            s->kind = Stmt::Module;
            s->sourceText = std::string(sql_.substr(first.pos));
            while (!AtEnd()) s->tokens.push_back(std::move(t_[p_++]));
            return s;
        }
        return SimpleStatement(std::move(s));
    }

    // name: (not SCHEMA::name)
    bool IsLabel() const {
        return Peek().kind == Token::Word && !kStatementStarts.count(Peek().value) && Peek(1).IsOp(":") && !Peek(2).IsOp(":");
    }

    static bool IsModule(const Token& t) {
        return t.Is("PROC") || t.Is("PROCEDURE") || t.Is("FUNCTION") || t.Is("TRIGGER") || t.Is("VIEW");
    }

    // Statements up to END (and the given word after it, for END TRY / END CATCH).
    std::vector<std::unique_ptr<Stmt>> Until(std::string_view word) {
        std::vector<std::unique_ptr<Stmt>> out;
        for (;;) {
            if (AtEnd()) Fail(Peek());
            if (Peek().IsOp(";")) {
                ++p_;
                continue;
            }
            if (Peek().Is("END") && (word.empty() || Peek(1).Is(word))) {
                p_ += word.empty() ? 1 : 2;
                return out;
            }
            out.push_back(Statement());
        }
    }

    std::unique_ptr<Stmt> SimpleStatement(std::unique_ptr<Stmt> s) {
        const std::string kind = Peek().kind == Token::Word ? Peek().value : std::string();
        int depth = 0;
        int cases = 0;  // open CASE expressions: their ELSE and END belong to them
        bool sawValues = false;
        while (!AtEnd()) {
            const Token& t = Peek();
            if (t.Is("CASE")) cases++;
            if (depth == 0 && !s->tokens.empty()) {
                if (t.IsOp(";")) break;
                if (IsLabel()) break;
                if (cases == 0 && (t.Is("END") || t.Is("ELSE"))) break;
                if (t.kind == Token::Word && kStatementStarts.count(t.value) && !ContinuesStatement(*s, kind, t, sawValues)) break;
            }
            if (t.IsOp("("))
                depth++;
            else if (t.IsOp(")"))
                depth--;
            if (t.Is("END") && cases > 0) cases--;
            if (t.Is("VALUES")) sawValues = true;
            // The parser never looks back: the token moves into its statement.
            s->tokens.push_back(std::move(t_[p_++]));
        }
        return s;
    }

    // Whether the statement already has its SELECT outside parentheses (INSERT ... SELECT, WITH ... SELECT).
    static bool HasOuterSelect(const Stmt& s) {
        int depth = 0;
        for (const Token& k : s.tokens) {
            if (k.IsOp("(")) depth++;
            if (k.IsOp(")")) depth--;
            if (depth == 0 && k.Is("SELECT")) return true;
        }
        return false;
    }

    bool ContinuesStatement(const Stmt& s, const std::string& kind, const Token& t, bool sawValues) const {
        const Token& prev = s.tokens.back();
        // GRANT SELECT, INSERT ON ...; FOREIGN KEY ... ON DELETE CASCADE.
        if (kind == "GRANT" || kind == "DENY" || kind == "REVOKE") return true;
        // MERGE ... WHEN MATCHED THEN UPDATE SET ... WHEN NOT MATCHED THEN INSERT ...: to its semicolon.
        if (kind == "MERGE") return true;
        if ((kind == "CREATE" || kind == "ALTER") && prev.Is("ON") && (t.Is("DELETE") || t.Is("UPDATE"))) return true;
        // ALTER TABLE t DROP CONSTRAINT|COLUMN ...
        if (kind == "ALTER" && t.Is("DROP") && s.tokens.size() >= 3 && s.tokens[1].Is("TABLE") &&
            std::none_of(s.tokens.begin(), s.tokens.end(), [](const Token& x) { return x.Is("ADD") || x.Is("DROP"); }))
            return true;
        // ORDER BY ... OFFSET n ROWS FETCH NEXT m ROWS ONLY; DECLARE c CURSOR FOR ... FOR UPDATE OF a.
        if (t.Is("FETCH")) return prev.Is("ROWS") || prev.Is("ROW");
        if (t.Is("UPDATE") && kind == "DECLARE" && prev.Is("FOR")) return true;
        if (t.Is("SELECT")) {
            if (prev.Is("UNION") || prev.Is("ALL") || prev.Is("EXCEPT") || prev.Is("INTERSECT") || prev.Is("AS")) return true;
            if (((kind == "INSERT" && !sawValues) || kind == "WITH") && !HasOuterSelect(s)) return true;
            if (kind == "DECLARE" && prev.Is("FOR")) return true;
            if (kind == "CREATE" || kind == "ALTER") return false;
            return false;
        }
        if (t.Is("SET")) return kind == "UPDATE" || (kind == "DELETE" && false);
        if (t.Is("EXEC") || t.Is("EXECUTE")) return kind == "INSERT";
        if (t.Is("WITH")) {
            // A common table expression starts a statement: WITH name AS ( or WITH name (cols) AS (.
            const Token& n1 = Peek(1);
            const Token& n2 = Peek(2);
            return !(n1.IsName() && (n2.Is("AS") || n2.IsOp("(")) && !n1.Is("NOWAIT") && !n1.Is("NOLOCK"));
        }
        if (t.Is("DELETE") || t.Is("INSERT") || t.Is("UPDATE")) return kind == "WITH" && prev.IsOp(")");
        if ((t.Is("BEGIN") || t.Is("COMMIT") || t.Is("ROLLBACK")) && (prev.Is("BEGIN") || prev.Is("COMMIT") || prev.Is("ROLLBACK")))
            return true;
        // DROP TABLE IF EXISTS t; ALTER TABLE t DROP COLUMN IF EXISTS c.
        if (t.Is("IF") && Peek(1).Is("EXISTS") && (prev.Is("TABLE") || prev.Is("VIEW") || prev.Is("PROC") || prev.Is("PROCEDURE") ||
                                                   prev.Is("FUNCTION") || prev.Is("TRIGGER") || prev.Is("INDEX") || prev.Is("TYPE") ||
                                                   prev.Is("DATABASE") || prev.Is("COLUMN") || prev.Is("CONSTRAINT") || prev.Is("SCHEMA") ||
                                                   prev.Is("USER") || prev.Is("ROLE") || prev.Is("SEQUENCE") || prev.Is("SYNONYM")))
            return true;
        if (t.Is("SET") || t.Is("IF")) return false;
        // CREATE TABLE ... ; DROP ...; keep scanning for clauses such as SET in ALTER TABLE.
        if (kind == "ALTER" && t.Is("SET")) return true;
        return false;
    }

    std::string_view sql_;
    std::vector<Token> t_;
    size_t p_ = 0;
};

}  // namespace

namespace {

// Labels are unique within a batch or module, and every GOTO names one of them.
void CollectLabels(const std::vector<std::unique_ptr<Stmt>>& list, std::set<std::string>& labels, std::vector<const Token*>& gotos) {
    for (const auto& s : list) {
        if (s->kind == Stmt::Label) {
            if (!labels.insert(s->tokens[0].value).second)
                throw ParseError{"The label '" + s->tokens[0].text + "' has already been declared. Label names must be unique within a query batch or stored procedure.",
                                 s->line, 132};
        } else if (s->kind == Stmt::Simple && s->tokens.size() >= 2 && s->tokens[0].Is("GOTO")) {
            gotos.push_back(&s->tokens[1]);
        }
        if (s->kind != Stmt::Module) {
            CollectLabels(s->body, labels, gotos);
            CollectLabels(s->alt, labels, gotos);
        }
    }
}

}  // namespace

std::vector<std::unique_ptr<Stmt>> ParseBatch(std::string_view sql) {
    ParseError problem{"", 1};
    std::vector<Token> tokens = Tokenize(sql, &problem);
    if (!problem.message.empty()) throw problem;
    Parser parser(sql, std::move(tokens));
    std::vector<std::unique_ptr<Stmt>> out = parser.All();
    std::set<std::string> labels;
    std::vector<const Token*> gotos;
    CollectLabels(out, labels, gotos);
    for (const Token* g : gotos)
        if (!labels.count(g->value))
            throw ParseError{"A GOTO statement references the label '" + g->text + "' but the label has not been declared.", g->line, 133};
    return out;
}

std::vector<std::vector<Token>> SplitCommas(const std::vector<Token>& t, size_t from, size_t to) {
    std::vector<std::vector<Token>> out(1);
    int depth = 0;
    for (size_t i = from; i < to && i < t.size(); ++i) {
        if (t[i].IsOp("(")) depth++;
        if (t[i].IsOp(")")) depth--;
        if (depth == 0 && t[i].IsOp(",")) {
            out.emplace_back();
            continue;
        }
        out.back().push_back(t[i]);
    }
    if (out.size() == 1 && out[0].empty()) out.clear();
    return out;
}

size_t MatchParen(const std::vector<Token>& t, size_t open) {
    int depth = 0;
    for (size_t i = open; i < t.size(); ++i) {
        if (t[i].IsOp("("))
            depth++;
        else if (t[i].IsOp(")") && --depth == 0)
            return i;
    }
    return t.size();
}

size_t CastAs(const std::vector<Token>& t, size_t open, size_t close) {
    size_t as = close;
    int depth = 0;
    for (size_t j = open + 1; j < close; ++j) {
        if (t[j].IsOp("("))
            depth++;
        else if (t[j].IsOp(")"))
            depth--;
        else if (depth == 0 && t[j].Is("AS"))
            as = j;
    }
    return as;
}

Token MakeToken(Token::Kind kind, std::string text, bool space) {
    Token t;
    t.kind = kind;
    t.value = kind == Token::Word ? Upper(text) : text;
    t.text = std::move(text);
    t.spaceBefore = space;
    return t;
}

const std::string& NameOf(const Token& t) { return t.kind == Token::Word ? t.text : t.value; }

size_t TypeEnd(const std::vector<Token>& t, size_t i) {
    if (i >= t.size()) return i;
    ++i;
    if (i < t.size() && t[i].IsOp("(")) i = MatchParen(t, i) + 1;
    return std::min(i, t.size());
}

SqlType TypeOf(const std::vector<Token>& t, size_t from, size_t to) {
    SqlType type;
    std::string text;
    for (size_t i = from; i < to && i < t.size(); ++i) text += t[i].kind == Token::Bracketed ? t[i].value : t[i].text;
    if (!ParseSqlType(text, type)) type = SqlType::Of(SqlType::NVarChar, 4000);
    return type;
}
