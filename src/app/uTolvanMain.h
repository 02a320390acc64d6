// The program's main window: toolbar and actions, the database box, editor tabs, the result pane
// with its Text page, and the status bar.
#pragma once

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
class QTreeWidget;
class QLineEdit;
class QTabWidget;
class QToolButton;
class TNbAboutAction;
class TNbInstallAction;
class TNbInstaller;
class TNbIdleDelay;
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
    std::string CurrentDatabase;

    QAction *aNew, *aClose, *aRefreshItems, *aExecute, *aExecuteDebug, *aSilly1, *aSilly2, *aWordWrap, *aFind, *aFindNext, *aFindPrev, *aConnect;
    QAction *aExportCSV, *aImportXML, *miUnderlineHeadings;
    TNbAboutAction* NbAboutAction1;
    TNbInstaller* NbInstaller1;
    TNbInstallAction* NbInstallAction1;
    QAction *aWebSite, *aFeatureRequest;
    QComboBox* eDatabase;
    QTabWidget* pc;
    QTabWidget* pcResults;
    QPlainTextEdit* resulttext;
    QLabel *statusRow, *statusCol, *statusText;

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

    // Runs.
    void aExecuteExecute();
    void aExecuteDebugExecute();
    void RunEditorSql(bool debug);
    void ShowResultPane(bool show);
    void RenderTextPage();
    void aConnectExecute();
    void IdleDelayIdleDelay();

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
    QWidget* pItems;
    QLineEdit* eSearch;
    QTreeWidget* itemtree;
    QToolButton* bHideResults;
    bool centred_ = false;
    bool shownOnce_ = false;
    bool startIdleDone_ = false;
    bool databaseClosedUp_ = false;
};

extern TfTlvnMain* fTlvnMain;
