#pragma once

// SquadTreeModel: the virtual tree behind twSquad. Each node holds a
// TSquadNodeData and nothing else; the text of a node is asked of the owner
// on demand (never cached here), so a page of 10,000 members costs only the
// rows on screen.
//
// The tree is two levels deep at most (the squad node and its members), but
// the model does not rely on that.

#include <QAbstractItemModel>

#include <functional>
#include <memory>
#include <vector>

#include "SquadNodeData.h"

class SquadTreeModel : public QAbstractItemModel {
    Q_OBJECT
public:
    struct Node {
        TSquadNodeData data;
        Node* parent = nullptr;
        int row = 0;
        std::vector<std::unique_ptr<Node>> children;
    };

    // Asked for a node's text. It must not throw: the model is read while
    // painting.
    using TextProvider = std::function<QString(Node* node, int column)>;

    explicit SquadTreeModel(QObject* parent = nullptr);
    ~SquadTreeModel() override;

    void setTextProvider(TextProvider provider) { m_textProvider = std::move(provider); }

    // Bulk changes between beginUpdate() and endUpdate() reset the views once.
    void beginUpdate();
    void endUpdate();
    void clear();
    // Appends a node under parent, or at the top level when parent is null.
    Node* addChild(Node* parent);

    Node* nodeFromIndex(const QModelIndex& index) const;
    QModelIndex indexFromNode(Node* node) const;
    int topLevelCount() const { return int(m_roots.size()); }
    Node* topLevelNode(int row) const;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

private:
    const std::vector<std::unique_ptr<Node>>& childrenOf(const Node* node) const;

    std::vector<std::unique_ptr<Node>> m_roots;
    TextProvider m_textProvider;
    int m_updateDepth = 0;
};
