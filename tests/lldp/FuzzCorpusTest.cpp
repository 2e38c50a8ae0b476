// Replays the fuzzer's committed corpora through the decoder, so what the
// fuzzer taught us stays learnt in every build, not only in fuzzing runs:
// every regression frame gets the outcome its manifest line names (a decoder that starts taking garbage,
// or refuses it for another reason, fails here).

#include "lldp/Codec.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using namespace Lldp;

const fs::path kCorpus = fs::path(VORN_FUZZ_CORPUS_DIR) / "lldpdu";
const char* const kManifest = "EXPECTED.txt";

std::vector<uint8_t> readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// What the decoder made of a frame, in the manifest's words: "reject REASON"
// or "accept|shutdown [tlvsDiscarded=N] [tlvsUnrecognized=N]", counts of 0
// left out.
std::string outcome(const Codec::Result& r) {
  if (!r.ok()) return "reject " + std::string(Codec::reasonName(r.rejection().reason));
  std::string s = r.lldpdu().isShutdown() ? "shutdown" : "accept";
  if (const auto n = r.decoded().discardedTlvs.size()) s += fmt::format(" tlvsDiscarded={}", n);
  if (const auto n = r.decoded().unrecognizedTlvs) s += fmt::format(" tlvsUnrecognized={}", n);
  return s;
}

// Each manifest line: NAME followed by its outcome.
TEST(FuzzCorpusTest, EveryRegressionFrameHasItsExpectedOutcome) {
  const auto dir = kCorpus / "regression";
  std::map<std::string, std::string> expected;  // name -> its outcome
  std::ifstream manifest(dir / kManifest);
  for (std::string line; std::getline(manifest, line);) {
    std::istringstream fields(line);
    std::string name, word, want;
    if (!(fields >> name) || name[0] == '#') continue;
    while (fields >> word)
      if (!word.ends_with("=0")) want += (want.empty() ? "" : " ") + word;
    EXPECT_TRUE(expected.emplace(name, want).second) << "listed twice: " << name;
  }
  size_t frames = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const auto name = entry.path().filename().string();
    if (name == kManifest) continue;
    ++frames;
    ASSERT_TRUE(expected.count(name)) << name << " is not in " << kManifest;
    const auto result = Codec::decode(readFile(entry.path()));
    EXPECT_EQ(outcome(result), expected[name]) << name << (result.ok() ? "" : ": " + result.rejection().text);
    expected.erase(name);
  }
  EXPECT_GE(frames, 20u) << dir;
  for (const auto& [name, line] : expected) ADD_FAILURE() << kManifest << " lists " << name << ", which is missing";
}

}  // namespace
