// Small pieces of the main window that stand on their own: the program's pictures, a panel kept
// over the right end of a toolbar, and the list of all tabs of a tab control as a menu.
#pragma once

#include <QIcon>
#include <QString>

class QTabWidget;
class QToolBar;
class QToolButton;
class QWidget;

// One of the program's own pictures (res/icons/<name>.svg), the same on every desktop.
QIcon ActionIcon(const QString& name);

// Keeps `panel` at the right end of `toolbar`, over it, and keeps the toolbar's buttons out of
// the panel's room, so the panel never moves into the toolbar's overflow menu.
void PlaceOverRightEnd(QToolBar* toolbar, QWidget* panel);

// A button for the tab control's corner whose menu lists every tab by its caption and makes the
// chosen one current; tabs that scrolled out of the tab row stay one click away.
QToolButton* MakeTabListButton(QTabWidget* tabs);
