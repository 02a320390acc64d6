#include "uTolvanMain.h"

#include "uConnect.h"
#include "uKeyPreview.h"
#include "uNbAbout.h"
#include "uNbAppInfo.h"
#include "uNbDBGrid.h"
#include "uNbExceptionReporter.h"
#include "uNbIdleDelay.h"
#include "uNbInstallAction.h"
#include "uObjectTreeModel.h"
#include "uResultPages.h"
#include "uSqlEditor.h"
#include "uWindowParts.h"

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
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

TfTlvnMain* fTlvnMain = nullptr;

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

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
    KeyPreview = new TKeyPreview(this);
    KeyPreview->OnKeyDown = [this](QKeyEvent* key) { return FormKeyDown(key); };
    KeyPreview->OnInput = [this] { IdleDelay->Trigger(); };

    // Actions.
    aNew = MakeAction(QStringLiteral("&New"), QStringLiteral("Create a new editor tab"), QKeySequence(Qt::CTRL | Qt::Key_N),
                      QStringLiteral("new"));
    aNew->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_N), QKeySequence(QStringLiteral("Ctrl+T"))});
    aClose = MakeAction(QStringLiteral("Close"), QStringLiteral("Close the current editor tab"), QKeySequence(Qt::CTRL | Qt::Key_W),
                        QStringLiteral("close"));
    aClose->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_W), QKeySequence(QStringLiteral("Ctrl+F4"))});
    aRefreshItems = MakeAction(QStringLiteral("Refresh"), QStringLiteral("Refresh the list of database contents in the tree at the left"),
                               QKeySequence(Qt::Key_F4), QStringLiteral("refresh"));
    aExecute = MakeAction(QStringLiteral("Execute SQL"), QStringLiteral("Execute the SQL in the editor window"), QKeySequence(Qt::Key_F5),
                          QStringLiteral("execute"));
    aExecuteDebug = MakeAction(QStringLiteral("Debug SQL"),
                               QStringLiteral("Execute the SQL in the editor window, capturing PRINT and RAISERROR output"),
                               QKeySequence(Qt::SHIFT | Qt::Key_F5), QStringLiteral("debug"));
    aSilly1 = MakeAction(QStringLiteral("E&xecute SQL"), aExecute->toolTip(), QKeySequence(), QStringLiteral("execute"));
    aSilly2 = MakeAction(QStringLiteral("Debug SQL"), aExecuteDebug->toolTip(), QKeySequence(), QStringLiteral("debug"));
    aWordWrap = MakeAction(QStringLiteral("W&ord Wrap"), QStringLiteral("Toggle word wrapping in the editor window"),
                           QKeySequence(Qt::CTRL | Qt::Key_O), QStringLiteral("wordwrap"));
    aWordWrap->setCheckable(true);
    aWordWrap->setChecked(true);
    aFind = MakeAction(QStringLiteral("&Find"), QStringLiteral("Start searching for text in this editor tab"),
                       QKeySequence(Qt::CTRL | Qt::Key_F), QStringLiteral("find"));
    aFindNext = MakeAction(QStringLiteral("Find Next"), QStringLiteral("Find the next match in this editor tab"), QKeySequence(Qt::Key_F3),
                           QStringLiteral("findnext"));
    aFindNext->setShortcuts({QKeySequence(Qt::Key_F3), QKeySequence(QStringLiteral("Ctrl+G"))});
    aFindPrev = MakeAction(QStringLiteral("Find Previous"), QStringLiteral("Find the previous match in this editor tab"),
                           QKeySequence(Qt::SHIFT | Qt::Key_F3), QStringLiteral("findprev"));
    aFindPrev->setShortcuts({QKeySequence(Qt::SHIFT | Qt::Key_F3), QKeySequence(QStringLiteral("Shift+Ctrl+G"))});
    aConnect = MakeAction(QStringLiteral("Conn&ect"), QStringLiteral("Connect to a database"), QKeySequence(Qt::CTRL | Qt::Key_E),
                          QStringLiteral("connect"));
    aExportCSV = new QAction(QStringLiteral("E&xport CSV..."), this);
    aExportCSV->setToolTip(QStringLiteral("Export the current grid to a comma-separated-values (CSV) text file"));
    aImportXML = new QAction(QStringLiteral("Import &XML..."), this);
    aImportXML->setToolTip(QStringLiteral("Import a specially-formatted XML file into this grid"));
    NbAboutAction1 = new TNbAboutAction(this);
    NbAboutAction1->setIcon(ActionIcon(QStringLiteral("about")));
    aExportCSV->setIcon(ActionIcon(QStringLiteral("exportcsv")));
    aImportXML->setIcon(ActionIcon(QStringLiteral("importxml")));
    NbInstaller1 = new TNbInstaller(this);
    NbInstallAction1 = new TNbInstallAction(NbInstaller1);
    // The version check asks the maker's web site; TOLVAN_UPGRADE_URL replaces the address (empty: no check).
    NbInstallAction1->UpgradeUrl = qEnvironmentVariableIsSet("TOLVAN_UPGRADE_URL")
                                       ? qEnvironmentVariable("TOLVAN_UPGRADE_URL")
                                       : QStringLiteral("https://www.merivane.com/products/tolvan/version/?Version=");
    aWebSite = new QAction(QStringLiteral("&Merivane Web Site..."), this);
    aWebSite->setToolTip(QStringLiteral("Visit the Merivane web site at www.merivane.com"));
    aFeatureRequest = new QAction(QStringLiteral("&Bugs and Features..."), this);
    aFeatureRequest->setToolTip(QStringLiteral("Submit requests and vote for new features!"));
    aWebSite->setIcon(ActionIcon(QStringLiteral("website")));
    aFeatureRequest->setIcon(ActionIcon(QStringLiteral("feedback")));
    // Browse-URL actions: the shell's answer is not looked at.
    connect(aWebSite, &QAction::triggered, this,
            [] { QDesktopServices::openUrl(QUrl(QStringLiteral("https://www.merivane.com/tolvan/"))); });
    connect(aFeatureRequest, &QAction::triggered, this,
            [] { QDesktopServices::openUrl(QUrl(QStringLiteral("https://feedback.merivane.com/tolvan/"))); });

    connect(aNew, &QAction::triggered, this, [this] { NewEditorTab(QString()); });
    connect(aClose, &QAction::triggered, this, [this] { aCloseExecute(); });
    connect(aRefreshItems, &QAction::triggered, this, [this] { RefreshItems(); });
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
        // The grid of the dataset the import replaces is left without data; a failed import
        // leaves the dataset, and so the grid's binding, as they were.
        TMemCustomDataSet* first = Run->ResultList.empty() ? nullptr : Run->ResultList.front().get();
        TNbDBGrid* grid = ResultPages->GridOf(first);
        if (grid) grid->SetDataSet(nullptr);
        try {
            Run->ImportXmlAsFirstResult(path.toStdString());
        } catch (const std::exception& e) {
            if (grid) grid->SetDataSet(first);
            QMessageBox::critical(this, windowTitle(), QString::fromStdString(e.what()));
        }
    });

    // Toolbar with the database box at its right end.
    auto* toolbar = addToolBar(QStringLiteral("toolbar"));
    toolbar->setObjectName(QStringLiteral("toolbar"));
    toolbar->setMovable(false);
    toolbar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    toolbar->setIconSize(QSize(16, 16));
    toolbar->addAction(aNew);
    toolbar->addAction(aClose);
    toolbar->addAction(aRefreshItems);
    auto* runMenu = new QMenu(this);
    auto* normal = runMenu->addAction(QStringLiteral("Execute SQL (&Normal)"));
    auto* debug = runMenu->addAction(QStringLiteral("Execute SQL (&Debug Mode)"));
    // The entries show the pictures and keys of the two run actions; their keys act only while the
    // menu is open, so F5 and Shift+F5 stay unambiguous.
    normal->setIcon(ActionIcon(QStringLiteral("execute")));
    debug->setIcon(ActionIcon(QStringLiteral("debug")));
    for (QAction* entry : {normal, debug}) entry->setShortcutContext(Qt::WidgetShortcut);
    normal->setShortcut(QKeySequence(Qt::Key_F5));
    debug->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F5));
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
    pChooseDb = new QWidget(this);
    pChooseDb->setObjectName(QStringLiteral("pChooseDb"));
    auto* chooseDbRow = new QHBoxLayout(pChooseDb);
    chooseDbRow->setContentsMargins(0, 0, 0, 0);
    auto* lDatabase = new QLabel(QStringLiteral("Data&base:"), pChooseDb);
    eDatabase = new QComboBox(pChooseDb);
    eDatabase->setObjectName(QStringLiteral("eDatabase"));
    eDatabase->setEditable(true);
    eDatabase->setInsertPolicy(QComboBox::NoInsert);  // the list holds the server's names only
    eDatabase->setMaxVisibleItems(30);
    eDatabase->setFixedWidth(145);
    eDatabase->setEnabled(false);
    eDatabase->setToolTip(QStringLiteral("Choose which database catalog to work with (Alt+B)"));
    lDatabase->setBuddy(eDatabase);
    chooseDbRow->addWidget(lDatabase);
    chooseDbRow->addWidget(eDatabase);
    PlaceOverRightEnd(toolbar, pChooseDb);
    connect(eDatabase, &QComboBox::activated, this, [this] { eDatabaseExit(); });
    eDatabase->installEventFilter(this);
    if (eDatabase->lineEdit()) eDatabase->lineEdit()->installEventFilter(this);

    // Editor tabs above the result pane.
    pc = new QTabWidget(this);
    pc->setObjectName(QStringLiteral("pc"));
    pc->setFocusPolicy(Qt::NoFocus);
    connect(pc, &QTabWidget::currentChanged, this, [this] { pcChange(); });
    pc->setUsesScrollButtons(true);
    MakeTabListButton(pc);
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
        const QString text =
            QInputDialog::getText(this, QStringLiteral("Column Width"), QStringLiteral("Enter the new maximum width for a column:"),
                                  QLineEdit::Normal, QString::number(MaxColumnWidth), &ok);
        if (ok) MaxColumnWidth = text.trimmed().toInt();  // not a number: 0, no limit
    });
    // The popup of the Text page, the Grid page and its grids.
    puGrid = new QMenu(this);
    puGrid->setObjectName(QStringLiteral("puGrid"));
    puGrid->addAction(aImportXML);
    puGrid->addAction(aExportCSV);
    puGrid->addAction(widthItem);
    puGrid->addAction(miUnderlineHeadings);
    connect(resulttext, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { puGrid->exec(resulttext->mapToGlobal(at)); });
    pcResults->addTab(resulttext, QStringLiteral("&Text"));
    bHideResults = new QToolButton(pcResults);
    bHideResults->setText(QStringLiteral("X"));
    QFont bold = bHideResults->font();
    bold.setBold(true);
    bHideResults->setFont(bold);
    pcResults->setCornerWidget(bHideResults);
    connect(bHideResults, &QToolButton::clicked, this, [this] { ShowResultPane(false); });
    ResultPages = std::make_unique<TResultPages>(*pcResults, *resulttext, *bHideResults);
    ResultPages->RenderText = [this] { RenderTextPage(); };
    ResultPages->OnPopup = [this](const QPoint& at) { puGrid->exec(at); };
    vSplitter = new QSplitter(Qt::Vertical, this);
    vSplitter->addWidget(pc);
    vSplitter->addWidget(pcResults);
    vSplitter->setChildrenCollapsible(false);
    vSplitter->setHandleWidth(3);
    vSplitter->setSizes({kClientHeight - 193, 193});

    // The object tree at the left, under its search box.
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
    lSearch->setBuddy(eSearch);
    searchRow->addWidget(lSearch);
    searchRow->addWidget(eSearch, 1);
    itemsLayout->addLayout(searchRow);
    itemtree = new QTreeView(pItems);
    itemtree->setObjectName(QStringLiteral("itemtree"));
    itemtree->setHeaderHidden(true);
    itemtree->setEditTriggers(QAbstractItemView::NoEditTriggers);
    itemtree->setSelectionMode(QAbstractItemView::SingleSelection);
    itemtree->setUniformRowHeights(true);  // keeps a tree of many thousand rows fast
    itemtree->setIndentation(19);
    ItemModel = new TObjectTreeModel(ObjectTree, this);
    itemtree->setModel(ItemModel);
    itemtree->installEventFilter(this);
    itemtree->viewport()->installEventFilter(this);
    eSearch->installEventFilter(this);
    connect(itemtree, &QAbstractItemView::doubleClicked, this, [this] { itemtreeDblClick(); });
    itemsLayout->addWidget(itemtree, 1);
    SearchTimer = new QTimer(this);
    SearchTimer->setInterval(250);
    SearchTimer->setSingleShot(true);
    connect(SearchTimer, &QTimer::timeout, this, [this] { SearchTimerTick(); });
    SearchTimer->start();
    connect(eSearch, &QLineEdit::textChanged, this, [this] { eSearchChange(); });
    treeviewpopup = new QMenu(this);
    View1 = treeviewpopup->addAction(QStringLiteral("&View"));
    Viewtablestructure1 = treeviewpopup->addAction(QStringLiteral("&Table structure"));
    Openinnewtab1 = treeviewpopup->addAction(QStringLiteral("View in new tab"));
    connect(View1, &QAction::triggered, this, [this] { itemtreeDblClick(); });
    connect(Viewtablestructure1, &QAction::triggered, this, [this] { Viewtablestructure1Click(); });
    connect(Openinnewtab1, &QAction::triggered, this, [this] { Openinnewtab1Click(); });
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
    bCancel = new QToolButton(this);
    bCancel->setObjectName(QStringLiteral("bCancel"));
    bCancel->setText(QStringLiteral("Cancel"));
    bCancel->setToolTip(QStringLiteral("Stop the running query (Esc)"));
    bCancel->setFocusPolicy(Qt::NoFocus);  // the focus stays in the editor during the run
    bCancel->setAutoRaise(true);
    bCancel->hide();
    connect(bCancel, &QToolButton::clicked, this, [this] { CancelRun(); });
    statusBar()->addWidget(bCancel);
    statusBar()->addWidget(statusText, 1);
    KeyPreview->BusyExempt = bCancel;
    KeyPreview->OnBusyEscape = [this] {
        if (runCancellable_) CancelRun();
    };
    busyIndicator = new QProgressBar(this);
    busyIndicator->setObjectName(QStringLiteral("busyIndicator"));
    busyIndicator->setRange(0, 0);  // no steps: it only shows that the window is at work
    busyIndicator->setTextVisible(false);
    busyIndicator->setFixedSize(80, 12);
    busyIndicator->setToolTip(QStringLiteral("Running"));
    statusBar()->addPermanentWidget(busyIndicator);
    busyIndicator->hide();
    FormCreate();
}

