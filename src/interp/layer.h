// The object-aware interpreter layer's hooks for the object store.
#ifndef TELVI_INTERP_LAYER_H
#define TELVI_INTERP_LAYER_H

#include "telvi/toe.h"

namespace telvi::interp {

// Something that command resolution depends on changed (a parent list, a method table): every
// interpreter forgets the command names it resolved against objects.
void resolutionChanged();

// The object is about to be freed: its methods go with it.
void objectFreed(toe *object);

// Deletes the object's methods (the commands created while it was current).
void deleteMethods(toe *object);

// Lets Tcl call a string command (made with Tcl_CreateCommand) through a trampoline that keeps the
// argument vector on the C stack instead of Tcl's stack allocator; the command procedure sees the
// same argc/argv. Commands whose dispatch Tcl has changed since are left alone.
void quickenStringCommand(Tcl_Command command);

// Calls visit(object) on the object and, depth first in order, on its parents and theirs; each
// object once, so a cycle of parents ends. Stops at the first visit that returns true.
template <typename Visit>
bool forEachAncestor(toe *object, Visit &&visit);

}  // namespace telvi::interp

#include "interp/ancestors.h"

#endif
