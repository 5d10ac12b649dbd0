// Everything one request caches: the parsed configuration, the language table, the user
// record, the project files. One process serves one request, so this state lives for the
// process; tests that run several requests in one process reset it between them.
#pragma once

#include <memory>
#include <string>
#include <typeindex>
#include <unordered_map>

namespace base {

// What has gone to the page (standard output) so far: whether the HTTP header was written,
// and how many bytes in all. Diagnostics that arise before the header are held back in
// `held` and follow the header.
struct PageState {
  bool header_written = false;
  size_t bytes = 0;
  std::string held;
  // While a page is held back (web::PageHold), what is written to it collects here.
  std::string* capture = nullptr;
};

class RequestState {
 public:
  // The slot of type T, default-constructed on first use.
  template <typename T>
  T& Get() {
    std::shared_ptr<void>& slot = slots_[std::type_index(typeid(T))];
    if (!slot) slot = std::make_shared<T>();
    return *static_cast<T*>(slot.get());
  }
  template <typename T>
  void Drop() {
    slots_.erase(std::type_index(typeid(T)));
    ++generation_;
  }
  void Clear() {
    slots_.clear();
    page = PageState{};
    ++generation_;
  }
  // Changes whenever a slot may have gone, so a remembered slot address can be checked.
  unsigned generation() const { return generation_; }

  // Asked on every write, so kept outside the slots.
  PageState page;

 private:
  std::unordered_map<std::type_index, std::shared_ptr<void>> slots_;
  unsigned generation_ = 0;
};

// The state of the request this process is serving.
RequestState& CurrentRequest();

// The slot of type T for this request. Pages ask for the same few caches on every line they
// write, so the slot's address is remembered until a slot may have gone.
template <typename T>
T& Cache() {
  static T* slot = nullptr;
  static unsigned generation = 0;
  RequestState& state = CurrentRequest();
  if (!slot || generation != state.generation()) {
    slot = &state.Get<T>();
    generation = state.generation();
  }
  return *slot;
}

// Forgets every cache, as if a new request began.
void ResetRequestState();

}  // namespace base
