#pragma once
// Building blocks for record types. A record is a short declaration:
//
//   class RxInfo : public Zem::Entity {
//     ZEM_RECORD(RxInfo, "VornFabricLldp::RxInfo")
//    public:
//     ZEM_KEY(int, index)
//     ZEM_ATTR(Zem::Optional<Lldp::VornTlv>, tlv)
//     ZEM_ATTR(Zem::Optional<Velto::Duration>, lastRefreshTime)
//   };
//
// Each macro declares the storage, the reader `x()`, the writers (`xIs`,
// `xDel`, `xDelAll` for collections) that publish exactly the changes they
// make, the `xAttr` identifier handlers compare changes with, and the JSON
// mapping of the attribute. Collections iterate through `x()` and look an
// entry up with `x(key)`.

#include "platform/framework/Assert.h"
#include "platform/framework/Entity.h"
#include "platform/framework/Json.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <tuple>
#include <typeinfo>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace Zem {

struct EntryOps;

struct FieldInfo {
  const char* name;
  Json (*toJson)(const Entity&);
  // Brings the attribute to the JSON value, publishing what changes. `fresh`
  // while the entity is being made from JSON: only then may keys be set.
  void (*assign)(Entity&, const Json&, bool fresh);
  // Key attributes: the key's type and where the entity keeps it.
  const std::type_info* keyType = nullptr;
  const void* (*keyValue)(const Entity&) = nullptr;
  // Plain attributes: brings the attribute of `target` to its value in
  // `source` (both of the declaring record type), publishing a change.
  void (*copy)(Entity& target, const Entity& source) = nullptr;
  // Collections and owned children: their entries one at a time, so that a
  // copy can visit only the entries that changed.
  const EntryOps* entries = nullptr;
  // Key attributes: whether two entities of the declaring record type hold
  // the same key, compared as values.
  bool (*keyEquals)(const Entity& a, const Entity& b) = nullptr;
};

// The entries of one collection attribute (or the owned child) of a record,
// named by the text their key is written under in the record's JSON ("" for
// an owned child).
struct EntryOps {
  // The key of a change of the attribute (Change::key) as that text.
  std::string (*keyText)(const void* key);
  // The entity under `key` (the child for an owned child); null when there is
  // none, and always for collections of plain values.
  Entity* (*entity)(const Entity& owner, const std::string& key);
  // `owner`'s collection holds an entry under `key` (an owned child: is set).
  bool (*has)(const Entity& owner, const std::string& key);
  // Brings the entry of `target` under `key` to that of `source`, publishing
  // what changes: removed when `source` has none; brought in place when both
  // hold an entity of one type with the same keys; otherwise a copy of
  // `source`'s takes its place. Throws JsonError as the attribute's assign.
  void (*copyEntry)(Entity& target, const Entity& source, const std::string& key);
  // The keys of `owner`'s collection, in the order it iterates them ({""}
  // for an owned child that is set).
  std::vector<std::string> (*keys)(const Entity& owner);
  // Whether the key `a` comes before `b` in the collection's JSON.
  bool (*keyLess)(const std::string& a, const std::string& b);
};

// What a record type knows about itself: its name, its base record, how to
// make an empty one, and its attributes in declaration order.
class TypeInfo {
 public:
  using Factory = Velto::Ptr<Entity> (*)();
  TypeInfo(const char* name, const TypeInfo* base, Factory create);

  const char* name() const { return name_; }
  const TypeInfo* base() const { return base_; }
  Velto::Ptr<Entity> create() const { return create_(); }
  const std::vector<FieldInfo>& fields() const { return fields_; }
  void addField(const FieldInfo& f) { fields_.push_back(f); }
  bool isA(const TypeInfo& other) const;

  // Record types by name ("Vorn::MemberConfig").
  static const TypeInfo* find(std::string_view name);
  static std::vector<const TypeInfo*> all();

 private:
  const char* name_;
  const TypeInfo* base_;
  Factory create_;
  std::vector<FieldInfo> fields_;
};

struct FieldRegistrar {
  FieldRegistrar(TypeInfo& type, const FieldInfo& f) { type.addField(f); }
};

// Whole-record JSON: every attribute of the record and of its bases.
Json toJson(const Entity& e);
// Brings a record to the JSON value: attributes are written through their
// writers (publishing what changes), collection entries missing from the
// JSON are deleted, new ones made. Throws JsonError naming the attribute.
void assignFromJson(Entity& e, const Json& j);
// Makes a record of the type named by "@type" in `j` (or `fallback`) and
// fills it from `j`.
Velto::Ptr<Entity> entityFromJson(const Json& j, const TypeInfo* fallback);
// Record JSON with its type name under "@type".
Json typedJson(const Entity& e);

// The key attribute an entry of a collection keyed by `keyType` is filed
// under: the entry type's first key attribute of that type; null for none.
const FieldInfo* collectionKeyField(const TypeInfo* t, const std::type_info& keyType);
// Both entities are of one record type and agree on every key attribute.
bool sameKeys(const Entity& a, const Entity& b);

template <class V>
Velto::Ptr<V> makeEntry(const Json& j) {
  if constexpr (std::is_same_v<V, Entity>) {
    // Entries of any record type (directories) name their type.
    return entityFromJson(j, nullptr);
  } else {
    auto e = entityFromJson(j, &V::typeInfoStatic());
    auto v = Velto::dynamicPtrCast<V>(e);
    if (!v) throw JsonError(std::string("entry is not a ") + V::typeInfoStatic().name());
    return v;
  }
}

