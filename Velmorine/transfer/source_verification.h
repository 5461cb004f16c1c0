#pragma once

// Checks of a source against the stamp it had when it was prepared, and the one log line that a
// failed check leaves behind.

#include <string>

#include "Velmorine/transfer/prepared_batch.h"
#include "Velmorine/transfer/source_stamp.h"

namespace velmorine::transfer {

// Returns when the stamps are equal; otherwise reports the stage and the differing fields to
// `verificationFailed` and throws ContentFailure changed.
void verifyStamp(const SourceStamp& expected, const SourceStamp& actual,
                 SourceVerificationFailure::Stage stage,
                 const VerificationFailed& verificationFailed);

// "Velmorine: source verification failed (<stage>; fields=<a,b>)".
std::string verificationFailureLine(const SourceVerificationFailure& failure);

// Writes that line to the system log (syslog); the application's only log line.
void logVerificationFailure(const SourceVerificationFailure& failure);

}  // namespace velmorine::transfer
