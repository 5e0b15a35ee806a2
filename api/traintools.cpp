// Diagnostics, class names, label files and checked output for the training tools.
#include "traintools.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>

void ToolFail(const std::string& file, long line, const std::string& msg) {
  fflush(stdout);
  fprintf(stderr, "%s: ", program_invocation_short_name);
  if (!file.empty()) {
    if (line > 0) {
      fprintf(stderr, "%s:%ld: ", file.c_str(), line);
    } else {
      fprintf(stderr, "%s: ", file.c_str());
    }
  }
  fprintf(stderr, "%s\n", msg.c_str());
  exit(1);
}

std::string ClassNameProblem(const std::string& name) {
  if (name.empty()) return "empty class name";
  for (unsigned char c : name) {
    if (c <= ' ' || c == 0x7f) {
      char buf[64];
      snprintf(buf, sizeof buf, "class name \"%s\" holds the byte 0x%02x", name.c_str(), c);
      return buf;
    }
    if (strchr("{}=,#\"", c)) {
      return "class name \"" + name + "\" holds '" + static_cast<char>(c) +
             "', which a parameter file cannot hold unquoted";
    }
  }
  return "";
}

std::vector<Label> ReadLabels(const std::string& path) {
  std::ifstream in = OpenInput(path);
  std::vector<Label> labels;
  std::set<long> numbers;
  std::set<std::string> names;
  std::string line;
  for (long nl = 1; std::getline(in, line); nl++) {
    size_t sep = line.find_first_of(" \t");
    if (sep == std::string::npos || sep == 0) {
      ToolFail(path, nl, "expected a label number, a tab and a class name");
    }
    std::string digits = line.substr(0, sep);
    char* end;
    errno = 0;
    long number = strtol(digits.c_str(), &end, 10);
    if (*end || errno) ToolFail(path, nl, "label \"" + digits + "\" is not an integer");
    std::string name = line.substr(sep + 1);
    std::string problem = ClassNameProblem(name);
    if (!problem.empty()) ToolFail(path, nl, problem);
    if (!numbers.insert(number).second) ToolFail(path, nl, "label " + digits + " given twice");
    if (!names.insert(name).second) ToolFail(path, nl, "class name \"" + name + "\" given twice");
    labels.push_back({number, name});
  }
  CheckRead(in, path);
  return labels;
}

void WriteLabels(const std::string& path, const std::vector<Label>& labels) {
  FILE* fp = OpenOutput(path);
  for (const Label& l : labels) fprintf(fp, "%ld\t%s\n", l.number, l.name.c_str());
  CloseOutput(fp, path);
}

std::ifstream OpenInput(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) ToolFail(path, 0, std::string("cannot open: ") + strerror(errno));
  return in;
}

void CheckRead(const std::istream& in, const std::string& path) {
  if (in.bad()) ToolFail(path, 0, std::string("read error: ") + strerror(errno));
}

FILE* OpenOutput(const std::string& path, bool binary) {
  FILE* fp = fopen(path.c_str(), binary ? "wb" : "w");
  if (!fp) ToolFail(path, 0, std::string("cannot open for writing: ") + strerror(errno));
  return fp;
}

void CloseOutput(FILE* fp, const std::string& path) {
  bool failed = ferror(fp) != 0;
  int saved = errno;
  if (fclose(fp) != 0 && !failed) {
    failed = true;
    saved = errno;
  }
  if (failed) ToolFail(path, 0, std::string("write error: ") + strerror(saved));
}
