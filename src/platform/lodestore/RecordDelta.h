#pragma once
// What changed in a record since it was last copied: the attributes, and
// for collections the keys, that its changes named, down through nested
// changes of entries. Bringing a copy of the record up to date then writes
// only those, instead of the whole record through JSON.
//
// The copy (the target) must have been equal to the record (the source)
// when noting began, and every change of either since must have been noted:
// the source's as they happen, and the target's writes by anyone other than
// the copy itself, which the next copy undoes. Then the noted paths are all
// that can differ, and apply() leaves the target with exactly the content a
// whole-record copy would give it (Zem::assignFromJson of Zem::toJson). It
// writes in the order such a copy would: attributes in declaration order,
// and in each collection the removed entries first (in the order the target
// holds them), then the others in the order of their keys in the JSON.
//
// Works for any record type, through the attribute table of Record.h: plain
// attributes are copied directly, collections entry by entry; an attribute
// registered without entry access is copied whole, through its JSON.

#include "platform/framework/Record.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace Lodestore {

class RecordDelta {
 public:
  RecordDelta();
  ~RecordDelta();
  RecordDelta(RecordDelta&&) noexcept;
  RecordDelta& operator=(RecordDelta&&) noexcept;

  // Notes a change published by the record whose changes are tracked:
  // `change.entity` is that record (a nested change leads to the entry).
  void note(const Zem::Change& change);
  // Everything may differ: the next apply copies the whole record.
  void noteAll();
  // Nothing noted.
  bool empty() const;
  // The next apply copies the whole record.
  bool all() const;
  void clear();

  // Brings the whole of `target` to `source` (Zem::assignFromJson of
  // Zem::toJson, except that an entry whose keys changed is replaced where
  // that would refuse it), publishing what changes.
  void copyAll(Zem::Entity& target, const Zem::Entity& source);

  // Brings `target` to `source` along the noted paths and clears the delta.
  // Throws Zem::JsonError, naming the attribute, when the target cannot take
  // the source's content (as Zem::assignFromJson would); the delta is then
  // left noting everything.
  void apply(Zem::Entity& target, const Zem::Entity& source);

  // Writer calls made by apply() since this delta was made: one per copied
  // attribute or collection entry, one per whole-record or whole-attribute
  // JSON copy.
  uint64_t writes() const { return writes_; }

 private:
  struct Node;
  void noteIn(Node& node, const Zem::Change& change);
  void applyNode(Node& node, Zem::Entity& target, const Zem::Entity& source);
  void copyWhole(Zem::Entity& target, const Zem::Entity& source);
  // Brings every attribute of `target` to `source` (one type, same keys),
  // entries with other keys replaced rather than brought in place.
  void bringInPlace(Zem::Entity& target, const Zem::Entity& source);
  // Writes the entries `keys` of the collection `field`: removed ones first,
  // in the target's order, then the others in the order of the JSON.
  // `inner` gives the changes noted inside an entry, null to take it all.
  template <class Inner>
  void writeEntries(const Zem::FieldInfo& field, std::vector<std::string> keys, Zem::Entity& target,
                    const Zem::Entity& source, Inner&& inner);

  std::unique_ptr<Node> root_;
  uint64_t writes_ = 0;
};

}  // namespace Lodestore
