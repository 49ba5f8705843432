#include "overlay/state_tree.h"

#include <utility>

#include "common/file_sync_state.h"
#include "common/state_file_grammar.h"
#include "common/temp_file.h"
#include "common/xml_reader.h"

namespace Glint {

namespace {


// Optional minus sign and at least one digit, nothing else; saturates
// instead of overflowing (the length limits keep values small anyway).
bool ParseDecimal(std::u16string_view text, int64_t* value)
{
    bool negative = !text.empty() && text.front() == u'-';
    if (negative)
        text.remove_prefix(1);
    if (text.empty())
        return false;
    int64_t result = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9')
            return false;
        if (result < INT64_MAX / 10)
            result = result * 10 + (c - u'0');
    }
    *value = negative ? -result : result;
    return true;
}

int32_t ParseId(std::u16string_view text)
{
    int64_t value = 0;
    if (!ParseDecimal(text, &value) || value < INT32_MIN || value > INT32_MAX)
        return 0;
    return static_cast<int32_t>(value);
}

const std::u16string* BoundedAttribute(const Helper::CXmlReader& reader, const Helper::StateAttribute& attribute)
{
    const std::u16string* value = reader.Attribute(attribute.name);
    return value && Helper::FitsStateAttribute(*value, attribute) ? value : nullptr;
}

CStateNode* MakeNode(const Helper::CXmlReader& reader, CStateTree* tree, CStateNode* parent)
{
    if (reader.AttributeCount() < Helper::kStateBadgeAttributeCount)
        return nullptr;
    const std::u16string* id = BoundedAttribute(reader, Helper::kStateId);
    const std::u16string* name = BoundedAttribute(reader, Helper::kStateName);
    const std::u16string* state_text = BoundedAttribute(reader, Helper::kStateState);
    int64_t state = 0;
    if (!id || !name || !state_text || !ParseDecimal(*state_text, &state) ||
        !Helper::IsValidFileSyncState(static_cast<long>(state)))
        return nullptr;
    std::u16string lowered = *name;
    LowerAscii(&lowered);
    return tree->Append(parent, ParseId(*id), std::move(lowered), static_cast<int32_t>(state));
}

// Error and Untracked stay with the item: a failed file does not make its
// folder look failed.
void PassStateUp(const CStateNode& node)
{
    if (node.state == Helper::Error || node.state == Helper::Untracked)
        return;
    if (node.state > node.parent->state)
        node.parent->state = node.state;
}

}  // namespace

CStateTree::CStateTree() { nodes_.emplace_back(); }

CStateNode* CStateTree::Append(CStateNode* parent, int32_t id, std::u16string name, int32_t state)
{
    CStateNode& node = nodes_.emplace_back();
    node.id = id;
    node.name = std::move(name);
    node.state = state;
    node.parent = parent;
    parent->children.push_back(&node);
    return &node;
}

const CStateNode* CStateTree::Find(std::u16string_view relative) const
{
    const CStateNode* node = &Root();
    while (!relative.empty()) {
        size_t slash = relative.find(u'\\');
        std::u16string_view component = relative.substr(0, slash);
        if (component.empty())
            return nullptr;
        const CStateNode* match = nullptr;
        for (const CStateNode* child : node->children) {
            if (child->name == component) {
                match = child;
                break;
            }
        }
        if (!match)
            return nullptr;
        node = match;
        if (slash == std::u16string_view::npos)
            break;
        relative.remove_prefix(slash + 1);
    }
    return node;
}

void LoadStateTree(std::string_view document, CStateTree* tree)
{
    Helper::CXmlReader reader(document);
    CStateNode* level = &tree->Root();
    size_t skip_depth = 0;
    bool stray_end = false;
    while (!stray_end && reader.Read() == Helper::XmlReadResult::Node) {
        if (reader.NodeType() == Helper::XmlNodeType::Element) {
            bool opens_level = reader.LocalName() == Helper::kStateFolderElement && !reader.IsEmptyElement();
            if (skip_depth > 0) {
                skip_depth += opens_level ? 1 : 0;
                continue;
            }
            CStateNode* node = MakeNode(reader, tree, level);
            if (!node)
                skip_depth = opens_level ? 1 : 0;
            else if (opens_level)
                level = node;
            else
                PassStateUp(*node);
        } else if (reader.NodeType() == Helper::XmlNodeType::EndElement &&
                   reader.LocalName() == Helper::kStateFolderElement) {
            if (skip_depth > 0) {
                --skip_depth;
            } else if (!level->parent) {
                stray_end = true;
            } else {
                PassStateUp(*level);
                level = level->parent;
            }
        }
    }
    // A document cut off inside folders still gives every open folder the
    // states of what was read beneath it.
    for (; level->parent; level = level->parent)
        PassStateUp(*level);
}

void LowerAscii(std::u16string* text)
{
    for (char16_t& c : *text)
        c = LowerAscii(c);
}

bool PathInFolder(const char16_t* path, std::u16string_view folder)
{
    for (size_t i = 0; i < folder.size(); ++i) {
        if (path[i] == u'\0' || LowerAscii(path[i]) != folder[i])
            return false;
    }
    char16_t next = path[folder.size()];
    return next == u'\0' || next == u'\\';
}

void CopyLowered(const char16_t* path, char16_t* out, size_t capacity)
{
    if (capacity == 0)
        return;
    size_t i = 0;
    for (; i + 1 < capacity && path[i] != u'\0'; ++i)
        out[i] = LowerAscii(path[i]);
    out[i] = u'\0';
}

bool StripTempExtension(char16_t* path)
{
    std::u16string_view text(path);
    size_t at = text.find(Helper::kTempFileSuffixU16);
    if (at == std::u16string_view::npos || at + Helper::kTempFileSuffixU16.size() != text.size())
        return false;
    path[at] = u'\0';
    return true;
}

int32_t LookupState(const CStateTree& tree, const char16_t* path, size_t folder_length)
{
    std::u16string_view rest(path + folder_length);
    if (!rest.empty())
        rest.remove_prefix(1);  // the backslash after the folder
    const CStateNode* node = tree.Find(rest);
    return node ? node->state : Helper::NotSynced;
}

}  // namespace Glint
