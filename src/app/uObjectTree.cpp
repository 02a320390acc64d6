#include "uObjectTree.h"

#include <cstdio>

std::string LowerAscii(std::string_view text) {
    std::string r(text);
    for (char& c : r)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return r;
}

namespace {

// Whether `text` lower-cased contains `lowerNeedle`, lower-casing into a buffer the caller reuses.
bool ContainsLower(std::string_view text, const std::string& lowerNeedle, std::string& buffer) {
    buffer.assign(text);
    for (char& c : buffer)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return buffer.find(lowerNeedle) != std::string::npos;
}

}  // namespace

void TObjectTree::Clear() {
    ObjectPathList.clear();
    nodes_.resize(1);
    nodes_[0].ChildCount = 0;
    children_.clear();
    firstMatch_ = kNone;
    matchCount_ = 0;
}

void TObjectTree::AddPath(std::string_view kind, std::string_view name) {
    std::string path;
    path.reserve(kind.size() + 1 + name.size());
    path.append(kind).append(1, '/').append(name);
    ObjectPathList.push_back(std::move(path));
}

int TObjectTree::CountMatchingPaths(const std::string& lowerFilter) const {
    if (lowerFilter.empty()) return static_cast<int>(ObjectPathList.size());
    std::string buffer;
    int n = 0;
    for (const std::string& p : ObjectPathList) n += ContainsLower(p, lowerFilter, buffer) ? 1 : 0;
    return n;
}

int TObjectTree::AddNode(int parent, std::int32_t path, std::uint32_t start, std::uint32_t length) {
    TNode& p = nodes_[parent];
    nodes_.push_back(TNode{path, start, length, parent, p.ChildCount, 0, 0});
    ++nodes_[parent].ChildCount;
    return static_cast<int>(nodes_.size()) - 1;
}

void TObjectTree::Rebuild(const std::string& lowerFilter) {
    nodes_.resize(1);
    nodes_[0].ChildCount = 0;
    children_.clear();
    firstMatch_ = kNone;
    matchCount_ = 0;
    const bool filtered = !lowerFilter.empty();
    const int n = static_cast<int>(ObjectPathList.size());

    // One pass decides which entries match; the count node shows how many.
    std::vector<char> matches;
    if (filtered) {
        matches.resize(static_cast<size_t>(n));
        std::string buffer;
        for (int i = 0; i < n; ++i) {
            matches[static_cast<size_t>(i)] = ContainsLower(ObjectPathList[static_cast<size_t>(i)], lowerFilter, buffer);
            matchCount_ += matches[static_cast<size_t>(i)];
        }
        countCaption_ = MatchCountCaption(matchCount_);
        AddNode(0, kCountPath, 0, 0);
    }

    // The levels: entries that share a prefix up to a "/" share a group node, which is dropped again
    // when none of its entries made a leaf. A level's prefix is the first part of the entry that
    // opened it, so it is kept as (entry, length) rather than copied.
    struct TLevel {
        int Node;
        int Entry;
        size_t Length;
    };
    std::vector<TLevel> levels{{0, 0, 0}};
    int i = 0;
    for (;;) {
        const TLevel level = levels.back();
        const std::string* entry = i < n ? &ObjectPathList[static_cast<size_t>(i)] : nullptr;
        const bool inLevel =
            entry && (level.Length == 0 || std::string_view(*entry).substr(0, level.Length) ==
                                               std::string_view(ObjectPathList[static_cast<size_t>(level.Entry)]).substr(0, level.Length));
        if (inLevel) {
            const size_t slash = entry->find('/', level.Length);
            if (slash != std::string::npos) {
                const int group =
                    AddNode(level.Node, i, static_cast<std::uint32_t>(level.Length), static_cast<std::uint32_t>(slash - level.Length));
                levels.push_back({group, i, slash + 1});
            } else {
                if (!filtered || matches[static_cast<size_t>(i)]) {
                    const int leaf = AddNode(level.Node, i, static_cast<std::uint32_t>(level.Length),
                                             static_cast<std::uint32_t>(entry->size() - level.Length));
                    if (firstMatch_ == kNone) firstMatch_ = leaf - 1;
                }
                ++i;
            }
            continue;
        }
        if (levels.size() == 1) break;
        levels.pop_back();
        // A group without children is the last node added, so it goes from the end.
        if (nodes_[level.Node].ChildCount == 0) {
            --nodes_[nodes_[level.Node].Parent].ChildCount;
            nodes_.pop_back();
        }
    }

    // Each node's children, in order, for lookups by row.
    children_.resize(nodes_.size());
    std::int32_t next = 0;
    for (TNode& node : nodes_) {
        node.FirstChild = next;
        next += node.ChildCount;
    }
    for (size_t k = 1; k < nodes_.size(); ++k) {
        const TNode& node = nodes_[k];
        children_[static_cast<size_t>(nodes_[static_cast<size_t>(node.Parent)].FirstChild + node.Row)] = static_cast<std::int32_t>(k);
    }
}

