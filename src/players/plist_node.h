#pragma once

#include <QByteArray>
#include <QString>
#include <memory>
#include <optional>
#include <plist/plist.h>

// Read-only helpers over libplist nodes. Every accessor accepts a null node and answers
// "absent", so a walk through a hostile document never needs its own null checks.
namespace plist_node {

struct Free {
    void operator()(plist_t node) const { plist_free(node); }
};
using Document = std::unique_ptr<std::remove_pointer_t<plist_t>, Free>;

// Binary or XML property list; none when the bytes are neither.
Document parse(const QByteArray& bytes);

bool isDict(plist_t node);
bool isArray(plist_t node);
plist_t item(plist_t dict, const char* key);
plist_t at(plist_t array, uint32_t index);
uint32_t size(plist_t array);
// A string node's text; none for other types.
std::optional<QString> text(plist_t node);
// An integer node's value (libplist keeps negative integers as their two's complement).
std::optional<qint64> integer(plist_t node);
// An integer or real node as a floating-point number.
std::optional<double> number(plist_t node);

} // namespace plist_node
