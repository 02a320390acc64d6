// A T-SQL lexer and a statement parser for the stand-in: batches are cut into statements and
// control-flow blocks (IF, WHILE, BEGIN ... END, TRY ... CATCH); each simple statement keeps its
// tokens so that it can be translated to SQLite.
#pragma once

#include "SqlType.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct Token {
    enum Kind { Word, Bracketed, Quoted, String, Number, Variable, Op, Hex, End };
    Kind kind = End;
    std::string text;       // the source text of the token
    std::string value;      // word upper-cased; identifier without quotes; string without quotes
    bool national = false;  // N'...'
    int line = 1;
    size_t pos = 0;
    bool spaceBefore = false;

    // Inline, character by character: the translation asks these of every token many times over.
    [[gnu::always_inline]] bool Is(std::string_view upperWord) const { return kind == Word && Equals(value, upperWord); }
    [[gnu::always_inline]] bool IsOp(std::string_view op) const { return kind == Op && Equals(text, op); }
    bool IsName() const { return kind == Word || kind == Bracketed || kind == Quoted; }

private:
    [[gnu::always_inline]] static bool Equals(const std::string& a, std::string_view b) {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < b.size(); ++i)
            if (a[i] != b[i]) return false;
        return true;
    }
};

// Splits a batch into tokens, dropping comments and white space (kept as spaceBefore). An unclosed
// string, bracket or comment ends the text; with problem given, it is described there.
std::vector<Token> Tokenize(std::string_view sql, struct ParseError* problem = nullptr);
// The quoted text from i (just past its opening quote) to the closing character, which doubled
// stands for itself ('it''s', [a]]b]); i ends past the close. False when the text ends first.
bool ReadQuoted(std::string_view s, size_t& i, char close, std::string& value);

struct Stmt {
    enum Kind { Simple, Block, If, While, TryCatch, Module, Label };
    Kind kind = Simple;
    std::vector<Token> tokens;                // Simple and Module: the statement; If/While: the condition; Label: its name
    std::vector<std::unique_ptr<Stmt>> body;  // Block, TryCatch (try part), If (then), While
    std::vector<std::unique_ptr<Stmt>> alt;   // TryCatch (catch part), If (else)
    int line = 1;
    std::string sourceText;  // Module: the source as written (CREATE ... to the end)

    std::string FirstWord() const { return tokens.empty() || tokens[0].kind != Token::Word ? std::string() : tokens[0].value; }
};

struct ParseError {
    std::string message;
    int line;
    int number = 102;  // 105 unclosed quotation mark, 113 missing end comment mark
};

// Parses a batch. CREATE PROCEDURE, FUNCTION, TRIGGER and VIEW take the rest of the batch as one
// Module statement, as on SQL Server. Throws ParseError.
std::vector<std::unique_ptr<Stmt>> ParseBatch(std::string_view sql);

// Joins tokens back into text, one space where the source had white space.
std::string JoinTokens(const std::vector<Token>& tokens, size_t from = 0, size_t to = std::string::npos);

std::string Upper(std::string_view s);

// A string literal for SQL text: quotes doubled, after an optional prefix such as "N".
std::string SqlLiteral(std::string_view s, std::string_view prefix = {});

bool SameNoCase(std::string_view a, std::string_view b);

// Token helpers shared by the interpreter and the translation to SQLite.
// The index of the ')' matching the '(' at open, or t.size().
size_t MatchParen(const std::vector<Token>& t, size_t open);
// The AS of CAST(... AS type) whose '(' is at open and ')' at close, or close when there is none.
size_t CastAs(const std::vector<Token>& t, size_t open, size_t close);
// The tokens [from, to) split at commas outside parentheses; empty for no tokens.
std::vector<std::vector<Token>> SplitCommas(const std::vector<Token>& t, size_t from, size_t to);
Token MakeToken(Token::Kind kind, std::string text, bool space = true);
// An identifier as written: a word keeps its case, brackets and quotes are removed.
const std::string& NameOf(const Token& t);
// The last part of a multi-part object name written as text ('dbo.[a]]b]' gives "a]b").
std::string LastNamePart(const std::string& name);
// The end of the type tokens of a declaration starting at i: name [ '(' ... ')' ].
size_t TypeEnd(const std::vector<Token>& t, size_t i);
// The type named by the tokens [from, to); nvarchar(4000) when they name none.
SqlType TypeOf(const std::vector<Token>& t, size_t from, size_t to);