std::string_view TObjectTree::Caption(int node) const {
    const TNode& n = nodes_[static_cast<size_t>(node + 1)];
    if (n.Path == kCountPath) return countCaption_;
    return std::string_view(ObjectPathList[static_cast<size_t>(n.Path)]).substr(n.Start, n.Length);
}

int TObjectTree::TopGroupOf(int node) const {
    while (node != kNone && Parent(node) != kNone) node = Parent(node);
    return node;
}

std::string MatchCountCaption(int count) {
    if (count == 1) return "(1 match)";
    char text[32];
    std::snprintf(text, sizeof text, "(%d matches)", count);
    return text;
}

int CreateToAlter(std::vector<std::string>& lines) {
    static constexpr std::string_view kCreate = "create ";
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.size() < kCreate.size() || LowerAscii(std::string_view(line).substr(0, kCreate.size())) != kCreate) continue;
        lines[i] = "ALTER " + line.substr(kCreate.size());
        return static_cast<int>(i);
    }
    return -1;
}

std::string QuoteName(std::string_view name) {
    std::string r = "[";
    for (char c : name) {
        r += c;
        if (c == ']') r += ']';
    }
    return r + "]";
}

std::string QuoteLiteral(std::string_view text) {
    std::string r = "N'";
    for (char c : text) {
        r += c;
        if (c == '\'') r += '\'';
    }
    return r + "'";
}

// Names and source are cast to nvarchar so that characters outside the server's code page survive;
// 4000 is the largest nvarchar length a cast may name.
const char* const kTableListSql =
    "select distinct cast(Name as nvarchar(4000)) as Name,     1 as IsTable  from sysobjects  where objectproperty(id, 'IsTable')=1    and "
    "xtype='U'  order by Name ";
const char* const kCodeObjectListSql =
    "select distinct id,    cast(object_name(id) as nvarchar(256)) Name,    objectproperty(id, 'IsView') as IsView,    objectproperty(id, "
    "'IsTrigger') as IsTrigger,    "
    "objectproperty(id, 'IsProcedure') as IsProcedure,    objectproperty(id, 'IsScalarFunction') as IsScalarFunction,    "
    "objectproperty(id, 'IsTableFunction') as IsTableFunction from syscomments order by Name ";

std::string TablePreviewSql(std::string_view name) { return "select top 100 * from " + QuoteName(name); }

std::string TableStructureSql(std::string_view name) {
    return "SELECT COLUMN_NAME, DATA_TYPE,CHARACTER_MAXIMUM_LENGTH,NUMERIC_PRECISION,NUMERIC_SCALE,IS_NULLABLE, "
           "COLUMNPROPERTY(OBJECT_ID(TABLE_NAME), COLUMN_NAME, 'IsIdentity') AS IS_AUTOINCREMENT,COLUMN_DEFAULT FROM  "
           "INFORMATION_SCHEMA.COLUMNS WHERE  TABLE_NAME = " +
           QuoteLiteral(name) + " ORDER BY ORDINAL_POSITION";
}

std::string ObjectSourceSql(std::string_view kind, std::string_view name) {
    return "select cast(text as nvarchar(4000)) text from syscomments where objectproperty(id, " + QuoteLiteral("Is" + std::string(kind)) +
           ") = 1   and object_name(id) = " + QuoteLiteral(name) + " order by number, colid ";
}