TfTlvnMain::~TfTlvnMain() {
    ResultPages->ClearResultGrids();  // the grids go before the datasets they show
    Run->ClearRunResults();
    if (fTlvnMain == this) fTlvnMain = nullptr;
}

QAction* TfTlvnMain::MakeAction(const QString& caption, const QString& hint, const QKeySequence& shortcut, const QString& icon) {
    auto* a = new QAction(icon.isEmpty() ? QIcon() : ActionIcon(icon), caption, this);
    a->setToolTip(hint);  // a tooltip only: a status tip would hide the status bar's panels
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
    if (!db.Connected()) ClearSchemaItems();
    pItems->setEnabled(active);
    QPalette searchColours = eSearch->palette();
    searchColours.setColor(QPalette::Base, palette().color(active ? QPalette::Base : QPalette::Button));
    eSearch->setPalette(searchColours);
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

void TfTlvnMain::keyPressEvent(QKeyEvent* event) { QMainWindow::keyPressEvent(event); }

// Seen before the focused control, for every key of the window (TKeyPreview).
bool TfTlvnMain::FormKeyDown(QKeyEvent* key) {
    if (!(key->modifiers() & Qt::ControlModifier)) return false;
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
    return false;
}

bool TfTlvnMain::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (watched == resulttext && key->key() == Qt::Key_A && (key->modifiers() & Qt::ControlModifier)) {
            resulttext->selectAll();  // Ctrl+A whatever other modifiers are held
            return true;
        }
        if (watched == eDatabase || (eDatabase && watched == eDatabase->lineEdit())) {
            if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
                failedDatabase_.clear();  // Enter asks again, even for the name that failed
                eDatabaseExit();
                return true;  // the box itself would switch a second time
            }
            if (key->key() == Qt::Key_Down && key->modifiers() == Qt::NoModifier && eDatabase->currentText().isEmpty() &&
                eDatabase->count() > 0) {
                // From an empty box the first name, not the one after the box's hidden current item.
                eDatabase->setCurrentIndex(0);
                eDatabase->setEditText(eDatabase->itemText(0));
                emit eDatabase->activated(0);
                return true;
            }
        }
        const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
        if (watched == eSearch && (enter || key->key() == Qt::Key_Up || key->key() == Qt::Key_Down)) {
            eSearchKeyDown(key->key());
            return true;
        }
        if (watched == itemtree && enter) {
            itemtreeDblClick();
            return true;
        }
    } else if (event->type() == QEvent::MouseButtonPress && watched == itemtree->viewport()) {
        // A right click leaves the selection as it is: the menu applies to the selected node.
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::RightButton && itemtree->isEnabled()) {
            itemtreeMouseDown(mouse->globalPosition().toPoint());
            return true;
        }
    } else if (event->type() == QEvent::FocusOut && (watched == eDatabase || watched == eDatabase->lineEdit())) {
        // Only leaving the box for another control of the window: not the window losing the focus
        // to a message box or being closed, nor the box's own list opening.
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (!eDatabase->view()->isVisible() && isVisible() && reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason &&
            eDatabase->currentText() != failedDatabase_)
            eDatabaseExit();
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
    std::unique_ptr<TNbDataSet> list =
        Run->OpenResultDataSet("select Name as DATABASE_NAME from master.dbo.sysdatabases order by Name ", *this);
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
    db.Execute(UseDatabaseStatement(eDatabase->currentText().toStdString()));
    CurrentDatabase = name.toStdString();
    LoadObjectTree();
}

