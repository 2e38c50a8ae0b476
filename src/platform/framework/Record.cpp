#include "platform/framework/Record.h"

#include <map>

namespace Zem {
namespace {
std::map<std::string, const TypeInfo*, std::less<>>& registry() {
  static std::map<std::string, const TypeInfo*, std::less<>> r;
  return r;
}

void collectFields(const TypeInfo* t, std::vector<const FieldInfo*>& out) {
  if (!t) return;
  collectFields(t->base(), out);
  for (auto& f : t->fields()) out.push_back(&f);
}
}  // namespace

TypeInfo::TypeInfo(const char* name, const TypeInfo* base, Factory create)
    : name_(name), base_(base), create_(create) {
  registry()[name] = this;
}

bool TypeInfo::isA(const TypeInfo& other) const {
  for (const TypeInfo* t = this; t; t = t->base_) {
    if (t == &other) return true;
  }
  return false;
}

const TypeInfo* TypeInfo::find(std::string_view name) {
  auto it = registry().find(name);
  return it == registry().end() ? nullptr : it->second;
}

std::vector<const TypeInfo*> TypeInfo::all() {
  std::vector<const TypeInfo*> v;
  for (auto& kv : registry()) v.push_back(kv.second);
  return v;
}

Json toJson(const Entity& e) {
  Json j = Json::object();
  std::vector<const FieldInfo*> fields;
  collectFields(e.typeInfo(), fields);
  for (auto* f : fields) j[f->name] = f->toJson(e);
  return j;
}

Json typedJson(const Entity& e) {
  Json j = Json::object();
  if (auto* t = e.typeInfo()) j["@type"] = t->name();
  Json fields = toJson(e);
  for (auto& [k, v] : fields.items()) j[k] = v;
  return j;
}

namespace {
void assignFields(Entity& e, const Json& j, bool fresh) {
  if (!j.is_object()) throw JsonError("expected an object");
  std::vector<const FieldInfo*> fields;
  collectFields(e.typeInfo(), fields);
  for (auto* f : fields) {
    auto it = j.find(f->name);
    if (it == j.end()) continue;
    // Handlers run by the writes end the process on an exception, so what
    // arrives here is a decoding error (codecs of identifiers throw standard
    // exceptions too).
    try {
      f->assign(e, *it, fresh);
    } catch (const std::exception& err) {
      throw JsonError(std::string(f->name) + ": " + err.what());
    }
  }
}
}  // namespace

void assignFromJson(Entity& e, const Json& j) { assignFields(e, j, false); }

const FieldInfo* collectionKeyField(const TypeInfo* t, const std::type_info& keyType) {
  std::vector<const FieldInfo*> fields;
  collectFields(t, fields);
  for (auto* f : fields) {
    if (f->keyType && *f->keyType == keyType) return f;
  }
  return nullptr;
}

bool sameKeys(const Entity& a, const Entity& b) {
  if (a.typeInfo() != b.typeInfo()) return false;
  // Asked for every entry a synchronizer copies: compared as values, without
  // gathering the fields first.
  for (const TypeInfo* t = a.typeInfo(); t; t = t->base()) {
    for (const FieldInfo& f : t->fields()) {
      if (!f.keyType) continue;
      if (f.keyEquals ? !f.keyEquals(a, b) : f.toJson(a) != f.toJson(b)) return false;
    }
  }
  return true;
}

Velto::Ptr<Entity> entityFromJson(const Json& j, const TypeInfo* fallback) {
  if (!j.is_object()) throw JsonError("expected an object");
  const TypeInfo* t = fallback;
  if (auto it = j.find("@type"); it != j.end()) {
    if (!it->is_string()) throw JsonError("@type: expected a string");
    t = TypeInfo::find(it->get<std::string>());
    if (!t) throw JsonError("@type: unknown record type '" + it->get<std::string>() + "'");
    if (fallback && !t->isA(*fallback)) {
      throw JsonError("@type: " + std::string(t->name()) + " is not a " + fallback->name());
    }
  }
  if (!t) throw JsonError("record type missing");
  auto e = t->create();
  assignFields(*e, j, true);
  return e;
}

}  // namespace Zem
