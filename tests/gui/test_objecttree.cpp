// The object tree without a server: levels, filter, count node and first match over small object
// lists; the ALTER rewrite and the quoted queries; and the tree in the window (selection, expansion,
// the search box's timer and keys, the right-click menu, emptying on disconnect).
#include "uObjectTree.h"
#include "uObjectTreeModel.h"
#include "uSqlEditor.h"
#include "uTolvanMain.h"

#include <Qsci/qsciscintilla.h>
#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QTabWidget>
#include <QTreeView>
#include <QtTest>

namespace {

TObjectTree TreeOf(const QString& paths) {
    TObjectTree t;
    for (const QString& p : paths.split(QLatin1Char(';'), Qt::SkipEmptyParts)) t.ObjectPathList.push_back(p.toStdString());
    return t;
}

// A node and what is below it as "caption{child,child}"; an empty caption shows as "~".
QString Dump(const TObjectTree& t, int node) {
    const std::string_view c = t.Caption(node);
    QString s = c.empty() ? QStringLiteral("~") : QString::fromUtf8(c.data(), static_cast<qsizetype>(c.size()));
    if (t.ChildCount(node) == 0) return s;
    QStringList children;
    for (int r = 0; r < t.ChildCount(node); ++r) children << Dump(t, t.Child(node, r));
    return s + QLatin1Char('{') + children.join(QLatin1Char(',')) + QLatin1Char('}');
}

QString Dump(const TObjectTree& t) {
    QStringList top;
    for (int r = 0; r < t.TopLevelCount(); ++r) top << Dump(t, t.TopLevel(r));
    return top.join(QLatin1Char(','));
}

// The window's tree filled from a list of paths, as a load would leave it.
void Fill(TfTlvnMain& w, const QStringList& paths) {
    w.ObjectTree.Clear();
    for (const QString& p : paths) w.ObjectTree.ObjectPathList.push_back(p.toStdString());
    w.RebuildObjectTree(w.eSearch->text());
}

QString SelectedCaption(const TfTlvnMain& w) {
    const int n = w.SelectedNode();
    return n == TObjectTree::kNone ? QString() : QString::fromStdString(std::string(w.ObjectTree.Caption(n)));
}

}  // namespace

class TestObjectTree : public QObject {
    Q_OBJECT
private slots:
    void levelsAndFilter_data() {
        QTest::addColumn<QString>("paths");
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QString>("tree");
        QTest::addColumn<QString>("firstMatch");
        const QString demo =
            QStringLiteral("Table/Customers;Table/Orders;View/vOrders;Procedure/GetOrders;Procedure/Ping;Trigger/trX;TableFunction/fnRows");
        QTest::newRow("only tables") << QStringLiteral("Table/Customers;Table/Orders") << QString()
                                     << QStringLiteral("Table{Customers,Orders}") << QStringLiteral("Customers");
        QTest::newRow("no objects") << QString() << QString() << QString() << QString();
        QTest::newRow("kinds in load order")
            << demo << QString()
            << QStringLiteral("Table{Customers,Orders},View{vOrders},Procedure{GetOrders,Ping},Trigger{trX},TableFunction{fnRows}")
            << QStringLiteral("Customers");
        QTest::newRow("slash makes a group") << QStringLiteral("Table/T;View/x/y") << QString() << QStringLiteral("Table{T},View{x{y}}")
                                             << QStringLiteral("T");
        QTest::newRow("neighbours share a group") << QStringLiteral("Table/a/b;Table/a/c;Table/a/d/e;Table/z") << QString()
                                                  << QStringLiteral("Table{a{b,c,d{e}},z}") << QStringLiteral("b");
        QTest::newRow("split group stays split")
            << QStringLiteral("Table/a/b;Table/x;Table/a/c") << QString() << QStringLiteral("Table{a{b},x,a{c}}") << QStringLiteral("b");
        QTest::newRow("trailing slash: empty leaf")
            << QStringLiteral("Table/a/;Table/b") << QString() << QStringLiteral("Table{a{~},b}") << QStringLiteral("~");
        QTest::newRow("filter keeps matching kinds")
            << demo << QStringLiteral("ord") << QStringLiteral("(3 matches),Table{Orders},View{vOrders},Procedure{GetOrders}")
            << QStringLiteral("Orders");
        QTest::newRow("filter is a kind") << demo << QStringLiteral("proc") << QStringLiteral("(2 matches),Procedure{GetOrders,Ping}")
                                          << QStringLiteral("GetOrders");
        QTest::newRow("filter spans kind and name")
            << demo << QStringLiteral("e/p") << QStringLiteral("(1 match),Procedure{Ping}") << QStringLiteral("Ping");
        QTest::newRow("slash matches all") << QStringLiteral("Table/A;View/B") << QStringLiteral("/")
                                           << QStringLiteral("(2 matches),Table{A},View{B}") << QStringLiteral("A");
        QTest::newRow("no match: count node only") << demo << QStringLiteral("zzz") << QStringLiteral("(0 matches)") << QString();
        QTest::newRow("empty groups dropped at every level") << QStringLiteral("Table/a/b;Table/a/c/d;Table/zz") << QStringLiteral("zz")
                                                             << QStringLiteral("(1 match),Table{zz}") << QStringLiteral("zz");
        QTest::newRow("case ignored in the path") << QStringLiteral("Table/ORDERS;View/Ordered") << QStringLiteral("order")
                                                  << QStringLiteral("(2 matches),Table{ORDERS},View{Ordered}") << QStringLiteral("ORDERS");
        QTest::newRow("names in any script") << QStringLiteral("Table/注文;Table/Kunden") << QStringLiteral("注")
                                             << QStringLiteral("(1 match),Table{注文}") << QStringLiteral("注文");
    }

