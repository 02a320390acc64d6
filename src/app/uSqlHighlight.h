// SQL highlighting: a small line tokenizer over the server dialect's word lists, and the editor
// lexer that styles text with it. The word lists and the table-name list are shared by every editor.
#pragma once

#include <Qsci/qscilexercustom.h>
#include <QSet>
#include <QString>
#include <vector>

enum TSqlStyle : int { ssDefault = 0, ssComment, ssLineComment, ssNumber, ssString, ssVariable, ssSymbol, ssKeyword, ssTableName };

struct TSqlToken {
    int Start = 0;  // in characters
    int Length = 0;
    TSqlStyle Style = ssDefault;
    friend bool operator==(const TSqlToken&, const TSqlToken&) = default;
};

class TSqlWords {
public:
    TSqlWords();
    bool IsKeyword(const QString& lowerWord) const;  // reserved words, data types, functions, @@ variables
    bool IsTableName(const QString& lowerWord) const;
    void SetTableNames(const QStringList& names);
    void AddTableNames(const QStringList& names);

private:
    QSet<QString> Keywords;
    QSet<QString> TableNames;
};

struct TSqlLineTokens {
    std::vector<TSqlToken> Tokens;  // cover the line end to end
    bool EndsInComment = false;     // inside a /* */ comment at the end of the line
};

// Splits one line (its line break included, if any) into styled tokens; `inComment` says the line
// starts inside a block comment.
TSqlLineTokens TokenizeSqlLine(const QString& line, bool inComment, const TSqlWords& words);

class TSqlLexer : public QsciLexerCustom {
    Q_OBJECT
public:
    TSqlLexer(const TSqlWords& words, QObject* parent);
    const char* language() const override;
    QString description(int style) const override;
    QColor defaultColor(int style) const override;
    QFont defaultFont(int style) const override;
    void styleText(int start, int end) override;

private:
    const TSqlWords& Words;
};
