// An embeddable container designed like a window: raises OnCreate once construction is complete and
// OnShow once when first shown, and keeps an active control that waits for the frame to be placed
// inside a window.
#pragma once

#include <QPointer>
#include <QWidget>

#include <functional>

class TNbFrame : public QWidget {
    Q_OBJECT
public:
    explicit TNbFrame(QWidget* parent = nullptr);

    std::function<void()> OnCreate;
    std::function<void()> OnShow;
    std::function<void()> OnActiveControlChange;  // stored for designs; the frame never raises it

    // The focus widget of the window holding the frame, or nullptr when it is not inside one.
    QWidget* ActiveControl() const;
    // Focuses `control` in the holding window, or remembers it until the frame gets the focus.
    void SetActiveControl(QWidget* control);
    QWidget* PendingActiveControl() const { return pending_; }

protected:
    // Derived frames call this as the last step of their constructors.
    void CreateCompleted();
    void showEvent(QShowEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;

private:
    bool InsideWindow() const;
    bool shown_ = false;
    QPointer<QWidget> pending_;
};
