#include "uTolvanMain.h"

#include "uConnect.h"
#include "uNbAbout.h"
#include "uNbInstallAction.h"
#include "uNbIdleDelay.h"
#include "uSqlEditor.h"

#include <Qsci/qsciscintilla.h>
#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

TfTlvnMain* fTlvnMain = nullptr;

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

// A theme icon, or a small drawn letter when the machine has no icon theme.
QIcon IconFor(const QString& themeName, QChar letter) {
    QIcon icon = QIcon::fromTheme(themeName);
    if (!icon.isNull()) return icon;
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(0x2f, 0x6f, 0xb3));
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(QRectF(1, 1, 14, 14), 3, 3);
    p.setPen(Qt::white);
    QFont f = p.font();
    f.setBold(true);
    f.setPixelSize(11);
    p.setFont(f);
    p.drawText(QRect(0, 0, 16, 16), Qt::AlignCenter, QString(letter));
    return QIcon(pm);
}

}  // namespace

TEditorTab::TEditorTab(QWidget* owner) : QWidget(owner), Editor(new TSqlEditor(this)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(Editor);
}

TfTlvnMain::TfTlvnMain(QWidget* parent) : QMainWindow(parent) {
    setObjectName(QStringLiteral("fTlvnMain"));
    setWindowTitle(QStringLiteral("Tolvan - Merivane SQL Editor"));
    setFont(QFont(QStringLiteral("Tahoma"), 8));
    setMinimumSize(kMinWidth, kMinHeight);
    resize(kClientWidth, kClientHeight);

    Run = std::make_unique<TTlvnRun>(db);
    IdleDelay = new TNbIdleDelay(this);
    IdleDelay->SetDelay(200);
    IdleDelay->OnIdleDelay = [this] { IdleDelayIdleDelay(); };

    // Actions.
    aNew = MakeAction(QStringLiteral("&New"), QStringLiteral("Create a new editor tab"), QKeySequence(Qt::CTRL | Qt::Key_N), QStringLiteral("document-new"));
    aNew->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_N), QKeySequence(QStringLiteral("Ctrl+T"))});
    aClose = MakeAction(QStringLiteral("Close"), QStringLiteral("Close the current editor tab"), QKeySequence(Qt::CTRL | Qt::Key_W), QStringLiteral("window-close"));
    aClose->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_W), QKeySequence(QStringLiteral("Ctrl+F4"))});
    aRefreshItems = MakeAction(QStringLiteral("Refresh"), QStringLiteral("Refresh the list of database contents in the tree at the left"), QKeySequence(Qt::Key_F4), QStringLiteral("view-refresh"));
    aExecute = MakeAction(QStringLiteral("Execute SQL"), QStringLiteral("Execute the SQL in the editor window"), QKeySequence(Qt::Key_F5), QStringLiteral("media-playback-start"));
    aExecuteDebug = MakeAction(QStringLiteral("Debug SQL"), QStringLiteral("Execute the SQL in the editor window, capturing PRINT and RAISERROR output"), QKeySequence(Qt::SHIFT | Qt::Key_F5), QStringLiteral("debug-run"));
    aSilly1 = MakeAction(QStringLiteral("E&xecute SQL"), aExecute->toolTip(), QKeySequence(), QStringLiteral("media-playback-start"));
    aSilly2 = MakeAction(QStringLiteral("Debug SQL"), aExecuteDebug->toolTip(), QKeySequence(), QStringLiteral("debug-run"));
    aWordWrap = MakeAction(QStringLiteral("W&ord Wrap"), QStringLiteral("Toggle word wrapping in the editor window"), QKeySequence(Qt::CTRL | Qt::Key_O), QStringLiteral("format-justify-fill"));
    aWordWrap->setCheckable(true);
    aWordWrap->setChecked(true);
    aFind = MakeAction(QStringLiteral("&Find"), QStringLiteral("Start searching for text in this editor tab"), QKeySequence(Qt::CTRL | Qt::Key_F), QStringLiteral("edit-find"));
    aFindNext = MakeAction(QStringLiteral("Find Next"), QStringLiteral("Find the next match in this editor tab"), QKeySequence(Qt::Key_F3), QString());
    aFindNext->setShortcuts({QKeySequence(Qt::Key_F3), QKeySequence(QStringLiteral("Ctrl+G"))});
    aFindPrev = MakeAction(QStringLiteral("Find Previous"), QStringLiteral("Find the previous match in this editor tab"), QKeySequence(Qt::SHIFT | Qt::Key_F3), QString());
    aFindPrev->setShortcuts({QKeySequence(Qt::SHIFT | Qt::Key_F3), QKeySequence(QStringLiteral("Shift+Ctrl+G"))});
    aConnect = MakeAction(QStringLiteral("Conn&ect"), QStringLiteral("Connect to a database"), QKeySequence(Qt::CTRL | Qt::Key_E), QStringLiteral("network-connect"));
    aExportCSV = new QAction(QStringLiteral("E&xport CSV..."), this);
    aExportCSV->setToolTip(QStringLiteral("Export the current grid to a comma-separated-values (CSV) text file"));
    aImportXML = new QAction(QStringLiteral("Import &XML..."), this);
    aImportXML->setToolTip(QStringLiteral("Import a specially-formatted XML file into this grid"));
    NbAboutAction1 = new TNbAboutAction(this);
    NbAboutAction1->setIcon(IconFor(QStringLiteral("help-about"), QChar(u'A')));
    NbInstaller1 = new TNbInstaller(this);
    NbInstallAction1 = new TNbInstallAction(NbInstaller1);
    // The version check asks the maker's web site; TOLVAN_UPGRADE_URL replaces the address (empty: no check).
    NbInstallAction1->UpgradeUrl = qEnvironmentVariableIsSet("TOLVAN_UPGRADE_URL") ? qEnvironmentVariable("TOLVAN_UPGRADE_URL")
                                                                                 : QStringLiteral("https://www.merivane.com/products/tolvan/version/?Version=");
    aWebSite = new QAction(QStringLiteral("&Merivane Web Site..."), this);
    aWebSite->setToolTip(QStringLiteral("Visit the Merivane web site at www.merivane.com"));
    aFeatureRequest = new QAction(QStringLiteral("&Bugs and Features..."), this);
    aFeatureRequest->setToolTip(QStringLiteral("Submit requests and vote for new features!"));
    // Browse-URL actions: the shell's answer is not looked at.
    connect(aWebSite, &QAction::triggered, this, [] { QDesktopServices::openUrl(QUrl(QStringLiteral("https://www.merivane.com/tolvan/"))); });
    connect(aFeatureRequest, &QAction::triggered, this,
            [] { QDesktopServices::openUrl(QUrl(QStringLiteral("https://feedback.merivane.com/tolvan/"))); });

    connect(aNew, &QAction::triggered, this, [this] { NewEditorTab(QString()); });
    connect(aClose, &QAction::triggered, this, [this] { aCloseExecute(); });
    connect(aRefreshItems, &QAction::triggered, this, [this] { LoadDatabaseList(); });
    connect(aExecute, &QAction::triggered, this, [this] { aExecuteExecute(); });
    connect(aSilly1, &QAction::triggered, this, [this] { aExecuteExecute(); });
    connect(aExecuteDebug, &QAction::triggered, this, [this] { aExecuteDebugExecute(); });
    connect(aSilly2, &QAction::triggered, this, [this] { aExecuteDebugExecute(); });
    connect(aWordWrap, &QAction::triggered, this, [this] {
        if (HasEditorTabs()) CurrentEditor()->SetWordWrap(aWordWrap->isChecked());
    });
    connect(aFind, &QAction::triggered, this, [this] { CurrentEditor()->ToggleFindPanel(); });
    connect(aFindNext, &QAction::triggered, this, [this] {
        TSqlEditor* e = CurrentEditor();
        e->ShowFindPanel();
        e->SearchForward();
    });
    connect(aFindPrev, &QAction::triggered, this, [this] {
        TSqlEditor* e = CurrentEditor();
        e->ShowFindPanel();
        e->SearchBackward();
    });
    connect(aConnect, &QAction::triggered, this, [this] { aConnectExecute(); });
    connect(aExportCSV, &QAction::triggered, this, [this] {
        const QString path = QFileDialog::getSaveFileName(this, QString(), QString(), QStringLiteral("CSV Files (*.csv)"));
        if (path.isEmpty()) return;
        try {
            Run->ExportFirstResultCsv(path.toStdString());
        } catch (const std::exception& e) {
            QMessageBox::critical(this, windowTitle(), QString::fromStdString(e.what()));
        }
    });
    connect(aImportXML, &QAction::triggered, this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, QString(), QString(), QStringLiteral("XML Files (*.xml);;All Files (*)"));
        if (path.isEmpty()) return;
        try {
            Run->ImportXmlAsFirstResult(path.toStdString());
        } catch (const std::exception& e) {
            QMessageBox::critical(this, windowTitle(), QString::fromStdString(e.what()));
        }
    });

    // Toolbar with the database box at its right end.
    auto* toolbar = addToolBar(QStringLiteral("toolbar"));
    toolbar->setObjectName(QStringLiteral("toolbar"));
    toolbar->setMovable(false);
    toolbar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    toolbar->addAction(aNew);
    toolbar->addAction(aClose);
    toolbar->addAction(aRefreshItems);
    auto* runMenu = new QMenu(this);
    auto* normal = runMenu->addAction(QStringLiteral("Execute SQL (&Normal)"));
    auto* debug = runMenu->addAction(QStringLiteral("Execute SQL (&Debug Mode)"));
    connect(normal, &QAction::triggered, this, [this] { aExecuteExecute(); });
    connect(debug, &QAction::triggered, this, [this] { aExecuteDebugExecute(); });
    aSilly1->setMenu(runMenu);
    aSilly2->setMenu(runMenu);
    toolbar->addAction(aSilly1);
    toolbar->addAction(aSilly2);
    aSilly2->setVisible(false);
    toolbar->addSeparator();
    toolbar->addAction(aWordWrap);
    toolbar->addAction(aFind);
    toolbar->addSeparator();
    toolbar->addAction(aConnect);
    toolbar->addSeparator();
    toolbar->addAction(NbAboutAction1);
    toolbar->addAction(NbInstallAction1);
    auto* spacer = new QWidget(this);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    toolbar->addWidget(spacer);
    auto* lDatabase = new QLabel(QStringLiteral("Data&base:"), this);
    eDatabase = new QComboBox(this);
    eDatabase->setObjectName(QStringLiteral("eDatabase"));
    eDatabase->setEditable(true);
    eDatabase->setMaxVisibleItems(30);
    eDatabase->setFixedWidth(145);
    eDatabase->setEnabled(false);
    eDatabase->setToolTip(QStringLiteral("Choose which database catalog to work with (Alt+B)"));
    lDatabase->setBuddy(eDatabase);
    toolbar->addWidget(lDatabase);
    toolbar->addWidget(eDatabase);
    connect(eDatabase, &QComboBox::activated, this, [this] { SelectDatabase(eDatabase->currentText()); });
    eDatabase->installEventFilter(this);
    if (eDatabase->lineEdit()) eDatabase->lineEdit()->installEventFilter(this);

    // Editor tabs above the result pane.
    pc = new QTabWidget(this);
    pc->setObjectName(QStringLiteral("pc"));
    pc->setFocusPolicy(Qt::NoFocus);
    connect(pc, &QTabWidget::currentChanged, this, [this] { pcChange(); });
    pcResults = new QTabWidget(this);
    pcResults->setObjectName(QStringLiteral("pcResults"));
    resulttext = new QPlainTextEdit(this);
    resulttext->setObjectName(QStringLiteral("resulttext"));
    resulttext->setFont(QFont(QStringLiteral("Courier New"), 8));
    resulttext->setLineWrapMode(QPlainTextEdit::NoWrap);
    resulttext->setFrameShape(QFrame::NoFrame);
    resulttext->setContextMenuPolicy(Qt::CustomContextMenu);
    resulttext->installEventFilter(this);
    miUnderlineHeadings = new QAction(QStringLiteral("Text: Underline Headings"), this);
    miUnderlineHeadings->setCheckable(true);
    miUnderlineHeadings->setChecked(true);
    auto* widthItem = new QAction(QStringLiteral("Text: Column Width..."), this);
    connect(widthItem, &QAction::triggered, this, [this] {
        bool ok = false;
        const QString text = QInputDialog::getText(this, QStringLiteral("Column Width"), QStringLiteral("Enter the new maximum width for a column:"),
                                                   QLineEdit::Normal, QString::number(MaxColumnWidth), &ok);
        if (ok) MaxColumnWidth = text.trimmed().toInt();  // not a number: 0, no limit
    });
    connect(resulttext, &QWidget::customContextMenuRequested, this, [this, widthItem](const QPoint& at) {
        QMenu menu(this);
        menu.addAction(widthItem);
        menu.addAction(miUnderlineHeadings);
        menu.addSeparator();
        menu.addAction(aExportCSV);
        menu.addAction(aImportXML);
        menu.exec(resulttext->mapToGlobal(at));
    });
    pcResults->addTab(resulttext, QStringLiteral("&Text"));
    bHideResults = new QToolButton(pcResults);
    bHideResults->setText(QStringLiteral("X"));
    QFont bold = bHideResults->font();
    bold.setBold(true);
    bHideResults->setFont(bold);
    pcResults->setCornerWidget(bHideResults);
    connect(bHideResults, &QToolButton::clicked, this, [this] { ShowResultPane(false); });
    vSplitter = new QSplitter(Qt::Vertical, this);
    vSplitter->addWidget(pc);
    vSplitter->addWidget(pcResults);
    vSplitter->setChildrenCollapsible(false);
    vSplitter->setHandleWidth(3);
    vSplitter->setSizes({kClientHeight - 193, 193});

    // The object tree's place at the left, with its search box; the tree fills it once it is built.
    pItems = new QWidget(this);
    pItems->setObjectName(QStringLiteral("pItems"));
    auto* itemsLayout = new QVBoxLayout(pItems);
    itemsLayout->setContentsMargins(2, 2, 0, 0);
    itemsLayout->setSpacing(2);
    auto* searchRow = new QHBoxLayout;
    auto* lSearch = new QLabel(QStringLiteral("S&earch:"), pItems);
    eSearch = new QLineEdit(pItems);
    eSearch->setObjectName(QStringLiteral("eSearch"));
    eSearch->setToolTip(QStringLiteral("Search the database schema for a particular substring"));
    eSearch->setEnabled(false);
    lSearch->setBuddy(eSearch);
    searchRow->addWidget(lSearch);
    searchRow->addWidget(eSearch, 1);
    itemsLayout->addLayout(searchRow);
    itemtree = new QTreeWidget(pItems);
    itemtree->setObjectName(QStringLiteral("itemtree"));
    itemtree->setHeaderHidden(true);
    itemtree->setEditTriggers(QAbstractItemView::NoEditTriggers);
    itemsLayout->addWidget(itemtree, 1);
    hSplitter = new QSplitter(Qt::Horizontal, this);
    hSplitter->setObjectName(QStringLiteral("hSplitter"));
    hSplitter->addWidget(pItems);
    hSplitter->addWidget(vSplitter);
    hSplitter->setStretchFactor(1, 1);
    hSplitter->setSizes({190, kClientWidth - 190});
    setCentralWidget(hSplitter);

    // Status bar: Row, Col, and the run and catalog texts.
    statusRow = new QLabel(QStringLiteral("Row"), this);
    statusCol = new QLabel(QStringLiteral("Col"), this);
    statusText = new QLabel(this);
    for (QLabel* l : {statusRow, statusCol}) {
        l->setFixedWidth(60);
        l->setAlignment(Qt::AlignCenter);
        statusBar()->addWidget(l);
    }
    statusBar()->addWidget(statusText, 1);
    FormCreate();
}

