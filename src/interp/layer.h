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

// Calls visit(object) on the object and, depth first in order, on its parents and theirs; each
// object once, so a cycle of parents ends. Stops at the first visit that returns true.
template <typename Visit>
bool forEachAncestor(toe *object, Visit &&visit);

}  // namespace telvi::interp

#include "interp/ancestors.h"

#endif