namespace detail {
// Refuses an entry made from JSON whose key attribute differs from the key
// it is to be stored under.
template <class K>
void checkEntryKey(const Entity& entry, const K& k) {
  const FieldInfo* f = collectionKeyField(entry.typeInfo(), typeid(K));
  if (!f || *static_cast<const K*>(f->keyValue(entry)) == k) return;
  throw JsonError(KeyCodec<K>::toKey(k) + ": " + f->name + " " + f->toJson(entry).dump() +
                  " differs from the key the entry is stored under");
}

// Hash collections are written in key order so that dumps and backups of the
// same state are the same text.
template <class Map>
std::vector<typename Map::const_iterator> sortedEntries(const Map& m) {
  std::vector<typename Map::const_iterator> v;
  v.reserve(m.size());
  for (auto it = m.begin(); it != m.end(); ++it) v.push_back(it);
  using K = std::remove_cvref_t<decltype(m.begin()->first)>;
  if constexpr (requires(const K& a, const K& b) { a < b; }) {
    std::sort(v.begin(), v.end(), [](auto a, auto b) { return a->first < b->first; });
  } else {
    std::sort(v.begin(), v.end(), [](auto a, auto b) { return KeyCodec<K>::toKey(a->first) < KeyCodec<K>::toKey(b->first); });
  }
  return v;
}

// The order of keys in a collection's JSON (see sortedEntries), for keys
// given as their text.
template <class K>
bool keyTextLess(const std::string& a, const std::string& b) {
  if constexpr (requires(const K& x, const K& y) { x < y; }) {
    return KeyCodec<K>::fromKey(a) < KeyCodec<K>::fromKey(b);
  } else {
    return a < b;
  }
}
}  // namespace detail

// A keyed collection of entities. Owning collections make their entries
// children: a change inside an entry reaches the collection owner's
// subscribers as a nested change under the entry's key.
template <class K, class V, bool Ordered, bool Owning = true>
class EntityMap {
 public:
  using Map = std::conditional_t<Ordered, std::map<K, Velto::Ptr<V>>, std::unordered_map<K, Velto::Ptr<V>>>;
  using const_iterator = typename Map::const_iterator;
  using Key = K;
  using Entry = V;

  EntityMap() = default;
  EntityMap(const EntityMap&) = delete;
  ~EntityMap() {
    if constexpr (Owning) {
      for (auto& kv : map_) kv.second->detach();
    }
  }

  Velto::Ptr<V> get(const K& k) const {
    auto it = map_.find(k);
    return it == map_.end() ? Velto::Ptr<V>() : it->second;
  }
  // The entry under `k`, or null, without taking a reference.
  const V* find(const K& k) const {
    auto it = map_.find(k);
    return it == map_.end() ? nullptr : it->second.get();
  }
  // For a change inside an entry that its collection still holds, that
  // entry, found without a lookup (a change delivered on every received
  // frame); null otherwise.
  static const V* entryInside(const Change& c) {
    if (!c.inner || c.inner->entity->parent() != c.entity) return nullptr;
    return static_cast<const V*>(c.inner->entity);
  }
  // The entry before the change `c` of this collection (see EntryDelta).
  static const V* prevEntry(const Change& c, const V*) {
    if (c.inner) return static_cast<const V*>(c.inner->entity);
    return c.prev ? static_cast<const Velto::Ptr<V>*>(c.prev)->get() : nullptr;
  }
  bool has(const K& k) const { return map_.count(k) != 0; }
  size_t size() const { return map_.size(); }
  bool empty() const { return map_.empty(); }
  const_iterator begin() const { return map_.begin(); }
  const_iterator end() const { return map_.end(); }
  std::vector<K> keys() const {
    std::vector<K> ks;
    ks.reserve(map_.size());
    for (auto& kv : map_) ks.push_back(kv.first);
    return ks;
  }

  // Adds `v` under `k`, replacing a different entry. Nothing happens when the
  // same entity is already there.
  void put(const Entity& owner, const AttrInfo& attr, const K& k, Velto::Ptr<V> v) {
    ++workCounters.writes;
    ZEM_ASSERT(v);
    if constexpr (std::is_same_v<K, std::string>) {
      // Entities filed under a name carry it, so paths and names agree.
      if (v->name().empty()) v->nameIs(k);
    }
    auto [it, added] = map_.try_emplace(k);
    if (!added && it->second == v) return;
    Velto::Ptr<V> prev = std::move(it->second);
    if constexpr (Owning) {
      if (prev) prev->detach();
      v->attachTo(owner, attr, k);
    }
    it->second = std::move(v);
    const K key = k;
    owner.publish(Change{&owner, &attr, &key, &prev, nullptr});
  }

  Velto::Ptr<V> erase(const Entity& owner, const AttrInfo& attr, const K& k) {
    ++workCounters.writes;
    auto it = map_.find(k);
    if (it == map_.end()) return {};
    Velto::Ptr<V> prev = std::move(it->second);
    const K key = it->first;
    map_.erase(it);
    if constexpr (Owning) prev->detach();
    owner.publish(Change{&owner, &attr, &key, &prev, nullptr});
    return prev;
  }

  void clear(const Entity& owner, const AttrInfo& attr) {
    for (const K& k : keys()) erase(owner, attr, k);
  }

  Json toJson() const {
    Json j = Json::object();
    for (auto it : detail::sortedEntries(map_)) {
      if constexpr (std::is_same_v<V, Entity>) {
        j[KeyCodec<K>::toKey(it->first)] = typedJson(*it->second);
      } else {
        j[KeyCodec<K>::toKey(it->first)] = Zem::toJson(*it->second);
      }
    }
    return j;
  }

