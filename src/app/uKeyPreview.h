// The main window's key preview: it sees every key and click meant for the window's controls before
// they do, lets the window's action shortcuts win over the controls' own key bindings (a line edit
// takes Ctrl+E as end-of-line on X11), and while the window is busy refuses every input to it
// without disabling, and so greying, anything; the focus stays where it was.
#pragma once

#include <QObject>
#include <QPointer>

#include <functional>

class QKeyEvent;
class QWidget;

class TKeyPreview : public QObject {
    Q_OBJECT
public:
    // Watches the application's events for the controls of `window`.
    explicit TKeyPreview(QWidget* window);

    // A key pressed in one of the window's controls, before the control sees it; true consumes it.
    std::function<bool(QKeyEvent*)> OnKeyDown;
    // Any key or mouse button released in the window, also keys that end as shortcuts.
    std::function<void()> OnInput;
    // The one control that takes clicks while the window is busy (its Cancel button).
    QPointer<QWidget> BusyExempt;
    // Esc pressed while the window is busy.
    std::function<void()> OnBusyEscape;

    // Busy: keys, clicks, the wheel and closing are refused (except clicks on BusyExempt, and Esc,
    // which goes to OnBusyEscape); the focus widget is remembered and given its focus back when
    // the window is no longer busy.
    void SetBusy(bool busy);
    bool Busy() const { return busy_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool InWindow(QObject* watched) const;
    bool Exempt(QObject* watched) const;
    bool ActionTakes(const QKeyEvent* key) const;
    QWidget* window_;
    bool busy_ = false;
    QPointer<QWidget> focus_;
};
