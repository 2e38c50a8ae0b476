// Replays the fuzzer's committed corpora through the decoder, so what the
// fuzzer taught us stays learnt in every build, not only in fuzzing runs:
// every seed is a frame the decoder takes, and every regression frame gets
// the outcome its manifest line names (a decoder that starts taking garbage,
// or refuses it for another reason, fails here).

#include "lldp/Codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace Lldp;

const fs::path kCorpus = fs::path(VORN_FUZZ_CORPUS_DIR) / "lldpdu";
const char* const kManifest = "EXPECTED.txt";

std::vector<uint8_t> readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The frames of a corpus directory, by name.
std::vector<std::string> frameFiles(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.is_regular_file() && e.path().filename() != kManifest) names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(FuzzCorpusTest, EverySeedDecodes) {
  const auto dir = kCorpus / "seed";
  const auto names = frameFiles(dir);
  ASSERT_GE(names.size(), 5u) << dir;
  for (const auto& name : names) {
    SCOPED_TRACE(name);
    const auto frame = readFile(dir / name);
    const auto result = Codec::decode(frame);
    ASSERT_TRUE(result.ok()) << result.rejection().text;
    const auto& pdu = result.lldpdu();
    EXPECT_EQ(pdu.isShutdown(), name.find("shutdown") != std::string::npos);
    if (name.starts_with("vorn-")) {
      // Our own engine's frames: exactly what the encoder sends for them,
      // with the exact hold time on all but the shutdown.
      EXPECT_EQ(Codec::encode(pdu), frame);
      EXPECT_EQ(pdu.holdTimeMs.hasValue(), !pdu.isShutdown());
    }
  }
}

// Each manifest line: NAME reject REASON | NAME accept|shutdown [tlvsDiscarded=N] [tlvsUnrecognized=N].
TEST(FuzzCorpusTest, EveryRegressionFrameHasItsExpectedOutcome) {
  const auto dir = kCorpus / "regression";
  std::map<std::string, std::string> expected;  // name -> the rest of its line
  std::ifstream manifest(dir / kManifest);
  for (std::string line; std::getline(manifest, line);) {
    std::istringstream fields(line);
    std::string name, rest;
    if (!(fields >> name) || name[0] == '#') continue;
    std::getline(fields >> std::ws, rest);
    EXPECT_TRUE(expected.emplace(name, rest).second) << "listed twice: " << name;
  }
  const auto names = frameFiles(dir);
  ASSERT_GE(names.size(), 20u) << dir;
  for (const auto& name : names) {
    SCOPED_TRACE(name);
    auto it = expected.find(name);
    ASSERT_NE(it, expected.end()) << "not in " << kManifest;
    std::istringstream fields(it->second);
    expected.erase(it);
    std::string outcome;
    fields >> outcome;
    const auto result = Codec::decode(readFile(dir / name));
    if (outcome == "reject") {
      std::string reason;
      fields >> reason;
      ASSERT_FALSE(result.ok()) << "accepted, expected refused for " << reason;
      EXPECT_EQ(Codec::reasonName(result.rejection().reason), reason) << result.rejection().text;
      EXPECT_FALSE(result.rejection().text.empty());
      continue;
    }
    ASSERT_TRUE(outcome == "accept" || outcome == "shutdown") << "unknown outcome '" << outcome << "'";
    ASSERT_TRUE(result.ok()) << result.rejection().text;
    EXPECT_EQ(result.lldpdu().isShutdown(), outcome == "shutdown");
    std::map<std::string, size_t> counts{{"tlvsDiscarded", 0}, {"tlvsUnrecognized", 0}};
    for (std::string kv; fields >> kv;) {
      const auto eq = kv.find('=');
      ASSERT_TRUE(eq != std::string::npos && counts.count(kv.substr(0, eq))) << "not a count: " << kv;
      counts[kv.substr(0, eq)] = std::stoul(kv.substr(eq + 1));
    }
    EXPECT_EQ(result.decoded().discardedTlvs.size(), counts["tlvsDiscarded"]);
    EXPECT_EQ(result.decoded().unrecognizedTlvs, counts["tlvsUnrecognized"]);
  }
  for (const auto& [name, line] : expected) ADD_FAILURE() << kManifest << " lists " << name << ", which is missing";
}

}  // namespace
