#include "uObjectTreeModel.h"

TObjectTreeModel::TObjectTreeModel(const TObjectTree& tree, QObject* parent) : QAbstractItemModel(parent), Tree(tree) {}

QModelIndex TObjectTreeModel::IndexOf(int node) const {
    if (node == TObjectTree::kNone) return {};
    return createIndex(Tree.Row(node), 0, static_cast<quintptr>(node));
}

QModelIndex TObjectTreeModel::index(int row, int column, const QModelIndex& parent) const {
    if (column != 0 || row < 0 || row >= rowCount(parent)) return {};
    const int node = parent.isValid() ? Tree.Child(NodeOf(parent), row) : Tree.TopLevel(row);
    return createIndex(row, 0, static_cast<quintptr>(node));
}

QModelIndex TObjectTreeModel::parent(const QModelIndex& child) const {
    if (!child.isValid()) return {};
    return IndexOf(Tree.Parent(NodeOf(child)));
}

int TObjectTreeModel::rowCount(const QModelIndex& parent) const {
    if (parent.column() > 0) return 0;
    return parent.isValid() ? Tree.ChildCount(NodeOf(parent)) : Tree.TopLevelCount();
}

int TObjectTreeModel::columnCount(const QModelIndex&) const { return 1; }

bool TObjectTreeModel::hasChildren(const QModelIndex& parent) const { return rowCount(parent) > 0; }

QVariant TObjectTreeModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || role != Qt::DisplayRole) return {};
    const std::string_view caption = Tree.Caption(NodeOf(index));
    return QString::fromUtf8(caption.data(), static_cast<qsizetype>(caption.size()));
}

Qt::ItemFlags TObjectTreeModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    const Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    return Tree.ChildCount(NodeOf(index)) == 0 ? flags | Qt::ItemNeverHasChildren : flags;
}