    void levelsAndFilter() {
        QFETCH(QString, paths);
        QFETCH(QString, filter);
        QFETCH(QString, tree);
        QFETCH(QString, firstMatch);
        TObjectTree t = TreeOf(paths);
        const std::string f = LowerAscii(filter.toStdString());
        t.Rebuild(f);
        QCOMPARE(Dump(t), tree);
        const int first = t.FirstMatchNode();
        QCOMPARE(first == TObjectTree::kNone ? QString() : Dump(t, first), firstMatch);
        if (!filter.isEmpty()) QCOMPARE(t.MatchCount(), t.CountMatchingPaths(f));
        // Nodes are numbered in full tree order: every node's parent comes before it.
        for (int n = 0; n < t.NodeCount(); ++n) QVERIFY(t.Parent(n) < n);
    }

    void createToAlter_data() {
        // Lines separated by "|", each with its own line break if it has one.
        QTest::addColumn<QString>("lines");
        QTest::addColumn<int>("changed");
        QTest::addColumn<QString>("result");
        QTest::newRow("comments then create") << QStringLiteral("-- one\n|-- two\n|CREATE PROCEDURE dbo.X\n|AS select 1\n") << 2
                                              << QStringLiteral("-- one\n|-- two\n|ALTER PROCEDURE dbo.X\n|AS select 1\n");
        QTest::newRow("leading blanks do not count")
            << QStringLiteral("  create view v as select 1") << -1 << QStringLiteral("  create view v as select 1");
        QTest::newRow("lower case keeps the rest")
            << QStringLiteral("create proc  p -- Ünïcode\r\n") << 0 << QStringLiteral("ALTER proc  p -- Ünïcode\r\n");
        QTest::newRow("create and a tab") << QStringLiteral("CREATE\tPROCEDURE p") << -1 << QStringLiteral("CREATE\tPROCEDURE p");
        QTest::newRow("create and a line break") << QStringLiteral("CREATE\n|PROCEDURE p") << -1 << QStringLiteral("CREATE\n|PROCEDURE p");
        QTest::newRow("only the first") << QStringLiteral("Create trigger t\n|create table x(i int)\n") << 0
                                        << QStringLiteral("ALTER trigger t\n|create table x(i int)\n");
        QTest::newRow("creates is not create") << QStringLiteral("CREATES x\n|CREATE FUNCTION f") << 1
                                               << QStringLiteral("CREATES x\n|ALTER FUNCTION f");
    }

    void createToAlter() {
        QFETCH(QString, lines);
        QFETCH(int, changed);
        QFETCH(QString, result);
        std::vector<std::string> l;
        for (const QString& s : lines.split(QLatin1Char('|'))) l.push_back(s.toStdString());
        QCOMPARE(CreateToAlter(l), changed);
        QStringList got;
        for (const std::string& s : l) got << QString::fromStdString(s);
        QCOMPARE(got.join(QLatin1Char('|')), result);
    }

