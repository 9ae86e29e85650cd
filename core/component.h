// TComponent, the base of the archive component, and TEvent, a bound method
// reference: an object together with one of its methods, or unassigned.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kv {

// A bound method reference. Bind one with
//   TEvent<int32_t&>::Bind<&Listener::OnProgress>(&listener)
// Calling an unassigned event is a programming error; test it first.
template <typename... Args>
class TEvent {
 public:
  TEvent() = default;

  template <auto Method, typename T>
  static TEvent Bind(T* object) {
    TEvent e;
    e.object_ = object;
    e.thunk_ = [](void* o, Args... args) { (static_cast<T*>(o)->*Method)(args...); };
    return e;
  }

  bool Assigned() const { return thunk_ != nullptr; }
  explicit operator bool() const { return Assigned(); }
  void operator()(Args... args) const { thunk_(object_, args...); }

  friend bool operator==(const TEvent& a, const TEvent& b) {
    return a.object_ == b.object_ && a.thunk_ == b.thunk_;
  }

 private:
  void* object_ = nullptr;
  void (*thunk_)(void*, Args...) = nullptr;
};

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