void TfTlvnMain::eDatabaseExit() {
    if (switchingDatabase_) return;
    switchingDatabase_ = true;
    const QString name = eDatabase->currentText();
    try {
        SelectDatabase(name);
        failedDatabase_.clear();
    } catch (const std::exception& e) {
        failedDatabase_ = name;
        NbReportException(NbAppExePath(), NbAppName(), NbAppVersion(), e, this);
    }
    switchingDatabase_ = false;
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
    // The window takes no input while a run works, but keeps painting as it is: nothing is disabled
    // (so nothing greys out and the focus stays put); the key preview refuses keys and clicks.
    if (busy == KeyPreview->Busy()) return;
    KeyPreview->SetBusy(busy);
    bCancel->setEnabled(true);
    bCancel->setVisible(busy && runCancellable_);
    if (busy) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        // Quick runs end before the indicator shows, so they do not flash it.
        QTimer::singleShot(300, busyIndicator, [this] { busyIndicator->setVisible(KeyPreview->Busy()); });
    } else {
        busyIndicator->hide();
        QApplication::restoreOverrideCursor();
    }
}

void TfTlvnMain::ShowResultPane(bool show) { ResultPages->ShowResultPane(show); }

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
    ResultPages->NotePageInFront();
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
    RunPrefix = prefix;
    try {
        ResultPages->TextRenderPending = false;
        ResultPages->ClearResultGrids();  // the run frees the datasets they show
        struct Cancellable {
            bool& flag;
            explicit Cancellable(bool& f) : flag(f) { flag = true; }
            ~Cancellable() { flag = false; }
        } cancellable(runCancellable_);
        Run->RunBatches(sql.toStdString(), debug, *this);
        ResultPages->TextRenderPending = true;
        resulttext->setPlainText(QStringLiteral("Rendering, please wait..."));
        resulttext->repaint();
        if (Run->ResultList.empty()) {
            // Nothing to render: the messages, the time and "Success.".
            ResultPages->TextRenderPending = false;
            QString text = Q(Run->OutcomeText(prefix, nullptr));
            text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
            resulttext->setPlainText(text);
            ResultPages->ShowTextPage();
        } else {
            ResultPages->BuildResultGrids(Run->ResultList);
            if (ResultPages->PreferTextPage)
                ResultPages->ShowTextPage();
            else
                ResultPages->ShowGridPage();
        }
    } catch (const EDbCancelled& e) {
        // What the run read stays: its results get their grids, and the Text page shows them with
        // the outcome at the end.
        const std::string failure = e.what();
        if (!Run->ResultList.empty()) ResultPages->BuildResultGrids(Run->ResultList);
        TTextRenderSettings settings;
        settings.MaxColumnWidth = MaxColumnWidth;
        settings.UnderlineHeadings = miUnderlineHeadings->isChecked();
        QString text = Q(Run->TextPage(prefix, &failure, settings));
        text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        resulttext->setPlainText(text);
        ResultPages->ShowTextPageNoRender();
    } catch (const std::exception& e) {
        const std::string failure = e.what();
        QString text = Q(Run->OutcomeText(prefix, &failure));
        text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        resulttext->setPlainText(text);
        ResultPages->ShowTextPageNoRender();
    }
    RefreshActionStates();
}

