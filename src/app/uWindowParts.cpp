#include "uWindowParts.h"

#include <QEvent>
#include <QMenu>
#include <QTabWidget>
#include <QToolBar>
#include <QToolButton>

QIcon ActionIcon(const QString& name) { return QIcon(QStringLiteral(":/tolvan/icons/%1.svg").arg(name)); }

namespace {

class TRightEndPlacer : public QObject {
public:
    TRightEndPlacer(QToolBar* toolbar, QWidget* panel) : QObject(toolbar), toolbar_(toolbar), panel_(panel) {
        panel->setParent(toolbar);
        toolbar->installEventFilter(this);
        panel->installEventFilter(this);
        Place();
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        const QEvent::Type t = event->type();
        if ((watched == toolbar_ && (t == QEvent::Resize || t == QEvent::Show)) ||
            (watched == panel_ && (t == QEvent::LayoutRequest || t == QEvent::FontChange)))
            Place();
        return QObject::eventFilter(watched, event);
    }

private:
    void Place() {
        const QSize hint = panel_->sizeHint();
        const int room = hint.width() + kGap;
        // The toolbar lays its buttons out inside its contents rectangle.
        if (toolbar_->contentsMargins().right() != room) toolbar_->setContentsMargins(0, 0, room, 0);
        const int h = std::min(hint.height(), toolbar_->height());
        panel_->setGeometry(toolbar_->width() - hint.width() - kGap / 2, (toolbar_->height() - h) / 2, hint.width(), h);
        panel_->raise();
        panel_->show();
    }
    static constexpr int kGap = 6;
    QToolBar* toolbar_;
    QWidget* panel_;
};

}  // namespace

void PlaceOverRightEnd(QToolBar* toolbar, QWidget* panel) { new TRightEndPlacer(toolbar, panel); }

QToolButton* MakeTabListButton(QTabWidget* tabs) {
    auto* button = new QToolButton(tabs);
    button->setObjectName(QStringLiteral("bTabList"));
    button->setArrowType(Qt::DownArrow);
    button->setAutoRaise(true);
    button->setFocusPolicy(Qt::NoFocus);
    button->setToolTip(QStringLiteral("List all editor tabs"));
    button->setPopupMode(QToolButton::InstantPopup);
    auto* menu = new QMenu(button);
    button->setMenu(menu);
    QObject::connect(menu, &QMenu::aboutToShow, button, [tabs, menu] {
        menu->clear();
        for (int i = 0; i < tabs->count(); ++i) {
            QAction* item = menu->addAction(tabs->tabText(i), tabs, [tabs, i] {
                if (i < tabs->count()) tabs->setCurrentIndex(i);
            });
            item->setCheckable(true);
            item->setChecked(i == tabs->currentIndex());
        }
    });
    tabs->setCornerWidget(button, Qt::TopRightCorner);
    return button;
}
