#include "uNbIdleDelay.h"

#include "uNbExceptions.h"

#include <QAbstractEventDispatcher>
#include <QThread>

TNbIdleDelay::TNbIdleDelay(QObject* owner) : QObject(owner) {
    timer_.setSingleShot(true);
    timer_.setInterval(200);
    connect(&timer_, &QTimer::timeout, this, [this] {
        timer_.stop();
        if (OnIdleDelay) OnIdleDelay();
    });
}

void TNbIdleDelay::SetDelay(int ms) {
    if (ms < 0) throw EConvertError("Range check error");
    timer_.setInterval(ms);
}

void TNbIdleDelay::Trigger() {
    if (idleHook_) return;
    // "Idle" is the event loop about to wait for more events.
    if (auto* d = QAbstractEventDispatcher::instance(thread()))
        idleHook_ = connect(d, &QAbstractEventDispatcher::aboutToBlock, this, [this] { IdleStep(); });
}

void TNbIdleDelay::IdleStep() {
    disconnect(idleHook_);
    idleHook_ = {};
    timer_.stop();
    timer_.start();
}