void TfTlvnMain::CancelRun() {
    if (!runCancellable_) return;
    bCancel->setEnabled(false);  // one request is enough; the run ends once the server has answered
    db.Cancel();
}

void TfTlvnMain::RenderTextPage() {
    if (Run->ResultList.empty()) return;
    // The engine makes the whole Text page, as tolvansql prints it.
    TTextRenderSettings settings;
    settings.MaxColumnWidth = MaxColumnWidth;
    settings.UnderlineHeadings = miUnderlineHeadings->isChecked();
    QString shown = Q(Run->TextPage(RunPrefix, nullptr, settings));
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    resulttext->setPlainText(shown);
}

// ---------------------------------------------------------------- object tree

void TfTlvnMain::RefreshItems() {
    LoadDatabaseList();
    LoadObjectTree();
}

void TfTlvnMain::RehighlightEditors() {
    for (int i = 0; i < pc->count(); ++i)
        if (auto* tab = qobject_cast<TEditorTab*>(pc->widget(i))) tab->Editor->Rehighlight();
}

void TfTlvnMain::ClearSchemaItems() {
    ItemModel->BeginRebuild();
    ObjectTree.Clear();
    ObjectTree.Rebuild(std::string());
    ItemModel->EndRebuild();
    Highlighter.SetTableNames({});
    RehighlightEditors();
}