    // Names go into the queries quoted, so a bracket or quote in a name cannot end them early.
    void queriesQuoteNames() {
        QCOMPARE(TablePreviewSql("a]b'c"), std::string("select top 100 * from [a]]b'c]"));
        QVERIFY(TableStructureSql("a]b'c").find("TABLE_NAME = N'a]b''c' ORDER BY") != std::string::npos);
        QCOMPARE(ObjectSourceSql("Procedure", "O'Brien]; drop table x --"),
                 std::string("select cast(text as nvarchar(4000)) text from syscomments where objectproperty(id, N'IsProcedure') = 1   "
                             "and object_name(id) = N'O''Brien]; drop table x --' order by number, colid "));
    }

    // After a load without search text the first table is selected and only its group is open; with a
    // filter of fewer than 100 matches everything is open, with 100 or more only the first match's group.
    void selectionAndExpansionInTheWindow() {
        TfTlvnMain w;
        w.AutoConnect = false;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QStringList paths{QStringLiteral("Table/Customers"), QStringLiteral("Table/Orders"), QStringLiteral("View/Sales/ByMonth"),
                          QStringLiteral("Procedure/GetOrders")};
        Fill(w, paths);
        TObjectTreeModel* m = w.ItemModel;
        QCOMPARE(SelectedCaption(w), QStringLiteral("Customers"));
        QVERIFY(w.itemtree->isExpanded(m->index(0, 0, {})));
        QVERIFY(!w.itemtree->isExpanded(m->index(1, 0, {})));
        QVERIFY(!w.itemtree->isExpanded(m->index(2, 0, {})));

        w.eSearch->setText(QStringLiteral("o"));
        w.RebuildObjectTree(w.eSearch->text());
        QCOMPARE(m->index(0, 0, {}).data().toString(), QStringLiteral("(4 matches)"));
        QVERIFY(w.itemtree->isExpanded(m->index(0, 0, m->index(2, 0, {}))));  // View/Sales

        for (int i = 0; i < 150; ++i) paths << QStringLiteral("Procedure/Load%1").arg(i);
        w.eSearch->setText(QStringLiteral("load"));
        Fill(w, paths);
        QCOMPARE(m->index(0, 0, {}).data().toString(), QStringLiteral("(150 matches)"));
        QCOMPARE(m->rowCount({}), 2);
        QVERIFY(w.itemtree->isExpanded(m->index(1, 0, {})));
        QCOMPARE(SelectedCaption(w), QStringLiteral("Load0"));

        w.eSearch->setText(QStringLiteral("sales"));
        Fill(w, paths);
        QCOMPARE(m->index(0, 0, {}).data().toString(), QStringLiteral("(1 match)"));
        QCOMPARE(SelectedCaption(w), QStringLiteral("ByMonth"));

        // Clearing the box shows the full tree again, first table selected.
        w.eSearch->setText(QString());
        Fill(w, paths);
        QCOMPARE(m->index(0, 0, {}).data().toString(), QStringLiteral("Table"));
        QCOMPARE(SelectedCaption(w), QStringLiteral("Customers"));
    }

    // Typing rebuilds once, 250 ms after the last change; a change of case alone rebuilds again.
    void searchBoxTimerAndKeys() {
        TfTlvnMain w;
        w.AutoConnect = false;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.pItems->setEnabled(true);  // as when connected with a database chosen
        Fill(w, {QStringLiteral("Table/Customers"), QStringLiteral("Table/Orders"), QStringLiteral("View/vOrders")});
        QSignalSpy rebuilds(w.ItemModel, &QAbstractItemModel::modelReset);
        QTest::keyClicks(w.eSearch, QStringLiteral("ord"));
        QTRY_COMPARE(w.LastSearchText, QStringLiteral("ord"));
        QTest::qWait(300);
        QCOMPARE(rebuilds.count(), 1);
        QCOMPARE(SelectedCaption(w), QStringLiteral("Orders"));
        QTest::keyClick(w.eSearch, Qt::Key_Backspace);
        QTest::keyClicks(w.eSearch, QStringLiteral("D"));
        QTRY_COMPARE(rebuilds.count(), 2);
        QCOMPARE(w.ItemModel->index(0, 0, {}).data().toString(), QStringLiteral("(2 matches)"));

        // Down moves to the next node in full tree order (into the next group) and focuses the tree;
        // Up stops at the count node.
        w.eSearch->setFocus();
        QTest::keyClick(w.eSearch, Qt::Key_Down);
        QCOMPARE(SelectedCaption(w), QStringLiteral("View"));
        QVERIFY(w.itemtree->hasFocus());
        for (int i = 0; i < 5; ++i) QTest::keyClick(w.eSearch, Qt::Key_Up);
        QCOMPARE(SelectedCaption(w), QStringLiteral("(2 matches)"));
        for (int i = 0; i < 9; ++i) QTest::keyClick(w.eSearch, Qt::Key_Down);
        QCOMPARE(SelectedCaption(w), QStringLiteral("vOrders"));

        // Enter on a group or the count node opens nothing.
        const int tabs = w.pc->count();
        w.SelectNode(0);
        QTest::keyClick(w.itemtree, Qt::Key_Return);
        w.SelectNode(1);
        QTest::keyClick(w.eSearch, Qt::Key_Return);
        QCOMPARE(w.pc->count(), tabs);
        QVERIFY(w.CurrentEditor()->sqledit->text().isEmpty());
    }

