// TEvent: a bound method reference, an object together with one of its
// methods, or unassigned. Events of the archive component and the archive
// walk's visitor are TEvents.
#pragma once

namespace kv {

// Bind one with
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

}  // namespace kv
