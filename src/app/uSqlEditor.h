// The SQL editor frame every tab holds: a source-code editor with line numbers, Courier New, tab
// width 4 and word wrap on. (The find panel and the full highlighter come with their own work.)
#pragma once

#include <QWidget>

class QsciScintilla;
class QsciLexerSQL;

class TSqlEditor : public QWidget {
    Q_OBJECT
public:
    explicit TSqlEditor(QWidget* parent = nullptr);

    QsciScintilla* sqledit;
    // The editor's whole text with every line ending in CR LF, as runs take it.
    QString TextCrLf() const;
    QString SelectedText() const;
    bool WordWrap() const;
    void SetWordWrap(bool on);
    void SetHighlighter(QsciLexerSQL* lexer);
    int CaretLine() const;    // from 1
    int CaretColumn() const;  // from 1
};