    // Double-click on a table renames the unchanged current tab and puts the preview query in it; with
    // Shift held, or when the current editor was changed, it opens a new tab.
    void tabChoiceForATable() {
        TfTlvnMain w;
        w.AutoConnect = false;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.pItems->setEnabled(true);
        Fill(w, {QStringLiteral("Table/T"), QStringLiteral("Table/U")});
        const QPoint t = w.itemtree->visualRect(w.ItemModel->IndexOf(1)).center();
        // Through the window, as the platform delivers a double-click.
        auto doubleClick = [&w, t](Qt::KeyboardModifiers mods) {
            QTest::mouseDClick(w.windowHandle(), Qt::LeftButton, mods, w.itemtree->viewport()->mapTo(&w, t));
        };
        doubleClick({});
        QCOMPARE(w.pc->count(), 1);
        QCOMPARE(w.pc->tabText(0), QStringLiteral("&1 T"));
        QCOMPARE(w.CurrentEditor()->sqledit->text(), QStringLiteral("select top 100 * from [T]"));
        doubleClick(Qt::ShiftModifier);
        QCOMPARE(w.pc->count(), 2);
        QCOMPARE(w.pc->tabText(1), QStringLiteral("&2 T"));
        w.CurrentEditor()->sqledit->insert(QStringLiteral("-- mine "));
        w.SelectNode(2);
        QTest::keyClick(w.itemtree, Qt::Key_Return);
        QCOMPARE(w.pc->count(), 3);
        QCOMPARE(w.pc->tabText(2), QStringLiteral("&3 U"));
        QVERIFY(w.pc->widget(1)->findChild<QsciScintilla*>()->text().startsWith(QStringLiteral("-- mine ")));
    }

    // Tables get "&View" and "&Table structure", procedures "View in new tab", other kinds no menu;
    // the menu is for the selected node.
    void rightClickMenuByKind() {
        TfTlvnMain w;
        w.AutoConnect = false;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.pItems->setEnabled(true);
        Fill(w, {QStringLiteral("Table/T"), QStringLiteral("Procedure/P"), QStringLiteral("Trigger/R")});
        struct Case {
            int node;
            bool menu, view, structure, newTab;
        };
        // Nodes in full order: Table, T, Procedure, P, Trigger, R.
        for (const Case c : {Case{1, true, true, true, false}, Case{3, true, false, false, true}, Case{5, false, false, false, false},
                             Case{0, false, false, false, false}}) {
            w.SelectNode(c.node);
            const QRect other = w.itemtree->visualRect(w.ItemModel->IndexOf(c.node == 1 ? 3 : 1));
            QTest::mouseClick(w.itemtree->viewport(), Qt::RightButton, {}, other.center());
            QCOMPARE(w.SelectedNode(), c.node);  // a right click does not move the selection
            QCOMPARE(w.treeviewpopup->isVisible(), c.menu);
            if (c.menu) {
                QCOMPARE(w.View1->isVisible(), c.view);
                QCOMPARE(w.Viewtablestructure1->isVisible(), c.structure);
                QCOMPARE(w.Openinnewtab1->isVisible(), c.newTab);
                w.treeviewpopup->close();
            }
        }
    }

    // Not connected: the list, the tree and the highlighter's names are emptied and the panel is off.
    void disconnectedEmptiesTheTree() {
        TfTlvnMain w;
        w.AutoConnect = false;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        Fill(w, {QStringLiteral("Table/Orders")});
        QCOMPARE(w.ObjectTree.NodeCount(), 2);
        w.UpdateActionStates(true);
        QVERIFY(!w.pItems->isEnabled());
        QVERIFY(w.ObjectTree.ObjectPathList.empty());
        QCOMPARE(w.ItemModel->rowCount({}), 0);
    }
};

QTEST_MAIN(TestObjectTree)
#include "test_objecttree.moc"
