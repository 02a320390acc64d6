#include "uSqlEditor.h"
#include "uSqlHighlight.h"

#include <Qsci/qsciscintilla.h>
#include <QApplication>
#include <QtTest>

namespace {

// Tokens as "style:text" joined by '|', default-style runs left out, so a row reads like the line.
QString Describe(const QString& line, const TSqlLineTokens& t) {
    static const char* const names[] = {"def", "comment", "line", "num", "str", "var", "sym", "kw", "table"};
    QStringList parts;
    int expectedStart = 0;
    for (const TSqlToken& tok : t.Tokens) {
        if (tok.Start != expectedStart) return QStringLiteral("gap at %1").arg(tok.Start);
        expectedStart = tok.Start + tok.Length;
        if (tok.Style != ssDefault) parts << QStringLiteral("%1:%2").arg(QLatin1String(names[tok.Style]), line.mid(tok.Start, tok.Length));
    }
    if (expectedStart != line.size()) return QStringLiteral("tokens end at %1").arg(expectedStart);
    return parts.join(QLatin1Char('|')) + (t.EndsInComment ? QStringLiteral(" +open") : QString());
}

int StyleAt(QsciScintilla* ed, int line, int column) {
    const long pos = ed->positionFromLineIndex(line, column);
    return int(ed->SendScintilla(QsciScintilla::SCI_GETSTYLEAT, static_cast<unsigned long>(pos)));
}

}  // namespace

class TestHighlight : public QObject {
    Q_OBJECT
private slots:
    void tokenize_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("inComment");
        QTest::addColumn<QString>("expected");
        QTest::newRow("words any case") << "Select Name FROM t" << false << "kw:Select|kw:FROM";
        QTest::newRow("types and functions") << "cast(x as NVARCHAR)" << false << "kw:cast|sym:(|kw:as|kw:NVARCHAR|sym:)";
        QTest::newRow("variables and system names")
            << "set @n = @@ROWCOUNT + @@nope" << false << "kw:set|var:@n|sym:=|kw:@@ROWCOUNT|sym:+|var:@@nope";
        QTest::newRow("numbers") << "top 12 x*1.5e3" << false << "kw:top|num:12|sym:*|num:1.5e3";
        QTest::newRow("doubled quote stays in string") << "print 'it''s -- no' -- yes\r\n"
                                                       << false << "kw:print|str:'it''s -- no'|line:-- yes";
        QTest::newRow("unclosed string") << "'abc" << false << "str:'abc";
        QTest::newRow("block comment in line") << "a /* b */ go" << false << "comment:/* b */";
        QTest::newRow("block comment opens") << "x /* open\n" << false << "comment:/* open\n +open";
        QTest::newRow("inside a comment") << "still select\n" << true << "comment:still select\n +open";
        QTest::newRow("comment closes") << "end */ select" << true << "comment:end */|kw:select";
        QTest::newRow("table names") << "from Orders join [order details] o" << false
                                     << "kw:from|table:Orders|kw:join|table:[order details]";
        QTest::newRow("temp table and non-ASCII") << "#tmp ärende" << false << "";
    }
    void tokenize() {
        QFETCH(QString, line);
        QFETCH(bool, inComment);
        QFETCH(QString, expected);
        TSqlWords words;
        words.SetTableNames({QStringLiteral("orders"), QStringLiteral("Order Details")});
        QCOMPARE(Describe(line, TokenizeSqlLine(line, inComment, words)), expected);
    }

    void wordListsAreComplete() {
        TSqlWords words;
        for (const char* w : {"add", "writetext", "bigint", "varchar", "@@connections", "year", "fn_virtualfilestats"})
            QVERIFY2(words.IsKeyword(QString::fromLatin1(w)), w);
        QVERIFY(!words.IsKeyword(QStringLiteral("go")));
    }

    // The editor restyles lines below when a block comment opens, and table names after the list changes.
    void editorStylesFollowEdits() {
        TSqlWords words;
        TSqlEditor e;
        e.SetHighlighter(words);
        e.show();
        e.sqledit->setText(QStringLiteral("select ö\r\nfrom Orders\r\nwhere 1 = 1"));
        QTRY_COMPARE(StyleAt(e.sqledit, 2, 0), int(ssKeyword));
        QCOMPARE(StyleAt(e.sqledit, 0, 0), int(ssKeyword));
        QCOMPARE(StyleAt(e.sqledit, 1, 6), int(ssDefault));

        words.SetTableNames({QStringLiteral("orders")});
        e.Rehighlight();
        QTRY_COMPARE(StyleAt(e.sqledit, 1, 6), int(ssTableName));

        e.sqledit->insertAt(QStringLiteral("/* "), 0, 8);
        QTRY_COMPARE(StyleAt(e.sqledit, 2, 0), int(ssComment));
        QCOMPARE(StyleAt(e.sqledit, 0, 0), int(ssKeyword));
        e.sqledit->insertAt(QStringLiteral("*/"), 1, 0);
        QTRY_COMPARE(StyleAt(e.sqledit, 2, 0), int(ssKeyword));
        QCOMPARE(StyleAt(e.sqledit, 2, 6), int(ssNumber));
    }
};

QTEST_MAIN(TestHighlight)
#include "test_highlight.moc"