  void assign(const Entity& owner, const AttrInfo& attr, const Json& j) {
    if constexpr (!Owning) {
      // The entries are references to entities owned (and written) elsewhere.
      // Their JSON shows the content but not which entity it came from, and
      // a record has no way to reach the owner to look them up; making copies
      // would cut them off from the owner's changes. So JSON naming exactly
      // the entries held changes nothing and is accepted (a record brought to
      // its own dump); anything else is refused.
      (void)owner, (void)attr;
      if (!j.is_object()) throw JsonError("expected an object");
      bool same = j.size() == map_.size();
      for (auto it = j.begin(); same && it != j.end(); ++it) same = has(KeyCodec<K>::fromKey(it.key()));
      if (!same) throw JsonError("holds references to entities owned elsewhere and cannot be read from JSON");
    } else {
      if (!j.is_object()) throw JsonError("expected an object");
      // New entries are made (and their keys checked) before anything is
      // removed, so that JSON refused for them leaves the collection as it was.
      std::vector<std::tuple<K, const Json*, Velto::Ptr<V>>> wanted;
      for (auto it = j.begin(); it != j.end(); ++it) {
        K k = KeyCodec<K>::fromKey(it.key());
        Velto::Ptr<V> made;
        if (!has(k)) {
          made = makeEntry<V>(it.value());
          // Directories file entities of any type by name, not by a key.
          if constexpr (!std::is_same_v<V, Entity>) detail::checkEntryKey(*made, k);
        }
        wanted.emplace_back(std::move(k), &it.value(), std::move(made));
      }
      for (const K& k : keys()) {
        bool keep = false;
        for (auto& w : wanted) keep = keep || std::get<0>(w) == k;
        if (!keep) erase(owner, attr, k);
      }
      for (auto& [k, value, made] : wanted) {
        if (made) {
          put(owner, attr, k, std::move(made));
        } else if (auto cur = get(k)) {
          // Its key attributes refuse to change.
          assignFromJson(*cur, *value);
        }
      }
    }
  }

  // Entry access for copies that visit only what changed (see EntryOps).
  static std::string keyText(const void* k) { return KeyCodec<K>::toKey(*static_cast<const K*>(k)); }
  static bool keyLess(const std::string& a, const std::string& b) { return detail::keyTextLess<K>(a, b); }
  Entity* entityAt(const std::string& key) const { return get(KeyCodec<K>::fromKey(key)).get(); }
  bool hasKey(const std::string& key) const { return has(KeyCodec<K>::fromKey(key)); }
  std::vector<std::string> keyTexts() const {
    std::vector<std::string> ks;
    ks.reserve(map_.size());
    for (auto& kv : map_) ks.push_back(KeyCodec<K>::toKey(kv.first));
    return ks;
  }
  void copyEntryFrom(const Entity& owner, const AttrInfo& attr, const EntityMap& source, const std::string& key) {
    const K k = KeyCodec<K>::fromKey(key);
    Velto::Ptr<V> from = source.get(k);
    Velto::Ptr<V> cur = get(k);
    if constexpr (!Owning) {
      // As assign: references cannot be made from the other's content.
      if (static_cast<bool>(from) != static_cast<bool>(cur)) {
        throw JsonError("holds references to entities owned elsewhere and cannot be read from JSON");
      }
      (void)owner, (void)attr;
    } else {
      if (!from) {
        erase(owner, attr, k);
        return;
      }
      if (cur == from) return;
      Json j;
      if constexpr (std::is_same_v<V, Entity>) {
        j = typedJson(*from);
      } else {
        j = Zem::toJson(*from);
      }
      if (cur && sameKeys(*cur, *from)) {
        assignFromJson(*cur, j);
        return;
      }
      put(owner, attr, k, makeEntry<V>(j));
    }
  }

 private:
  Map map_;
};

// A keyed collection of plain values.
template <class K, class V, bool Ordered>
class ValueMap {
 public:
  using Map = std::conditional_t<Ordered, std::map<K, V>, std::unordered_map<K, V>>;
  using const_iterator = typename Map::const_iterator;
  using Key = K;
  using Entry = V;

  const V* find(const K& k) const {
    auto it = map_.find(k);
    return it == map_.end() ? nullptr : &it->second;
  }
  static const V* entryInside(const Change&) { return nullptr; }
  static const V* prevEntry(const Change& c, const V*) {
    const auto* prev = static_cast<const std::optional<V>*>(c.prev);
    return prev && prev->has_value() ? &**prev : nullptr;
  }
  bool has(const K& k) const { return map_.count(k) != 0; }
  size_t size() const { return map_.size(); }
  bool empty() const { return map_.empty(); }
  const_iterator begin() const { return map_.begin(); }
  const_iterator end() const { return map_.end(); }
  std::vector<K> keys() const {
    std::vector<K> ks;
    for (auto& kv : map_) ks.push_back(kv.first);
    return ks;
  }

  void put(const Entity& owner, const AttrInfo& attr, const K& k, const V& v) {
    ++workCounters.writes;
    auto [it, added] = map_.try_emplace(k, v);
    std::optional<V> prev;
    if (!added) {
      if (it->second == v) return;
      prev = std::move(it->second);
      it->second = v;
    }
    const K key = k;
    owner.publish(Change{&owner, &attr, &key, &prev, nullptr});
  }

  bool erase(const Entity& owner, const AttrInfo& attr, const K& k) {
    ++workCounters.writes;
    auto it = map_.find(k);
    if (it == map_.end()) return false;
    std::optional<V> prev = std::move(it->second);
    const K key = it->first;
    map_.erase(it);
    owner.publish(Change{&owner, &attr, &key, &prev, nullptr});
    return true;
  }

  void clear(const Entity& owner, const AttrInfo& attr) {
    for (const K& k : keys()) erase(owner, attr, k);
  }

