#include "uKeyPreview.h"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QWidget>

TKeyPreview::TKeyPreview(QWidget* window) : QObject(window), window_(window) { qApp->installEventFilter(this); }

void TKeyPreview::SetBusy(bool busy) {
    if (busy == busy_) return;
    busy_ = busy;
    if (busy) {
        focus_ = QApplication::focusWidget();
        if (focus_ && focus_->window() != window_) focus_ = nullptr;
    } else if (focus_ && focus_->isVisible() && focus_->isEnabled() && QApplication::focusWidget() != focus_) {
        focus_->setFocus(Qt::OtherFocusReason);
    }
}

bool TKeyPreview::InWindow(QObject* watched) const {
    return watched->isWidgetType() && static_cast<QWidget*>(watched)->window() == window_;
}

bool TKeyPreview::Exempt(QObject* watched) const {
    return BusyExempt && watched->isWidgetType() && (watched == BusyExempt || BusyExempt->isAncestorOf(static_cast<QWidget*>(watched)));
}

// An enabled action of the window whose shortcut is this key.
bool TKeyPreview::ActionTakes(const QKeyEvent* key) const {
    const QKeySequence pressed(QKeyCombination(key->modifiers() & ~Qt::KeypadModifier, Qt::Key(key->key())));
    const QList<QAction*> actions = window_->actions();
    for (const QAction* a : actions) {
        if (!a->isEnabled()) continue;
        for (const QKeySequence& s : a->shortcuts())
            if (s.matches(pressed) == QKeySequence::ExactMatch) return true;
    }
    return false;
}

bool TKeyPreview::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::ShortcutOverride: {
        if (!InWindow(watched)) break;
        auto* key = static_cast<QKeyEvent*>(event);
        if (busy_) {
            // Claimed for the control, so no shortcut runs; the key itself is then refused below.
            event->accept();
            return true;
        }
        if (OnInput) OnInput();
        if (ActionTakes(key)) {
            // Not claimed: the shortcut map runs the action whatever the control binds to the key.
            event->ignore();
            return true;
        }
        break;
    }
    case QEvent::KeyPress:
        if (!InWindow(watched)) break;
        if (busy_) {
            auto* key = static_cast<QKeyEvent*>(event);
            if (key->key() == Qt::Key_Escape && !key->isAutoRepeat() && OnBusyEscape) OnBusyEscape();
            return true;
        }
        if (OnInput) OnInput();
        if (OnKeyDown && OnKeyDown(static_cast<QKeyEvent*>(event))) return true;
        break;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
        if (busy_ && InWindow(watched) && !Exempt(watched)) return true;
        break;
    case QEvent::KeyRelease:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::DragEnter:
    case QEvent::Drop:
        if (busy_ && InWindow(watched)) return true;
        break;
    case QEvent::MouseButtonRelease:
        if (!InWindow(watched)) break;
        if (busy_) return !Exempt(watched);
        if (OnInput) OnInput();  // a click may have moved the caret
        break;
    case QEvent::Close:
        if (busy_ && watched == window_) {
            event->ignore();
            return true;
        }
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}
