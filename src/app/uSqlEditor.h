// The SQL editor frame every tab holds: a source-code editor with line numbers, Courier New, tab
// width 4 and word wrap on, and a find panel below it that searches with regular expressions.
#pragma once

#include "uNbFrame.h"

#include "uSqlSearch.h"

class QsciScintilla;
class TSqlWords;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QShortcut;

class TSqlEditor : public TNbFrame {
    Q_OBJECT
public:
    explicit TSqlEditor(QWidget* parent = nullptr);

    QsciScintilla* sqledit;
    // The editor's whole text with every line ending in CR LF, as runs take it.
    QString TextCrLf() const;
    QString SelectedText() const;
    bool WordWrap() const;
    void SetWordWrap(bool on);
    // Styles the text with a lexer of its own over the shared word lists.
    void SetHighlighter(const TSqlWords& words);
    // Restyles the whole text, after the table-name list changed.
    void Rehighlight();
    int CaretLine() const;    // from 1
    int CaretColumn() const;  // from 1

    // Find panel.
    QFrame* pSearch;
    QPushButton* bCancel;
    QLabel* lFind;
    QLineEdit* eSearchText;
    QPushButton* bNext;
    QPushButton* bPrevious;
    QLabel* lNoMatch;
    QLabel* lInvalidRegex;

    void ToggleFindPanel();
    void ShowFindPanel();
    void HideFindPanel();
    void SearchForward();
    void SearchBackward();

    // Caret and selection in (line, column) characters from 0, as the search sees them.
    TTextPos CaretPos() const;
    void SelectRange(TTextPos anchor, TTextPos caret);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void EndKey(bool extend);
    void TrimTrailingSpaces(int line);
    void Search(bool forward);
    void eSearchTextChange();
    void bCancelClick();
    long PositionOf(TTextPos p) const;
    TTextPos PosAt(long position) const;
    QStringList Lines() const;
    QString LineText(int line) const;  // without its line break
    QShortcut* EscapeKey;
};