TfTlvnMain::~TfTlvnMain() {
    Run->ClearRunResults();
    if (fTlvnMain == this) fTlvnMain = nullptr;
}

QAction* TfTlvnMain::MakeAction(const QString& caption, const QString& hint, const QKeySequence& shortcut, const QString& icon) {
    auto* a = new QAction(IconFor(icon, caption.isEmpty() ? QChar(u'?') : QString(caption).remove(QLatin1Char('&')).at(0)), caption, this);
    a->setToolTip(hint);
    a->setStatusTip(hint);
    if (!shortcut.isEmpty()) a->setShortcut(shortcut);
    a->setShortcutContext(Qt::ApplicationShortcut);
    addAction(a);
    return a;
}

void TfTlvnMain::CenterOnScreen() {
    const QScreen* scr = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!scr) return;
    QRect frame = frameGeometry();
    frame.moveCenter(scr->availableGeometry().center());
    move(frame.topLeft());
}

void TfTlvnMain::FormCreate() { UpdateActionStates(false); }

void TfTlvnMain::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    // The frame is known only once the window is shown, so the first show centres it.
    if (!centred_) {
        centred_ = true;
        CenterOnScreen();
    }
    if (!shownOnce_) {
        shownOnce_ = true;
        FormShow();
    }
}

