#include "uSqlEditor.h"

#include <Qsci/qscilexersql.h>
#include <Qsci/qsciscintilla.h>
#include <QVBoxLayout>

TSqlEditor::TSqlEditor(QWidget* parent) : QWidget(parent), sqledit(new QsciScintilla(this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(sqledit);
    sqledit->setObjectName(QStringLiteral("sqledit"));
    const QFont font(QStringLiteral("Courier New"), 10);
    sqledit->setFont(font);
    sqledit->setMarginsFont(font);
    sqledit->setMarginLineNumbers(0, true);
    sqledit->setMarginWidth(0, QStringLiteral("00000"));
    sqledit->setTabWidth(4);
    sqledit->setAutoIndent(true);
    sqledit->setUtf8(true);
    sqledit->setEolMode(QsciScintilla::EolWindows);
    SetWordWrap(true);
}

QString TSqlEditor::TextCrLf() const {
    // Every line ends in CR LF, the last one included.
    QString text = sqledit->text();
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    if (!text.isEmpty() && !text.endsWith(QLatin1Char('\n'))) text += QLatin1Char('\n');
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return text;
}

QString TSqlEditor::SelectedText() const { return sqledit->selectedText(); }

bool TSqlEditor::WordWrap() const { return sqledit->wrapMode() != QsciScintilla::WrapNone; }

void TSqlEditor::SetWordWrap(bool on) { sqledit->setWrapMode(on ? QsciScintilla::WrapWord : QsciScintilla::WrapNone); }

void TSqlEditor::SetHighlighter(QsciLexerSQL* lexer) { sqledit->setLexer(lexer); }

int TSqlEditor::CaretLine() const {
    int line = 0, index = 0;
    sqledit->getCursorPosition(&line, &index);
    return line + 1;
}

int TSqlEditor::CaretColumn() const {
    int line = 0, index = 0;
    sqledit->getCursorPosition(&line, &index);
    return index + 1;
}
