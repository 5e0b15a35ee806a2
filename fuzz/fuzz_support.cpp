#include "fuzz_support.h"

#include <ftw.h>
#include <sanitizer/allocator_interface.h>
#include <sanitizer/lsan_interface.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "ZDdata_parms.h"
#include "ZDmult_classnames.h"
#include "ZDutil_event.h"
#include "ZDutil_parm.h"
#include "fuzz_exit.h"

// The streams that the library opens are tracked through the linker's
// --wrap of these functions (see fuzz/CMakeLists.txt), so that a run ended by
// an error can close what the ended process would have left to exit().
namespace {
std::set<FILE*> open_files;
std::set<gzFile> open_gz;
}  // namespace

extern "C" {
FILE* __real_fopen(const char* path, const char* mode);
FILE* __real_fmemopen(void* buf, size_t size, const char* mode);
int __real_fclose(FILE* fp);
gzFile __real_gzopen(const char* path, const char* mode);
int __real_gzclose(gzFile gz);

FILE* __wrap_fopen(const char* path, const char* mode) {
  FILE* fp = __real_fopen(path, mode);
  if (fp) open_files.insert(fp);
  return fp;
}
FILE* __wrap_fmemopen(void* buf, size_t size, const char* mode) {
  FILE* fp = __real_fmemopen(buf, size, mode);
  if (fp) open_files.insert(fp);
  return fp;
}
int __wrap_fclose(FILE* fp) {
  open_files.erase(fp);
  return __real_fclose(fp);
}
gzFile __wrap_gzopen(const char* path, const char* mode) {
  gzFile gz = __real_gzopen(path, mode);
  if (gz) open_gz.insert(gz);
  return gz;
}
int __wrap_gzclose(gzFile gz) {
  open_gz.erase(gz);
  return __real_gzclose(gz);
}
}

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

// A path that cannot be written (a folder of the same name) stays as it is.
void write_all(const std::string& path, const std::string& text, bool gz) {
  if (gz) {
    gzFile out = __real_gzopen(path.c_str(), "wb");
    if (!out) return;
    if (!text.empty()) gzwrite(out, text.data(), static_cast<unsigned>(text.size()));
    __real_gzclose(out);
    return;
  }
  FILE* out = __real_fopen(path.c_str(), "wb");
  if (!out) return;
  fwrite(text.data(), 1, text.size(), out);
  __real_fclose(out);
}

void reset_process_state() {
  ParmList::first_warn = true;
  FieldParmList::protofile_count = 0;
  SupervisorParmList::filecount = 0;
  ZDEvent::verbose = 1;
  ZDEvent::pedantic = 0;
  ZDEvent::tracefile = stderr;
  ZDEvent::warnfile = stderr;
}

// Closes what the run left open; returns how many streams that were.
int close_leftovers() {
  int n = static_cast<int>(open_files.size() + open_gz.size());
  for (FILE* fp : open_files) __real_fclose(fp);
  for (gzFile gz : open_gz) __real_gzclose(gz);
  open_files.clear();
  open_gz.clear();
  return n;
}

// One execution of `body`: see run().
bool attempt(const std::function<void()>& body) {
  reset_process_state();
  bool ok = true;
  try {
    body();
  } catch (const FuzzExit& e) {
    ok = false;
    if (e.status == 134 && e.label != "ClassifierModel::load_parms") {
      fprintf(stderr, "fuzz: unexpected abort reported by %s\n", e.label.c_str());
      abort();
    }
  }
  int left = close_leftovers();
  if (ok && left > 0) {
    fprintf(stderr, "fuzz: %d stream(s) left open by a run that ended without error\n", left);
    abort();
  }
  for (auto it = made_paths.rbegin(); it != made_paths.rend(); ++it) remove_tree(*it);
  made_paths.clear();
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
  if (!name.empty() && name.back() == '/') {
    mkdir(path.c_str(), 0755);
    return path;
  }
  write_all(path, text, gz);
  return path;
}

bool run(const std::function<void()>& body) {
  // First pass with leak detection off: memory held when an error ends the
  // run is what the process would have left to exit(), not a leak.
  __lsan_disable();
  bool ok = attempt(body);
  __lsan_enable();
  if (!ok) return false;
  // A run without error must give back what it took: run it again, counting,
  // and have LeakSanitizer look when more blocks were taken than given back
  // (buffers that the library keeps until exit are not leaks).
  mallocs = frees = 0;
  counting = true;
  ok = attempt(body);
  counting = false;
  if (!ok) {
    fprintf(stderr, "fuzz: a second run of the same input failed\n");
    abort();
  }
  if (mallocs > frees && __lsan_do_recoverable_leak_check()) {
    fprintf(stderr, "fuzz: memory leaked by a run that ended without error\n");
    abort();
  }
  return true;
}

std::vector<std::pair<std::string, std::string>> split_sections(const uint8_t* data, size_t size,
                                                                const std::string& first_name) {
  std::vector<std::pair<std::string, std::string>> files;
  std::string text(reinterpret_cast<const char*>(data), size);
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

std::string as_text(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

}  // namespace fuzz
