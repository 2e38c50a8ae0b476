#include "platform/framework/Dir.h"

namespace Zem {

Velto::Ptr<Entity> Dir::createEntity(const std::string& name, std::string_view typeName) {
  const TypeInfo* type = TypeInfo::find(typeName);
  if (auto cur = entry(name)) {
    if (!type || !cur->typeInfo() || !cur->typeInfo()->isA(*type)) return {};
    return cur;
  }
  if (!type) return {};
  auto e = type->create();
  e->nameIs(name);
  entryPut(name, e);
  return e;
}

Velto::Ptr<Dir> Dir::mkdir(const std::string& name) {
  if (auto cur = entry(name)) return Velto::dynamicPtrCast<Dir>(cur);
  auto d = Velto::make<Dir>(name);
  entryPut(name, d);
  return d;
}

Velto::Ptr<Entity> Dir::lookup(std::string_view path) const {
  const Dir* dir = this;
  Velto::Ptr<Entity> found;
  while (!path.empty()) {
    size_t slash = path.find('/');
    std::string part(path.substr(0, slash));
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    if (part.empty()) continue;
    if (!dir) return {};
    found = dir->entry(part);
    if (!found) return {};
    dir = dynamic_cast<const Dir*>(found.get());
  }
  return found;
}

}  // namespace Zem
