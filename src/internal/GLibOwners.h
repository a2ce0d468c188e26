// Scoped owners of memory and objects that GLib and GIO hand over to the caller.
#ifndef ORVANTA_INTERNAL_GLIBOWNERS_H
#define ORVANTA_INTERNAL_GLIBOWNERS_H

#include <glib-object.h>
#include <glib.h>

#include <memory>

namespace orvanta::glib {

struct GFreeDeleter {
  void operator()(gpointer memory) const { g_free(memory); }
};
// A string that GLib allocated and the caller frees with g_free.
using Text = std::unique_ptr<gchar, GFreeDeleter>;

struct GObjectDeleter {
  void operator()(gpointer object) const { g_object_unref(object); }
};
// A reference to a GObject (or an interface of one) that the caller releases with g_object_unref.
template <class Object> using Ref = std::unique_ptr<Object, GObjectDeleter>;

struct GListDeleter {
  void operator()(GList* list) const { g_list_free(list); }
};
// The cells of a list (not its elements), freed with g_list_free.
using List = std::unique_ptr<GList, GListDeleter>;

} // namespace orvanta::glib

#endif // ORVANTA_INTERNAL_GLIBOWNERS_H
