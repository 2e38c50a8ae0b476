#include "platform/framework/Record.h"
#include "platform/framework/StateMachine.h"
#include "tests/platform/framework/TestRecords.h"
#include "tests/IntfNames.h"

#include <gtest/gtest.h>

namespace {

using namespace TestRecords;
using Kivo::IntfId;
using Strings = std::vector<std::string>;

using namespace TestIntfs;

// Renders a change chain as "branch[Et1].leaf[3].value" for compact asserts.
std::string describe(const Zem::Change& c) {
  std::string s = c.attr->name;
  if (c.key && (c.is(Tree::branchAttr) || c.is(Tree::flagAttr) || c.is(Tree::memberAttr))) {
    s += fmt::format("[{}]", c.keyAs<IntfId>().shortName());
  } else if (c.key && c.is(Branch::leafAttr)) {
    s += fmt::format("[{}]", c.keyAs<int>());
  }
  return c.inner ? s + "." + describe(*c.inner) : s;
}

struct Recorder {
  Strings seen;
  Zem::Reactor on(const Zem::Entity& e) {
    return e.subscribe([this](const Zem::Change& c) { seen.push_back(describe(c)); });
  }
};

TEST(EntityTest, WritesPublishOnlyChangesWithKeysAndNestedChanges) {
  auto leaf = Velto::make<Leaf>(1);
  Recorder r;
  auto reactor = r.on(*leaf);
  for (int v : {0, 5, 5}) leaf->valueIs(v);  // 0 is the default: unchanged
  EXPECT_EQ(r.seen, Strings(1, "value"));

  auto tree = Velto::make<Tree>();
  Recorder t;
  auto treeReactor = t.on(*tree);
  auto b = tree->branchIs(et1);
  EXPECT_EQ(tree->branchIs(et1), b);  // existing entry, no change
  auto inner = b->leafIs(3);
  inner->valueIs(9);
  b->favouriteIs(4)->valueIs(1);
  b->labelIs("x");
  for (int i = 0; i < 2; ++i) tree->flagIs(et2, true), tree->memberIs(et10);
  for (int i = 0; i < 2; ++i) b->leafDel(3);
  tree->branchDel(et1);
  EXPECT_EQ(t.seen, (Strings{"branch[Et1]", "branch[Et1].leaf[3]", "branch[Et1].leaf[3].value", "branch[Et1].favourite",
                             "branch[Et1].favourite.value", "branch[Et1].label", "flag[Et2]", "member[Et10]",
                             "branch[Et1].leaf[3]", "branch[Et1]"}));
  // A removed entry no longer reports to its former container.
  b->labelIs("y"), inner->valueIs(10);
  EXPECT_EQ(t.seen.size(), 10u);
}

// --- Re-entrancy ---

// Reactors dropped or made by a handler take effect at once: a dropped one is not called again (not even later in
// the same delivery), a new one sees only later changes.
TEST(EntityTest, ReactorsDroppedOrMadeByAHandlerTakeEffectAtOnce) {
  auto leaf = Velto::make<Leaf>(1);
  auto self = std::make_unique<Zem::Reactor>();
  Zem::Reactor notYetCalled;
  std::vector<Zem::Reactor> added;
  int selfCalls = 0, notYetCalledCalls = 0, addedCalls = 0;
  *self = leaf->subscribe([&](const Zem::Change&) { ++selfCalls, self.reset(), notYetCalled.reset(); });
  notYetCalled = leaf->subscribe([&](const Zem::Change&) { ++notYetCalledCalls; });
  auto adder = leaf->subscribe(
      [&](const Zem::Change&) { added.push_back(leaf->subscribe([&](const Zem::Change&) { ++addedCalls; })); });
  leaf->valueIs(1);
  EXPECT_EQ(addedCalls, 0);
  leaf->valueIs(2);
  EXPECT_EQ(std::tuple(selfCalls, notYetCalledCalls, addedCalls), std::tuple(1, 0, 1));
  EXPECT_EQ(leaf->subscriberCount(), 3u);  // the adder and the two it made
  // An entity destroyed before its reactor leaves it inactive.
  Zem::Reactor orphan = Velto::make<Leaf>(2)->subscribe([](const Zem::Change&) {});
  EXPECT_FALSE(orphan.active());
  orphan.reset();  // harmless
}

TEST(EntityTest, HandlerMayDropLastReferenceOrWriteTheEntityThatNotifiedIt) {
  auto tree = Velto::make<Tree>();
  auto branch = tree->branchIs(et1);
  int calls = 0;
  // The container lets go, and so does the test: only delivery holds the branch.
  Zem::Reactor r = branch->subscribe([&](const Zem::Change&) { ++calls, tree->branchDel(et1), branch = nullptr; });
  branch->labelIs("gone");
  EXPECT_EQ(std::pair(calls, tree->branch().size()), std::pair(1, size_t(0)));

  auto leaf = Velto::make<Leaf>(1);
  std::vector<int> seen;
  auto writer = leaf->subscribe([&](const Zem::Change&) {
    if (seen.push_back(leaf->value()), leaf->value() < 3) leaf->valueIs(leaf->value() + 1);
  });
  leaf->valueIs(1);
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
}

// An entry removed while a change of it is delivered: the removal is published from inside the entry's handler,
// before the value change it reacted to has travelled up, and a container handler that removes the entry leaves the
// key of the nested change readable for the handlers after it.
TEST(EntityTest, NestedChangeReachesTheContainerAfterAHandlerRemovedTheEntry) {
  auto tree = Velto::make<Tree>();
  auto leaf = tree->branchIs(et1)->leafIs(3);
  Recorder r;
  auto reactor = r.on(*tree);
  auto remover = leaf->subscribe([&](const Zem::Change&) { tree->branchDel(et1); });
  leaf->valueIs(1);
  EXPECT_EQ(r.seen, (Strings{"branch[Et1]", "branch[Et1].leaf[3].value"}));
  auto branch = tree->branchIs(et2);
  Strings keys;
  auto containerRemover =
      tree->subscribe([&](const Zem::Change& c) { if (c.nested()) tree->branchDel(c.keyAs<IntfId>()); });
  auto reader = tree->subscribe([&](const Zem::Change& c) { keys.push_back(c.keyAs<IntfId>().shortName()); });
  branch->labelIs("x");
  EXPECT_EQ(keys, (Strings{"Et2", "Et2"}));  // the nested change, then the removal
}

// Decoding catches what codecs throw; a handler's exception must not be taken for a decoding error.
TEST(EntityDeathTest, ExceptionEscapingAHandlerEndsTheProcess) {
  auto write = [](bool viaJson) {
    auto leaf = Velto::make<Leaf>(1);
    auto r = leaf->subscribe([](const Zem::Change&) { throw std::runtime_error("boom"); });
    viaJson ? Zem::assignFromJson(*leaf, Zem::Json{{"value", 5}}) : leaf->valueIs(5);
  };
  for (bool viaJson : {false, true})
    EXPECT_DEATH(write(viaJson), "exception escaping a handler of TestRecords::Leaf: boom");
}

// --- State machines ---

struct CountingSm : Zem::StateMachine {
  CountingSm(const Velto::Ptr<Leaf>& leaf) { reactor = watch(leaf, [this](const Zem::Change&) { ++calls; }); }
  int calls = 0;
  Zem::Reactor reactor;
};

Velto::Ptr<CountingSm> countingSmFactory(const Velto::Ptr<Leaf>& leaf, int) {
  auto sm = Velto::make<CountingSm>(leaf);
  return sm->hasNotificationActiveIs(true), sm;
}

// A state machine with one owned timer task, re-made on demand.
struct TimerSm : Zem::StateMachine {
  explicit TimerSm(Velto::Ptr<Oru::TaskScheduler> s) : scheduler(std::move(s)) { tickTaskIs(); }
  void tickTaskIs() { timerTaskIs(tick, scheduler, 3, "tick", [this] { ++runs; }); }
  void tickTaskDel() { timerTaskDel(tick); }
  Velto::Ptr<Oru::TaskScheduler> scheduler;
  TimerTaskSlot tick;
  int runs = 0;
};

TEST(StateMachineTest, OwnedTimerTasksRunOnlyWhileActiveAndDisarmWhenDropped) {
  auto clock = Velto::make<Oru::VirtualScheduler>(0);
  auto sm = Velto::make<TimerSm>(clock);
  for (bool active : {false, true}) {  // inactive notifications: no run
    sm->hasNotificationActiveIs(active);
    sm->tick.arm(1);
    clock->runFor(1);
  }
  EXPECT_EQ(sm->runs, 1);
  // A re-made task starts idle; a dropped one never fires.
  sm->tick.arm(1);
  sm->tickTaskIs();
  EXPECT_FALSE(sm->tick.armed());
  sm->tick.arm(1);
  sm->tickTaskDel();
  clock->runFor(2);
  EXPECT_EQ(sm->runs, 1);
  EXPECT_EQ(clock->scheduledTaskCount(), 0u);
}

TEST(StateMachineTest, ChildIsKeepsChildMadeWithEqualArguments) {
  auto leaf = Velto::make<Leaf>(1);
  Zem::ChildSlot<CountingSm, Velto::Ptr<Leaf>, int> slot;
  auto a = slot.is(countingSmFactory, leaf, 1);
  EXPECT_EQ(slot.is(countingSmFactory, leaf, 1), a);
  auto b = slot.is(countingSmFactory, leaf, 2);
  EXPECT_NE(b, a);
  EXPECT_FALSE(a->hasNotificationActive());  // the replaced child is released inactive
  leaf->valueIs(5);
  EXPECT_EQ(std::pair(a->calls, b->calls), std::pair(0, 1));
  slot.del();
  EXPECT_FALSE(slot.get());
}

// Releases itself from its owner's slot from inside its own handler, then writes the entity it watches once more.
struct SelfReleasingSm : Zem::StateMachine {
  using Slot = Zem::ChildSlot<SelfReleasingSm, Velto::Ptr<Leaf>>;
  SelfReleasingSm(Velto::Ptr<Leaf> leaf, Slot* slot, bool* destroyed) : destroyed(destroyed) {
    // The handler keeps only what it captured: `this` is gone after del().
    reactor = watch(leaf, [slot, leaf](const Zem::Change&) { if (leaf->value() == 1) slot->del(), leaf->valueIs(2); });
  }
  ~SelfReleasingSm() override { *destroyed = true; }
  bool* destroyed;
  Zem::Reactor reactor;
};

TEST(StateMachineTest, HandlerMayDeleteItsOwnStateMachine) {
  auto leaf = Velto::make<Leaf>(1);
  SelfReleasingSm::Slot slot;
  bool destroyed = false;
  slot.is([&](const Velto::Ptr<Leaf>& l) { return Velto::make<SelfReleasingSm>(l, &slot, &destroyed); }, leaf);
  // Subscribed after the machine, so delivery reaches it after the machine has released itself.
  std::vector<int> later;
  auto after = leaf->subscribe([&](const Zem::Change&) { later.push_back(leaf->value()); });
  leaf->valueIs(1);
  EXPECT_TRUE(destroyed);
  EXPECT_FALSE(slot.get());
  leaf->valueIs(3);
  EXPECT_EQ(later, (std::vector<int>{2, 2, 3}));  // the nested write, then the first write, both seen as 2
  EXPECT_EQ(leaf->subscriberCount(), 1u);
}

}  // namespace
