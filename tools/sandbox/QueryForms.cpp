#include "QueryForms.h"

namespace {

// Rewrites "( VALUES ... ) [AS] alias ( columns )" starting at the "(" at open; returns false
// when the tokens there are not that form.
bool ValuesWithColumns(const std::vector<Token>& t, size_t open, std::vector<Token>& out, size_t& next) {
    const size_t close = MatchParen(t, open);
    if (close >= t.size()) return false;
    size_t k = close + 1;
    if (k < t.size() && t[k].Is("AS")) ++k;
    if (k + 1 >= t.size() || !t[k].IsName() || !t[k + 1].IsOp("(")) return false;
    const size_t alias = k, listOpen = k + 1, listClose = MatchParen(t, listOpen);
    if (listClose >= t.size()) return false;
    const auto names = SplitCommas(t, listOpen + 1, listClose);
    out.push_back(t[open]);
    out.push_back(MakeToken(Token::Word, "SELECT", false));
    for (size_t c = 0; c < names.size(); ++c) {
        if (names[c].size() != 1 || !names[c][0].IsName()) return false;
        if (c) out.push_back(MakeToken(Token::Op, ",", false));
        out.push_back(MakeToken(Token::Word, "column" + std::to_string(c + 1)));
        out.push_back(MakeToken(Token::Word, "AS"));
        Token name = names[c][0];
        name.spaceBefore = true;
        out.push_back(name);
    }
    out.push_back(MakeToken(Token::Word, "FROM"));
    out.push_back(MakeToken(Token::Op, "("));
    out.insert(out.end(), t.begin() + static_cast<std::ptrdiff_t>(open) + 1, t.begin() + static_cast<std::ptrdiff_t>(close) + 1);
    out.push_back(MakeToken(Token::Op, ")", false));
    out.push_back(MakeToken(Token::Word, "AS"));
    out.push_back(t[alias]);
    out.back().spaceBefore = true;
    next = listClose + 1;
    return true;
}

}  // namespace

std::vector<Token> RewriteQueryForms(std::vector<Token> t) {
    // Most statements have none of these forms: they pass through untouched.
    bool any = false;
    for (size_t i = 0; i < t.size() && !any; ++i)
        any = (t[i].Is("VALUES") && i > 0 && t[i - 1].IsOp("(")) || t[i].Is("STRING_AGG") || t[i].Is("NCHAR") || t[i].Is("OPTION");
    if (!any) return t;
    std::vector<Token> out;
    out.reserve(t.size() + 8);
    for (size_t i = 0; i < t.size();) {
        const Token& k = t[i];
        if (k.IsOp("(") && i + 1 < t.size() && t[i + 1].Is("VALUES")) {
            size_t next = 0;
            std::vector<Token> rewritten;
            if (ValuesWithColumns(t, i, rewritten, next)) {
                out.insert(out.end(), rewritten.begin(), rewritten.end());
                i = next;
                continue;
            }
        }
        if (k.Is("STRING_AGG") && i + 1 < t.size() && t[i + 1].IsOp("(")) {
            const size_t close = MatchParen(t, i + 1);
            out.push_back(MakeToken(Token::Word, "group_concat", k.spaceBefore));
            out.insert(out.end(), t.begin() + static_cast<std::ptrdiff_t>(i) + 1, t.begin() + static_cast<std::ptrdiff_t>(std::min(close + 1, t.size())));
            i = close + 1;
            // The order WITHIN GROUP is not kept: SQLite concatenates in the order it reads.
            if (i + 2 < t.size() && t[i].Is("WITHIN") && t[i + 1].Is("GROUP") && t[i + 2].IsOp("(")) i = MatchParen(t, i + 2) + 1;
            continue;
        }
        if (k.Is("NCHAR") && i + 1 < t.size() && t[i + 1].IsOp("(") && i > 0 && !out.empty() && !out.back().Is("AS") &&
            !(out.back().IsOp("(") && out.size() >= 2 && (out[out.size() - 2].Is("CONVERT") || out[out.size() - 2].Is("TRY_CONVERT")))) {
            out.push_back(MakeToken(Token::Word, "nchar", k.spaceBefore));
            ++i;
            continue;
        }
        if (k.Is("OPTION") && i + 1 < t.size() && t[i + 1].IsOp("(")) {
            i = MatchParen(t, i + 1) + 1;
            continue;
        }
        out.push_back(k);
        ++i;
    }
    return out;
}
