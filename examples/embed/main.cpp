// Classifies its argument with the example model and prints the three best
// classes, one "name score" line each.
#include <maxent/decoder.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s MODEL_DIR DICTIONARY TEXT\n", argv[0]);
    return 2;
  }
  try {
    auto model = maxent::Model::load(argv[1], argv[2]);
    for (const maxent::Label& label : model->classify(argv[3], 3))
      std::printf("%s %g\n", label.name.c_str(), label.score);
  } catch (const maxent::Error& e) {
    std::fprintf(stderr, "cannot load the model: %s\n", e.what());
    return 1;
  }
  return 0;
}
