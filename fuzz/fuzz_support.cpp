#include "fuzz_support.h"

#include <dirent.h>
#include <ftw.h>
#include <sanitizer/allocator_interface.h>
#include <sanitizer/lsan_interface.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "ZDutil_event.h"
#include "dstsys.h"
#include "loadfeats.h"
#include "maxent/decoder.h"

namespace fuzz {

namespace {

std::vector<std::string> made_paths;  // files and folders of the current run, in creation order

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path);
}

void remove_tree(const std::string& path) {
  nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void remove_scratch() {
  remove_tree(scratch_dir());
}

[[noreturn]] void finding(const std::string& what) {
  fprintf(stderr, "fuzz: %s\n", what.c_str());
  abort();
}

// Only the undefined-kernel report may end a run with an abort.
void expect_no_abort(bool is_abort, const std::string& label) {
  if (is_abort && label != "ClassifierModel::load_parms")
    finding("unexpected abort reported by " + label);
}

// Entries of /proc/self/fd (the directory's own descriptor included).
int open_descriptors() {
  int n = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir)) n++;
    closedir(dir);
  }
  return n;
}

// One execution of `body`: see run().
bool attempt(const std::function<void()>& body) {
  ZDEvent::verbose = 1;
  ZDEvent::pedantic = 0;
  ZDEvent::tracefile = stderr;
  ZDEvent::warnfile = stderr;
  const int descriptors = open_descriptors();
  bool ok = false;
  try {
    body();
    ok = true;
  } catch (const ZDError& e) {
    expect_no_abort(e.category() == ZDError::Category::abort, e.label());
  } catch (const maxent::Error& e) {
    expect_no_abort(e.category() == maxent::Error::Category::kAbort, e.label());
  } catch (const DictionaryError&) {
  } catch (const DSTError&) {
  }
  for (auto it = made_paths.rbegin(); it != made_paths.rend(); ++it) remove_tree(*it);
  made_paths.clear();
  if (open_descriptors() != descriptors) finding("a file descriptor was left open");
  return ok;
}

// Block counts of the second run of run(), kept by the sanitizer's hooks.
volatile bool counting = false;
volatile size_t mallocs = 0;
volatile size_t frees = 0;

void on_malloc(const volatile void*, size_t) {
  if (counting) mallocs = mallocs + 1;
}
void on_free(const volatile void*) {
  if (counting) frees = frees + 1;
}

struct InstallHooks {
  InstallHooks() { __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free); }
} install_hooks;

}  // namespace

const std::string& scratch_dir() {
  static const std::string dir = [] {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/maxent-fuzz-XXXXXX";
    if (!mkdtemp(&pattern[0])) abort();
    atexit(remove_scratch);
    return pattern + "/";
  }();
  return dir;
}

std::string put_file(const std::string& name, const std::string& text, bool gz) {
  // A name stays inside the scratch directory: one path component (a final
  // '/' asks for a folder) made of safe characters.
  std::string safe;
  for (size_t k = 0; k < name.size(); k++) {
    char c = name[k];
    bool dir_mark = c == '/' && k + 1 == name.size() && k > 0;
    safe += isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-' || dir_mark
                ? c
                : '_';
  }
  if (safe.empty() || safe[0] == '.') safe.insert(0, "_");
  std::string path = scratch_dir() + safe;
  made_paths.push_back(path);
  if (safe.back() == '/') {
    mkdir(path.c_str(), 0755);
  } else if (gz) {  // a path that cannot be written (a folder of that name) stays as it is
    if (gzFile out = gzopen(path.c_str(), "wb")) {
      if (!text.empty()) gzwrite(out, text.data(), static_cast<unsigned>(text.size()));
      gzclose(out);
    }
  } else if (FILE* out = fopen(path.c_str(), "wb")) {
    fwrite(text.data(), 1, text.size(), out);
    fclose(out);
  }
  return path;
}

bool run(const std::function<void()>& body) {
  // The first run fills what the libraries keep from run to run; the second
  // must give back every block it takes, or LeakSanitizer looks for lost ones.
  const bool ok = attempt(body);
  mallocs = frees = 0;
  counting = true;
  const bool again = attempt(body);
  counting = false;
  if (again != ok) finding("a second run of the same input ended otherwise");
  if (mallocs > frees && __lsan_do_recoverable_leak_check()) finding("memory leaked by a run");
  return ok;
}

std::vector<std::pair<std::string, std::string>> split_sections(const uint8_t* data, size_t size,
                                                                const std::string& first_name) {
  std::vector<std::pair<std::string, std::string>> files;
  std::string text = as_text(data, size);
  std::string name = first_name;
  size_t pos = 0;
  for (;;) {
    size_t header = text.find("#@ ", pos);
    while (header != std::string::npos && header > 0 && text[header - 1] != '\n')
      header = text.find("#@ ", header + 1);
    size_t end = header == std::string::npos ? text.size() : header;
    size_t content_end = end > pos && header != std::string::npos ? end - 1 : end;
    files.emplace_back(name, text.substr(pos, content_end - pos));
    if (header == std::string::npos) break;
    size_t eol = text.find('\n', header);
    if (eol == std::string::npos) eol = text.size();
    name = text.substr(header + 3, eol - header - 3);
    pos = eol < text.size() ? eol + 1 : eol;
  }
  return files;
}

}  // namespace fuzz
