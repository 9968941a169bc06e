// Shared makings of the package tool's tests: an author's configuration in
// both forms (the struct and the pack.xml text), splash pictures and paths.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pack/packconfig.h"

namespace packtest {

// Two languages, English and Japanese, every text naming its language and
// purpose. The English intro is exactly as long as its field allows (511
// units, with a \n), so a check that miscounts by one shows.
PackConfig GoodConfig();
// The pack.xml an author would write for `config`.
std::string PackXml(const PackConfig& config);

// An RA-3 picture of `width` x `height`: a gradient, or one colour.
std::string Ra3Picture(uint32_t width, uint32_t height, bool oneColour = false);

// `root` joined with a relative path written with '/' (the build's
// separator between every part).
std::u16string At(const std::u16string& root, const std::string& relative);

}  // namespace packtest
