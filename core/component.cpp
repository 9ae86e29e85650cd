#include "core/component.h"

#include <algorithm>

namespace kv {

TComponent::TComponent(TComponent* owner) : owner_(owner) {
  if (owner_ != nullptr) owner_->Insert(this);
}

TComponent::~TComponent() {
  // Free owned components last-in first-out; each one unlinks itself.
  while (!components_.empty()) delete components_.back();
  if (owner_ != nullptr) owner_->Remove(this);
}

void TComponent::Remove(TComponent* component) {
  components_.erase(std::remove(components_.begin(), components_.end(), component),
                    components_.end());
}

}  // namespace kv
