// Keeps a reference-counted object alive for the length of one of its own calls.
//
// A driver call can show a modal message box, and the box's message loop runs the client's
// timers and events; one of them may drop the client's last reference. The rest of the call
// still touches the object, so the call holds a reference of its own until it returns.
#pragma once

namespace qel {

template <typename Object>
class CallReference {
 public:
  explicit CallReference(Object& object) : object_(object) { object_.AddRef(); }
  ~CallReference() { object_.Release(); }
  CallReference(const CallReference&) = delete;
  CallReference& operator=(const CallReference&) = delete;

 private:
  Object& object_;
};

}  // namespace qel