void TfTlvnMain::FormShow() {
    NbSetAboutActions(aFeatureRequest, aWebSite);
    NbCheckInstaller();
    ShowResultPane(false);
    NewEditorTab(QString());
    // The connection dialog opens once, at the first moment the window has nothing else to do.
    if (AutoConnect) QTimer::singleShot(0, this, [this] { StartIdleIdle(); });
}

void TfTlvnMain::StartIdleIdle() {
    if (startIdleDone_) return;
    startIdleDone_ = true;
    aConnect->trigger();
}

void TfTlvnMain::UpdateActionStates(bool flag) {
    const bool active = flag && db.Connected();
    CatalogActive = active;
    const bool tabs = HasEditorTabs();
    aRefreshItems->setEnabled(active);
    for (QAction* a : {aExecute, aExecuteDebug, aSilly1, aSilly2}) a->setEnabled(tabs && active);
    for (QAction* a : {aClose, aWordWrap, aFind}) a->setEnabled(tabs);
    IdleDelay->Trigger();
}

// ---------------------------------------------------------------- tabs

TEditorTab* TfTlvnMain::NewEditorTab(const QString& name) {
    auto* tab = new TEditorTab(pc);
    pc->addTab(tab, QString());
    SetTabName(tab, name);
    tab->Editor->SetHighlighter(Highlighter);
    tab->Editor->sqledit->setText(QString());
    tab->Editor->sqledit->installEventFilter(this);
    pc->setCurrentIndex(pc->count() - 1);
    pcChange();
    RefreshActionStates();
    return tab;
}

