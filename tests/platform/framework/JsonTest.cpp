#include "platform/framework/Record.h"
#include "tests/platform/framework/TestRecords.h"

#include <gtest/gtest.h>

namespace {

using namespace TestRecords;
using Kivo::IntfId;

Velto::Ptr<Derived> sampleTree() {
  auto t = Velto::make<Derived>();
  auto b = t->branchIs(IntfId("Ethernet2"));
  b->labelIs("two");
  b->leafIs(7)->valueIs(70);
  b->leafIs(8)->whenIs(1.25);
  b->favouriteIs(9)->valueIs(90);
  t->branchIs(IntfId("Ethernet1"));
  t->flagIs(IntfId("Ethernet1"), true);
  t->memberIs(IntfId("Port-Channel1"));
  t->addrIs(Kivo::EthAddr::fromString("02:00:00:00:00:01"));
  t->extraIs(200);
  return t;
}

TEST(JsonTest, RoundTripThroughTypedJson) {
  auto t = sampleTree();
  Zem::Json j = Zem::typedJson(*t);
  EXPECT_EQ(j["@type"], "TestRecords::Derived");
  EXPECT_EQ(j["branch"]["Ethernet2"]["leaf"]["7"]["value"], 70);
  EXPECT_EQ(j["addr"], "02:00:00:00:00:01");

  auto back = Velto::dynamicPtrCast<Derived>(Zem::entityFromJson(Zem::Json::parse(j.dump()), nullptr));
  ASSERT_TRUE(back);
  EXPECT_EQ(Zem::toJson(*back), Zem::toJson(*t));
  EXPECT_EQ(back->branch(IntfId("Ethernet2"))->leaf(7)->id(), 7);
  EXPECT_EQ(back->branch(IntfId("Ethernet2"))->favourite()->id(), 9);
  EXPECT_EQ(back->extra(), 200);
}

TEST(JsonTest, AssignPublishesOnlyDifferences) {
  auto t = sampleTree();
  auto target = sampleTree();
  auto j = Zem::toJson(*t);
  j["branch"]["Ethernet2"]["leaf"]["7"]["value"] = 71;
  j["branch"].erase("Ethernet1");
  j["flag"]["Ethernet3"] = false;

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
  struct Case {
    const char* json;
    const char* expect;
  };
  for (auto c : {Case{R"({"@type": "TestRecords::Derived", "extra": 300})", "extra: integer out of range"},
                 Case{R"({"@type": "TestRecords::Derived", "extra": "x"})", "extra: expected an integer"},
                 Case{R"({"branch": {"Ethernet1": {"leaf": {"x": {}}}}})", "branch: leaf: bad key 'x'"},
                 Case{R"({"addr": "zz"})", "addr: bad MAC address: zz"},
                 Case{R"({"@type": "Nope"})", "@type: unknown record type 'Nope'"},
                 Case{R"({"@type": "TestRecords::Leaf"})", "@type: TestRecords::Leaf is not a TestRecords::Tree"}}) {
    try {
      Zem::entityFromJson(Zem::Json::parse(c.json), &Tree::typeInfoStatic());
      ADD_FAILURE() << "accepted " << c.json;
    } catch (const Zem::JsonError& e) {
      EXPECT_EQ(std::string(e.what()), c.expect) << c.json;
    }
  }
}

TEST(JsonTest, AssignRefusesToChangeKeys) {
  struct Case {
    const char* path;  // in the tree's own JSON
    Zem::Json value;
    const char* expect;
  };
  for (auto c : {Case{"/branch/Ethernet2/intf", "Ethernet3",
                      R"(branch: intf: is a key and cannot change from "Ethernet2" to "Ethernet3")"},
                 Case{"/branch/Ethernet2/leaf/7/id", 8, "branch: leaf: id: is a key and cannot change from 7 to 8"},
                 Case{"/branch/Ethernet5", {{"intf", "Ethernet6"}},
                      R"(branch: Ethernet5: intf "Ethernet6" differs from the key the entry is stored under)"},
                 Case{"/branch/Ethernet5", Zem::Json::object(),
                      R"(branch: Ethernet5: intf "" differs from the key the entry is stored under)"}}) {
    auto t = sampleTree();
    const auto before = Zem::toJson(*t);
    auto j = before;
    j[Zem::Json::json_pointer(c.path)] = c.value;
    try {
      Zem::assignFromJson(*t, j);
      ADD_FAILURE() << "accepted " << c.path;
    } catch (const Zem::JsonError& e) {
      EXPECT_EQ(std::string(e.what()), c.expect) << c.path;
    }
    EXPECT_EQ(Zem::toJson(*t), before) << c.path;
  }
  // A child with another key is another child, not the present one renamed.
  auto b = sampleTree()->branch(IntfId("Ethernet2"));
  auto fav = b->favourite();
  Zem::assignFromJson(*b, Zem::Json::parse(R"({"favourite": {"id": 10, "value": 1}})"));
  EXPECT_EQ(fav->id(), 9);
  EXPECT_EQ(b->favourite()->id(), 10);
}

TEST(JsonTest, ReferenceMapsAreNotReadBack) {
  auto refs = Velto::make<Refs>();
  refs->leafPut(1, Velto::make<Leaf>(1));
  const auto j = Zem::typedJson(*refs);
  EXPECT_EQ(j["leaf"]["1"]["id"], 1);
  Zem::assignFromJson(*refs, j);  // its own dump: nothing to find
  EXPECT_EQ(refs->leaf().size(), 1u);
  try {
    Zem::entityFromJson(j, nullptr);
    ADD_FAILURE() << "made references from JSON";
  } catch (const Zem::JsonError& e) {
    EXPECT_STREQ(e.what(), "leaf: holds references to entities owned elsewhere and cannot be read from JSON");
  }
}

}  // namespace
