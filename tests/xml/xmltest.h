// Helpers of the XML tests.
#pragma once

#include <cstdint>
#include <string>

#include "xml/ztXml.h"

namespace zt_xmltest {

// The declaration the documents of the tests start with.
inline const std::string kDecl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

// Reads the declaration and `body` from memory; whether the document loaded.
inline bool Load(ztXml& x, const std::string& body) {
  std::string text = kDecl + body;
  return x.OpenMem(text.data(), static_cast<int32_t>(text.size())) == 1;
}

}  // namespace zt_xmltest
