#include "platform/lodestore/RecordDelta.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace Lodestore {
namespace {

// The attributes of one record type in declaration order (bases first, as
// the record's JSON has them), and which of them a change names.
struct TypeFields {
  std::vector<const Zem::FieldInfo*> fields;
  // Filled as changes arrive: AttrInfo and FieldInfo share the attribute's
  // name, their only link.
  std::unordered_map<const Zem::AttrInfo*, int> byAttr;
};

void collectFields(const Zem::TypeInfo* t, std::vector<const Zem::FieldInfo*>& out) {
  if (!t) return;
  collectFields(t->base(), out);
  for (auto& f : t->fields()) out.push_back(&f);
}

TypeFields& typeFields(const Zem::TypeInfo* type) {
  // Types are registered for the life of the process; one thread.
  static std::unordered_map<const Zem::TypeInfo*, TypeFields> cache;
  auto [it, added] = cache.try_emplace(type);
  if (added) collectFields(type, it->second.fields);
  return it->second;
}

// Position of the attribute `attr` among the fields of `type`; -1 when the
// change is not about one of the record's attributes.
int fieldIndex(const Zem::TypeInfo* type, const Zem::AttrInfo* attr) {
  TypeFields& tf = typeFields(type);
  auto it = tf.byAttr.find(attr);
  if (it != tf.byAttr.end()) return it->second;
  int index = -1;
  for (size_t i = 0; i < tf.fields.size(); ++i) {
    if (std::strcmp(tf.fields[i]->name, attr->name) == 0) index = static_cast<int>(i);
  }
  tf.byAttr.emplace(attr, index);
  return index;
}

// Runs one write of the attribute `field`, naming it in the error as
// Zem::assignFromJson does.
template <class Write>
void writeField(const Zem::FieldInfo& field, Write&& write) {
  try {
    write();
  } catch (const std::exception& e) {
    throw Zem::JsonError(std::string(field.name) + ": " + e.what());
  }
}

}  // namespace

struct RecordDelta::Node {
  struct Entry {
    // The entry was added, removed or replaced (or a plain value changed):
    // it is copied as a whole.
    bool whole = false;
    // Changes inside an entry that stayed.
    std::unique_ptr<Node> inner;
  };
  struct Field {
    int index = 0;
    // The attribute is copied as a whole.
    bool whole = false;
    // By the key's text.
    std::map<std::string, Entry> entries;
  };

  // The whole entity is copied.
  bool all = false;
  // Few per entity: a status record changes one or two attributes at a time.
  std::vector<Field> fields;

  Field& field(int index) {
    for (auto& f : fields) {
      if (f.index == index) return f;
    }
    Field& f = fields.emplace_back();
    f.index = index;
    return f;
  }
};

RecordDelta::RecordDelta() = default;
RecordDelta::~RecordDelta() = default;
RecordDelta::RecordDelta(RecordDelta&&) noexcept = default;
RecordDelta& RecordDelta::operator=(RecordDelta&&) noexcept = default;

bool RecordDelta::empty() const { return !root_; }
bool RecordDelta::all() const { return root_ && root_->all; }
void RecordDelta::clear() { root_.reset(); }

void RecordDelta::noteAll() {
  if (!root_) root_ = std::make_unique<Node>();
  root_->all = true;
  root_->fields.clear();
}

void RecordDelta::note(const Zem::Change& change) {
  if (!root_) root_ = std::make_unique<Node>();
  noteIn(*root_, change);
}

void RecordDelta::noteIn(Node& node, const Zem::Change& c) {
  if (node.all) return;
  const Zem::TypeInfo* type = c.entity ? c.entity->typeInfo() : nullptr;
  const int index = type && c.attr ? fieldIndex(type, c.attr) : -1;
  if (index < 0) {
    // Not a change of a record attribute: no telling what it touched.
    node.all = true;
    node.fields.clear();
    return;
  }
  Node::Field& f = node.field(index);
  if (f.whole) return;
  const Zem::EntryOps* ops = typeFields(type).fields[index]->entries;
  if (!ops) {
    f.whole = true;
    f.entries.clear();
    return;
  }
  Node::Entry& e = f.entries[ops->keyText(c.key)];
  if (e.whole) return;
  if (c.inner) {
    if (!e.inner) e.inner = std::make_unique<Node>();
    noteIn(*e.inner, *c.inner);
  } else {
    e.whole = true;
    e.inner.reset();
  }
}

