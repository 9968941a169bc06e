// The image tool: reports what a picture file holds and converts pictures
// between the formats the library reads and writes (plus RA-3, through the
// tool's own writer). The command line is documented in kImageToolUsage.
#pragma once

#include <string>
#include <vector>

extern const char kImageToolUsage[];

// Runs one command. `args` are the arguments after the program name; what
// the tool prints goes to `out` (results) and `err` (problems), UTF-8.
// Returns the exit code: 0 done, 1 failed, 2 bad command line.
int RunImageTool(const std::vector<std::u16string>& args, std::string* out, std::string* err);
