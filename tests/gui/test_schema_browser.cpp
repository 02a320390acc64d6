// The schema browser against the stand-in: the tree of the demo database, a search, a table's
// preview on the Text page, a procedure opened as ALTER, the tab choice, and names that need quoting.
#include "SandboxProcess.h"
#include "window_fixture.h"
#include "uObjectTreeModel.h"
#include "uResultPages.h"
#include "uSqlEditor.h"
#include "uSqlHighlight.h"
#include "uTolvanMain.h"

#include <Qsci/qsciscintilla.h>
#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTreeView>
#include <QtTest>

namespace {

QString Caption(const TfTlvnMain& w, int node) { return QString::fromStdString(std::string(w.ObjectTree.Caption(node))); }

// The node of the leaf `name` under the kind group `kind`.
int Leaf(const TfTlvnMain& w, const QString& kind, const QString& name) {
    for (int n = 0; n < w.ObjectTree.NodeCount(); ++n)
        if (Caption(w, n) == name && w.ObjectTree.Parent(n) != TObjectTree::kNone && Caption(w, w.TopGroupOf(n)) == kind) return n;
    return TObjectTree::kNone;
}

QStringList TopLevel(const TfTlvnMain& w) {
    QStringList r;
    for (int i = 0; i < w.ObjectTree.TopLevelCount(); ++i) r << Caption(w, w.ObjectTree.TopLevel(i));
    return r;
}

bool Underlined(QsciScintilla* ed, int position) {
    return ed->SendScintilla(QsciScintilla::SCI_GETSTYLEAT, static_cast<unsigned long>(position)) == ssTableName;
}

void Run(TfTlvnMain& w, const QString& sql) {
    w.SetEditorText(w.CurrentEditor(), sql);
    w.aExecute->trigger();
}

}  // namespace

class TestSchemaBrowser : public QObject {
    Q_OBJECT
    SandboxProcess* server = nullptr;

    void ConnectToDemo(TfTlvnMain& w) {
        ConnectWindow(w, *server);
        w.eDatabase->setEditText(QStringLiteral("demo"));
        w.SelectDatabase(QStringLiteral("demo"));
        // The checks read the runs' results from the Text page.
        w.ResultPages->PreferTextPage = true;
    }

private slots:
    void initTestCase() { server = new SandboxProcess(true); }
    void cleanupTestCase() { delete server; }

    void browseSearchPreviewAndAlter() {
        TfTlvnMain w;
        w.AutoConnect = false;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(!w.pItems->isEnabled());
        ConnectToDemo(w);
        QVERIFY(w.pItems->isEnabled());
        QCOMPARE(TopLevel(w), QStringLiteral("Table,View,Procedure,Trigger,ScalarFunction,TableFunction").split(QLatin1Char(',')));
        QCOMPARE(Caption(w, w.SelectedNode()), QStringLiteral("Customers"));
        QCOMPARE(w.ObjectTree.ObjectPathList.front(), std::string("Table/Customers"));
        QVERIFY(Leaf(w, QStringLiteral("Procedure"), QStringLiteral("SetOrderStatus")) != TObjectTree::kNone);
        QVERIFY(Leaf(w, QStringLiteral("TableFunction"), QStringLiteral("fnCustomerOrders")) != TObjectTree::kNone);

        // Every loaded name is underlined in the editor, procedures as well as tables.
        QsciScintilla* ed = w.CurrentEditor()->sqledit;
        const QString names = QStringLiteral("exec GetCustomerOrders 1 select * from Orders");
        ed->setText(names);
        QTRY_VERIFY(Underlined(ed, 5) && Underlined(ed, 40));

        // Search: the count node first, the first match selected; Enter in the box previews that table
        // in the unchanged current tab, which takes the table's name.
        w.eSearch->setFocus();
        QTest::keyClicks(w.eSearch, QStringLiteral("ord"));
        QTRY_COMPARE(w.ItemModel->index(0, 0, {}).data().toString(),
                     QStringLiteral("(%1 matches)").arg(w.ObjectTree.CountMatchingPaths("ord")));
        QCOMPARE(Caption(w, w.SelectedNode()), QStringLiteral("OrderLines"));
        w.SelectNode(Leaf(w, QStringLiteral("Table"), QStringLiteral("Orders")));
        ed->setModified(false);
        QTest::keyClick(w.eSearch, Qt::Key_Return);
        QCOMPARE(w.pc->count(), 1);
        QCOMPARE(w.pc->tabText(0), QStringLiteral("&1 Orders"));
        QCOMPARE(ed->text(), QStringLiteral("select top 100 * from [Orders]"));
        QVERIFY(w.resulttext->toPlainText().startsWith(QStringLiteral("Rowcount: ")));
        QVERIFY(w.resulttext->toPlainText().contains(QStringLiteral("OrderID")));

        // A procedure from a changed tab opens in a new tab, with its CREATE line turned into ALTER.
        ed->setText(ed->text() + QStringLiteral("\n-- mine"));
        w.SelectNode(Leaf(w, QStringLiteral("Procedure"), QStringLiteral("GetCustomerOrders")));
        QTest::keyClick(w.itemtree, Qt::Key_Return);
        QCOMPARE(w.pc->count(), 2);
        QCOMPARE(w.pc->tabText(1), QStringLiteral("&2 GetCustomerOrders"));
        QVERIFY(ed->text().endsWith(QStringLiteral("-- mine")));
        QsciScintilla* source = w.CurrentEditor()->sqledit;
        QVERIFY2(source->text().startsWith(QStringLiteral("ALTER PROCEDURE GetCustomerOrders")), qPrintable(source->text()));
        QVERIFY(!source->isModified());

        // "View in new tab" always adds a tab; "&Table structure" reuses an unchanged one.
        w.Openinnewtab1Click();
        QCOMPARE(w.pc->count(), 3);
        w.SelectNode(Leaf(w, QStringLiteral("Table"), QStringLiteral("Orders")));
        w.Viewtablestructure1->trigger();
        QCOMPARE(w.pc->count(), 3);
        QVERIFY(w.resulttext->toPlainText().contains(QStringLiteral("IS_AUTOINCREMENT")));

        // A refresh keeps the filter; leaving the server empties the tree and the names.
        w.aRefreshItems->trigger();
        QCOMPARE(w.ItemModel->index(0, 0, {}).data().toString(),
                 QStringLiteral("(%1 matches)").arg(w.ObjectTree.CountMatchingPaths("ord")));
        w.db.Close();
        w.RefreshActionStates();
        QCOMPARE(w.ObjectTree.NodeCount(), 0);
        QVERIFY(!w.pItems->isEnabled());
        QsciScintilla* current = w.CurrentEditor()->sqledit;
        current->setText(names + QStringLiteral(" "));
        QTRY_VERIFY(current->SendScintilla(QsciScintilla::SCI_GETENDSTYLED) >= names.size());
        QVERIFY(!Underlined(current, 5) && !Underlined(current, 40));
    }

