// Host feature switches.
//
// FeatureList is a fixed table; each entry names a feature and refers to its
// one-byte enabled flag (non-zero = enabled). Entry 195 is the agent's switch,
// "zarna", enabled by default; the other entries are unassigned and off.
//
// FeatureState_Init resets the flags to their defaults and then applies the
// "features/<name>" settings of the host configuration file (the file named by
// $ZARNA_CONFIG, else the default path; see host_config.h), because it runs
// before the framework reads that file. Accepted values: true/false, 1/0,
// on/off, yes/no, enabled/disabled (any case). A missing or unreadable file
// leaves the defaults (the framework reports the file itself); an unknown
// value disables the feature (a kill switch fails closed) and logs an error.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

struct FeatureEntry {
   const char *name; // null for an unassigned entry
   uint8_t *enabled;
};

inline constexpr size_t kFeatureCount = 256;
inline constexpr size_t kFeatureZarna = 195;

extern const std::array<FeatureEntry, kFeatureCount> FeatureList;

void FeatureState_Init();

// As FeatureState_Init, reading the given file instead.
void FeatureState_InitFromFile(const std::string &path);

// The name of a switch whose configured value could not be read at the last
// initialisation (that feature is then disabled); null when every value was read.
const char *FeatureState_InvalidSwitch();
