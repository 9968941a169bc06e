// The updater's command line. It needs none: the package folder it is
// started from says everything. A launcher that applies an update itself
// passes "/quiet" (or "-quiet", in any case) for an unattended run; other
// words are ignored, as they always were.
#pragma once

// True when the command line (as GetCommandLineW gives it, the program's own
// name first) holds the quiet switch as a word of its own.
bool HasQuietSwitch(const char16_t* commandLine);
