// Feature dictionaries: the loader (string-keyed and index-keyed), then the
// input itself, taken as a decoder line, turned into n-gram features against
// the dictionary it made.
#include <set>
#include <vector>

#include "dstsys.h"
#include "fuzz_support.h"
#include "loadfeats.h"

namespace {

// The dictionary's tables and keys come from the system handler. A load that
// ends in an error leaves them behind; this handler keeps account of them so
// that the harness frees them as the ended process would have.
std::set<void*> live;

void* track(void* p) {
  live.insert(p);
  return p;
}
void* tracked_alloc(SYSHandle, size_t size) {
  return track(dst_memalloc(SYSDefaultHandle, size));
}
void* tracked_calloc(SYSHandle, size_t count, size_t size) {
  return track(dst_clralloc(SYSDefaultHandle, count, size));
}
void* tracked_realloc(SYSHandle, void* p, size_t size) {
  live.erase(p);
  return track(dst_memrealloc(SYSDefaultHandle, p, size));
}
void tracked_free(SYSHandle, void* p) {
  live.erase(p);
  free(p);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fuzz::as_text(data, size);
  SYSHandle shipped = SYSDefaultHandle;
  sys_handle_rec tracking = *shipped;
  tracking.memalloc = tracked_alloc;
  tracking.clralloc = tracked_calloc;
  tracking.realloc = tracked_realloc;
  tracking.memfree = tracked_free;
  SYSDefaultHandle = &tracking;
  bool ok = fuzz::run([&] {
    std::string path = fuzz::put_file("dict.txt", text);
    DSTHashTable words = LoadFeats(path.c_str(), 0);
    DSTHashTable indices = LoadFeats(path.c_str(), 1);
    // The decoder reads lines of at most 999998 characters; the input is
    // shorter, and cut at its first NUL as fgets would see it.
    std::vector<int> ngrams(3 * text.size() + 3);
    int n =
        GenerateUptoTrigrams(text.c_str(), words, ngrams.data(), static_cast<int>(ngrams.size()));
    for (int k = 0; k < n; k++)
      if (ngrams[k] < 0) abort();
    MapWord2Ind(text.c_str(), words);
    FreeFeats(words);
    FreeFeats(indices);
  });
  SYSDefaultHandle = shipped;
  if (ok && !live.empty()) abort();  // a complete load and release must free everything
  for (void* p : live) free(p);
  live.clear();
  return 0;
}