void TfTlvnMain::SetTabName(TEditorTab* tab, const QString& name) {
    tab->TabName = name;
    UpdateTabCaption(pc->indexOf(tab));
}

void TfTlvnMain::UpdateTabCaption(int i) {
    auto* tab = qobject_cast<TEditorTab*>(pc->widget(i));
    if (!tab) return;
    pc->setTabText(i, (i <= 8 ? QStringLiteral("&%1 %2") : QStringLiteral("%1 %2")).arg(i + 1).arg(tab->TabName));
}

bool TfTlvnMain::HasEditorTabs() const { return pc->count() > 0; }

TSqlEditor* TfTlvnMain::CurrentEditor() {
    if (!HasEditorTabs()) NewEditorTab(QString());
    return qobject_cast<TEditorTab*>(pc->currentWidget())->Editor;
}

void TfTlvnMain::pcChange() {
    auto* tab = qobject_cast<TEditorTab*>(pc->currentWidget());
    if (!tab) return;
    tab->Editor->sqledit->setFocus();
    aWordWrap->setChecked(tab->Editor->WordWrap());
}

void TfTlvnMain::aCloseExecute() {
    if (HasEditorTabs()) {
        const int i = pc->currentIndex();
        QWidget* tab = pc->widget(i);
        pc->removeTab(i);
        delete tab;
        if (i > 0) {
            pc->setCurrentIndex(i - 1);
            pcChange();
        }
    }
    for (int k = 0; k < pc->count(); ++k) UpdateTabCaption(k);
    RefreshActionStates();
}

