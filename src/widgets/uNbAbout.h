// The About window: short name and version, the maker's banner, copyright line and disclaimer, a
// link to the maker's web site and a button for the feature-request page. The two web links are the
// main window's actions, handed over when that window is first shown; until then both are inert.
#pragma once

#include <QAction>
#include <QDialog>
#include <QPointer>

class QLabel;
class QPushButton;

// The main window's feature-request action (the About window's button) and web-site action (its link).
void NbSetAboutActions(QAction* featureRequest, QAction* webSite);
QAction* NbAboutFeatureRequestAction();
QAction* NbAboutWebSiteAction();

// The title line: "%s v%s" with the short name and the version.
QString NbAboutTitle();

class TfNbAbout : public QDialog {
    Q_OBJECT
public:
    explicit TfNbAbout(QWidget* owner = nullptr);

    QLabel* imgBanner;
    QLabel* lAppName;
    QLabel* lCopyrightNotice;
    QLabel* lDisclaimer;
    QLabel* lURL;
    QPushButton* bAboutAction;
    QPushButton* bOk;

    void lURLClick();

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormShow();
    QPointer<QAction> boundAction_;
};

// "&About...": shows the About window modally over the window that holds the action.
class TNbAboutAction : public QAction {
    Q_OBJECT
public:
    explicit TNbAboutAction(QObject* owner);
    void Execute();
};
