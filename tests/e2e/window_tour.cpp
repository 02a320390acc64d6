// Drives the real window on an X display (Xvfb in the tests): the connection dialog, then a
// connection to the stand-in, a database choice and an F5 run, the object tree, a search in it and
// a procedure opened as ALTER, then F5 runs into grids (one grid, three stacked grids, a million rows
// scrolled to the end); screenshots of the screen are saved to the folder given as the first argument.
#include "SandboxProcess.h"
#include "uConnect.h"
#include "uNbDBGrid.h"
#include "uObjectTreeModel.h"
#include "uResultPages.h"
#include "uSqlEditor.h"
#include "uTolvanMain.h"

#include <Qsci/qsciscintilla.h>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScreen>
#include <QSplitter>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QTreeView>

#include <cstdio>

namespace {

// Runs the event loop for a while, letting it block as a user's session does (idle handlers run).
void Settle(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool Shot(const QString& path, const QRect& area) {
    const QPixmap pm = QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    // A picture that is one colour only means nothing was drawn.
    const QImage img = pm.toImage();
    bool varied = false;
    for (int y = 0; y < img.height() && !varied; y += 7)
        for (int x = 0; x < img.width() && !varied; x += 7) varied = img.pixel(x, y) != img.pixel(0, 0);
    return varied && pm.save(path);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    SandboxProcess server(true);
    TfTlvnMain w;
    w.AutoConnect = false;
    w.show();
    Settle(500);

    TfConnect dlg(&w);
    dlg.Connection = &w.db;
    dlg.show();
    Settle(300);
    dlg.cbServer->setEditText(QStringLiteral("127.0.0.1,%1").arg(server.Port()));
    dlg.cbLogin->setEditText(QStringLiteral("sa"));
    dlg.ePassword->setText(QString::fromLatin1(SandboxProcess::Password()));
    Settle(300);
    if (!Shot(out + QStringLiteral("/connect-dialog.png"), dlg.frameGeometry().adjusted(-8, -8, 8, 8))) {
        std::fprintf(stderr, "window_tour: the dialog screenshot is blank\n");
        return 1;
    }
    dlg.Connect();
    dlg.close();
    if (!w.db.Connected()) {
        std::fprintf(stderr, "window_tour: could not connect\n");
        return 1;
    }
    w.LoadDatabaseList();
    w.RefreshActionStates();
    w.AfterConnectDialog();
    w.eDatabase->setEditText(QStringLiteral("demo"));
    w.SelectDatabase(QStringLiteral("demo"));
    w.CurrentEditor()->sqledit->setText(
        QStringLiteral("-- Customers and their orders\nselect top 12 c.Name, c.City, count(*) as Orders, sum(o.Total) as Total\n"
                       "from Customers c join Orders o on o.CustomerID = c.CustomerID\ngroup by c.Name, c.City\norder by Total desc\nGO\n"
                       "print 'done'\n"));
    w.aExecute->trigger();
    Settle(800);
    // A run with results opens on the Grid page.
    if (w.pcResults->currentWidget() != w.ResultPages->tsGrid || w.ResultPages->Grids().size() != 1) {
        std::fprintf(stderr, "window_tour: the run did not open on one grid\n");
        return 1;
    }
    if (!Shot(out + QStringLiteral("/main-window.png"), w.frameGeometry())) {
        std::fprintf(stderr, "window_tour: the window screenshot is blank\n");
        return 1;
    }

    // The object tree of the demo database: the first table selected, its group open.
    w.itemtree->expand(w.ItemModel->index(1, 0, {}));
    w.itemtree->expand(w.ItemModel->index(2, 0, {}));
    Settle(300);
    if (w.ObjectTree.NodeCount() == 0 || !Shot(out + QStringLiteral("/object-tree.png"), w.frameGeometry())) {
        std::fprintf(stderr, "window_tour: no object tree to show\n");
        return 1;
    }
    // A search: the count node first and every match open below it.
    w.eSearch->setFocus();
    w.eSearch->setText(QStringLiteral("ord"));
    Settle(600);
    if (!w.ItemModel->index(0, 0, {}).data().toString().endsWith(QStringLiteral("matches)")) ||
        !Shot(out + QStringLiteral("/tree-search.png"), w.frameGeometry())) {
        std::fprintf(stderr, "window_tour: the search shows no count node\n");
        return 1;
    }
    // A procedure opened from the tree: its source in a new tab, CREATE turned into ALTER.
    for (int n = 0; n < w.ObjectTree.NodeCount(); ++n)
        if (w.ObjectTree.Caption(n) == "SetOrderStatus") w.SelectNode(n);
    w.itemtreeDblClick();
    Settle(500);
    if (!w.CurrentEditor()->sqledit->text().startsWith(QStringLiteral("ALTER PROCEDURE")) ||
        !Shot(out + QStringLiteral("/procedure-alter.png"), w.frameGeometry())) {
        std::fprintf(stderr, "window_tour: the procedure did not open as ALTER: %s\n", qPrintable(w.CurrentEditor()->sqledit->text()));
        return 1;
    }
    // The Text page renders when it comes to the front.
    w.pcResults->setCurrentWidget(w.resulttext);
    Settle(300);
    if (!w.resulttext->toPlainText().contains(QStringLiteral("Rowcount: 12"))) {
        std::fprintf(stderr, "window_tour: the run did not render: %s\n", qPrintable(w.resulttext->toPlainText()));
        return 1;
    }
    w.pcResults->setCurrentWidget(w.ResultPages->tsGrid);

    // Three results, three grids stacked, with room for them.
    w.resize(1180, 760);
    w.CenterOnScreen();
    for (QSplitter* sp : w.findChildren<QSplitter*>())
        if (sp->orientation() == Qt::Vertical) sp->setSizes({260, 420});
    Settle(300);
    w.CurrentEditor()->sqledit->setText(
        QStringLiteral("select top 3 Name, City, Country, Email from Customers order by Name\n"
                       "select Name, Category, UnitPrice, InStock from Products order by UnitPrice desc\n"
                       "select top 5 OrderID, CustomerID, OrderDate, Status from Orders order by OrderID\n"));
    w.aExecute->trigger();
    Settle(800);
    if (w.ResultPages->Grids().size() != 3) {
        std::fprintf(stderr, "window_tour: three results did not give three grids\n");
        return 1;
    }
    QTest::mouseMove(w.ResultPages->Grids()[1]->findChild<QHeaderView*>()->viewport(), QPoint(30, 8));
    Settle(300);
    if (!Shot(out + QStringLiteral("/grid-stack.png"), w.frameGeometry())) {
        std::fprintf(stderr, "window_tour: the grid screenshot is blank\n");
        return 1;
    }

    // A million rows, scrolled to the last one.
    w.CurrentEditor()->sqledit->setText(QStringLiteral("exec sp_sandbox_rows 1000000\n"));
    w.aExecute->trigger();
    Settle(500);
    TNbDBGrid* big = w.ResultPages->Grids().empty() ? nullptr : w.ResultPages->Grids()[0];
    if (!big || big->DataSet()->RowCount() != 1000000) {
        std::fprintf(stderr, "window_tour: the million-row result did not arrive\n");
        return 1;
    }
    big->setFocus();
    QTest::keyClick(big, Qt::Key_End, Qt::ControlModifier);
    Settle(500);
    if (big->DataSet()->RowNumber() != 1000000 || !Shot(out + QStringLiteral("/grid-million.png"), w.frameGeometry())) {
        std::fprintf(stderr, "window_tour: the million-row grid did not reach its end\n");
        return 1;
    }
    std::printf("window tour ok: %s\n", qPrintable(out));
    return 0;
}