void TfTlvnMain::keyPressEvent(QKeyEvent* event) {
    QMainWindow::keyPressEvent(event);
}

bool TfTlvnMain::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        IdleDelay->Trigger();
        if (key->modifiers() & Qt::ControlModifier) {
            const int k = key->key();
            if (k >= Qt::Key_1 && k <= Qt::Key_9) {
                if (k - Qt::Key_1 < pc->count()) pc->setCurrentIndex(k - Qt::Key_1);
                pcChange();
                return true;
            }
            if (k == Qt::Key_PageUp || k == Qt::Key_PageDown) {
                CurrentEditor();
                const int n = pc->count();
                pc->setCurrentIndex((pc->currentIndex() + (k == Qt::Key_PageUp ? n - 1 : 1)) % n);
                pcChange();
                return true;
            }
        }
        if (watched == resulttext && key->key() == Qt::Key_A && (key->modifiers() & Qt::ControlModifier)) {
            resulttext->selectAll();  // Ctrl+A whatever other modifiers are held
            return true;
        }
        if (watched == eDatabase || (eDatabase && watched == eDatabase->lineEdit())) {
            if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) SelectDatabase(eDatabase->currentText());
        }
    } else if (event->type() == QEvent::FocusOut && (watched == eDatabase || watched == eDatabase->lineEdit())) {
        if (!eDatabase->view()->isVisible()) SelectDatabase(eDatabase->currentText());
    }
    return QMainWindow::eventFilter(watched, event);
}