  Json toJson() const {
    Json j = Json::object();
    for (auto it : detail::sortedEntries(map_)) j[KeyCodec<K>::toKey(it->first)] = JsonCodec<V>::toJson(it->second);
    return j;
  }

  void assign(const Entity& owner, const AttrInfo& attr, const Json& j) {
    if (!j.is_object()) throw JsonError("expected an object");
    std::vector<std::pair<K, V>> wanted;
    for (auto it = j.begin(); it != j.end(); ++it) {
      wanted.emplace_back(KeyCodec<K>::fromKey(it.key()), JsonCodec<V>::fromJson(it.value()));
    }
    for (const K& k : keys()) {
      bool keep = false;
      for (auto& w : wanted) keep = keep || w.first == k;
      if (!keep) erase(owner, attr, k);
    }
    for (auto& [k, v] : wanted) put(owner, attr, k, v);
  }

  static std::string keyText(const void* k) { return KeyCodec<K>::toKey(*static_cast<const K*>(k)); }
  static bool keyLess(const std::string& a, const std::string& b) { return detail::keyTextLess<K>(a, b); }
  Entity* entityAt(const std::string&) const { return nullptr; }
  bool hasKey(const std::string& key) const { return has(KeyCodec<K>::fromKey(key)); }
  std::vector<std::string> keyTexts() const {
    std::vector<std::string> ks;
    ks.reserve(map_.size());
    for (auto& kv : map_) ks.push_back(KeyCodec<K>::toKey(kv.first));
    return ks;
  }
  void copyEntryFrom(const Entity& owner, const AttrInfo& attr, const ValueMap& source, const std::string& key) {
    const K k = KeyCodec<K>::fromKey(key);
    if (const V* v = source.find(k)) {
      put(owner, attr, k, *v);
    } else {
      erase(owner, attr, k);
    }
  }

 private:
  Map map_;
};

// A collection of plain values without payload.
template <class K, bool Ordered>
class ValueSet {
 public:
  using Set = std::conditional_t<Ordered, std::set<K>, std::unordered_set<K>>;
  using const_iterator = typename Set::const_iterator;
  using Key = K;
  using Entry = K;

  // The member equal to `k`, or null.
  const K* find(const K& k) const {
    auto it = set_.find(k);
    return it == set_.end() ? nullptr : &*it;
  }
  // A set's change is an insert or an erase: what was there before is
  // what is not there now.
  static const K* entryInside(const Change&) { return nullptr; }
  static const K* prevEntry(const Change& c, const K* now) { return now ? nullptr : &c.keyAs<K>(); }
  bool has(const K& k) const { return set_.count(k) != 0; }
  size_t size() const { return set_.size(); }
  bool empty() const { return set_.empty(); }
  const_iterator begin() const { return set_.begin(); }
  const_iterator end() const { return set_.end(); }
  std::vector<K> keys() const { return std::vector<K>(set_.begin(), set_.end()); }

  void insert(const Entity& owner, const AttrInfo& attr, const K& k) {
    ++workCounters.writes;
    if (!set_.insert(k).second) return;
    const K key = k;
    owner.publish(Change{&owner, &attr, &key, nullptr, nullptr});
  }
  bool erase(const Entity& owner, const AttrInfo& attr, const K& k) {
    ++workCounters.writes;
    if (set_.erase(k) == 0) return false;
    const K key = k;
    owner.publish(Change{&owner, &attr, &key, nullptr, nullptr});
    return true;
  }
  void clear(const Entity& owner, const AttrInfo& attr) {
    for (const K& k : keys()) erase(owner, attr, k);
  }

  Json toJson() const {
    std::vector<std::pair<std::string, Json>> items;
    for (auto& k : set_) items.emplace_back(KeyCodec<K>::toKey(k), JsonCodec<K>::toJson(k));
    if constexpr (!Ordered) std::sort(items.begin(), items.end(), [](auto& a, auto& b) { return a.first < b.first; });
    Json j = Json::array();
    for (auto& [key, value] : items) j.push_back(std::move(value));
    return j;
  }
  void assign(const Entity& owner, const AttrInfo& attr, const Json& j) {
    if (!j.is_array()) throw JsonError("expected an array");
    std::vector<K> wanted;
    for (auto& e : j) wanted.push_back(JsonCodec<K>::fromJson(e));
    for (const K& k : keys()) {
      if (std::find(wanted.begin(), wanted.end(), k) == wanted.end()) erase(owner, attr, k);
    }
    for (auto& k : wanted) insert(owner, attr, k);
  }

  static std::string keyText(const void* k) { return KeyCodec<K>::toKey(*static_cast<const K*>(k)); }
  static bool keyLess(const std::string& a, const std::string& b) { return detail::keyTextLess<K>(a, b); }
  Entity* entityAt(const std::string&) const { return nullptr; }
  bool hasKey(const std::string& key) const { return has(KeyCodec<K>::fromKey(key)); }
  std::vector<std::string> keyTexts() const {
    std::vector<std::string> ks;
    ks.reserve(set_.size());
    for (auto& k : set_) ks.push_back(KeyCodec<K>::toKey(k));
    return ks;
  }
  void copyEntryFrom(const Entity& owner, const AttrInfo& attr, const ValueSet& source, const std::string& key) {
    const K k = KeyCodec<K>::fromKey(key);
    if (source.has(k)) {
      insert(owner, attr, k);
    } else {
      erase(owner, attr, k);
    }
  }

 private:
  Set set_;
};

// An optional child entity owned by its parent.
template <class V>
class OwnedChild {
 public:
  OwnedChild() = default;
  OwnedChild(const OwnedChild&) = delete;
  ~OwnedChild() {
    if (p_) p_->detach();
  }
  const Velto::Ptr<V>& get() const { return p_; }

