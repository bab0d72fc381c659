#pragma once

#include "service/service_records.h"

#include <QString>
#include <QStringList>
#include <optional>

// The song tracker's rules that need no state: key texts, status lines, version order.
//
// Thread safety: pure, callable from any thread.
namespace tracker_rules {

// The 24 keys the user can choose: each display name in semitone order, then " 大调" and
// " 小调" ("C 大调", "C 小调", "C#/Db 大调", … "B 小调").
const QStringList& allKeys();

// The semitone of the text before the first space of a key text; none when that is not
// one of the accepted note names.
std::optional<int> keySemitone(const QString& keyText);

// The scale index pushed with a key: the plug-in's own index when the user set one there,
// else 2 when the shown key text is minor, else 1.
int scaleIndexFor(const QString& shownKeyText, std::optional<int> manualScaleIndex);

// Whether a key text names a mode ("大调" or "小调").
bool hasMode(const QString& keyText);

// The line under a library key, first match wins: a doubtful review, a variant match,
// a cloud match (with its trailing space), anything else.
QString libraryKeyDetail(const LookupResult& result);

// Dotted versions compared number by number; pieces that are not decimal integers are
// dropped and missing positions count as 0. "1.10" is newer than "1.9"; "1.2" equals "1.2.0".
bool isNewerVersion(const QString& a, const QString& than);

// "artist|title", the identity of a song for verification and reports.
QString songId(const QString& artist, const QString& title);

} // namespace tracker_rules
