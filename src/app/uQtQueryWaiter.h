// The window's way of waiting for a query thread: it keeps handling Qt events (repaints, timers)
// until the worker is done; the worker wakes the event loop when it finishes.
#pragma once

#include "uQueryThread.h"

class QAbstractEventDispatcher;

class TQtQueryWaiter : public TQueryWaiter {
public:
    TQtQueryWaiter();
    void Wait(const std::function<bool()>& done) override;
    void Wake() override;

private:
    QAbstractEventDispatcher* dispatcher_;
};
