// TComponent, the base of the archive component.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/event.h"

namespace kv {

// Base of non-visual components. A component created with an owner is freed
// by that owner; one created without an owner belongs to whoever created it.
// Components are heap objects handed to their owner, so they cannot be copied.
class TComponent {
 public:
  explicit TComponent(TComponent* owner);
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;
  virtual ~TComponent();

  TComponent* Owner() const { return owner_; }
  int ComponentCount() const { return static_cast<int>(components_.size()); }
  TComponent* Components(int index) const { return components_[static_cast<size_t>(index)]; }

  // Published properties.
  const std::string& Name() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }
  intptr_t Tag() const { return tag_; }
  void SetTag(intptr_t tag) { tag_ = tag; }

 private:
  void Insert(TComponent* component) { components_.push_back(component); }
  void Remove(TComponent* component);

  TComponent* owner_;
  std::vector<TComponent*> components_;
  std::string name_;
  intptr_t tag_ = 0;
};

}  // namespace kv
