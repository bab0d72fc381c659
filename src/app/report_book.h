#pragma once

#include <QString>

// The process-wide bookkeeping of verifications and key reports, under one lock: which
// songs' library keys are verified or being verified ("artist|title"), and which
// song/key reports are in flight or accepted ("artist|title|key").
//
// Thread safety: any thread; the lock is held only for the set operations.
namespace report_book {

// Claims the verification of a song; false when it is verified or being verified.
bool claimVerification(const QString& songId);
// The verification gave up or its report failed: the song may be verified again.
void releaseVerification(const QString& songId);

// Claims the right to report a key for a song: false when it is reported or in flight.
bool claimReport(const QString& claimKey);
// The service accepted the report: it is never sent again in this process.
void reportAccepted(const QString& claimKey);
// Every attempt failed: a later decision may report it again.
void reportAbandoned(const QString& claimKey);

// Forgets everything (tests only).
void resetForTests();

} // namespace report_book
