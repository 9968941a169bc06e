// The update description: everything the updater learns from the package's
// updateinfo.xml (game names, mutex names, the required version and, per
// display language, every text it shows), and the choice of the language the
// user sees.
//
// Widths are in UTF-16 units including the terminator; a value that does not
// fit is cut at a whole character.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

// Widths of the texts a language record holds.
constexpr size_t kTitleUnits = 256;
constexpr size_t kTextUnits = 512;

struct LanguageRecord {
  uint16_t code;                          // Windows language identifier, 1041 = Japanese
  char16_t windowTitle[kTitleUnits];      // splash window title, caption of most boxes
  char16_t introText[kTextUnits];         // the OK/Cancel confirmation
  char16_t successText[kTextUnits];       // the final success box
  char16_t versionErrorText[kTextUnits];  // installed version too old
  char16_t installErrorText[kTextUnits];  // installation not found
  char16_t copyErrorText[kTextUnits];     // the final copy-failed box
  char16_t copyingText[kTextUnits];       // text of the progress dialog
  char16_t bootErrorText[kTextUnits];     // the game or its configuration tool runs
  char16_t errorTitle[kTextUnits];        // caption of the version-error and copy-engine boxes
};

struct UpdateDescription {
  char16_t brand[260];
  char16_t app[260];
  char16_t gameMutex[260];
  char16_t configMutex[260];
  char16_t majorVersion[256];  // kept as text; the version gate makes numbers
  char16_t minorVersion[256];
  char16_t defaultLanguage[64];
  // Keyed by prefix, ordered by UTF-16 code units (unsigned), a key that
  // begins a longer one first. The first entry with a given prefix stays.
  std::map<std::u16string, LanguageRecord> languages;
};

// Reads updateinfo.xml from the current directory into `out` (emptied
// first). 1 when it was opened as an XML document, 0 otherwise; missing
// elements never make it fail.
int LoadUpdateDescription(UpdateDescription* out);
// The same from a given file (the updater always passes updateinfo.xml).
int LoadUpdateDescriptionFrom(const char16_t* path, UpdateDescription* out);
// The same from the bytes of the file, read once by the caller (a signed
// package's description is checked against its digest: the bytes checked
// must be the bytes used).
int LoadUpdateDescriptionFromMemory(const void* data, size_t size, UpdateDescription* out);

// The description's brand and app are joined onto the all-users data folder
// as <folder>\<brand>\<app>.xml, so each must name exactly one entry in
// that folder: a name such as "..\users\Public" or "C:" would make the
// updater read (and trust) a discovery file anywhere on the machine.
//
// Null when `name` is one plain path component; otherwise a few English
// words saying why not, for messages ("a control character", ...). Plain
// means: not empty; none of \ / : < > " | ? * and no control character
// (below U+0020, or U+007F); not "." or ".."; no dot or space at its end
// (Windows drops them, so the name would open another entry); and not a
// device name (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, also with the
// superscript digits 1-3 Windows takes as the same ports, CONIN$, CONOUT$;
// in any case, also followed by spaces and an extension: "nul .txt").
const char* PathComponentFault(const char16_t* name);
inline bool IsPlainPathComponent(const char16_t* name) { return PathComponentFault(name) == nullptr; }

// 1 when the brand and the app are each empty or a plain path component; 0
// otherwise, with `badElement` (when given) set to "brand" or "app", the
// first of the two that is not. An empty name leads nowhere: the lookup
// then finds no installation, as it always has (the package tool reports
// it as an error of its own).
int CheckDescriptionNames(const UpdateDescription& description, const char** badElement = nullptr);

// Copies the language the user sees into `out`: the only entry; else the
// first (in key order) whose code is the UI language; else the entry whose
// prefix is the default prefix; else the first. 0 (and `out` emptied) when
// the table is empty.
int ChooseLanguage(const UpdateDescription& description, LanguageRecord* out);

// Turns each backslash followed by "n" into a line feed, in place, in one
// pass (so backslash, backslash, n gives a backslash and a line feed).
void ExpandLineBreaks(char16_t* text, size_t cap);
template <size_t N>
void ExpandLineBreaks(char16_t (&text)[N]) {
  ExpandLineBreaks(text, N);
}

// The user's UI language (GetUserDefaultUILanguage on Windows; the host
// build reads LANG: "ja..." gives 1041, anything else 1033).
uint16_t GetSystemUiLanguage();
// Tests replace the UI language source; null restores GetSystemUiLanguage.
using UiLanguageSource = uint16_t (*)();
void SetUiLanguageSource(UiLanguageSource source);
