// Runs the decoder on every case folder of tests/data/golden (model/,
// dict.txt, input.txt, args, expected.stdout, and `tolerance` where kernel
// scores may differ in the last float bits) and compares standard output
// byte for byte, or token by token with a relative tolerance of 1e-5 on the
// scores. Every case decodes with exit status 0.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "../test_support.h"

namespace {

const std::string kGolden = std::string(TEST_DATA_DIR) + "/golden/";

// Whitespace-separated words of `text`.
std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

// Equal lines and names, scores within the relative tolerance.
void ExpectClose(const std::string& got, const std::string& expected) {
  ASSERT_EQ(std::count(got.begin(), got.end(), '\n'),
            std::count(expected.begin(), expected.end(), '\n'));
  std::vector<std::string> g = Words(got), e = Words(expected);
  ASSERT_EQ(g.size(), e.size()) << got;
  for (size_t k = 0; k < e.size(); k++) {
    size_t gc = g[k].rfind(':'), ec = e[k].rfind(':');
    EXPECT_EQ(g[k].substr(0, gc), e[k].substr(0, ec));
    if (gc == std::string::npos || ec == std::string::npos) continue;
    double a = atof(g[k].c_str() + gc + 1), b = atof(e[k].c_str() + ec + 1);
    EXPECT_LE(std::fabs(a - b), 1e-5 * std::max(std::fabs(a), std::fabs(b)) + 1e-12) << g[k];
  }
}

TEST(Golden, EveryCaseDecodesToItsExpectedOutput) {
  const std::vector<std::string> cases = zdtest::CaseFolders(kGolden, "expected.stdout");
  ASSERT_GE(cases.size(), 20u);
  for (const std::string& name : cases) {
    SCOPED_TRACE(name);
    const std::string dir = kGolden + name + "/";
    std::vector<std::string> argv = {DECODER_PATH, "-m", "model", "-d", "dict.txt"};
    for (const std::string& a : Words(zdtest::ReadFile(dir + "args"))) argv.push_back(a);
    zdtest::Outcome r = zdtest::Run(argv, dir + "input.txt", dir);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string expected = zdtest::ReadFile(dir + "expected.stdout");
    if (access((dir + "tolerance").c_str(), F_OK) == 0)
      ExpectClose(r.out, expected);
    else
      EXPECT_EQ(r.out, expected);
  }
}

}  // namespace
