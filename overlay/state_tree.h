// The overlay's in-memory picture of one account's state file: a tree of
// lower-cased path components with their sync states, and the path matching
// that the badge lookup runs on it. No platform calls, so it also builds
// natively for the sanitizer tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace Glint {

struct CStateNode {
    int32_t id = 0;
    std::u16string name;  // one lower-cased path component; empty in the root
    int32_t state = 0;
    std::vector<CStateNode*> children;  // document order
    CStateNode* parent = nullptr;
};

// Owns every node of one tree. Nodes live in one container rather than in
// their parents, so that neither building nor freeing a deeply nested tree
// recurses.
class CStateTree {
public:
    CStateTree();
    CStateTree(const CStateTree&) = delete;
    CStateTree& operator=(const CStateTree&) = delete;

    CStateNode& Root() { return nodes_.front(); }
    const CStateNode& Root() const { return nodes_.front(); }
    size_t NodeCount() const { return nodes_.size(); }

    CStateNode* Append(CStateNode* parent, int32_t id, std::u16string name, int32_t state);

    // The node named by the part of a lower-cased path below the sync folder
    // (without its leading backslash); an empty part names the root. Null
    // when some component has no node.
    const CStateNode* Find(std::u16string_view relative) const;

private:
    std::deque<CStateNode> nodes_;
};

// Builds the tree from a state document (UTF-8, as the client writes it).
// Malformed input keeps what was read before the fault; elements with
// missing or out-of-range attributes make no node.
void LoadStateTree(std::string_view document, CStateTree* tree);

// Only A-Z are folded: the comparison must not depend on a locale.
constexpr char16_t LowerAscii(char16_t c) { return c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c; }
void LowerAscii(std::u16string* text);

// True when the terminated path, compared ASCII-case-insensitively, is the
// lower-cased folder itself or lies below it.
bool PathInFolder(const char16_t* path, std::u16string_view folder);

// Copies a path lower-cased into a buffer of the given capacity, cutting
// what does not fit; the copy is always terminated.
void CopyLowered(const char16_t* path, char16_t* out, size_t capacity);

// The client downloads into "<name>.tavo"; such a path is shown by its base
// file. Cuts the first ".tavo" when it ends the path and reports whether it
// did.
bool StripTempExtension(char16_t* path);

// The state of a lower-cased path that PathInFolder accepted for this
// folder: the root's state for the folder itself, a node's state, or
// NotSynced for a path the tree does not know.
int32_t LookupState(const CStateTree& tree, const char16_t* path, size_t folder_length);

}  // namespace Glint
