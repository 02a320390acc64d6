// The schema browser's object tree as plain data: the list of kind/name paths, the nodes built from
// it (optionally filtered by a search text), and the source rewrite that opens an object as ALTER.
// Nodes are kept in full tree order (a node, then everything below it), so a node's number is its
// position in that order; the window shows them through a model without a widget per node.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// ASCII letters to lower case; every other byte (UTF-8 sequences included) unchanged.
std::string LowerAscii(std::string_view text);

class TObjectTree {
public:
    static constexpr int kNone = -1;

    // One entry per object, kind text + "/" + name, in load order.
    std::vector<std::string> ObjectPathList;

    // Empties the paths and the nodes.
    void Clear();
    void AddPath(std::string_view kind, std::string_view name);

    // Rebuilds the nodes from ObjectPathList. A non-empty filter (already lower case) keeps only the
    // leaves whose lower-cased path contains it, drops groups left empty and puts a count node first.
    void Rebuild(const std::string& lowerFilter);
    // The number of paths whose lower-cased text contains the filter; all of them for an empty one.
    int CountMatchingPaths(const std::string& lowerFilter) const;

    // The nodes of the latest build, numbered 0..NodeCount()-1 in full tree order.
    int NodeCount() const { return static_cast<int>(nodes_.size()) - 1; }
    int Parent(int node) const { return nodes_[node + 1].Parent - 1; }  // kNone at the top level
    int Row(int node) const { return nodes_[node + 1].Row; }            // position among its siblings
    int ChildCount(int node) const { return nodes_[node + 1].ChildCount; }
    int Child(int node, int row) const { return children_[nodes_[node + 1].FirstChild + row] - 1; }
    int TopLevelCount() const { return nodes_[0].ChildCount; }
    int TopLevel(int row) const { return children_[row] - 1; }
    std::string_view Caption(int node) const;
    bool IsCountNode(int node) const { return nodes_[node + 1].Path == kCountPath; }

    // The first leaf added by the latest build, or kNone.
    int FirstMatchNode() const { return firstMatch_; }
    // The number of matching paths of the latest filtered build (0 without a filter).
    int MatchCount() const { return matchCount_; }
    // Climbs to the top-level ancestor of a node (the kind group of a leaf).
    int TopGroupOf(int node) const;

private:
    static constexpr std::int32_t kCountPath = -1;
    struct TNode {
        std::int32_t Path;    // entry whose text holds the caption; kCountPath for the count node
        std::uint32_t Start;  // caption's bytes in that entry
        std::uint32_t Length;
        std::int32_t Parent;  // internal numbers: 0 is the invisible root
        std::int32_t Row;
        std::int32_t ChildCount;
        std::int32_t FirstChild;  // into children_
    };
    int AddNode(int parent, std::int32_t path, std::uint32_t start, std::uint32_t length);

    std::vector<TNode> nodes_{TNode{kCountPath, 0, 0, 0, 0, 0, 0}};
    std::vector<std::int32_t> children_;
    std::string countCaption_;
    int firstMatch_ = kNone;
    int matchCount_ = 0;
};

// The count node's caption: "(1 match)" or "(%d matches)".
std::string MatchCountCaption(int count);

// Rewrites the first line that begins with "CREATE " (ASCII letters in any case, at the very first
// character) into "ALTER " followed by the rest of that line; returns its index, or -1 when no line
// begins so and nothing changed.
int CreateToAlter(std::vector<std::string>& lines);

// Quoting as the server does: a name between square brackets with "]" doubled, and a Unicode text
// literal N'...' with "'" doubled.
std::string QuoteName(std::string_view name);
std::string QuoteLiteral(std::string_view text);

// The catalog and schema queries of the browser, with names quoted.
extern const char* const kTableListSql;
extern const char* const kCodeObjectListSql;
std::string TablePreviewSql(std::string_view name);
std::string TableStructureSql(std::string_view name);
std::string ObjectSourceSql(std::string_view kind, std::string_view name);