void TfTlvnMain::LoadObjectTree() {
    // On a failure the tree stays empty with the paths read so far; the editors still show the names.
    struct Rehighlight {
        TfTlvnMain* w;
        ~Rehighlight() { w->RehighlightEditors(); }
    } rehighlight{this};
    ClearSchemaItems();
    AddObjectPaths("Table", *Run->OpenResultDataSet(kTableListSql, *this));
    const std::unique_ptr<TNbDataSet> code = Run->OpenResultDataSet(kCodeObjectListSql, *this);
    for (const char* kind : {"View", "Procedure", "Trigger", "ScalarFunction", "TableFunction"}) AddObjectPaths(kind, *code);
    RebuildObjectTree(eSearch->text());
}

void TfTlvnMain::AddObjectPaths(const std::string& kind, TNbDataSet& d) {
    TField& selects = d.FieldByName("Is" + kind);
    TField& name = d.FieldByName("Name");
    if (d.RowCount() == 0) return;
    QStringList names;
    d.MoveFirst();
    while (!d.AtEnd()) {
        if (selects.AsInteger() == 1) {
            const std::string n = name.ValueText();
            ObjectTree.AddPath(kind, n);
            names.append(Q(n));
        }
        d.MoveNext();
    }
    Highlighter.AddTableNames(names);
}

