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

bool startsWith(const std::string& s, std::string_view prefix) { return s.rfind(prefix, 0) == 0; }

TEST(FuzzCorpusTest, EverySeedDecodes) {
  const auto dir = kCorpus / "seed";
  const auto names = frameFiles(dir);
  ASSERT_GE(names.size(), 5u) << dir;
  for (const auto& name : names) {
    SCOPED_TRACE(name);
    const auto frame = readFile(dir / name);
    const auto result = Codec::decode(frame);
    if (!result.ok()) {
      ADD_FAILURE() << "refused: " << result.rejection().text;
      continue;
    }
    const auto& pdu = result.lldpdu();
    EXPECT_EQ(pdu.isShutdown(), name.find("shutdown") != std::string::npos);
    if (startsWith(name, "vorn-")) {
      // Our own engine's frames: exactly what the encoder sends for them,
      // with the exact hold time on all but the shutdown.
      EXPECT_EQ(Codec::encode(pdu), frame);
      EXPECT_EQ(pdu.holdTimeMs.hasValue(), !pdu.isShutdown());
    }
  }
}

struct Expectation {
  std::string outcome;  // "reject", "accept" or "shutdown"
  std::string reason;   // for "reject"
  // For "accept" and "shutdown": "tlvsDiscarded" and "tlvsUnrecognized", 0 when not given.
  std::map<std::string, uint32_t> counts;
};

std::map<std::string, Expectation> readManifest(const fs::path& p) {
  std::map<std::string, Expectation> out;
  std::ifstream in(p);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string name;
    Expectation e;
    if (!(fields >> name) || name[0] == '#') continue;
    fields >> e.outcome;
    if (e.outcome == "reject") fields >> e.reason;
    for (std::string kv; fields >> kv;) {
      const auto eq = kv.find('=');
      if (eq == std::string::npos) {
        ADD_FAILURE() << name << ": '" << kv << "' is not NAME=COUNT";
        continue;
      }
      e.counts[kv.substr(0, eq)] = static_cast<uint32_t>(std::stoul(kv.substr(eq + 1)));
    }
    EXPECT_TRUE(out.emplace(name, e).second) << "listed twice: " << name;
  }
  return out;
}

TEST(FuzzCorpusTest, EveryRegressionFrameHasItsExpectedOutcome) {
  const auto dir = kCorpus / "regression";
  const auto names = frameFiles(dir);
  auto expected = readManifest(dir / kManifest);
  ASSERT_GE(names.size(), 20u) << dir;
  for (const auto& name : names) {
    SCOPED_TRACE(name);
    auto it = expected.find(name);
    if (it == expected.end()) {
      ADD_FAILURE() << "not in " << kManifest;
      continue;
    }
    const Expectation e = it->second;
    expected.erase(it);
    const auto result = Codec::decode(readFile(dir / name));
    if (e.outcome == "reject") {
      if (result.ok()) {
        ADD_FAILURE() << "accepted, expected refused for " << e.reason;
        continue;
      }
      EXPECT_EQ(Codec::reasonName(result.rejection().reason), e.reason) << result.rejection().text;
      EXPECT_FALSE(result.rejection().text.empty());
    } else if (e.outcome == "accept" || e.outcome == "shutdown") {
      if (!result.ok()) {
        ADD_FAILURE() << "refused: " << result.rejection().text;
        continue;
      }
      EXPECT_EQ(result.lldpdu().isShutdown(), e.outcome == "shutdown");
      auto count = [&](const char* key) { return e.counts.count(key) ? e.counts.at(key) : 0u; };
      EXPECT_EQ(result.decoded().discardedTlvs.size(), count("tlvsDiscarded"));
      EXPECT_EQ(result.decoded().unrecognizedTlvs, count("tlvsUnrecognized"));
      for (const auto& [key, n] : e.counts) {
        if (key != "tlvsDiscarded" && key != "tlvsUnrecognized") ADD_FAILURE() << "unknown count '" << key << "'";
      }
    } else {
      ADD_FAILURE() << "unknown outcome '" << e.outcome << "'";
    }
  }
  for (const auto& [name, e] : expected) ADD_FAILURE() << kManifest << " lists " << name << ", which is missing";
}

}  // namespace
