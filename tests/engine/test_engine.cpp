// The embedding interface against the golden and malformed-input corpora the
// decoder is checked with, and under concurrent use.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../test_support.h"
#include "maxent/decoder.h"

namespace {

const std::string kData = TEST_DATA_DIR;
const std::string kExamples = kData + "/../../examples";

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> Folders(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.' && Exists(dir + "/" + e->d_name + "/model"))
        names.push_back(dir + "/" + e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// One answer as the decoder prints it: "name:score " per class.
std::string Printed(const std::vector<maxent::Label>& labels) {
  std::string out;
  char score[32];
  for (const maxent::Label& l : labels) {
    snprintf(score, sizeof score, "%g", l.score);
    out += l.name + ":" + score + " ";
  }
  return out;
}

// Whether two printed answers agree: exactly, or with scores within a
// relative 1e-5 where the case allows last-bit differences.
bool Agree(const std::string& got, const std::string& want, bool tolerant) {
  if (!tolerant || got == want) return got == want;
  std::istringstream g(got), w(want);
  for (std::string a, b; g >> a, w >> b;) {
    size_t ca = a.rfind(':'), cb = b.rfind(':');
    if (a.substr(0, ca) != b.substr(0, cb)) return false;
    double x = std::stod(a.substr(ca + 1)), y = std::stod(b.substr(cb + 1));
    if (std::fabs(x - y) > 1e-5 * std::max(std::fabs(x), std::fabs(y))) return false;
  }
  return g.eof() && w.eof();
}

TEST(Engine, GoldenCasesGiveTheDecodersAnswers) {
  const std::vector<std::string> cases = Folders(kData + "/golden");
  ASSERT_FALSE(cases.empty());
  for (const std::string& dir : cases) {
    SCOPED_TRACE(dir);
    int nbest = 1;
    std::istringstream args(Read(dir + "/args"));
    for (std::string a; args >> a;)
      if (a == "-n") args >> nbest;
    const std::vector<std::string> input = Lines(Read(dir + "/input.txt"));
    const std::vector<std::string> want = Lines(Read(dir + "/expected.stdout"));
    if (std::any_of(input.begin(), input.end(), [](auto& l) { return l.size() > 999998; }))
      continue;  // the decoder splits such lines; the engine does not
    ASSERT_EQ(input.size(), want.size());
    auto model = maxent::Model::load(dir + "/model", dir + "/dict.txt");
    for (size_t i = 0; i < input.size(); i++) {
      if (input[i].find("...EOS...") != std::string::npos) continue;
      const std::string got = Printed(model->classify(input[i], nbest));
      EXPECT_TRUE(Agree(got, want[i], Exists(dir + "/tolerance"))) << "line " << i + 1 << ": " << got;
    }
  }
}

// Every malformed model or dictionary that ends the decoder ends the load
// with the decoder's message instead; the others load and classify.
TEST(Engine, MalformedInputsThrowTheDecodersMessages) {
  const std::string bad = kData + "/bad";
  using C = maxent::Error::Category;
  std::set<C> seen;
  for (const std::string& dir : Folders(bad)) {
    SCOPED_TRACE(dir);
    const int status = std::stoi(Read(dir + "/expected.rc"));
    // Cases about the dictionary bring their own, even a missing one.
    const bool own = Exists(dir + "/dict.txt") || dir.find("dict") != std::string::npos;
    const std::string dict = own ? dir + "/dict.txt" : bad + "/dict.txt";
    const std::vector<std::string> err = Lines(Read(dir + "/expected.stderr"));
    std::string message = err.empty() ? "" : err.front();
    for (auto [from, to] : {std::pair<std::string, std::string>{"@CASE@", dir}, {"@MODEL@", dir + "/model"}})
      for (size_t at; (at = message.find(from)) != std::string::npos;) message.replace(at, from.size(), to);
    try {
      auto model = maxent::Model::load(dir + "/model", dict);
      EXPECT_EQ(status, 0);
      for (const std::string& line : Lines(Read(dir + "/input.txt"))) model->classify(line, 3);
    } catch (const maxent::Error& e) {
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
      seen.insert(e.category());
      EXPECT_EQ(e.category() == C::kDictionary, status == 255);
      EXPECT_EQ(e.category() == C::kAbort, status == 134);
      EXPECT_EQ(status == 1, e.category() != C::kDictionary && e.category() != C::kAbort);
      EXPECT_EQ(e.label().empty(), e.category() == C::kDictionary) << e.label();
    }
  }
  EXPECT_EQ(seen, (std::set<C>{C::kUserInput, C::kDataInput, C::kDictionary, C::kAbort}));
}

TEST(Engine, ThreadsAndModelsGiveTheSequentialAnswers) {
  auto model = maxent::Model::load(kExamples + "/model", kExamples + "/dict.txt");
  std::vector<std::string> lines = Lines(Read(kExamples + "/input.txt"));
  for (int k = 0; k < 9; k++) lines.insert(lines.end(), lines.begin(), lines.end());
  lines.push_back(std::string("\x01\xff\x80 cancel,\t\x7f", 11));  // any bytes but NUL
  std::vector<std::string> sequential;
  for (const std::string& line : lines) sequential.push_back(Printed(model->classify(line, 3)));

  const auto batch = model->classify_batch(lines, 3, 8);
  ASSERT_EQ(batch.size(), lines.size());
  std::vector<std::thread> threads;
  std::vector<int> mismatches(8);
  for (int t = 0; t < 8; t++)
    threads.emplace_back([&, t] {
      for (size_t i = t; i < lines.size(); i += 3)
        mismatches[t] += Printed(model->classify(lines[i], 3)) != sequential[i];
    });
  for (size_t i = 0; i < lines.size(); i++) EXPECT_EQ(Printed(batch[i]), sequential[i]) << i;
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(mismatches, std::vector<int>(8));

  // A second model in the same process answers on its own; reloading the
  // first gives the same class names, generated ones included.
  for (const std::string& dir : Folders(kData + "/golden")) {
    auto other = maxent::Model::load(dir + "/model", dir + "/dict.txt");
    auto again = maxent::Model::load(dir + "/model", dir + "/dict.txt");
    EXPECT_EQ(other->classes(), again->classes()) << dir;
  }
  EXPECT_EQ(Printed(model->classify(lines[0], 3)), sequential[0]);

  EXPECT_TRUE(model->classify(lines[0], 0).empty());
  EXPECT_TRUE(model->classify(lines[0], -4).empty());
  EXPECT_EQ(model->classify("cancel my service", 100).size(), model->classes().size());
  EXPECT_EQ(Printed(model->classify(std::string("cancel\0billing", 14), 3)),
            Printed(model->classify("cancel", 3)));
  // A text longer than the decoder's line buffer is scored whole, not split.
  EXPECT_EQ(Printed(model->classify(std::string(1200000, ' ') + "cancel my service", 3)),
            Printed(model->classify("cancel my service", 3)));
}

// classify_into ranks as classify does, writes min(nbest, classes) entries
// and nothing past them.
TEST(Engine, ClassifyIntoWritesClassifysRanking) {
  auto model = maxent::Model::load(kExamples + "/model", kExamples + "/dict.txt");
  const int classes = static_cast<int>(model->classes().size());
  std::vector<std::string> lines = Lines(Read(kExamples + "/input.txt"));
  lines.push_back("");
  lines.push_back(std::string("cancel\0billing", 14));
  for (const std::string& line : lines)
    for (int nbest : {-2, 0, 1, 3, classes + 4}) {
      const int want = std::max(0, std::min(nbest, classes));
      std::vector<maxent::RankedClass> best(want + 1, maxent::RankedClass{-1, -1.0});
      ASSERT_EQ(model->classify_into(line, nbest, best.data()), want) << line;
      const std::vector<maxent::Label> labels = model->classify(line, nbest);
      ASSERT_EQ(labels.size(), static_cast<size_t>(want));
      for (int i = 0; i < want; i++) {
        EXPECT_EQ(model->classes().at(best[i].index), labels[i].name) << line << " " << i;
        EXPECT_EQ(best[i].score, labels[i].score) << line << " " << i;
      }
      EXPECT_EQ(best[want].index, -1);
    }
}

// Loads on several threads at once give each model the names a load on its
// own gives, generated names included.
TEST(Engine, ConcurrentLoadsAreIndependent) {
  const std::vector<std::string> cases = Folders(kData + "/golden");
  std::vector<std::vector<std::string>> alone;
  for (const std::string& dir : cases)
    alone.push_back(maxent::Model::load(dir + "/model", dir + "/dict.txt")->classes());
  std::vector<std::vector<std::string>> together(cases.size());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([&, t] {
      for (size_t i = t; i < cases.size(); i += 4)
        together[i] = maxent::Model::load(cases[i] + "/model", cases[i] + "/dict.txt")->classes();
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(together, alone);
}

TEST(Engine, LoadingTracesGoWhereAsked) {
  FILE* trace = tmpfile();
  ASSERT_NE(trace, nullptr);
  maxent::Model::load(kExamples + "/model", kExamples + "/dict.txt", maxent::LoadOptions{trace});
  EXPECT_GT(ftell(trace), 0);
  fclose(trace);
}

TEST(Engine, LoadErrorsNameTheFailure) {
  using C = maxent::Error::Category;
  struct Case {
    std::string model, dictionary;
    C category;
    std::string label, what;
  } cases[] = {
      {kData + "/nowhere", kExamples + "/dict.txt", C::kUserInput, "ZDIO::force_open",
       "ZDIO::force_open: Cannot open " + kData + "/nowhere/zanda.parm for [r]"},
      {kExamples + "/model", kData + "/nowhere.txt", C::kDictionary, "",
       "can't open " + kData + "/nowhere.txt -- lexiconread"},
      // Both fail: the model loads first, as in the command line.
      {kData + "/nowhere", kData + "/nowhere.txt", C::kUserInput, "ZDIO::force_open",
       "ZDIO::force_open: Cannot open " + kData + "/nowhere/zanda.parm for [r]"},
  };
  for (const Case& c : cases) {
    try {
      maxent::Model::load(c.model, c.dictionary);
      ADD_FAILURE() << c.what;
    } catch (const maxent::Error& e) {
      EXPECT_EQ(e.category(), c.category);
      EXPECT_EQ(e.label(), c.label);
      EXPECT_EQ(std::string(e.what()), c.what);
    }
  }
}

// A model that cannot be opened fails at once, while the dictionary loads on
// a thread of its own: that load stops and frees what it took (this suite runs
// with leak detection), and the same dictionary loads in full afterwards.
TEST(Engine, AFailedModelStopsTheDictionarysLoad) {
  zdtest::TempDir tmp;
  std::string dict;
  for (int k = 0; k < 300000; k++) dict += std::to_string(k) + " w" + std::to_string(k) + "_1\n";
  const std::string path = zdtest::WriteFile(tmp("dict.txt"), dict);
  EXPECT_THROW(maxent::Model::load(kData + "/nowhere", path), maxent::Error);
  EXPECT_FALSE(maxent::Model::load(kExamples + "/model", path)->classes().empty());
}

TEST(Engine, BatchesOfAnySize) {
  auto model = maxent::Model::load(kExamples + "/model", kExamples + "/dict.txt");
  EXPECT_TRUE(model->classify_batch({}, 3, 0).empty());
  const std::vector<std::string> two = {"cancel my service", "billing"};
  for (int threads : {0, 1, 2, 16}) {
    const auto answers = model->classify_batch(two, 2, threads);
    ASSERT_EQ(answers.size(), 2u);
    for (size_t i = 0; i < two.size(); i++)
      EXPECT_EQ(Printed(answers[i]), Printed(model->classify(two[i], 2))) << threads;
  }
}

}  // namespace
