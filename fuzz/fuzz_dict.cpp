// Feature dictionaries: the loader (string-keyed and index-keyed), then the
// input itself, taken as a decoder line, turned into n-gram features against
// the dictionary it made.
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "loadfeats.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fuzz::as_text(data, size);
  fuzz::run([&] {
    using Table = std::unique_ptr<dst_hash_table_rec, void (*)(DSTHashTable)>;
    std::string path = fuzz::put_file("dict.txt", text);
    Table words(LoadFeats(path.c_str(), 0), FreeFeats);
    Table indices(LoadFeats(path.c_str(), 1), FreeFeats);
    // The decoder reads lines of at most 999998 characters; the input is
    // shorter, and cut at its first NUL as fgets would see it.
    std::vector<int> ngrams(3 * text.size() + 3);
    int n = GenerateUptoTrigrams(text.c_str(), words.get(), ngrams.data(),
                                 static_cast<int>(ngrams.size()));
    for (int k = 0; k < n; k++)
      if (ngrams[k] < 0) abort();
    MapWord2Ind(text.c_str(), words.get());
  });
  return 0;
}
