// Decoder program: loads a classifier model and a feature dictionary, then
// answers every line of standard input with its n best classes and scores.
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Zanda_api.h"
#include "exit_status.h"
#include "loadfeats.h"
#include "score_format.h"

namespace {

// Size of the line buffer (characters) and of the feature index buffer (ints).
const int MAX = 999999;
const char kEndOfSentence[] = "...EOS...";

// The decoder's model record: the facade and the dictionary live until exit.
struct Model {
  ZandaModelAPI zanda;
  DSTHashTable feats2ind = nullptr;
  int nbest = 0;  // slot of the record; the driver keeps the -n count itself
};

// Microseconds from x2 to x1 in 32-bit arithmetic: like the running total,
// it wraps instead of overflowing.
int timediff(const timeval& x1, const timeval& x2) {
  unsigned sec = static_cast<unsigned>(x1.tv_sec - x2.tv_sec);
  unsigned usec = static_cast<unsigned>(x1.tv_usec - x2.tv_usec);
  return static_cast<int>(sec * 1000000u + usec);
}

// Storage reserved once for the whole run; failure is reported like an
// allocation failure of the dictionary table.
void* reserve(size_t bytes) {
  void* p = malloc(bytes);
  if (!p) throw DSTError("ERROR: memory allocation failed.");
  return p;
}

// Results that cannot be written must not end in a successful exit: a failed
// write (full disk, /dev/full) is reported with its cause and ends with 1.
void check_output(int written) {
  if (written >= 0) return;
  int cause = errno;
  fprintf(stderr, "MaxEntDecoder: error writing standard output: %s\n", strerror(cause));
  exit(1);
}

[[noreturn]] void usage(const char* prog) {
  fprintf(stderr,
          "Usage: %s [-opts] \nOptions:\n -n nbest output \n -m modelfile ascii model file \n -d "
          "feature dictionary file \n",
          prog);
  exit(1);
}

}  // namespace

int decode(int argc, char** argv) {
  int Nbest = 1;
  int VERBOSE = 0;
  int err = 0;
  int diff = 0;
  int tot = 0;
  const char* modelfile = nullptr;
  const char* dictfile = nullptr;
  // Everything the decoder reserves lives until exit; static pointers keep it
  // reachable until then.
  static char* str = static_cast<char*>(reserve(MAX));
  static int* indstr = static_cast<int*>(reserve(sizeof(int) * MAX));

  int c;
  while ((c = getopt(argc, argv, "d:m:n:v?")) != -1) {
    switch (c) {
      case 'd':
        dictfile = optarg;
        break;
      case 'm':
        modelfile = optarg;
        break;
      case 'n':
        Nbest = atoi(optarg);
        break;
      case 'v':
        VERBOSE = 1;
        break;
      default:
        err++;
    }
  }
  // Without a model or a dictionary there is nothing to decode with.
  if (err || optind + 1 < argc || argc <= 2 || !modelfile || !dictfile) usage(argv[0]);

  timeval start, end;
  gettimeofday(&start, nullptr);
  static Model* model = new Model;
  // The dictionary loads on another core while the model does; a model that
  // fails to load is reported first all the same.
  FeatsLoad dictionary(dictfile);
  model->zanda.load_mdl_parms(modelfile, stderr);
  model->feats2ind = dictionary.take();
  gettimeofday(&end, nullptr);
  if (VERBOSE) fprintf(stderr, "Loading Time %f secs\n", timediff(end, start) / 1e6);

  int nfiers = model->zanda.get_nfiers();
  static double* outs = static_cast<double*>(reserve(sizeof(double) * (nfiers > 0 ? nfiers : 1)));
  static int* idxs = static_cast<int*>(reserve(sizeof(int) * (nfiers > 0 ? nfiers : 1)));

  std::string line;  // one output line, its storage kept from line to line
  while (fgets(str, MAX, stdin)) {
    if (strstr(str, kEndOfSentence)) {
      check_output(printf("%s\n", kEndOfSentence));
      continue;
    }
    // The clock is read only when -v reports the decoding time.
    if (VERBOSE) gettimeofday(&start, nullptr);
    int n = GenerateUptoTrigrams(str, model->feats2ind, indstr, MAX);
    // Only the printed best entries are ranked.
    model->zanda.test_samp(indstr, n, outs, idxs, Nbest > 0 ? Nbest : 0);
    if (VERBOSE) {
      gettimeofday(&end, nullptr);
      diff = static_cast<int>(static_cast<unsigned>(diff) +
                              static_cast<unsigned>(timediff(end, start)));
    }
    tot += 1;
    // "name:score " per printed class, the score as printf's %g writes it,
    // then the line is written at once.
    line.clear();
    for (int i = 0; i < Nbest && i < model->zanda.get_nfiers(); i++) {
      line += model->zanda.classifier_name(idxs[i]);
      line += ':';
      char score[32];
      line.append(score, FormatScore(outs[i], score));
      line += ' ';
    }
    line += '\n';
    check_output(fwrite(line.data(), 1, line.size(), stdout) == line.size() ? 0 : -1);
  }
  check_output(fflush(stdout) == 0 && !ferror(stdout) ? 0 : -1);

  if (VERBOSE)
    fprintf(stderr,
            "Total instances: %d\n Total time: %d, Average Decoding Time %f ms per instance\n", tot,
            diff, diff / (tot * 1000.0));
  return 0;
}

// The libraries report every failure by exception; ExitStatusOf ends the
// process with the message and status of each kind of failure.
int main(int argc, char** argv) {
  return ExitStatusOf([&] { return decode(argc, argv); });
}