void TfTlvnMain::RebuildObjectTree(const QString& filter) {
    struct Resume {
        QWidget* w;
        ~Resume() { w->setUpdatesEnabled(true); }
    } resume{itemtree};
    itemtree->setUpdatesEnabled(false);
    const std::string lower = LowerAscii(filter.toStdString());
    ItemModel->BeginRebuild();
    ObjectTree.Rebuild(lower);
    ItemModel->EndRebuild();
    if (!lower.empty() && ObjectTree.MatchCount() < 100) itemtree->expandAll();
    if (ObjectTree.NodeCount() > 0) itemtree->scrollToTop();
    if (ObjectTree.FirstMatchNode() != TObjectTree::kNone) SelectNode(ObjectTree.FirstMatchNode());
}

int TfTlvnMain::SelectedNode() const {
    const QModelIndexList selected = itemtree->selectionModel()->selectedIndexes();
    return selected.isEmpty() ? TObjectTree::kNone : TObjectTreeModel::NodeOf(selected.first());
}

void TfTlvnMain::SelectNode(int node) {
    const QModelIndex index = ItemModel->IndexOf(node);
    for (QModelIndex up = index.parent(); up.isValid(); up = up.parent()) itemtree->expand(up);
    itemtree->setCurrentIndex(index);
    itemtree->scrollTo(index);
}

