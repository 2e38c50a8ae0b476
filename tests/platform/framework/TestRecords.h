#pragma once
// Small record types that exercise every building block of the framework.

#include "platform/framework/Record.h"
#include "platform/framework/StateMachine.h"

namespace TestRecords {

class Leaf : public Zem::Entity {
  ZEM_RECORD(Leaf, "TestRecords::Leaf")
 public:
  explicit Leaf(int id) { id_ = id; }
  ZEM_KEY(int, id)
  ZEM_ATTR(int, value)
  ZEM_ATTR(Zem::Optional<Velto::Duration>, when)

 private:
  Leaf() = default;
};

class Branch : public Zem::Entity {
  ZEM_RECORD(Branch, "TestRecords::Branch")
 public:
  explicit Branch(Kivo::IntfId intf) { intf_ = intf; }
  ZEM_KEY(Kivo::IntfId, intf)
  ZEM_ATTR_D(std::string, label, "none")
  ZEM_ENTITY_MAP(int, Leaf, leaf)
  ZEM_CHILD(Leaf, favourite)

 private:
  Branch() = default;
};

class Tree : public Zem::Entity {
  ZEM_RECORD(Tree, "TestRecords::Tree")
 public:
  Tree() = default;
  ZEM_ORDERED_ENTITY_MAP(Kivo::IntfId, Branch, branch)
  ZEM_VALUE_MAP(Kivo::IntfId, bool, flag)
  ZEM_ORDERED_VALUE_SET(Kivo::IntfId, member)
  ZEM_ATTR(Kivo::EthAddr, addr)
};

class Derived : public Tree {
  ZEM_RECORD_DERIVED(Derived, Tree, "TestRecords::Derived")
 public:
  Derived() = default;
  ZEM_ATTR(uint8_t, extra)
};

}  // namespace TestRecords
