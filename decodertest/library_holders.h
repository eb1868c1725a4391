// Owning holders for the objects a test routine works with. A library object goes back through
// its Release operation; a console callback object is deleted as its concrete class, since the
// callback interfaces have no virtual destructor.
//
// A routine declares its callback holder before its library-object holder, so that on every
// way out (exceptions included) the library object is released while the callback it reports
// to still exists.
#pragma once

#include <memory>

template <typename LibraryObject>
struct ReleaseLibraryObject {
  void operator()(LibraryObject* object) const noexcept { object->Release(); }
};

template <typename LibraryObject>
using LibraryObjectHolder = std::unique_ptr<LibraryObject, ReleaseLibraryObject<LibraryObject>>;

template <typename CallBack>
using CallBackHolder = std::unique_ptr<CallBack>;