  void set(const Entity& owner, const AttrInfo& attr, Velto::Ptr<V> v) {
    ++workCounters.writes;
    if (p_ == v) return;
    Velto::Ptr<V> prev = std::move(p_);
    if (prev) prev->detach();
    if (v) v->attachTo(owner, attr);
    p_ = std::move(v);
    owner.publish(Change{&owner, &attr, nullptr, &prev, nullptr});
  }

  Json toJson() const { return p_ ? Zem::toJson(*p_) : Json(); }
  void assign(const Entity& owner, const AttrInfo& attr, const Json& j) {
    if (j.is_null()) {
      set(owner, attr, nullptr);
      return;
    }
    // A child with other keys is another child (as `xIs` makes a new one);
    // with the same keys it is brought to the JSON in place.
    auto made = makeEntry<V>(j);
    if (p_ && sameKeys(*p_, *made)) {
      assignFromJson(*p_, j);
    } else {
      set(owner, attr, std::move(made));
    }
  }

  static std::string keyText(const void*) { return {}; }
  static bool keyLess(const std::string&, const std::string&) { return false; }
  Entity* entityAt(const std::string&) const { return p_.get(); }
  bool hasKey(const std::string&) const { return static_cast<bool>(p_); }
  // The child's one key, "", while there is a child.
  std::vector<std::string> keyTexts() const { return p_ ? std::vector<std::string>{std::string()} : std::vector<std::string>{}; }
  // The child has no key of its own: it is copied as a whole.
  void copyEntryFrom(const Entity& owner, const AttrInfo& attr, const OwnedChild& source, const std::string&) {
    assign(owner, attr, source.toJson());
  }

 private:
  Velto::Ptr<V> p_;
};

namespace detail {
// A key is set when its entity is made; JSON may restate it, not change it.
template <class T>
void assignKey(T& field, T value, bool fresh) {
  if (fresh) {
    field = std::move(value);
  } else if (!(field == value)) {
    throw JsonError("is a key and cannot change from " + JsonCodec<T>::toJson(field).dump() + " to " +
                    JsonCodec<T>::toJson(value).dump());
  }
}

template <class T>
Json fieldToJson(const T& v) {
  if constexpr (requires { v.toJson(); }) {
    return v.toJson();
  } else {
    return JsonCodec<T>::toJson(v);
  }
}
}  // namespace detail

}  // namespace Zem

namespace Zem {

// ---------------------------------------------------------------------------
// Typed change delivery.
//
// A handler learns which key of a collection was added, removed or replaced,
// or changed inside its entry, with the key and the entries typed:
//
//   if (auto d = Zem::delta(c, Lldp::Status::portStatusAttr)) {
//     if (d->removed()) ...   // d->key, d->prev, d->now, d->inner
//   }
//
// and which value a plain attribute had before: `Zem::previous(c, xAttr)`.

// The identifier of a plain attribute of type T.
template <class T>
struct ValueAttr : AttrInfo {};

// The identifier of a collection attribute; `of` reads the collection of an
// owner record.
template <class Collection>
struct CollectionAttr : AttrInfo {
  const Collection& (*of)(const Entity& owner);
};

// One key of a collection, as one change left it.
template <class K, class V>
struct EntryDelta {
  const K& key;
  // The entry before the change: null when it was added. For a change
  // inside the entry, the entry itself.
  const V* prev;
  // The entry as the collection holds it now: null when it is gone.
  const V* now;
  // The change inside the entry, when the entry stayed and changed inside.
  const Change* inner;

  bool added() const { return !inner && !prev && now; }
  bool removed() const { return !inner && prev && !now; }
  // Replaced by another entry (another entity, another value).
  bool replaced() const { return !inner && prev && now; }
  bool changedInside() const { return inner != nullptr; }
};

// The change `c` of the collection `attr`, typed; none when `c` is about
// another attribute.
template <class C>
std::optional<EntryDelta<typename C::Key, typename C::Entry>> delta(const Change& c, const CollectionAttr<C>& attr) {
  if (!c.is(attr) || !c.key) return std::nullopt;
  const auto& key = c.keyAs<typename C::Key>();
  const auto* now = C::entryInside(c);
  if (!now) now = attr.of(*c.entity).find(key);
  return EntryDelta<typename C::Key, typename C::Entry>{key, C::prevEntry(c, now), now, c.inner};
}

// Runs `handler` with the typed delta of `c` when `c` is about `attr`.
template <class C, class F>
bool onDelta(const Change& c, const CollectionAttr<C>& attr, F&& handler) {
  auto d = delta(c, attr);
  if (d) handler(*d);
  return d.has_value();
}

// The value the plain attribute `attr` had before the change `c`; null when
// `c` is about another attribute.
template <class T>
const T* previous(const Change& c, const ValueAttr<T>& attr) {
  return c.is(attr) && !c.inner ? static_cast<const T*>(c.prev) : nullptr;
}

// The order in which replayDelta delivers the keys of a replaced input.
struct ReplayOrder {
  // The old input's keys first (then those only the new one has), rather
  // than the new input's keys first (then those only the old one had).
  bool oldKeysFirst = false;
  // Each group in ascending key order rather than its collection's order.
  bool ascending = false;
  // One group: the keys of both inputs together, in ascending order.
  bool merged = false;

