// The program's main window: toolbar and actions, the database box, editor tabs, the result pane
// with its Text page, and the status bar.
#pragma once

#include "uObjectTree.h"
#include "uSqlHighlight.h"

#include "uDbAccess.h"
#include "uQtQueryWaiter.h"
#include "uRunLoop.h"
#include "uTextResults.h"

#include <QMainWindow>

#include <memory>

class QAction;
class QComboBox;
class QLabel;
class QPlainTextEdit;
class QSplitter;
class QLineEdit;
class QMenu;
class QProgressBar;
class QTimer;
class QTreeView;
class TObjectTreeModel;
class QTabWidget;
class QToolButton;
class TNbAboutAction;
class TKeyPreview;
class TNbInstallAction;
class TNbInstaller;
class TNbIdleDelay;
class TResultPages;
class TSqlEditor;

// One editor tab: its SQL editor frame and the name shown after its number.
class TEditorTab : public QWidget {
    Q_OBJECT
public:
    explicit TEditorTab(QWidget* owner);
    TSqlEditor* Editor;
    QString TabName;
};

class TfTlvnMain : public QMainWindow, private TRunHost {
    Q_OBJECT
public:
    explicit TfTlvnMain(QWidget* parent = nullptr);
    ~TfTlvnMain() override;

    static constexpr int kClientWidth = 912;
    static constexpr int kClientHeight = 581;
    static constexpr int kMinWidth = 790;
    static constexpr int kMinHeight = 400;

    // The connection dialog opens by itself at the first idle moment; tests switch that off.
    bool AutoConnect = true;
    int MaxColumnWidth = 100;

    TDbConnection db;
    std::unique_ptr<TTlvnRun> Run;
    std::string RunPrefix;  // the "[hh:mm:ss] " line of the last run, for its Text page
    std::string CurrentDatabase;

    QAction *aNew, *aClose, *aRefreshItems, *aExecute, *aExecuteDebug, *aSilly1, *aSilly2, *aWordWrap, *aFind, *aFindNext, *aFindPrev,
        *aConnect;
    QAction *aExportCSV, *aImportXML, *miUnderlineHeadings;
    TNbAboutAction* NbAboutAction1;
    TNbInstaller* NbInstaller1;
    TNbInstallAction* NbInstallAction1;
    QAction *aWebSite, *aFeatureRequest;
    QComboBox* eDatabase;
    QWidget* pChooseDb;  // label and database box, over the toolbar's right end
    QTabWidget* pc;
    QTabWidget* pcResults;
    QPlainTextEdit* resulttext;
    std::unique_ptr<TResultPages> ResultPages;  // the Grid page and the page choice
    QMenu* puGrid;
    QLabel *statusRow, *statusCol, *statusText;
    QToolButton* bCancel;         // beside the "Running: " text while a run works; Esc does the same
    QProgressBar* busyIndicator;  // shown in the status bar while a run takes longer than a moment

    void CenterOnScreen();
    void UpdateActionStates(bool catalogActive);
    void RefreshActionStates() { UpdateActionStates(CatalogActive); }
    bool CatalogActive = false;

    // Tabs.
    TEditorTab* NewEditorTab(const QString& name);
    void SetTabName(TEditorTab* tab, const QString& name);
    void UpdateTabCaption(int index);
    TSqlEditor* CurrentEditor();
    bool HasEditorTabs() const;
    void aCloseExecute();
    void pcChange();

    // Database box.
    void LoadDatabaseList();
    void SelectDatabase(const QString& name);
    void AfterConnectDialog();
    // The box was left, Enter was pressed or a name was picked: switch, and show a failure once.
    void eDatabaseExit();

    // Runs.
    void aExecuteExecute();
    void aExecuteDebugExecute();
    void RunEditorSql(bool debug);
    // Asks the server to stop the run's statement; the run then ends with "Query cancelled by user.".
    void CancelRun();
    void ShowResultPane(bool show);
    void RenderTextPage();
    void aConnectExecute();
    void IdleDelayIdleDelay();
    // Keys before the focused control sees them: the tab keys.
    bool FormKeyDown(QKeyEvent* key);
    TKeyPreview* KeyPreview;

    // Object tree at the left, its search and what opens from it.
    QWidget* pItems;
    QLineEdit* eSearch;
    QTreeView* itemtree;
    TObjectTree ObjectTree;  // the object paths and the nodes shown
    TObjectTreeModel* ItemModel;
    QTimer* SearchTimer;
    QString LastSearchText;
    QMenu* treeviewpopup;
    QAction *View1, *Viewtablestructure1, *Openinnewtab1;

    void RefreshItems();
    void LoadObjectTree();
    void ClearSchemaItems();
    void AddObjectPaths(const std::string& kind, TNbDataSet& d);
    void RebuildObjectTree(const QString& filter);
    void eSearchChange();
    void SearchTimerTick();
    void eSearchKeyDown(int key);
    void itemtreeDblClick();
    void itemtreeMouseDown(const QPoint& globalPos);
    void Viewtablestructure1Click();
    void Openinnewtab1Click();
    int SelectedNode() const;
    void SelectNode(int node);
    int TopGroupOf(int node) const;
    std::string ReadObjectSource(const std::string& kind, const std::string& name);
    void OpenObjectSource(const std::string& kind, int node);
    void PreviewTable(int node);
    // Which tab an object opens in: a new one when there is none or the current one is changed
    // (or, where `shiftAddsTab`, while Shift is held); else the current one, renamed.
    void ChooseTabFor(const QString& name, bool shiftAddsTab);
    // The program replaces an editor's whole text: the editor counts as unchanged afterwards.
    void SetEditorText(TSqlEditor* editor, const QString& text);
    void RehighlightEditors();

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormCreate();
    void FormShow();
    void StartIdleIdle();
    QAction* MakeAction(const QString& caption, const QString& hint, const QKeySequence& shortcut, const QString& icon);

    // TRunHost
    void SetStatusText(const std::string& text) override;
    void SetBusy(bool busy) override;
    TQueryWaiter& Waiter() override { return waiter_; }
    void ConnectionLost() override { RefreshActionStates(); }

    TQtQueryWaiter waiter_;
    TSqlWords Highlighter;  // word lists shared by every editor's lexer
    TNbIdleDelay* IdleDelay;
    QSplitter* vSplitter;
    QSplitter* hSplitter;
    QToolButton* bHideResults;
    bool centred_ = false;
    bool shownOnce_ = false;
    bool startIdleDone_ = false;
    bool databaseClosedUp_ = false;
    bool switchingDatabase_ = false;
    bool runCancellable_ = false;  // an editor run is at work (catalog queries are not cancelled)
    QString failedDatabase_;       // the name whose switch failed last, not retried when the box is left
};

extern TfTlvnMain* fTlvnMain;
