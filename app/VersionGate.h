// The version gate: an update applies only to an installation whose version
// is at least the one the description requires.
//
// A version value is 32 bits: the major in the upper 16 bits, or-ed with the
// minor. The minor is not masked, so a minor of 65536 or more reaches into
// the major bits; packages in the field were written against that rule.
#pragma once

#include <cstdint>

// (ParseVersionNumber(major) << 16) | ParseVersionNumber(minor), in 32 bits.
// Empty or unparsable texts count as 0.
uint32_t RequiredVersion(const char16_t* majorText, const char16_t* minorText);

// 1 when `installed` >= `required`, compared as unsigned numbers.
int VersionAccepted(uint32_t installed, uint32_t required);
