#include "uSqlEditor.h"

#include "uSqlHighlight.h"

#include <Qsci/qsciscintilla.h>
#include <QCursor>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QToolTip>
#include <QVBoxLayout>

TSqlEditor::TSqlEditor(QWidget* parent) : TNbFrame(parent), sqledit(new QsciScintilla(this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(sqledit);
    sqledit->setFrameShape(QFrame::NoFrame);

    pSearch = new QFrame(this);
    pSearch->setObjectName(QStringLiteral("pSearch"));
    pSearch->setFrameShape(QFrame::Box);
    pSearch->setFixedHeight(32);
    auto* row = new QHBoxLayout(pSearch);
    row->setContentsMargins(4, 2, 4, 2);
    bCancel = new QPushButton(QStringLiteral("X"), pSearch);
    bCancel->setObjectName(QStringLiteral("bCancel"));
    QFont bold = bCancel->font();
    bold.setBold(true);
    bCancel->setFont(bold);
    bCancel->setToolTip(QStringLiteral("Close the Find dialog"));
    bCancel->setFixedWidth(24);
    lFind = new QLabel(QStringLiteral("Find:"), pSearch);
    eSearchText = new QLineEdit(pSearch);
    eSearchText->setObjectName(QStringLiteral("eSearchText"));
    eSearchText->setToolTip(QStringLiteral("Enter the text to search for (regular expression)"));
    bNext = new QPushButton(QStringLiteral("Next"), pSearch);
    bNext->setObjectName(QStringLiteral("bNext"));
    bNext->setToolTip(QStringLiteral("Find the next match"));
    bPrevious = new QPushButton(QStringLiteral("Previous"), pSearch);
    bPrevious->setObjectName(QStringLiteral("bPrevious"));
    bPrevious->setToolTip(QStringLiteral("Find the previous match"));
    lNoMatch = new QLabel(QStringLiteral("No matches."), pSearch);
    lInvalidRegex = new QLabel(QStringLiteral("Invalid regex."), pSearch);
    for (QLabel* l : {lNoMatch, lInvalidRegex}) {
        l->setStyleSheet(QStringLiteral("color: #800000"));
        l->hide();
    }
    row->addWidget(bCancel);
    row->addWidget(lFind);
    row->addWidget(eSearchText, 1);
    row->addWidget(bNext);
    row->addWidget(bPrevious);
    // Both messages share one place that keeps its room while they are hidden, so showing one
    // moves nothing else in the row.
    auto* messages = new QWidget(pSearch);
    auto* messageCell = new QGridLayout(messages);
    messageCell->setContentsMargins(0, 0, 0, 0);
    for (QLabel* l : {lNoMatch, lInvalidRegex}) {
        QSizePolicy policy = l->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        l->setSizePolicy(policy);
        messageCell->addWidget(l, 0, 0);
    }
    row->addWidget(messages);
    layout->addWidget(pSearch);
    pSearch->hide();

    connect(eSearchText, &QLineEdit::textChanged, this, [this] { eSearchTextChange(); });
    connect(eSearchText, &QLineEdit::returnPressed, bNext, &QPushButton::click);
    connect(bNext, &QPushButton::clicked, this, [this] { SearchForward(); });
    connect(bPrevious, &QPushButton::clicked, this, [this] { SearchBackward(); });
    connect(bCancel, &QPushButton::clicked, this, [this] { bCancelClick(); });
    EscapeKey = new QShortcut(QKeySequence(Qt::Key_Escape), this, nullptr, nullptr, Qt::WidgetWithChildrenShortcut);
    EscapeKey->setEnabled(false);
    connect(EscapeKey, &QShortcut::activated, bCancel, &QPushButton::click);

    sqledit->setObjectName(QStringLiteral("sqledit"));
    const QFont font(QStringLiteral("Courier New"), 10);
    sqledit->setFont(font);
    QFont gutterFont(QStringLiteral("Courier New"));
    gutterFont.setPointSize(8);  // 11 pixels at 96 dpi; the editor takes sizes in points only
    gutterFont.setBold(true);
    sqledit->setMarginsFont(gutterFont);
    sqledit->setMarginsForegroundColor(sqledit->palette().color(QPalette::Inactive, QPalette::WindowText));
    sqledit->setIndentationsUseTabs(false);
    sqledit->setBackspaceUnindents(true);
    sqledit->SendScintilla(QsciScintilla::SCI_SETSCROLLWIDTHTRACKING, 1L);
    sqledit->setMarginLineNumbers(0, true);
    sqledit->setMarginWidth(0, QStringLiteral("00000"));
    sqledit->setTabWidth(4);
    sqledit->setAutoIndent(true);
    sqledit->setUtf8(true);
    sqledit->setEolMode(QsciScintilla::EolWindows);
    SetWordWrap(true);
    sqledit->installEventFilter(this);
    // While the vertical scroll box is dragged, a hint names the line that will be at the top.
    connect(sqledit->verticalScrollBar(), &QScrollBar::sliderMoved, this, [this](int value) {
        const long line = sqledit->SendScintilla(QsciScintilla::SCI_DOCLINEFROMVISIBLE, static_cast<unsigned long>(value));
        QToolTip::showText(QCursor::pos(), QStringLiteral("Line: %1").arg(line + 1), sqledit);
    });
    SetActiveControl(sqledit);
    CreateCompleted();
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

void TSqlEditor::SetHighlighter(const TSqlWords& words) { sqledit->setLexer(new TSqlLexer(words, sqledit)); }

void TSqlEditor::Rehighlight() { sqledit->recolor(); }

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

void TSqlEditor::ToggleFindPanel() {
    if (pSearch->isVisible()) {
        HideFindPanel();
    } else {
        ShowFindPanel();
    }
}

void TSqlEditor::ShowFindPanel() {
    pSearch->show();
    EscapeKey->setEnabled(true);
    eSearchText->setFocus();
}

void TSqlEditor::HideFindPanel() {
    pSearch->hide();
    EscapeKey->setEnabled(false);
}

void TSqlEditor::bCancelClick() {
    HideFindPanel();
    sqledit->setFocus();
}

void TSqlEditor::SearchForward() { Search(true); }

void TSqlEditor::SearchBackward() { Search(false); }

void TSqlEditor::eSearchTextChange() {
    // An emptied box only clears the labels, so the selection is kept.
    if (!eSearchText->text().isEmpty()) {
        const long start = sqledit->SendScintilla(QsciScintilla::SCI_GETSELECTIONSTART);
        sqledit->SendScintilla(QsciScintilla::SCI_SETEMPTYSELECTION, start);
    }
    SearchForward();
}

void TSqlEditor::Search(bool forward) {
    lNoMatch->hide();
    lInvalidRegex->hide();
    const TSearchResult r = SearchText(Lines(), eSearchText->text(), CaretPos(), forward);
    switch (r.Outcome) {
    case TSearchOutcome::Empty:
        return;
    case TSearchOutcome::InvalidPattern:
        lInvalidRegex->show();
        return;
    case TSearchOutcome::NoMatch:
        lNoMatch->show();
        return;
    case TSearchOutcome::Found:
        if (forward) {
            SelectRange(r.Match.Start, r.Match.End);
        } else {
            SelectRange(r.Match.End, r.Match.Start);
        }
        return;
    }
}

QString TSqlEditor::LineText(int line) const {
    QString text = sqledit->text(line);
    while (text.endsWith(QLatin1Char('\n')) || text.endsWith(QLatin1Char('\r'))) text.chop(1);
    return text;
}

QStringList TSqlEditor::Lines() const {
    QStringList lines;
    const int count = sqledit->lines();
    lines.reserve(count);
    for (int i = 0; i < count; ++i) lines.push_back(LineText(i));
    return lines;
}

// The editor counts positions in UTF-8 bytes; the search counts characters.
long TSqlEditor::PositionOf(TTextPos p) const {
    const long lineStart = sqledit->SendScintilla(QsciScintilla::SCI_POSITIONFROMLINE, static_cast<unsigned long>(p.Line));
    return lineStart + long(sqledit->text(p.Line).left(p.Column).toUtf8().size());
}

TTextPos TSqlEditor::PosAt(long position) const {
    const int line = int(sqledit->SendScintilla(QsciScintilla::SCI_LINEFROMPOSITION, static_cast<unsigned long>(position)));
    const long lineStart = sqledit->SendScintilla(QsciScintilla::SCI_POSITIONFROMLINE, static_cast<unsigned long>(line));
    const QByteArray bytes = sqledit->text(line).toUtf8().left(position - lineStart);
    return {line, int(QString::fromUtf8(bytes).size())};
}

TTextPos TSqlEditor::CaretPos() const { return PosAt(sqledit->SendScintilla(QsciScintilla::SCI_GETCURRENTPOS)); }

void TSqlEditor::SelectRange(TTextPos anchor, TTextPos caret) {
    sqledit->SendScintilla(QsciScintilla::SCI_SETSEL, static_cast<unsigned long>(PositionOf(anchor)), PositionOf(caret));
    sqledit->SendScintilla(QsciScintilla::SCI_SCROLLCARET);
}

bool TSqlEditor::eventFilter(QObject* watched, QEvent* event) {
    if (watched == sqledit && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        const Qt::KeyboardModifiers mods = key->modifiers() & ~Qt::KeypadModifier;
        if (key->key() == Qt::Key_End && (mods == Qt::NoModifier || mods == Qt::ShiftModifier)) {
            EndKey(mods == Qt::ShiftModifier);
            return true;
        }
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && mods == Qt::NoModifier && !sqledit->isReadOnly()) {
            // The line break and the trimming of the line it leaves behind undo as one step.
            sqledit->SendScintilla(QsciScintilla::SCI_BEGINUNDOACTION);
            static_cast<QObject*>(sqledit)->event(event);
            TrimTrailingSpaces(CaretPos().Line - 1);
            sqledit->SendScintilla(QsciScintilla::SCI_ENDUNDOACTION);
            return true;
        }
    }
    return TNbFrame::eventFilter(watched, event);
}

// End alternates between the last non-blank character of the line and the line's end.
void TSqlEditor::EndKey(bool extend) {
    const TTextPos caret = CaretPos();
    const QString line = LineText(caret.Line);
    int lastNonBlank = int(line.size());
    while (lastNonBlank > 0 && line[lastNonBlank - 1].isSpace()) --lastNonBlank;
    const int target = caret.Column == lastNonBlank ? int(line.size()) : lastNonBlank;
    const long anchor = sqledit->SendScintilla(QsciScintilla::SCI_GETANCHOR);
    const long pos = PositionOf({caret.Line, target});
    sqledit->SendScintilla(QsciScintilla::SCI_SETSEL, static_cast<unsigned long>(extend ? anchor : pos), pos);
    sqledit->SendScintilla(QsciScintilla::SCI_CHOOSECARETX);
    sqledit->SendScintilla(QsciScintilla::SCI_SCROLLCARET);
}

void TSqlEditor::TrimTrailingSpaces(int line) {
    if (line < 0) return;
    const QString text = LineText(line);
    int keep = int(text.size());
    while (keep > 0 && (text[keep - 1] == QLatin1Char(' ') || text[keep - 1] == QLatin1Char('\t'))) --keep;
    if (keep == text.size()) return;
    const long from = PositionOf({line, keep});
    const long to = PositionOf({line, int(text.size())});
    sqledit->SendScintilla(QsciScintilla::SCI_DELETERANGE, static_cast<unsigned long>(from), to - from);
}