void TfTlvnMain::IdleDelayIdleDelay() {
    if (HasEditorTabs()) {
        TSqlEditor* e = qobject_cast<TEditorTab*>(pc->currentWidget())->Editor;
        statusRow->setText(QStringLiteral("Row %1").arg(e->CaretLine()));
        statusCol->setText(QStringLiteral("Col %1").arg(e->CaretColumn()));
    } else {
        statusRow->setText(QStringLiteral("Row"));
        statusCol->setText(QStringLiteral("Col"));
    }
}

// ---------------------------------------------------------------- database box

void TfTlvnMain::LoadDatabaseList() {
    const QString text = eDatabase->currentText();
    std::unique_ptr<TNbDataSet> list = Run->OpenResultDataSet("select Name as DATABASE_NAME from master.dbo.sysdatabases order by Name ", *this);
    eDatabase->clear();
    TField& name = list->FieldByName("DATABASE_NAME");
    list->MoveFirst();
    while (!list->AtEnd()) {
        eDatabase->addItem(Q(name.ValueText()));
        list->MoveNext();
    }
    eDatabase->setEditText(text);
}

void TfTlvnMain::AfterConnectDialog() {
    eDatabase->setEditText(QString());
    const bool enable = db.Connected() && eDatabase->count() > 0;
    eDatabase->setEnabled(enable);
    if (enable) {
        eDatabase->setFocus();
        SetStatusText("Choose a database from the dropdown list.");
    } else {
        SetStatusText("Click \"Connect\" to connect to a database server.");
    }
}