int TfTlvnMain::TopGroupOf(int node) const {
    while (node != TObjectTree::kNone) {
        const int parent = ObjectTree.Parent(node);
        if (parent == TObjectTree::kNone || ObjectTree.Caption(parent).empty()) break;
        node = parent;
    }
    return node;
}

void TfTlvnMain::eSearchChange() {
    SearchTimer->stop();
    SearchTimer->start();
}

void TfTlvnMain::SearchTimerTick() {
    SearchTimer->stop();
    if (eSearch->text() == LastSearchText) return;
    LastSearchText = eSearch->text();
    RebuildObjectTree(LastSearchText);
}

void TfTlvnMain::eSearchKeyDown(int key) {
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        itemtreeDblClick();
        return;
    }
    // Up and Down step through the tree in its full order, closed groups included.
    itemtree->setFocus();
    const int selected = SelectedNode();
    int i = selected == TObjectTree::kNone ? 0 : selected;
    if (key == Qt::Key_Up)
        i = std::max(i - 1, 0);
    else if (i + 1 < ObjectTree.NodeCount())
        ++i;
    if (ObjectTree.NodeCount() > 0) SelectNode(i);
}

void TfTlvnMain::SetEditorText(TSqlEditor* editor, const QString& text) {
    editor->sqledit->setText(text);
    editor->sqledit->setModified(false);
}

