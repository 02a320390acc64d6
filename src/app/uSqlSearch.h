// Regular-expression search over editor lines, free of any widget so it can be tested on its own.
// Positions are (line, column) pairs in characters, both from 0.
#pragma once

#include <QRegularExpression>
#include <QStringList>
#include <optional>

struct TTextPos {
    int Line = 0;
    int Column = 0;
    friend bool operator==(const TTextPos&, const TTextPos&) = default;
    friend auto operator<=>(const TTextPos&, const TTextPos&) = default;
};

struct TTextMatch {
    TTextPos Start;
    TTextPos End;
    friend bool operator==(const TTextMatch&, const TTextMatch&) = default;
};

enum class TSearchOutcome { Empty, InvalidPattern, Found, NoMatch };

struct TSearchResult {
    TSearchOutcome Outcome = TSearchOutcome::Empty;
    TTextMatch Match;
};

// Compiles the search box text: case-insensitive, Perl-style.
QRegularExpression CompileSearchPattern(const QString& pattern);

// Forward: the first match that begins at or after `caret`; backward: the last match that ends at or
// before it. Matches never span a line break. Empty matches are skipped: they select nothing and
// would keep a repeated search in place.
std::optional<TTextMatch> FindFrom(const QStringList& lines, const QRegularExpression& re, TTextPos caret, bool forward);

// The whole search: an empty pattern does nothing, an invalid one is reported, and a search that
// finds nothing from the caret wraps around once over the whole text.
TSearchResult SearchText(const QStringList& lines, const QString& pattern, TTextPos caret, bool forward);