void TfTlvnMain::SelectDatabase(const QString& name) {
    databaseClosedUp_ = false;
    if (!db.Connected() || eDatabase->currentText().isEmpty()) return;
    UpdateActionStates(true);
    if (name.toStdString() == CurrentDatabase) return;
    // The name is quoted as SQL Server quotes it: a "]" is doubled, so it cannot end the brackets.
    QString quoted = eDatabase->currentText();
    quoted.replace(QStringLiteral("]"), QStringLiteral("]]"));
    db.Execute("use [" + quoted.toStdString() + "]");
    CurrentDatabase = name.toStdString();
}

void TfTlvnMain::aConnectExecute() {
    CurrentDatabase.clear();
    TfConnect dlg(this);
    dlg.Connection = &db;
    for (;;) {
        const int result = dlg.exec();
        if (db.Connected()) {
            try {
                LoadDatabaseList();
            } catch (const EDbError&) {
                db.Close();  // a database-layer failure while listing closes the connection silently
            }
        }
        RefreshActionStates();
        if (result == QDialog::Rejected || db.Connected()) break;
    }
    AfterConnectDialog();
}

// ---------------------------------------------------------------- runs

void TfTlvnMain::SetStatusText(const std::string& text) {
    QString t = Q(text);
    t.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
    statusText->setText(t);
}

void TfTlvnMain::SetBusy(bool busy) {
    // The window takes no input while a run works, but keeps painting.
    setEnabled(!busy);
    if (busy) QApplication::setOverrideCursor(Qt::WaitCursor);
    else QApplication::restoreOverrideCursor();
}

void TfTlvnMain::ShowResultPane(bool show) {
    pcResults->setVisible(show);
    bHideResults->setVisible(show);
}

void TfTlvnMain::aExecuteExecute() {
    aSilly1->setVisible(true);
    aSilly2->setVisible(false);
    RunEditorSql(false);
}

void TfTlvnMain::aExecuteDebugExecute() {
    aSilly1->setVisible(false);
    aSilly2->setVisible(true);
    RunEditorSql(true);
}

void TfTlvnMain::RunEditorSql(bool debug) {
    if (!db.Connected() || eDatabase->currentText().isEmpty()) return;
    TSqlEditor* editor = CurrentEditor();
    QString sql = editor->SelectedText();
    if (sql.trimmed().isEmpty()) sql = editor->TextCrLf();
    if (sql.trimmed().isEmpty()) {
        ShowResultPane(false);
        return;
    }
    const std::string prefix = TTlvnRun::FailurePrefix(NowHHmmss());
    ShowResultPane(true);
    resulttext->setPlainText(QStringLiteral("Running query, please wait..."));
    resulttext->repaint();
    try {
        Run->RunBatches(sql.toStdString(), debug, *this);
        resulttext->setPlainText(QStringLiteral("Rendering, please wait..."));
        resulttext->repaint();
        if (Run->ResultList.empty()) {
            // Nothing to render: the messages, the time and "Success.".
            QString text = Q(Run->OutcomeText(prefix, nullptr));
            text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
            resulttext->setPlainText(text);
        } else {
            RenderTextPage();
        }
    } catch (const std::exception& e) {
        const std::string failure = e.what();
        QString text = Q(Run->OutcomeText(prefix, &failure));
        text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        resulttext->setPlainText(text);
        pcResults->setCurrentWidget(resulttext);
    }
    RefreshActionStates();
}

void TfTlvnMain::RenderTextPage() {
    if (Run->ResultList.empty()) return;
    std::string text = Run->MessageText;
    TTextRenderSettings settings;
    settings.MaxColumnWidth = MaxColumnWidth;
    settings.UnderlineHeadings = miUnderlineHeadings->isChecked();
    RenderTextResults(text, Run->ResultList, settings);
    QString shown = Q(text);
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    resulttext->setPlainText(shown);
    pcResults->setCurrentWidget(resulttext);
}
