// The main window as a keyboard user meets it, on a real X display with a window manager: the
// toolbar at the smallest width, a toolbar hint, the find panel's message, many tabs and the run
// button's menu; screenshots go to the folder given as the first argument, each file name
// starting with the second argument. With a third argument (the stand-in's use), it also checks
// Ctrl+E from the database box and the focus after a run, which need the platform's key bindings.
#include "SandboxProcess.h"
#include "uSqlEditor.h"
#include "uTolvanMain.h"

#include <Qsci/qsciscintilla.h>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QCursor>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTabWidget>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include <cstdio>

namespace {

void Settle(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
}

void Shot(const QString& path, const QRect& area) {
    QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height()).save(path);
}

int failures = 0;
void Check(bool ok, const char* what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAIL", what);
    if (!ok) ++failures;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    const QString tag = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
    const bool withServer = argc > 3;
    TfTlvnMain w;
    w.AutoConnect = false;
    w.show();
    w.resize(790, 560);
    Settle(800);
    const QRect frame = w.frameGeometry();
    auto* toolbar = w.findChild<QToolBar*>(QStringLiteral("toolbar"));
    Check(w.eDatabase->isVisible(), "the database box shows at 790 pixels");
    Shot(out + QStringLiteral("/%1toolbar-790.png").arg(tag), QRect(frame.topLeft(), QSize(frame.width(), 90)));

    // A hint: the pointer rests on the Find button.
    QWidget* findButton = toolbar->widgetForAction(w.aFind);
    QCursor::setPos(findButton->mapToGlobal(findButton->rect().center()));
    Settle(1500);
    Shot(out + QStringLiteral("/%1toolbar-hint.png").arg(tag), frame);
    Check(w.statusRow->isVisible() && w.statusText->isVisible(), "the status panels stay while a toolbar hint shows");
    QCursor::setPos(frame.bottomRight() + QPoint(50, 50));

    // The find panel with nothing found.
    TSqlEditor* e = w.CurrentEditor();
    e->sqledit->setText(QStringLiteral("select Name from Customers\n"));
    w.aFind->trigger();
    e->eSearchText->setText(QStringLiteral("zzz"));
    Settle(300);
    const QRect panel(e->pSearch->mapToGlobal(QPoint(0, 0)), e->pSearch->size());
    Shot(out + QStringLiteral("/%1find-no-match.png").arg(tag), panel.adjusted(-2, -2, 2, 2));

    // Nineteen tabs, the last one current.
    for (int i = 0; i < 18; ++i) w.aNew->trigger();
    Settle(300);
    const QRect tabs(w.pc->mapToGlobal(QPoint(0, 0)), QSize(w.pc->width(), 60));
    Shot(out + QStringLiteral("/%1tabs-19.png").arg(tag), tabs);

    // The run button's menu.
    auto* runButton = qobject_cast<QToolButton*>(toolbar->widgetForAction(w.aSilly1));
    QTimer::singleShot(600, [&] {
        if (QWidget* menu = QApplication::activePopupWidget()) {
            const QRect area =
                menu->geometry().united(runButton->geometry().translated(runButton->mapToGlobal(QPoint(0, 0)) - runButton->pos()));
            Shot(out + QStringLiteral("/%1run-menu.png").arg(tag), area.adjusted(-4, -4, 4, 4));
            menu->close();
        }
    });
    runButton->showMenu();

    if (withServer) {
        SandboxProcess server(true);
        w.db.ConnectionString = "Provider=SQLOLEDB.1;User ID=sa;Password=Tolvan-2026;Data Source=127.0.0.1," +
                                std::to_string(server.Port()) + ";Initial Catalog=master;Persist Security Info=True;";
        w.db.Open();
        w.LoadDatabaseList();
        w.RefreshActionStates();
        w.AfterConnectDialog();
        Settle(300);
        // Ctrl+E in the database box's line edit (end-of-line on X11) opens the connection dialog.
        bool dialogOpened = false;
        QTimer::singleShot(800, [&] {
            if (QWidget* dlg = QApplication::activeModalWidget()) {
                dialogOpened = true;
                dlg->close();
            }
        });
        QTest::keyClick(w.eDatabase->lineEdit(), Qt::Key_E, Qt::ControlModifier);
        Settle(1200);
        Check(dialogOpened, "Ctrl+E in the database box opens the connection dialog");
        w.CurrentEditor()->sqledit->setFocus();
        Settle(200);
        QTest::keyClick(w.CurrentEditor()->sqledit, Qt::Key_B, Qt::AltModifier);
        Settle(200);
        Check(w.eDatabase->hasFocus(), "Alt+B takes the focus to the database box");

        w.eDatabase->setEditText(QStringLiteral("demo"));
        w.SelectDatabase(QStringLiteral("demo"));
        w.CurrentEditor()->sqledit->setText(QStringLiteral("select 1 as a\n"));
        w.CurrentEditor()->sqledit->setFocus();
        Settle(300);
        QTest::keyClick(w.CurrentEditor()->sqledit, Qt::Key_F5);
        Settle(500);
        Check(QApplication::focusWidget() == w.CurrentEditor()->sqledit, "the editor keeps the focus across an F5 run");
        QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("x"));
        Check(w.CurrentEditor()->sqledit->text().contains(QLatin1Char('x')), "typing after the run goes into the editor");
        Settle(400);
        Shot(out + QStringLiteral("/%1after-run.png").arg(tag), w.frameGeometry());
    }
    std::printf("keyboard tour: %d failure(s)\n", failures);
    return failures == 0 ? 0 : 1;
}