  static constexpr ReplayOrder newFirst() { return {false, false, false}; }
  static constexpr ReplayOrder oldFirst() { return {true, false, false}; }
  static constexpr ReplayOrder oldFirstAscending() { return {true, true, false}; }
  static constexpr ReplayOrder newFirstAscending() { return {false, true, false}; }
  static constexpr ReplayOrder allAscending() { return {false, true, true}; }
};

// An input was replaced: delivers the per-key delta between the collection
// `attr` of the old and of the new input, as if each entry had been put or
// removed, every key of either input once: added (only the new input has
// it), removed (only the old one had it) or replaced (both have it, even
// when it is the same entry). Either input may be null.
template <class C, class F>
void replayDelta(const Entity* prev, const Entity* now, const CollectionAttr<C>& attr, ReplayOrder order,
                 F&& handler) {
  using K = typename C::Key;
  using V = typename C::Entry;
  const C* before = prev ? &attr.of(*prev) : nullptr;
  const C* after = now ? &attr.of(*now) : nullptr;
  auto keysOf = [&](const C* c) {
    std::vector<K> ks;
    if (c) ks = c->keys();
    if (order.ascending) std::sort(ks.begin(), ks.end());
    return ks;
  };
  auto deliver = [&](const K& k) {
    handler(EntryDelta<K, V>{k, before ? before->find(k) : nullptr, after ? after->find(k) : nullptr, nullptr});
  };
  if (order.merged) {
    std::vector<K> all = keysOf(before);
    for (const K& k : keysOf(after)) all.push_back(k);
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    for (const K& k : all) deliver(k);
    return;
  }
  const C* first = order.oldKeysFirst ? before : after;
  const C* second = order.oldKeysFirst ? after : before;
  for (const K& k : keysOf(first)) deliver(k);
  for (const K& k : keysOf(second)) {
    if (!first || !first->find(k)) deliver(k);
  }
}

}  // namespace Zem

// ---------------------------------------------------------------------------
// Declaration macros.

#define ZEM_RECORD_IMPL_(Cls, TypeName, BaseInfo)                                                    \
 public:                                                                                             \
  using Self = Cls;                                                                                  \
  static ::Zem::TypeInfo& typeInfoStatic() {                                                         \
    static ::Zem::TypeInfo info(TypeName, BaseInfo, [] { return ::Velto::Ptr<::Zem::Entity>(new Cls()); }); \
    return info;                                                                                     \
  }                                                                                                  \
  const ::Zem::TypeInfo* typeInfo() const override { return &typeInfoStatic(); }                     \
                                                                                                     \
 private:                                                                                            \
  /* Registers the type by name at start, fields or not. */                                         \
  static inline const bool typeRegistered_ = (Self::typeInfoStatic(), true);                         \
                                                                                                     \
 private:

// Opens a record type named `TypeName` ("Ns::Cls"); the class needs a default
// constructor (it may be private).
#define ZEM_RECORD(Cls, TypeName) ZEM_RECORD_IMPL_(Cls, TypeName, nullptr)
// A record type that extends the record type `Base`.
#define ZEM_RECORD_DERIVED(Cls, Base, TypeName) ZEM_RECORD_IMPL_(Cls, TypeName, &Base::typeInfoStatic())

// The mapping functions are static member functions: their bodies are read
// once the class is complete, so they may use every member of the record
// (an initialiser of a static data member may not, under the standard's
// rules, and clang holds to that). The registrar only takes their addresses.
#define ZEM_FIELD_REG_IMPL_(name, ToJsonExpr, AssignStmt, KeyType, KeyValue) \
  ZEM_FIELD_REG_WITH_(name, ToJsonExpr, AssignStmt, KeyType, KeyValue, nullptr, nullptr)
#define ZEM_FIELD_REG_WITH_(name, ToJsonExpr, AssignStmt, KeyType, KeyValue, Copy, Entries) \
  ZEM_FIELD_REG_FULL_(name, ToJsonExpr, AssignStmt, KeyType, KeyValue, Copy, Entries, nullptr)
#define ZEM_FIELD_REG_FULL_(name, ToJsonExpr, AssignStmt, KeyType, KeyValue, Copy, Entries, KeyEquals) \
  static ::Zem::Json name##FieldToJson_(const ::Zem::Entity& e_) {                                   \
    const Self& s_ = static_cast<const Self&>(e_);                                                   \
    return ToJsonExpr;                                                                               \
  }                                                                                                  \
  static void name##FieldAssign_(::Zem::Entity& e_, const ::Zem::Json& j_, [[maybe_unused]] bool fresh_) { \
    Self& s_ = static_cast<Self&>(e_);                                                               \
    AssignStmt;                                                                                      \
  }                                                                                                  \
  static inline const ::Zem::FieldRegistrar name##Reg_{                                              \
      Self::typeInfoStatic(),                                                                        \
      ::Zem::FieldInfo{#name, &Self::name##FieldToJson_, &Self::name##FieldAssign_, KeyType, KeyValue, Copy, Entries, \
                       KeyEquals}};

// Registers the JSON mapping of an attribute: `ToJsonExpr` and `AssignStmt`
// see the record as `s_`, the JSON as `j_`, and `fresh_` (the record is
// being made from JSON).
#define ZEM_FIELD_REG_(name, ToJsonExpr, AssignStmt) ZEM_FIELD_REG_IMPL_(name, ToJsonExpr, AssignStmt, nullptr, nullptr)