void RecordDelta::apply(Zem::Entity& target, const Zem::Entity& source) {
  if (!root_) return;
  std::unique_ptr<Node> root = std::move(root_);
  try {
    applyNode(*root, target, source);
  } catch (...) {
    // Some noted paths may not have been written: the next copy takes all.
    noteAll();
    throw;
  }
}

void RecordDelta::copyWhole(Zem::Entity& target, const Zem::Entity& source) {
  const Zem::TypeInfo* type = source.typeInfo();
  if (type && target.typeInfo() == type && Zem::sameKeys(target, source)) {
    bringInPlace(target, source);
    return;
  }
  ++writes_;
  Zem::assignFromJson(target, Zem::toJson(source));
}

void RecordDelta::copyAll(Zem::Entity& target, const Zem::Entity& source) {
  clear();
  try {
    copyWhole(target, source);
  } catch (...) {
    noteAll();
    throw;
  }
}

template <class Inner>
void RecordDelta::writeEntries(const Zem::FieldInfo& field, std::vector<std::string> keys, Zem::Entity& target,
                               const Zem::Entity& source, Inner&& inner) {
  const Zem::EntryOps& ops = *field.entries;
  auto write = [&](auto&& w) {
    ++writes_;
    writeField(field, w);
  };
  // Removed entries go first, in the order the target holds them.
  auto firstKept = std::stable_partition(keys.begin(), keys.end(), [&](const std::string& k) { return !ops.has(source, k); });
  if (firstKept - keys.begin() > 1) {
    const std::vector<std::string> held = ops.keys(target);
    auto position = [&](const std::string& k) { return std::find(held.begin(), held.end(), k) - held.begin(); };
    std::stable_sort(keys.begin(), firstKept,
                     [&](const std::string& a, const std::string& b) { return position(a) < position(b); });
  }
  // The others in the order of the collection's JSON.
  if (keys.end() - firstKept > 1) std::stable_sort(firstKept, keys.end(), ops.keyLess);
  for (auto it = keys.begin(); it != keys.end(); ++it) {
    const std::string& key = *it;
    Zem::Entity* from = it < firstKept ? nullptr : ops.entity(source, key);
    Zem::Entity* to = from ? ops.entity(target, key) : nullptr;
    if (from && to && to->typeInfo() == from->typeInfo() && Zem::sameKeys(*to, *from)) {
      Node* noted = inner(key);
      writeField(field, [&] {
        if (noted) {
          applyNode(*noted, *to, *from);
        } else {
          bringInPlace(*to, *from);
        }
      });
    } else {
      write([&] { ops.copyEntry(target, source, key); });
    }
  }
}

void RecordDelta::bringInPlace(Zem::Entity& target, const Zem::Entity& source) {
  for (const Zem::FieldInfo* f : typeFields(source.typeInfo()).fields) {
    if (f->keyType) continue;  // equal: the entities have the same keys
    if (f->entries) {
      std::vector<std::string> keys = f->entries->keys(source);
      for (std::string& k : f->entries->keys(target)) {
        if (!f->entries->has(source, k)) keys.push_back(std::move(k));
      }
      writeEntries(*f, std::move(keys), target, source, [](const std::string&) -> Node* { return nullptr; });
      continue;
    }
    ++writes_;
    writeField(*f, [&] {
      if (f->copy) {
        f->copy(target, source);
      } else {
        f->assign(target, f->toJson(source), false);
      }
    });
  }
}

void RecordDelta::applyNode(Node& node, Zem::Entity& target, const Zem::Entity& source) {
  const Zem::TypeInfo* type = source.typeInfo();
  if (node.all || !type || target.typeInfo() != type) {
    copyWhole(target, source);
    return;
  }
  const TypeFields& tf = typeFields(type);
  std::sort(node.fields.begin(), node.fields.end(), [](const auto& a, const auto& b) { return a.index < b.index; });
  for (Node::Field& f : node.fields) {
    const Zem::FieldInfo& info = *tf.fields[f.index];
    if (f.whole) {
      ++writes_;
      writeField(info, [&] {
        if (info.copy) {
          info.copy(target, source);
        } else {
          info.assign(target, info.toJson(source), false);
        }
      });
      continue;
    }
    std::vector<std::string> keys;
    keys.reserve(f.entries.size());
    for (auto& kv : f.entries) keys.push_back(kv.first);
    writeEntries(info, std::move(keys), target, source, [&](const std::string& key) -> Node* {
      Node::Entry& e = f.entries.at(key);
      return e.whole ? nullptr : e.inner.get();
    });
  }
}

}  // namespace Lodestore
