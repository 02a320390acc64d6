#include "uNbFrame.h"

TNbFrame::TNbFrame(QWidget* parent) : QWidget(parent) { setFocusPolicy(Qt::StrongFocus); }

void TNbFrame::CreateCompleted() {
    if (OnCreate) OnCreate();
}

bool TNbFrame::InsideWindow() const { return window() != this; }

QWidget* TNbFrame::ActiveControl() const { return InsideWindow() ? window()->focusWidget() : nullptr; }

void TNbFrame::SetActiveControl(QWidget* control) {
    if (InsideWindow()) {
        if (control) control->setFocus();
    } else {
        pending_ = control;
    }
}

void TNbFrame::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (shown_) return;
    shown_ = true;
    if (OnShow) OnShow();
}

void TNbFrame::focusInEvent(QFocusEvent* event) {
    QWidget::focusInEvent(event);
    if (hasFocus() && pending_) {
        QWidget* control = pending_;
        pending_ = nullptr;
        control->setFocus();
    }
}
