// Helpers shared by the training tools (MaxEntFeatures, MaxEntImport): fatal
// diagnostics that name a file and line, the rule for class names, the label
// file that maps liblinear's numeric labels to class names, and output files
// whose write errors are reported instead of lost.
#ifndef API_TRAINTOOLS_H
#define API_TRAINTOOLS_H

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

// Writes "<program>: <file>:<line>: <msg>\n" to standard error and exits with
// status 1. ":<line>" is left out when `line` is 0, "<file>: " when `file` is
// empty.
[[noreturn]] void ToolFail(const std::string& file, long line, const std::string& msg);

// Why `name` cannot be a class name, or the empty string when it can. Class
// names appear unquoted in parameter-file headers and values, so they must be
// non-empty and hold no blank, control character or any of { } = , # ".
std::string ClassNameProblem(const std::string& name);

// One class: liblinear's numeric label and the class name the decoder prints.
struct Label {
  long number;
  std::string name;
};

// Reads a label file: one "number name" line per class, the two fields
// separated by one tab or blank. Ends the process (ToolFail) on an unreadable
// file, a malformed line, a bad class name or a repeated number or name.
std::vector<Label> ReadLabels(const std::string& path);

// Writes `labels` in the form ReadLabels reads.
void WriteLabels(const std::string& path, const std::vector<Label>& labels);

// Opens `path` for reading; fails with the system's reason when it cannot.
std::ifstream OpenInput(const std::string& path);

// Fails when reading `in` (opened on `path`) stopped on an error rather than
// at the end of the file.
void CheckRead(const std::istream& in, const std::string& path);

// Opens `path` for writing (binary when `binary`); fails with the system's
// reason when it cannot.
FILE* OpenOutput(const std::string& path, bool binary = false);

// Closes a file from OpenOutput; fails when any write to it went wrong (a full
// disk, for instance), so that no output is lost silently.
void CloseOutput(FILE* fp, const std::string& path);

#endif  // API_TRAINTOOLS_H
