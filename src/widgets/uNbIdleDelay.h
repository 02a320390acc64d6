// Calls its handler once the application has been idle for Delay milliseconds after a Trigger:
// each Trigger waits for the next idle moment and then restarts the countdown.
#pragma once

#include <QObject>
#include <QTimer>

#include <functional>

class TNbIdleDelay : public QObject {
    Q_OBJECT
public:
    explicit TNbIdleDelay(QObject* owner = nullptr);
    int Delay() const { return timer_.interval(); }
    void SetDelay(int ms);  // a negative value is a range error
    void Trigger();
    std::function<void()> OnIdleDelay;

private:
    void IdleStep();
    QTimer timer_;
    QMetaObject::Connection idleHook_;
};
