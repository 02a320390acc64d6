// The object tree shown in a tree view: a read-only item model over TObjectTree, so that a tree of
// a hundred thousand objects costs no widget item per node.
#pragma once

#include "uObjectTree.h"

#include <QAbstractItemModel>

class TObjectTreeModel : public QAbstractItemModel {
    Q_OBJECT
public:
    TObjectTreeModel(const TObjectTree& tree, QObject* parent);

    // Around a change of the tree's nodes: views drop their items and read the new ones.
    void BeginRebuild() { beginResetModel(); }
    void EndRebuild() { endResetModel(); }

    QModelIndex IndexOf(int node) const;
    static int NodeOf(const QModelIndex& index) { return index.isValid() ? static_cast<int>(index.internalId()) : TObjectTree::kNone; }

    QModelIndex index(int row, int column, const QModelIndex& parent) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent) const override;
    int columnCount(const QModelIndex& parent) const override;
    bool hasChildren(const QModelIndex& parent) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    const TObjectTree& Tree;
};
