#include "uQtQueryWaiter.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QThread>

TQtQueryWaiter::TQtQueryWaiter() : dispatcher_(QAbstractEventDispatcher::instance(QThread::currentThread())) {}

void TQtQueryWaiter::Wait(const std::function<bool()>& done) {
    while (!done()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void TQtQueryWaiter::Wake() {
    if (dispatcher_) dispatcher_->wakeUp();
}
