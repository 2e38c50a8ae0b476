#pragma once
// A directory of named entities of any record type, the unit the state
// database mounts and the local backup persists.

#include "platform/framework/Record.h"

#include <string>
#include <string_view>

namespace Zem {

class Dir : public Entity {
  ZEM_RECORD(Dir, "Zem::Dir")
 public:
  explicit Dir(std::string name) { nameIs(std::move(name)); }

  ZEM_ENTITY_MAP_CUSTOM(std::string, Entity, entry)

  // The entity named `name`, made with the record type `typeName` when there
  // is none. Returns empty when the existing entity is of another type or the
  // type is unknown.
  Velto::Ptr<Entity> createEntity(const std::string& name, std::string_view typeName);
  // The subdirectory `name`, made when there is none; empty when `name` is
  // taken by another kind of entity.
  Velto::Ptr<Dir> mkdir(const std::string& name);
  // The entity at a relative path of names separated by '/'.
  Velto::Ptr<Entity> lookup(std::string_view path) const;

  template <class T>
  Velto::Ptr<T> entryAs(const std::string& name) const {
    return Velto::dynamicPtrCast<T>(entry(name));
  }

 private:
  Dir() = default;
};

}  // namespace Zem
