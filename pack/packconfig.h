// The package author's configuration, pack.xml: everything updateinfo.xml
// says, in a form meant to be written by hand, and the version the package
// installs. ztpack build turns it into the description with the library's
// XML writer, so the updater reads back exactly what the author wrote.
//
//   <?xml version="1.0" encoding="UTF-8"?>
//   <pack>
//     <brand>ZtDemo</brand>             ProgramData\<brand>\<app>.xml finds the game
//     <app>DemoGame</app>
//     <mutex>ZtDemoGameRunning</mutex>  held by the game while it runs
//     <confmutex>ZtDemoConfig</confmutex>  held by its configuration tool
//     <requires>1.2</requires>          oldest installed version the update applies to
//     <version>1.3</version>            the version it installs (optional: read from
//                                       the new version's config\startup.xml)
//     <default>en</default>             language used when none matches the UI's
//     <language>                        one per language, in the order wanted
//       <code>1033</code>               Windows language id
//       <prefix>en</prefix>             names the element of its texts
//       <title/intro/success/version_error/install_error/copy_error/
//        copying/running/error_title>   the nine texts (see kTextFields)
//     </language>
//   </pack>
//
// The file is read with the library's own XML parser: no entities (write
// "&" as it is), no "<" inside a text, and a line break in the file becomes a
// space; write \n where a box should break the line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/UpdateDescription.h"

// One text of a language: its name in pack.xml, its place in the
// description, the width of the updater's field (terminator included) and
// whether the updater turns a written \n into a line break there.
struct TextField {
  const char* packName;
  const char* section;  // element below the language's prefix
  const char* name;     // element below the section
  size_t units;
  bool lineBreaks;
  const char16_t* (*get)(const LanguageRecord& record);
};
constexpr size_t kTextFieldCount = 9;
extern const TextField kTextFields[kTextFieldCount];

// The top-level elements of the description; a language prefix equal to one
// of them would mix the language's texts into another setting.
bool IsReservedPrefix(const std::string& prefix);

struct PackLanguage {
  uint16_t code = 0;
  std::u16string prefix;
  std::u16string texts[kTextFieldCount];  // in kTextFields order
};

struct PackConfig {
  std::u16string brand, app, mutex, confmutex;
  uint32_t requiredMajor = 0, requiredMinor = 0;
  bool hasVersion = false;  // <version> given
  uint32_t major = 0, minor = 0;
  std::u16string defaultPrefix;
  std::vector<PackLanguage> languages;
};

// "1.2" into 1 and 2: two decimal numbers of at most 65535 and a dot.
bool ParseVersionPair(const std::string& text, uint32_t* major, uint32_t* minor);

// Reads pack.xml. False with one line per problem in `errors` ("element:
// what is wrong and what to write").
bool LoadPackConfig(const std::u16string& path, PackConfig* config, std::vector<std::string>* errors);

// Writes updateinfo.xml for `config` with the library's XML writer. False
// with the reason in `error`.
bool WriteDescription(const PackConfig& config, const std::u16string& path, std::string* error);
