#include "uSqlSearch.h"

QRegularExpression CompileSearchPattern(const QString& pattern) {
    return QRegularExpression(pattern, QRegularExpression::CaseInsensitiveOption | QRegularExpression::UseUnicodePropertiesOption);
}

namespace {

// First non-empty match in `line` starting at or after `from`.
std::optional<std::pair<int, int>> FirstInLine(const QString& line, const QRegularExpression& re, int from) {
    while (from <= line.size()) {
        const QRegularExpressionMatch m = re.match(line, from);
        if (!m.hasMatch()) return std::nullopt;
        if (m.capturedLength() > 0) return std::pair{int(m.capturedStart()), int(m.capturedEnd())};
        from = int(m.capturedStart()) + 1;
    }
    return std::nullopt;
}

// Last non-empty match in `line` that ends at or before `limit`; every start position is tried so
// overlapping candidates are not missed.
std::optional<std::pair<int, int>> LastInLine(const QString& line, const QRegularExpression& re, int limit) {
    std::optional<std::pair<int, int>> best;
    int from = 0;
    while (from <= line.size()) {
        const QRegularExpressionMatch m = re.match(line, from);
        if (!m.hasMatch() || m.capturedStart() >= limit) break;
        if (m.capturedLength() > 0 && m.capturedEnd() <= limit) best = std::pair{int(m.capturedStart()), int(m.capturedEnd())};
        from = int(m.capturedStart()) + 1;
    }
    return best;
}

}  // namespace

std::optional<TTextMatch> FindFrom(const QStringList& lines, const QRegularExpression& re, TTextPos caret, bool forward) {
    if (lines.isEmpty()) return std::nullopt;
    const int last = int(lines.size()) - 1;
    if (caret.Line > last) caret = {last, int(lines[last].size())};
    if (caret.Line < 0) caret = {0, 0};
    if (forward) {
        for (int l = caret.Line; l <= last; ++l) {
            if (auto m = FirstInLine(lines[l], re, l == caret.Line ? caret.Column : 0)) return TTextMatch{{l, m->first}, {l, m->second}};
        }
    } else {
        for (int l = caret.Line; l >= 0; --l) {
            const int limit = l == caret.Line ? caret.Column : int(lines[l].size());
            if (auto m = LastInLine(lines[l], re, limit)) return TTextMatch{{l, m->first}, {l, m->second}};
        }
    }
    return std::nullopt;
}

TSearchResult SearchText(const QStringList& lines, const QString& pattern, TTextPos caret, bool forward) {
    if (pattern.isEmpty()) return {};
    const QRegularExpression re = CompileSearchPattern(pattern);
    if (!re.isValid()) return {TSearchOutcome::InvalidPattern, {}};
    auto found = FindFrom(lines, re, caret, forward);
    if (!found && !lines.isEmpty()) {
        const TTextPos wrapFrom = forward ? TTextPos{0, 0} : TTextPos{int(lines.size()) - 1, int(lines.back().size())};
        found = FindFrom(lines, re, wrapFrom, forward);
    }
    if (!found) return {TSearchOutcome::NoMatch, {}};
    return {TSearchOutcome::Found, *found};
}
