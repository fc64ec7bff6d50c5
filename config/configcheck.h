// What --check finds beyond the file itself: whether the places the
// configuration names can be used by the user running the check. A run
// finds the same only when it gets there (a missing OUT ends its send pass).
// Errors: none raised; what is wrong comes back as findings.
#pragma once

#include <vector>

#include "config/configfile.h"

// IN and OUT: missing, not a directory, not an absolute path, or not
// writable; LOGFILE (when LOG is on): not writable. Empty values are left
// to the problems of the record.
std::vector<TReadState::TFinding> CheckPlaces(const TConfig& cfg);
