// Which edition of the lookup program this build is. The same sources make both: the full
// edition (US and Canadian licences, previous callsigns) and, with ORBISK_US_ONLY=1, the
// US-only edition, which reads call.db alone and keeps the current directory as it finds it.
#pragma once

#include "dbfiles/lookup.h"

namespace lookup {

#if defined(ORBISK_US_ONLY) && ORBISK_US_ONLY
inline constexpr bool kUsOnly = true;
#else
inline constexpr bool kUsOnly = false;
#endif

inline constexpr dbfiles::Edition kEdition =
    kUsOnly ? dbfiles::Edition::us_only : dbfiles::Edition::full;

inline constexpr const char* kWindowTitle =
    kUsOnly ? "Orbisk Callsign lookup" : "Orbisk+ US/Canadian Callsign lookup 007";
inline constexpr const char* kSearchDialogTitle =
    kUsOnly ? "Extended Search" : "Extended Search (US only)";

}  // namespace lookup
