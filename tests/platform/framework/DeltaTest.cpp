#include "platform/framework/Record.h"
#include "tests/platform/framework/TestRecords.h"
#include "tests/IntfNames.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using namespace TestRecords;
using Kivo::IntfId;
using Strings = std::vector<std::string>;

using namespace TestIntfs;

// A typed delta rendered as "Et1 added", "Et1 removed", "Et1 replaced", "Et1 inside.label".
template <class K, class V>
std::string describe(const Zem::EntryDelta<K, V>& d) {
  return fmt::format("{}{}{}{}{}", d.key, d.added() ? " added" : "", d.removed() ? " removed" : "",
                     d.replaced() ? " replaced" : "",
                     d.changedInside() ? std::string(" inside.") + d.inner->attr->name : "");
}

TEST(DeltaTest, EntityCollectionDeltasNameTheKeyAndBothEntries) {
  auto tree = Velto::make<Tree>();
  auto first = Velto::make<Branch>(et1), second = Velto::make<Branch>(et1);
  std::vector<std::tuple<std::string, const Branch*, const Branch*>> seen;
  auto reactor = tree->subscribe([&](const Zem::Change& c) {
    Zem::onDelta(c, Tree::branchAttr, [&](const auto& d) { seen.emplace_back(describe(d), d.prev, d.now); });
  });
  tree->branchPut(et1, first), first->labelIs("x"), tree->branchPut(et1, second);
  first->labelIs("old");  // a replaced entry no longer reports to its former container
  tree->branchDel(et1);
  EXPECT_THAT(seen, testing::ElementsAre(std::tuple("Et1 added", nullptr, first.get()),
                                         std::tuple("Et1 inside.label", first.get(), first.get()),
                                         std::tuple("Et1 replaced", first.get(), second.get()),
                                         std::tuple("Et1 removed", second.get(), nullptr)));
}

TEST(DeltaTest, ValueMapAndSetDeltasCarryTheValues) {
  auto tree = Velto::make<Tree>();
  Strings seen;
  auto text = [](const bool* b) { return b ? fmt::format("{}", *b) : "-"; };
  auto reactor = tree->subscribe([&](const Zem::Change& c) {
    Zem::onDelta(c, Tree::flagAttr,
                 [&](const auto& d) { seen.push_back(fmt::format("{} {}>{}", d.key, text(d.prev), text(d.now))); });
    Zem::onDelta(c, Tree::memberAttr, [&](const auto& d) { seen.push_back(describe(d)); });
    EXPECT_FALSE(c.is(Tree::addrAttr) && Zem::delta(c, Tree::flagAttr));  // another attribute's change is no delta
  });
  tree->flagIs(et1, true), tree->flagIs(et1, false), tree->flagDel(et1), tree->memberIs(et2), tree->memberDel(et2);
  tree->addrIs(Kivo::EthAddr::fromString("02:00:00:00:00:01"));
  EXPECT_EQ(seen, (Strings{"Et1 ->true", "Et1 true>false", "Et1 false>-", "Et2 added", "Et2 removed"}));
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
  EXPECT_THAT(entries, testing::ElementsAre(std::pair(b.get(), nullptr)));
}

Velto::Ptr<Tree> treeOf(const std::vector<IntfId>& intfs) {
  auto t = Velto::make<Tree>();
  for (const auto& i : intfs) t->branchIs(i);
  return t;
}

// A replaced input: every key of either input once, in the order asked for; the entries are those of the inputs.
TEST(DeltaTest, ReplayOfAReplacedInputDeliversEveryKeyOnce) {
  using Order = Zem::ReplayOrder;
  const struct { Velto::Ptr<Tree> before, after; Order order; Strings seen; } cases[] = {
      {nullptr, treeOf({et1, et2}), Order::newFirst(), {"Et1 added", "Et2 added"}},
      {treeOf({et1, et3}), treeOf({et1, et2}), Order::newFirst(), {"Et1 replaced", "Et2 added", "Et3 removed"}},
      {treeOf({et1, et3}), treeOf({et1, et2}), Order::oldFirst(), {"Et1 replaced", "Et3 removed", "Et2 added"}},
      {treeOf({et2}), nullptr, Order::oldFirst(), {"Et2 removed"}},
  };
  for (const auto& c : cases) {
    Strings seen;
    Zem::replayDelta(c.before.get(), c.after.get(), Tree::branchAttr, c.order, [&](const auto& d) {
      seen.push_back(describe(d));
      EXPECT_EQ(std::tuple(d.prev, d.now), std::tuple(d.prev ? c.before->branch(d.key).get() : nullptr,
                                                      d.now ? c.after->branch(d.key).get() : nullptr));
    });
    EXPECT_EQ(seen, c.seen);
  }
  // Hash collections have no order of their own; ascending replays follow the keys' order.
  auto before = Velto::make<Branch>(et1), after = Velto::make<Branch>(et1);
  for (int id : {9, 2, 7, 30}) before->leafIs(id);
  for (int id : {5, 30, 1}) after->leafIs(id);
  const std::pair<Order, std::vector<int>> rows[] = {{Order::oldFirstAscending(), {2, 7, 9, 30, 1, 5}},
                                                     {Order::allAscending(), {1, 2, 5, 7, 9, 30}}};
  for (const auto& [order, expected] : rows) {
    std::vector<int> keys;
    Zem::replayDelta(before.get(), after.get(), Branch::leafAttr, order, [&](const auto& d) { keys.push_back(d.key); });
    EXPECT_EQ(keys, expected);
  }
}

}  // namespace