    // Names with brackets and quotes reach the server quoted; names and source outside Latin-1 come
    // back as written.
    void namesThatNeedQuoting() {
        TfTlvnMain w;
        w.AutoConnect = false;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        ConnectToDemo(w);
        Run(w, QStringLiteral("create table [a]]b'c] (id int identity, v nvarchar(10))\nGO\n"
                              "create procedure [p'q]]r] as\n-- σχόλιο\nselect 1\nGO\n"
                              "create table [注文] (id int)\n"));
        QVERIFY2(w.resulttext->toPlainText().contains(QStringLiteral("Success.")), qPrintable(w.resulttext->toPlainText()));
        w.aRefreshItems->trigger();
        QVERIFY(Leaf(w, QStringLiteral("Table"), QStringLiteral("注文")) != TObjectTree::kNone);

        w.SelectNode(Leaf(w, QStringLiteral("Table"), QStringLiteral("a]b'c")));
        w.Viewtablestructure1Click();
        QCOMPARE(w.pc->tabText(w.pc->currentIndex()), QStringLiteral("&1 a]b'c"));
        const QString columns = w.resulttext->toPlainText();
        QVERIFY2(columns.contains(QStringLiteral("Rowcount: 2")) && columns.contains(QStringLiteral("nvarchar")), qPrintable(columns));

        w.itemtreeDblClick();
        QCOMPARE(w.CurrentEditor()->sqledit->text(), QStringLiteral("select top 100 * from [a]]b'c]"));

        w.SelectNode(Leaf(w, QStringLiteral("Procedure"), QStringLiteral("p'q]r")));
        w.itemtreeDblClick();
        const QString alter = w.CurrentEditor()->sqledit->text();
        QVERIFY2(alter.startsWith(QStringLiteral("ALTER procedure [p'q]]r] as")) && alter.contains(QStringLiteral("-- σχόλιο")),
                 qPrintable(alter));

        // A load that fails is left as far as it got (emptied, nothing rebuilt) and its error reaches
        // the caller.
        w.db.Execute("exec sp_sandbox_drop_after_rows 2");
        QVERIFY_THROWS_EXCEPTION(std::exception, w.LoadObjectTree());
        QVERIFY(w.ObjectTree.ObjectPathList.empty());
        QCOMPARE(w.ItemModel->rowCount({}), 0);
    }
};

QTEST_MAIN(TestSchemaBrowser)
#include "test_schema_browser.moc"
