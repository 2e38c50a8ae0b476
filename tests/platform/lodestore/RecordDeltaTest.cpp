#include "platform/lodestore/RecordDelta.h"

#include "platform/framework/Dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>

namespace {

// A record with every kind of attribute the framework offers, nested two levels deep, in hash and ordered
// collections.
class Leaf : public Zem::Entity {
  ZEM_RECORD(Leaf, "DeltaTest::Leaf")
 public:
  explicit Leaf(int id) { id_ = id; }
  ZEM_KEY(int, id)
  ZEM_ATTR(int64_t, value)
  ZEM_ATTR(std::string, text)

 private:
  Leaf() = default;
};

class Mid : public Zem::Entity {
  ZEM_RECORD(Mid, "DeltaTest::Mid")
 public:
  explicit Mid(Kivo::IntfId intf) { intf_ = intf; }
  ZEM_KEY(Kivo::IntfId, intf)
  ZEM_ENTITY_MAP(int, Leaf, leaf)
  ZEM_ORDERED_VALUE_MAP(int, std::string, label)
  ZEM_ATTR(bool, up)

 private:
  Mid() = default;
};

class Top : public Zem::Entity {
  ZEM_RECORD(Top, "DeltaTest::Top")
 public:
  Top() = default;
  ZEM_ATTR(int64_t, generation)
  ZEM_ORDERED_ENTITY_MAP(Kivo::IntfId, Mid, ordered)
  ZEM_ENTITY_MAP(Kivo::IntfId, Mid, hashed)
  ZEM_VALUE_SET(int, tag)
  ZEM_VALUE_MAP(Kivo::IntfId, int64_t, counter)
  ZEM_CHILD(Leaf, child)
};

// "ordered[Ethernet3].leaf[2].value": the path of one published change.
std::string changePath(const Zem::Change& c) {
  const Zem::FieldInfo* f = nullptr;
  for (const Zem::TypeInfo* t = c.entity->typeInfo(); t && !f; t = t->base()) {
    for (auto& field : t->fields()) f = std::strcmp(field.name, c.attr->name) == 0 ? &field : f;
  }
  const std::string key = f && f->entries && c.key ? fmt::format("[{}]", f->entries->keyText(c.key)) : "";
  return fmt::format("{}{}{}{}", c.attr->name, key, c.inner ? "." : "", c.inner ? changePath(*c.inner) : "");
}

Kivo::IntfId intf(int i) { return Kivo::IntfId("Ethernet" + std::to_string(i)); }

// Notes every change of `e` in `delta`.
Zem::Reactor noting(const Zem::Entity& e, Lodestore::RecordDelta& delta) {
  return e.subscribe([&delta](const Zem::Change& c) { delta.note(c); });
}

// One random write to `top`, the kind of write a writer of a status record makes. Keys are drawn from small ranges
// so that entries come and go.
void randomWrite(Top& top, std::mt19937& rng) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const int k = pick(12) + 1;
  auto mid = [&] { return pick(2) == 0 ? top.orderedIs(intf(k)) : top.hashedIs(intf(k)); };
  switch (pick(14)) {
    case 0: top.generationIs(pick(4)); break;
    case 1: mid(); break;
    case 2: top.orderedDel(intf(k)); break;
    case 3: top.hashedDel(intf(k)); break;
    case 4: top.orderedDel(intf(k)), top.orderedIs(intf(k))->upIs(true); break;  // replaced in the same step
    case 5: mid()->leafIs(pick(5))->valueIs(pick(3)); break;
    case 6: mid()->leafDel(pick(5)); break;
    case 7: mid()->labelIs(pick(20), std::to_string(pick(3))); break;
    case 8: mid()->labelDel(pick(20)); break;
    case 9: mid()->upIs(pick(2) == 0); break;
    case 10: pick(2) ? top.tagIs(pick(8)) : (void)top.tagDel(pick(8)); break;
    case 11: pick(3) ? top.counterIs(intf(k), pick(5)) : (void)top.counterDel(intf(k)); break;
    case 12:
      pick(4) == 0             ? top.childDel()
      : top.child() && pick(3) ? top.child()->valueIs(pick(4))
                               : top.childIs(pick(3))->textIs("made");
      break;
    case 13: top.orderedDelAll(); break;
  }
}

TEST(RecordDeltaTest, RandomWritesCopiedAlongTheDeltaMatchAWholeCopy) {
  for (unsigned seed = 1; seed <= 8; ++seed) {
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    Top source, viaDelta, viaWhole;
    Lodestore::RecordDelta delta;
    Zem::Reactor note = noting(source, delta);
    std::vector<std::string> deltaWrites, wholeWrites;
    auto r1 = viaDelta.subscribe([&](const Zem::Change& c) { deltaWrites.push_back(changePath(c)); });
    auto r2 = viaWhole.subscribe([&](const Zem::Change& c) { wholeWrites.push_back(changePath(c)); });
    for (int step = 0; step < 300; ++step) {
      for (int i = 0, writes = 1 + static_cast<int>(rng() % 6); i < writes; ++i) randomWrite(source, rng);
      delta.apply(viaDelta, source);
      Zem::assignFromJson(viaWhole, Zem::toJson(source));
      ASSERT_EQ(Zem::toJson(viaDelta).dump(), Zem::toJson(source).dump()) << "step " << step;
      // The same changes, in the same order, reach the copy's readers.
      ASSERT_EQ(deltaWrites, wholeWrites) << "step " << step;
      deltaWrites.clear(), wholeWrites.clear();
      EXPECT_TRUE(delta.empty());
    }
  }
}

TEST(RecordDeltaTest, AWriteToTheCopyNotedIsUndoneByTheNextApply) {
  Top source, copy;
  source.orderedIs(intf(1))->leafIs(1)->valueIs(7);
  Zem::assignFromJson(copy, Zem::toJson(source));
  Lodestore::RecordDelta delta;
  Zem::Reactor fromSource = noting(source, delta), fromCopy = noting(copy, delta);
  copy.ordered(intf(1))->leaf(1)->valueIs(99), copy.hashedIs(intf(4));
  fromCopy.reset();
  source.generationIs(3);
  delta.apply(copy, source);
  EXPECT_EQ(Zem::toJson(copy), Zem::toJson(source));
}

TEST(RecordDeltaTest, AnEntryOfAnotherTypeIsReplaced) {
  // A directory entry of one record type cannot be brought in place to another's content with other keys: the copy
  // replaces it.
  auto source = Velto::make<Zem::Dir>("d"), copy = Velto::make<Zem::Dir>("d");
  Lodestore::RecordDelta delta;
  Zem::Reactor note = noting(*source, delta);
  source->entryPut("x", Velto::make<Leaf>(1));
  copy->entryPut("x", Velto::make<Mid>(intf(1)));
  delta.apply(*copy, *source);
  EXPECT_EQ(Zem::typedJson(*copy), Zem::typedJson(*source));
}

}  // namespace
