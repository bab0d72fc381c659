#include "players/plist_node.h"

#include <limits>

namespace plist_node {

Document parse(const QByteArray& bytes)
{
    if (bytes.isEmpty() || bytes.size() > std::numeric_limits<uint32_t>::max())
        return nullptr;
    plist_t root = nullptr;
    plist_from_memory(bytes.constData(), static_cast<uint32_t>(bytes.size()), &root);
    return Document(root);
}

bool isDict(plist_t node)
{
    return node != nullptr && plist_get_node_type(node) == PLIST_DICT;
}

bool isArray(plist_t node)
{
    return node != nullptr && plist_get_node_type(node) == PLIST_ARRAY;
}

plist_t item(plist_t dict, const char* key)
{
    return isDict(dict) ? plist_dict_get_item(dict, key) : nullptr;
}

plist_t at(plist_t array, uint32_t index)
{
    return index < size(array) ? plist_array_get_item(array, index) : nullptr;
}

uint32_t size(plist_t array)
{
    return isArray(array) ? plist_array_get_size(array) : 0;
}

std::optional<QString> text(plist_t node)
{
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING)
        return std::nullopt;
    uint64_t length = 0;
    const char* value = plist_get_string_ptr(node, &length);
    if (value == nullptr)
        return QString();
    return QString::fromUtf8(value, static_cast<qsizetype>(length));
}

std::optional<qint64> integer(plist_t node)
{
    if (node == nullptr || plist_get_node_type(node) != PLIST_UINT)
        return std::nullopt;
    uint64_t value = 0;
    plist_get_uint_val(node, &value);
    return static_cast<qint64>(value);
}

std::optional<double> number(plist_t node)
{
    if (node == nullptr)
        return std::nullopt;
    if (plist_get_node_type(node) == PLIST_REAL) {
        double value = 0;
        plist_get_real_val(node, &value);
        return value;
    }
    if (const auto value = integer(node))
        return static_cast<double>(*value);
    return std::nullopt;
}

} // namespace plist_node
