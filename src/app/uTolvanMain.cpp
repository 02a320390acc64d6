#include "uTolvanMain.h"

#include <QGuiApplication>
#include <QScreen>

TfTlvnMain* fTlvnMain = nullptr;

TfTlvnMain::TfTlvnMain(QWidget* parent) : QMainWindow(parent) {
    setObjectName(QStringLiteral("fTlvnMain"));
    setWindowTitle(QStringLiteral("Tolvan - Merivane SQL Editor"));
    setFont(QFont(QStringLiteral("Tahoma"), 8));
    setMinimumSize(kMinWidth, kMinHeight);
    resize(kClientWidth, kClientHeight);
    FormCreate();
}

TfTlvnMain::~TfTlvnMain() {
    if (fTlvnMain == this) fTlvnMain = nullptr;
}

void TfTlvnMain::CenterOnScreen() {
    const QScreen* scr = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!scr) return;
    QRect frame = frameGeometry();
    frame.moveCenter(scr->availableGeometry().center());
    move(frame.topLeft());
}

void TfTlvnMain::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    // The frame is known only once the window is shown, so the first show centres it.
    if (!centred_) {
        centred_ = true;
        CenterOnScreen();
    }
}

void TfTlvnMain::FormCreate() {}
