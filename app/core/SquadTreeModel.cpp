#include "SquadTreeModel.h"

SquadTreeModel::SquadTreeModel(QObject* parent) : QAbstractItemModel(parent) {}

SquadTreeModel::~SquadTreeModel() = default;

void SquadTreeModel::beginUpdate()
{
    if (m_updateDepth++ == 0)
        beginResetModel();
}

void SquadTreeModel::endUpdate()
{
    if (m_updateDepth > 0 && --m_updateDepth == 0)
        endResetModel();
}

void SquadTreeModel::clear()
{
    if (m_updateDepth > 0) {
        m_roots.clear();
        return;
    }
    beginResetModel();
    m_roots.clear();
    endResetModel();
}

SquadTreeModel::Node* SquadTreeModel::addChild(Node* parent)
{
    auto& siblings = parent ? parent->children : m_roots;
    auto node = std::make_unique<Node>();
    node->parent = parent;
    node->row = int(siblings.size());
    Node* added = node.get();
    if (m_updateDepth > 0) {
        siblings.push_back(std::move(node));
        return added;
    }
    const QModelIndex parentIndex = indexFromNode(parent);
    beginInsertRows(parentIndex, added->row, added->row);
    siblings.push_back(std::move(node));
    endInsertRows();
    return added;
}

SquadTreeModel::Node* SquadTreeModel::nodeFromIndex(const QModelIndex& index) const
{
    if (!index.isValid() || index.model() != this)
        return nullptr;
    return static_cast<Node*>(index.internalPointer());
}

QModelIndex SquadTreeModel::indexFromNode(Node* node) const
{
    if (!node)
        return {};
    return createIndex(node->row, 0, node);
}

SquadTreeModel::Node* SquadTreeModel::topLevelNode(int row) const
{
    return row >= 0 && row < int(m_roots.size()) ? m_roots[size_t(row)].get() : nullptr;
}

const std::vector<std::unique_ptr<SquadTreeModel::Node>>& SquadTreeModel::childrenOf(const Node* node) const
{
    return node ? node->children : m_roots;
}

QModelIndex SquadTreeModel::index(int row, int column, const QModelIndex& parent) const
{
    if (column != 0 || row < 0)
        return {};
    const auto& children = childrenOf(nodeFromIndex(parent));
    if (row >= int(children.size()))
        return {};
    return createIndex(row, 0, children[size_t(row)].get());
}

QModelIndex SquadTreeModel::parent(const QModelIndex& child) const
{
    Node* node = nodeFromIndex(child);
    if (!node || !node->parent)
        return {};
    return createIndex(node->parent->row, 0, node->parent);
}

int SquadTreeModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid() && parent.column() != 0)
        return 0;
    return int(childrenOf(nodeFromIndex(parent)).size());
}

int SquadTreeModel::columnCount(const QModelIndex&) const
{
    return 1;
}

QVariant SquadTreeModel::data(const QModelIndex& index, int role) const
{
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole && role != Qt::AccessibleTextRole)
        return {};
    Node* node = nodeFromIndex(index);
    if (!node || !m_textProvider)
        return {};
    return m_textProvider(node, index.column());
}