void TfTlvnMain::ChooseTabFor(const QString& name, bool shiftAddsTab) {
    if (!HasEditorTabs() || CurrentEditor()->sqledit->isModified() ||
        (shiftAddsTab && (QGuiApplication::queryKeyboardModifiers() & Qt::ShiftModifier))) {
        NewEditorTab(name);
        return;
    }
    SetTabName(qobject_cast<TEditorTab*>(pc->currentWidget()), name);
}

void TfTlvnMain::itemtreeDblClick() {
    const int node = SelectedNode();
    if (node == TObjectTree::kNone || ObjectTree.Parent(node) == TObjectTree::kNone) return;
    const std::string name(ObjectTree.Caption(node));
    ChooseTabFor(Q(name), true);
    const std::string kind(ObjectTree.Caption(TopGroupOf(node)));
    if (kind == "Table")
        PreviewTable(node);
    else
        OpenObjectSource(kind, node);
}

void TfTlvnMain::itemtreeMouseDown(const QPoint& globalPos) {
    const int node = SelectedNode();
    if (node == TObjectTree::kNone || ObjectTree.Parent(node) == TObjectTree::kNone) return;
    const std::string_view kind = ObjectTree.Caption(TopGroupOf(node));
    const bool table = kind == "Table";
    if (!table && kind != "Procedure") return;
    View1->setVisible(table);
    Viewtablestructure1->setVisible(table);
    Openinnewtab1->setVisible(!table);
    treeviewpopup->popup(globalPos);
}

void TfTlvnMain::Viewtablestructure1Click() {
    const int node = SelectedNode();
    if (node == TObjectTree::kNone || ObjectTree.Parent(node) == TObjectTree::kNone) return;
    const std::string name(ObjectTree.Caption(node));
    ChooseTabFor(Q(name), false);
    SetEditorText(CurrentEditor(), Q(TableStructureSql(name)));
    aExecuteExecute();
}

void TfTlvnMain::Openinnewtab1Click() {
    const int node = SelectedNode();
    if (node == TObjectTree::kNone || ObjectTree.Parent(node) == TObjectTree::kNone) return;
    NewEditorTab(Q(std::string(ObjectTree.Caption(node))));
    OpenObjectSource(std::string(ObjectTree.Caption(TopGroupOf(node))), node);
}

std::string TfTlvnMain::ReadObjectSource(const std::string& kind, const std::string& name) {
    const std::unique_ptr<TNbDataSet> pieces = Run->OpenResultDataSet(ObjectSourceSql(kind, name), *this);
    TField& text = pieces->FieldByName("Text");
    std::string source;
    pieces->MoveFirst();
    while (!pieces->AtEnd()) {
        text.AppendValueText(source);
        pieces->MoveNext();
    }
    return source;
}

void TfTlvnMain::OpenObjectSource(const std::string& kind, int node) {
    const std::string source = ReadObjectSource(kind, std::string(ObjectTree.Caption(node)));
    TSqlEditor* editor = CurrentEditor();
    QsciScintilla* ed = editor->sqledit;
    ed->setText(Q(source));
    std::vector<std::string> lines;
    lines.reserve(static_cast<size_t>(ed->lines()));
    for (int i = 0; i < ed->lines(); ++i) lines.push_back(ed->text(i).toStdString());
    const int changed = CreateToAlter(lines);
    if (changed >= 0) {
        ed->setSelection(changed, 0, changed, 7);
        ed->replaceSelectedText(QStringLiteral("ALTER "));
        ed->setCursorPosition(0, 0);
    }
    ed->setModified(false);
    ed->setFocus();
}

void TfTlvnMain::PreviewTable(int node) {
    SetEditorText(CurrentEditor(), Q(TablePreviewSql(ObjectTree.Caption(node))));
    aExecuteExecute();
}