// A plain attribute's registration, with its direct copy.
#define ZEM_FIELD_REG_ATTR_(name, ToJsonExpr, AssignStmt)                                           \
  static void name##FieldCopy_(::Zem::Entity& t_, const ::Zem::Entity& s_) {                         \
    static_cast<Self&>(t_).name##Is(static_cast<const Self&>(s_).name##_);                           \
  }                                                                                                  \
  ZEM_FIELD_REG_WITH_(name, ToJsonExpr, AssignStmt, nullptr, nullptr, &Self::name##FieldCopy_, nullptr)

// A collection's (or owned child's) registration, with its entry access:
// the member `name##_` provides keyText, entityAt, hasKey, copyEntryFrom,
// keyTexts and keyLess.
#define ZEM_FIELD_REG_ENTRIES_(name)                                                                 \
  static ::std::string name##EntryKey_(const void* k_) { return decltype(name##_)::keyText(k_); }   \
  static ::Zem::Entity* name##EntryEntity_(const ::Zem::Entity& e_, const ::std::string& k_) {       \
    return static_cast<const Self&>(e_).name##_.entityAt(k_);                                        \
  }                                                                                                  \
  static bool name##EntryHas_(const ::Zem::Entity& e_, const ::std::string& k_) {                   \
    return static_cast<const Self&>(e_).name##_.hasKey(k_);                                          \
  }                                                                                                  \
  static void name##EntryCopy_(::Zem::Entity& t_, const ::Zem::Entity& s_, const ::std::string& k_) { \
    static_cast<Self&>(t_).name##_.copyEntryFrom(t_, name##Attr, static_cast<const Self&>(s_).name##_, k_); \
  }                                                                                                  \
  static ::std::vector<::std::string> name##EntryKeys_(const ::Zem::Entity& e_) {                    \
    return static_cast<const Self&>(e_).name##_.keyTexts();                                          \
  }                                                                                                  \
  static bool name##EntryLess_(const ::std::string& a_, const ::std::string& b_) {                   \
    return decltype(name##_)::keyLess(a_, b_);                                                       \
  }                                                                                                  \
  static inline const ::Zem::EntryOps name##EntryOps_{                                               \
      &Self::name##EntryKey_,  &Self::name##EntryEntity_, &Self::name##EntryHas_,                    \
      &Self::name##EntryCopy_, &Self::name##EntryKeys_,   &Self::name##EntryLess_};                  \
  ZEM_FIELD_REG_WITH_(name, s_.name##_.toJson(), s_.name##_.assign(e_, name##Attr, j_), nullptr, nullptr, \
                      nullptr, &Self::name##EntryOps_)

// A plain attribute: `x()`, `xIs(v)` (publishes only a change), `xAttr`.
#define ZEM_ATTR_D(Type, name, init)                                                                  \
 public:                                                                                             \
  static inline const ::Zem::ValueAttr<Type> name##Attr{{#name}};                                    \
  const Type& name() const { return name##_; }                                                       \
  void name##Is(const Type& v) { ::Zem::assignAttr(*this, name##_, v, name##Attr); }                 \
                                                                                                     \
 private:                                                                                            \
  Type name##_ = init;                                                                               \
  ZEM_FIELD_REG_ATTR_(name, ::Zem::detail::fieldToJson(s_.name##_),                                  \
                      s_.name##Is(::Zem::JsonCodec<Type>::fromJson(j_)))                             \
 public:

#define ZEM_ATTR(Type, name) ZEM_ATTR_D(Type, name, Type{})

// An identifying attribute, fixed when the entity is made (set `x_` in the
// constructor); read-only afterwards.
#define ZEM_KEY(Type, name)                                                                           \
 public:                                                                                             \
  const Type& name() const { return name##_; }                                                       \
                                                                                                     \
 private:                                                                                            \
  Type name##_{};                                                                                    \
  static const void* name##KeyValue_(const ::Zem::Entity& e_) { return &static_cast<const Self&>(e_).name##_; } \
  static bool name##KeyEquals_(const ::Zem::Entity& a_, const ::Zem::Entity& b_) {                  \
    return static_cast<const Self&>(a_).name##_ == static_cast<const Self&>(b_).name##_;             \
  }                                                                                                  \
  ZEM_FIELD_REG_FULL_(                                                                               \
      name, ::Zem::JsonCodec<Type>::toJson(s_.name##_),                                              \
      ::Zem::detail::assignKey(s_.name##_, ::Zem::JsonCodec<Type>::fromJson(j_), fresh_),            \
      &typeid(Type), &Self::name##KeyValue_, nullptr, nullptr, &Self::name##KeyEquals_)               \
 public:

#define ZEM_ENTITY_MAP_BASE_(K, V, name, ordered, owning)                                            \
 public:                                                                                             \
  using name##Collection = ::Zem::EntityMap<K, V, ordered, owning>;                                  \
  static const name##Collection& name##Of_(const ::Zem::Entity& e_) {                                \
    return static_cast<const Self&>(e_).name##_;                                                     \
  }                                                                                                  \
  static inline const ::Zem::CollectionAttr<name##Collection> name##Attr{{#name}, &Self::name##Of_}; \
  const name##Collection& name() const { return name##_; }                                           \
  ::Velto::Ptr<V> name(const K& k) const { return name##_.get(k); }                                  \
  void name##Put(const K& k, ::Velto::Ptr<V> v) { name##_.put(*this, name##Attr, k, std::move(v)); } \
  ::Velto::Ptr<V> name##Del(const K& k) { return name##_.erase(*this, name##Attr, k); }              \
  void name##DelAll() { name##_.clear(*this, name##Attr); }                                          \
                                                                                                     \
 private:                                                                                            \
  name##Collection name##_;                                                                          \
  ZEM_FIELD_REG_ENTRIES_(name)                                                                       \
 public:

#define ZEM_ENTITY_MAP_IS_(K, V, name)                                                                \
 public:                                                                                             \
  /* Returns the entry for `k`, making V(k, args...) when there is none. */                          \
  template <class... A>                                                                              \
  ::Velto::Ptr<V> name##Is(const K& k, A&&... args) {                                                \
    if (auto cur = name##_.get(k)) return cur;                                                       \
    auto v = ::Velto::make<V>(k, std::forward<A>(args)...);                                          \
    name##_.put(*this, name##Attr, k, v);                                                            \
    return v;                                                                                        \
  }

// Hash map of owned entities, entries made by `xIs(key, args...)`.
#define ZEM_ENTITY_MAP(K, V, name) ZEM_ENTITY_MAP_BASE_(K, V, name, false, true) ZEM_ENTITY_MAP_IS_(K, V, name)
// Ordered (ascending key) map of owned entities.
#define ZEM_ORDERED_ENTITY_MAP(K, V, name) \
  ZEM_ENTITY_MAP_BASE_(K, V, name, true, true) ZEM_ENTITY_MAP_IS_(K, V, name)
// Hash map of owned entities whose record writes its own `xIs`.
#define ZEM_ENTITY_MAP_CUSTOM(K, V, name) ZEM_ENTITY_MAP_BASE_(K, V, name, false, true)
// Hash map of references to entities owned elsewhere (no nested changes).
#define ZEM_PTR_MAP(K, V, name) ZEM_ENTITY_MAP_BASE_(K, V, name, false, false)

#define ZEM_VALUE_MAP_BASE_(K, V, name, ordered)                                                     \
 public:                                                                                             \
  using name##Collection = ::Zem::ValueMap<K, V, ordered>;                                           \
  static const name##Collection& name##Of_(const ::Zem::Entity& e_) {                                \
    return static_cast<const Self&>(e_).name##_;                                                     \
  }                                                                                                  \
  static inline const ::Zem::CollectionAttr<name##Collection> name##Attr{{#name}, &Self::name##Of_}; \
  const name##Collection& name() const { return name##_; }                                           \
  /* The value under `k`, or V's default when there is none. */                                     \
  V name(const K& k) const {                                                                         \
    auto p = name##_.find(k);                                                                        \
    return p ? *p : V{};                                                                             \
  }                                                                                                  \
  ::Zem::Optional<V> name##Get(const K& k) const {                                                   \
    auto p = name##_.find(k);                                                                        \
    return p ? ::Zem::Optional<V>(*p) : ::Zem::none;                                                 \
  }                                                                                                  \
  bool name##Has(const K& k) const { return name##_.has(k); }                                        \
  void name##Is(const K& k, const V& v) { name##_.put(*this, name##Attr, k, v); }                    \
  bool name##Del(const K& k) { return name##_.erase(*this, name##Attr, k); }                         \
  void name##DelAll() { name##_.clear(*this, name##Attr); }                                          \
                                                                                                     \
 private:                                                                                            \
  name##Collection name##_;                                                                          \
  ZEM_FIELD_REG_ENTRIES_(name)                                                                       \
 public:

#define ZEM_VALUE_MAP(K, V, name) ZEM_VALUE_MAP_BASE_(K, V, name, false)
#define ZEM_ORDERED_VALUE_MAP(K, V, name) ZEM_VALUE_MAP_BASE_(K, V, name, true)

#define ZEM_VALUE_SET_BASE_(K, name, ordered)                                                        \
 public:                                                                                             \
  using name##Collection = ::Zem::ValueSet<K, ordered>;                                              \
  static const name##Collection& name##Of_(const ::Zem::Entity& e_) {                                \
    return static_cast<const Self&>(e_).name##_;                                                     \
  }                                                                                                  \
  static inline const ::Zem::CollectionAttr<name##Collection> name##Attr{{#name}, &Self::name##Of_}; \
  const name##Collection& name() const { return name##_; }                                           \
  bool name##Has(const K& k) const { return name##_.has(k); }                                        \
  void name##Is(const K& k) { name##_.insert(*this, name##Attr, k); }                                \
  bool name##Del(const K& k) { return name##_.erase(*this, name##Attr, k); }                         \
  void name##DelAll() { name##_.clear(*this, name##Attr); }                                          \
                                                                                                     \
 private:                                                                                            \
  name##Collection name##_;                                                                          \
  ZEM_FIELD_REG_ENTRIES_(name)                                                                       \
 public:

#define ZEM_VALUE_SET(K, name) ZEM_VALUE_SET_BASE_(K, name, false)
#define ZEM_ORDERED_VALUE_SET(K, name) ZEM_VALUE_SET_BASE_(K, name, true)

// An optional owned child entity: `x()`, `xIs(args...)` makes a new V(args...)
// in place of the present one, `xDel()`.
#define ZEM_CHILD(V, name)                                                                           \
 public:                                                                                             \
  static inline const ::Zem::AttrInfo name##Attr{#name};                                             \
  const ::Velto::Ptr<V>& name() const { return name##_.get(); }                                      \
  template <class... A>                                                                              \
  ::Velto::Ptr<V> name##Is(A&&... args) {                                                            \
    auto v = ::Velto::make<V>(std::forward<A>(args)...);                                             \
    name##_.set(*this, name##Attr, v);                                                               \
    return v;                                                                                        \
  }                                                                                                  \
  void name##Put(::Velto::Ptr<V> v) { name##_.set(*this, name##Attr, std::move(v)); }                \
  void name##Del() { name##_.set(*this, name##Attr, nullptr); }                                      \
                                                                                                     \
 private:                                                                                            \
  ::Zem::OwnedChild<V> name##_;                                                                      \
  ZEM_FIELD_REG_ENTRIES_(name)                                                                       \
 public:

// A plain data member that notifies nobody when written (records that are not
// publishers); still part of the record's JSON.
#define ZEM_PLAIN_FIELD(Type, name)                                                                  \
 public:                                                                                             \
  Type name{};                                                                                       \
                                                                                                     \
 private:                                                                                            \
  ZEM_FIELD_REG_(name, ::Zem::JsonCodec<Type>::toJson(s_.name), s_.name = ::Zem::JsonCodec<Type>::fromJson(j_)) \
 public:
