#include "platform/framework/Record.h"
#include "tests/platform/framework/TestRecords.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using namespace TestRecords;
using Kivo::IntfId;

const IntfId et1("Ethernet1");
const IntfId et2("Ethernet2");
const IntfId et3("Ethernet3");

// A typed delta rendered as "Et1 added", "Et1 removed", "Et1 replaced",
// "Et1 inside.label", with the identity of its entries as letters.
template <class K, class V, class Name>
std::string describe(const Zem::EntryDelta<K, V>& d, Name name) {
  std::string s = name(d.key);
  if (d.added()) s += " added";
  if (d.removed()) s += " removed";
  if (d.replaced()) s += " replaced";
  if (d.changedInside()) s += std::string(" inside.") + d.inner->attr->name;
  return s;
}

std::string intfName(const IntfId& i) { return i.shortName(); }

TEST(DeltaTest, EntityCollectionDeltasNameTheKeyAndBothEntries) {
  auto tree = Velto::make<Tree>();
  auto first = Velto::make<Branch>(et1);
  auto second = Velto::make<Branch>(et1);
  std::vector<std::string> seen;
  std::vector<std::pair<const Branch*, const Branch*>> entries;
  auto reactor = tree->subscribe([&](const Zem::Change& c) {
    Zem::onDelta(c, Tree::branchAttr, [&](const auto& d) {
      seen.push_back(describe(d, intfName));
      entries.emplace_back(d.prev, d.now);
    });
  });

  struct Step {
    const char* what;
    std::function<void()> write;
    std::string seen;
    const Branch* prev;
    const Branch* now;
  };
  const std::vector<Step> steps = {
      {"add", [&] { tree->branchPut(et1, first); }, "Et1 added", nullptr, first.get()},
      {"change inside", [&] { first->labelIs("x"); }, "Et1 inside.label", first.get(), first.get()},
      {"replace", [&] { tree->branchPut(et1, second); }, "Et1 replaced", first.get(), second.get()},
      {"remove", [&] { tree->branchDel(et1); }, "Et1 removed", second.get(), nullptr},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    seen.clear();
    entries.clear();
    step.write();
    ASSERT_EQ(seen, std::vector<std::string>{step.seen});
    EXPECT_EQ(entries[0].first, step.prev);
    EXPECT_EQ(entries[0].second, step.now);
  }
}

TEST(DeltaTest, ValueMapAndSetDeltasCarryTheValues) {
  auto tree = Velto::make<Tree>();
  std::vector<std::string> seen;
  auto text = [](const bool* b) { return b ? (*b ? std::string("true") : std::string("false")) : std::string("-"); };
  auto reactor = tree->subscribe([&](const Zem::Change& c) {
    Zem::onDelta(c, Tree::flagAttr,
                 [&](const auto& d) { seen.push_back(d.key.shortName() + " " + text(d.prev) + ">" + text(d.now)); });
    Zem::onDelta(c, Tree::memberAttr, [&](const auto& d) { seen.push_back(describe(d, intfName)); });
    // Another attribute's change is no delta of these collections.
    if (c.is(Tree::addrAttr)) {
      EXPECT_FALSE(Zem::delta(c, Tree::flagAttr));
    }
  });
  tree->flagIs(et1, true);
  tree->flagIs(et1, false);
  tree->flagDel(et1);
  tree->memberIs(et2);
  tree->memberDel(et2);
  tree->addrIs(Kivo::EthAddr::fromString("02:00:00:00:00:01"));
  EXPECT_EQ(seen, (std::vector<std::string>{"Et1 ->true", "Et1 true>false", "Et1 false>-", "Et2 added",
                                            "Et2 removed"}));
}

TEST(DeltaTest, NestedDeltaOfAnEntryRemovedByAnEarlierHandlerHasNoCurrentEntry) {
  auto tree = Velto::make<Tree>();
  auto b = tree->branchIs(et1);
  auto remover = b->subscribe([&](const Zem::Change&) { tree->branchDel(et1); });
  std::vector<std::pair<const Branch*, const Branch*>> entries;
  auto reactor = tree->subscribe([&](const Zem::Change& c) {
    if (auto d = Zem::delta(c, Tree::branchAttr); d && d->changedInside()) entries.emplace_back(d->prev, d->now);
  });
  b->labelIs("x");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].first, b.get());
  EXPECT_EQ(entries[0].second, nullptr);
}

TEST(DeltaTest, PreviousValueOfAPlainAttributeIsTyped) {
  auto leaf = Velto::make<Leaf>(1);
  std::vector<int> prev;
  auto reactor = leaf->subscribe([&](const Zem::Change& c) {
    if (const int* p = Zem::previous(c, Leaf::valueAttr)) prev.push_back(*p);
    EXPECT_EQ(Zem::previous(c, Leaf::valueAttr) == nullptr, !c.is(Leaf::valueAttr));
  });
  leaf->valueIs(4);
  leaf->whenIs(2.0);
  leaf->valueIs(6);
  EXPECT_EQ(prev, (std::vector<int>{0, 4}));
}

// A replaced input: every key of either input once, in the order asked for.
TEST(DeltaTest, ReplayOfAReplacedInputDeliversEveryKeyOnce) {
  struct Case {
    const char* what;
    std::vector<IntfId> before;  // a null input when `beforeNull`
    bool beforeNull;
    std::vector<IntfId> after;
    bool afterNull;
    Zem::ReplayOrder order;
    std::vector<std::string> seen;
  };
  using Order = Zem::ReplayOrder;
  const std::vector<Case> cases = {
      {"first input", {}, true, {et1, et2}, false, Order::newFirst(), {"Et1 added", "Et2 added"}},
      {"overlap, new first", {et1, et3}, false, {et1, et2}, false, Order::newFirst(),
       {"Et1 replaced", "Et2 added", "Et3 removed"}},
      {"overlap, old first", {et1, et3}, false, {et1, et2}, false, Order::oldFirst(),
       {"Et1 replaced", "Et3 removed", "Et2 added"}},
      {"input gone", {et2}, false, {}, true, Order::oldFirst(), {"Et2 removed"}},
      {"both empty", {}, false, {}, false, Order::newFirst(), {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto make = [](const std::vector<IntfId>& intfs, bool null) -> Velto::Ptr<Tree> {
      if (null) return nullptr;
      auto t = Velto::make<Tree>();
      for (const auto& i : intfs) t->branchIs(i);
      return t;
    };
    auto before = make(c.before, c.beforeNull);
    auto after = make(c.after, c.afterNull);
    std::vector<std::string> seen;
    Zem::replayDelta(before.get(), after.get(), Tree::branchAttr, c.order, [&](const auto& d) {
      seen.push_back(describe(d, intfName));
      // The entries are those of the two inputs.
      if (d.prev) {
        EXPECT_EQ(d.prev, before->branch(d.key).get());
      }
      if (d.now) {
        EXPECT_EQ(d.now, after->branch(d.key).get());
      }
    });
    EXPECT_EQ(seen, c.seen);
  }
}

TEST(DeltaTest, WorkCountersCountWritesPublishesAndHandlerRuns) {
  auto leaf = Velto::make<Leaf>(1);
  int runs = 0;
  auto a = leaf->subscribe([&](const Zem::Change&) { ++runs; });
  auto b = leaf->subscribe([&](const Zem::Change&) { ++runs; });
  const auto before = Zem::workCounters;
  leaf->valueIs(1);
  leaf->valueIs(1);  // unchanged: a write, no publish
  leaf->valueIs(2);
  EXPECT_EQ(Zem::workCounters.writes - before.writes, 3u);
  EXPECT_EQ(Zem::workCounters.publishes - before.publishes, 2u);
  EXPECT_EQ(Zem::workCounters.handlerRuns - before.handlerRuns, 4u);
  EXPECT_EQ(runs, 4);
}

}  // namespace

// Hash collections have no order of their own; ascending replays follow the
// keys' order.
TEST(DeltaTest, AscendingReplayOfAHashCollectionFollowsTheKeys) {
  auto before = Velto::make<Branch>(et1);
  auto after = Velto::make<Branch>(et1);
  for (int id : {9, 2, 7, 30}) before->leafIs(id);
  for (int id : {5, 30, 1}) after->leafIs(id);
  struct Row {
    const char* what;
    Zem::ReplayOrder order;
    std::vector<int> keys;
  };
  const Row rows[] = {{"old first", Zem::ReplayOrder::oldFirstAscending(), {2, 7, 9, 30, 1, 5}},
                      {"new first", Zem::ReplayOrder::newFirstAscending(), {1, 5, 30, 2, 7, 9}},
                      {"all", Zem::ReplayOrder::allAscending(), {1, 2, 5, 7, 9, 30}}};
  for (const auto& row : rows) {
    std::vector<int> keys;
    Zem::replayDelta(before.get(), after.get(), Branch::leafAttr, row.order, [&](const auto& d) { keys.push_back(d.key); });
    EXPECT_EQ(keys, row.keys) << row.what;
  }
}
