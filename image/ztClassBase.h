// Root of the library's polymorphic classes: a virtual destructor, so that an
// object can be destroyed through its root pointer (the image holder's
// companion object, images released through their reference count).
#pragma once

class ztClassBase {
 public:
  virtual ~ztClassBase() = default;

 protected:
  ztClassBase() = default;
  ztClassBase(const ztClassBase&) = delete;
  ztClassBase& operator=(const ztClassBase&) = delete;
};
