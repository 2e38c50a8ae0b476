#include "platform/framework/Record.h"
#include "tests/platform/framework/TestRecords.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using namespace TestRecords;
using Kivo::IntfId;
using testing::HasSubstr;
using testing::ThrowsMessage;

Velto::Ptr<Derived> sampleTree() {
  auto t = Velto::make<Derived>();
  auto b = t->branchIs(IntfId("Ethernet2"));
  b->labelIs("two"), b->leafIs(7)->valueIs(70), b->leafIs(8)->whenIs(1.25), b->favouriteIs(9)->valueIs(90);
  t->branchIs(IntfId("Ethernet1")), t->flagIs(IntfId("Ethernet1"), true), t->memberIs(IntfId("Port-Channel1"));
  t->addrIs(Kivo::EthAddr::fromString("02:00:00:00:00:01")), t->extraIs(200);
  return t;
}

TEST(JsonTest, AssignPublishesOnlyDifferences) {
  auto target = sampleTree();
  auto j = Zem::toJson(*sampleTree());
  j["branch"]["Ethernet2"]["leaf"]["7"]["value"] = 71, j["branch"].erase("Ethernet1"), j["flag"]["Ethernet3"] = false;
  std::vector<std::string> seen;
  auto r = target->subscribe([&](const Zem::Change& c) {
    std::string s = c.attr->name;
    for (auto* in = c.inner; in; in = in->inner) s += std::string(".") + in->attr->name;
    seen.push_back(s);
  });
  Zem::assignFromJson(*target, j);
  EXPECT_EQ(seen, (std::vector<std::string>{"branch", "branch.leaf.value", "flag"}));
  EXPECT_EQ(Zem::toJson(*target), j);
}

TEST(JsonTest, BadInputNamesTheAttribute) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"@type": "TestRecords::Derived", "extra": 300})", "extra: integer out of range"},
      {R"({"branch": {"Ethernet1": {"leaf": {"x": {}}}}})", "branch: leaf: bad key 'x'"},
      {R"({"@type": "Nope"})", "@type: unknown record type 'Nope'"},
      {R"({"@type": "TestRecords::Leaf"})", "@type: TestRecords::Leaf is not a TestRecords::Tree"}};
  for (const auto& c : cases) {
    EXPECT_THAT([&] { Zem::entityFromJson(Zem::Json::parse(c.first), &Tree::typeInfoStatic()); },
                ThrowsMessage<Zem::JsonError>(testing::StrEq(c.second)));
  }
}

TEST(JsonTest, AssignRefusesToChangeKeys) {
  // path: in the tree's own JSON.
  const struct { const char* path; Zem::Json value; const char* expect; } cases[] = {
      {"/branch/Ethernet2/intf", "Ethernet3",
       R"(branch: intf: is a key and cannot change from "Ethernet2" to "Ethernet3")"},
      {"/branch/Ethernet2/leaf/7/id", 8, "branch: leaf: id: is a key and cannot change from 7 to 8"},
      {"/branch/Ethernet5", {{"intf", "Ethernet6"}},
       R"(branch: Ethernet5: intf "Ethernet6" differs from the key the entry is stored under)"},
  };
  for (const auto& c : cases) {
    auto t = sampleTree();
    const auto before = Zem::toJson(*t);
    auto j = before;
    j[Zem::Json::json_pointer(c.path)] = c.value;
    EXPECT_THAT([&] { Zem::assignFromJson(*t, j); }, ThrowsMessage<Zem::JsonError>(testing::StrEq(c.expect)));
    EXPECT_EQ(Zem::toJson(*t), before) << c.path;
  }
}

}  // namespace
